"""The TensorRT back-end over the TensorRT, pycuda and GPUtil stand-ins of platform/.

The machine probe runs once per process, so everything that needs a visible GPU runs in a child
interpreter whose path holds the stand-ins; each test is one child with its assertions inside.
"""
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
PLATFORM = REPO / "platform"
GPU = [PLATFORM / "tensorrt", PLATFORM / "pycuda", PLATFORM / "GPUtil"]
NEEDED = ["trt/deep_chain.onnx", "trt/dynamic_batch.pkl", "trt/dynamic_batch.engine", "trt/five_inputs.pkl",
          "trt/two_profiles.pkl", "trt/int32_index.pkl", "trt/foreign_version.pkl", "trt/foreign_version.engine",
          "trt/missing_engine.pkl", "trt/empty.pkl", "trt/global_record.pkl",
          "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl"]

PRELUDE = """
import os, pickle, sys
from pathlib import Path
import numpy as np
S = Path(os.environ["TRT_SAMPLES"])
"""


@pytest.fixture
def child(run_python, samples):
    def run(code, paths=GPU, check=True):
        env = {"PYTHONPATH": os.pathsep.join(str(p) for p in paths), "TRT_SAMPLES": str(samples)}
        return run_python(PRELUDE + textwrap.dedent(code), env=env, check=check)

    return run


def test_engine_from_builder_command_line_loads_predicts_benchmarks_and_profiles(child, samples, tmp_path):
    out = tmp_path / "deep.pkl"
    env = dict(os.environ, HOME=str(tmp_path), PYTHONPATH=os.pathsep.join(map(str, GPU)))
    r = subprocess.run([sys.executable, "-m", "tests.test_utils.onnx_to_trt", str(samples / "trt/deep_chain.onnx"),
                        str(out), "fp32", "64"], env=env, cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0 and f"to {out} with max batch size 64 and FP32 quantization." in r.stdout, r.stderr
    child(f"""
        import onnxruntime as ort
        import ostrel
        from ostrel import TRTBenchmarkMode
        model = ostrel.load({str(out)!r}, framework_type="trt", profiling=True)
        x = np.random.default_rng(1).standard_normal((8, 3, 16, 16)).astype(np.float32)
        want = ort.InferenceSession(str(S / "trt/deep_chain.onnx")).run(None, {{"input": x}})[0]
        got = model.predict(x)
        assert len(got) == 1 and np.allclose(got[0], want, rtol=1e-4, atol=1e-5), (got[0][:1], want[:1])

        synced = model.benchmark(8, repetitions=5, warmup_calls=1)
        assert synced.include_io is True
        for f in ("h_to_d_mean", "d_to_h_mean", "h_to_d_variance", "d_to_h_variance"):
            assert isinstance(getattr(synced, f), float) and getattr(synced, f) >= 0, f
        caller_telemetry = {{"h_to_d": [], "d_to_h": []}}
        for mode in (TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC, TRTBenchmarkMode.DEFAULT):
            run = model.benchmark(8, repetitions=5, warmup_calls=1, include_io=False, benchmark_mode=mode,
                                  telemetry_dict=caller_telemetry)
            assert run.include_io is False and run.batch_inf_time > 0
            assert run.h_to_d_mean is None and run.d_to_h_variance is None
        assert model.benchmark(8, repetitions=3, warmup_calls=0, include_io=True,
                               benchmark_mode=TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC).include_io is False
        assert caller_telemetry == {{"h_to_d": [], "d_to_h": []}}
        import inspect
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        for name in ("benchmark", "_benchmark_loop"):
            default = inspect.signature(getattr(TRTInferencer, name)).parameters["benchmark_mode"].default
            assert default is TRTBenchmarkMode.DEFAULT, (name, default)
        try:
            model.benchmark(8, repetitions=1, warmup_calls=1, benchmark_mode="single_context_async")
        except NotImplementedError as e:
            assert "single_context_async" in str(e)
        else:
            raise AssertionError("a value text is no benchmark mode")

        table = model.get_layers_profile_dataframe()
        assert list(table.columns) == ["Layer Name", "ms", "Percentage"], table.columns
        assert len(table) == 23 and list(table["Layer Name"][:2]) == ["conv0", "relu0"]
        assert (table["ms"] >= 0).all() and abs(table["Percentage"].sum() - 100) < 1e-6
        assert len(model.get_bottlenecks(3)) == 3
        assert list(model.legend)[-1] == "layers_dataframe"
        """)


@pytest.mark.parametrize("case, code, error", [
    ("element type", "m.safe_predict(np.zeros((8, 3, 16, 16)))", "DTypeError"),
    ("batch above the OPT batch", "m.safe_predict(np.zeros((9, 3, 16, 16), np.float32))", "MaxBatchSizeExceededError"),
    ("inner dimension", "m.safe_predict(np.zeros((8, 3, 16, 17), np.float32))", "InvalidInputDimensions"),
    ("static batch", "s.safe_predict(np.zeros((2, 3, 224, 224), np.float32))", "InvalidStaticBatchSize"),
    ("tuple input", "m.safe_predict((np.zeros((8, 3, 16, 16), np.float32),))", "InputTypeError"),
    ("dict without the input", "m.safe_predict({'other': np.zeros((8, 3, 16, 16), np.float32)})", "MappingKeyError"),
    # predict does not verify: the runner itself refuses what does not fit its bindings
    ("unverified element type", "m.predict(np.zeros((8, 3, 16, 16)))", "TypeError"),
    ("unverified batch outside the profile", "m.predict(np.zeros((65, 3, 16, 16), np.float32))", "ValueError"),
    ("unverified inner dimension", "m.predict(np.zeros((8, 3, 16, 17), np.float32))", "ValueError"),
])
def test_inputs_that_do_not_fit_the_engine_are_refused(child, case, code, error):
    child(f"""
        import ostrel
        from ostrel.common import exceptions
        m = ostrel.load(str(S / "trt/dynamic_batch.pkl"), framework_type="trt")
        s = ostrel.load(str(S / "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl"), framework_type="trt")
        ok = np.ones((8, 3, 16, 16), np.float32)
        before = [o.copy() for o in m.predict(ok)]
        expected = getattr(exceptions, {error!r}, None) or getattr(__builtins__, {error!r})
        try:
            {code}
        except expected as e:
            print("refused:", type(e).__name__, e)
        else:
            raise AssertionError("accepted")
        assert m.safe_predict(np.ones((8, 3, 16, 16), np.float32)) is not None
        after = m.predict(ok)
        assert all(np.array_equal(a, b) for a, b in zip(before, after))
        """)


def test_declared_types_read_by_get_type_hints_and_signature(child):
    child("""
        import inspect, pickle, typing
        from typing import Any, Dict, Iterable, List, Optional, Tuple, Union
        from ostrel import BenchmarkMode, InferenceHardware, TRTBenchmarkMode
        from ostrel.common.data_classes.inferencer_benchmark_result import ModelBenchmarks
        from ostrel.common.data_classes.tensor_metadata import TensorMetadata
        from ostrel.common.exceptions import InputTypeError
        from ostrel.frameworks.base_inferencer import BaseInferencer
        from ostrel.frameworks.trt_inferencer import TRTInferencer as T

        loop = {"benchmark_iter": Iterable[int], "include_io": bool, "return": Tuple[float, float]}
        expected = {
            (T, "_get_binding_metadata"): {"return": TensorMetadata},
            (T, "_get_inputs_metadata"): {"return": List[TensorMetadata]},
            (T, "_get_outputs_metadata"): {"return": List[TensorMetadata]},
            (T, "get_framework_specific_metadata"): {"return": dict},
            (T, "fetch_model_input_dimensions"): {"return": List[Tuple[int, ...]]},
            (T, "fetch_model_input_dtype"): {"return": List[np.dtype]},
            (T, "_input_handler"): {"x": Union[np.ndarray, List, Dict], "return": List},
            (T, "predict"): {"output_device": InferenceHardware},
            (T, "safe_predict"): {"output_device": InferenceHardware},
            (T, "_forward_pass"): {"synchronize": bool},
            (T, "_benchmark_loop"): {**loop, "benchmark_mode": TRTBenchmarkMode},
            (T, "_benchmark_loop_single_context_async"): loop,
            (T, "benchmark"): {
                "batch_size": int, "input_dimensions": tuple, "duration_sec": Optional[float],
                "repetitions": Optional[int], "warmup_calls": int, "dtype": np.dtype,
                "telemetry_dict": Optional[Dict], "benchmark_mode": TRTBenchmarkMode, "return": ModelBenchmarks},
            (BaseInferencer, "benchmark"): {
                "batch_size": int, "input_dimensions": List[Tuple[int, ...]], "duration_sec": Optional[float],
                "repetitions": Optional[int], "warmup_calls": int, "dtype": np.dtype,
                "telemetry_dict": Optional[Dict[str, Any]], "benchmark_mode": Optional[BenchmarkMode],
                "return": ModelBenchmarks},
        }
        obj = object.__new__(T)
        for (cls, name), hints in expected.items():
            f = getattr(cls, name)
            assert typing.get_type_hints(f) == hints, (name, typing.get_type_hints(f))
            assert typing.get_type_hints(f.__get__(obj, T)) == hints, name
            sig = inspect.signature(f)
            shown = {p.name: p.annotation for p in sig.parameters.values() if p.annotation is not p.empty}
            if sig.return_annotation is not sig.empty:
                shown["return"] = sig.return_annotation
            assert shown == hints, (name, sig)
            assert f.__qualname__ == f"{cls.__name__}.{name}" and f.__name__ == name, f.__qualname__
            assert f.__module__ == cls.__module__, f.__module__

        # The parameters and defaults are the function's own; a bound method drops self.
        assert str(inspect.signature(obj.predict)) == (
            "(x, output_device: ostrel.common.enums.inference_hardware.InferenceHardware"
            " = <InferenceHardware.CPU: 'cpu'>, **kwargs)"), inspect.signature(obj.predict)
        assert inspect.signature(T._forward_pass).parameters["synchronize"].kind is inspect.Parameter.KEYWORD_ONLY
        assert "include_io" not in T.benchmark.__annotations__
        # Binds as a function does; its refusals and its message still name the method and the annotation.
        assert obj._input_handler.__self__ is obj and obj._input_handler.__func__ is T._input_handler
        assert obj._input_handler(ok := [np.zeros(1)]) is ok and T._input_handler(obj, ok) is ok
        try:
            obj._input_handler((1,))
        except InputTypeError as e:
            assert str(e) == f"Supported input types: {T._input_handler.__annotations__['x']}, got tuple", e
            assert str(e).startswith("Supported input types: typing.Union[numpy.ndarray, typing.List, "), e
        else:
            raise AssertionError("a tuple was taken")
        try:
            obj._input_handler(y=1)
        except TypeError as e:
            assert str(e) == "TRTInferencer._input_handler() got an unexpected keyword argument 'y'", e
        else:
            raise AssertionError("an unknown keyword was taken")
        assert pickle.loads(pickle.dumps(T.predict)) is T.predict
        """)


def test_batches_inside_the_profile_run_at_their_own_size(child):
    child("""
        import onnxruntime as ort
        import ostrel
        m = ostrel.load(str(S / "trt/dynamic_batch.pkl"), framework_type="trt")
        assert m.static_batch_size == 8 and m.input_dims == [(3, 16, 16)]
        ref = ort.InferenceSession(str(S / "trt/deep_chain.onnx"))
        rng = np.random.default_rng(3)
        first = m.predict(rng.standard_normal((8, 3, 16, 16)).astype(np.float32))
        assert m.predict(rng.standard_normal((8, 3, 16, 16)).astype(np.float32)) is first  # same buffers
        for batch in (1, 64, 8):
            x = rng.standard_normal((batch, 3, 16, 16)).astype(np.float32)
            got = m.predict([x])[0]
            assert got.shape == (batch, 10)
            assert np.allclose(got, ref.run(None, {"input": x})[0], rtol=1e-4, atol=1e-5)
        # a mapping is put into binding order; extra keys are dropped
        x = {"input": np.zeros((2, 3, 16, 16), np.float32), "unused": 1}
        assert m.predict(x)[0].shape == (2, 10)
        """)


def test_int32_index_and_five_input_engines(child):
    child("""
        import ostrel
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        assert TRTInferencer(str(S / "trt/int32_index.pkl")).inference_dtype == [np.int32]
        g = ostrel.load(str(S / "trt/int32_index.pkl"), framework_type="trt")
        idx = np.array([[0, 9, 3]] * 8, np.int32)
        table = np.arange(40, dtype=np.float32).reshape(10, 4)
        assert np.array_equal(g.safe_predict(idx)[0], table[idx])
        f = ostrel.load(str(S / "trt/five_inputs.pkl"), framework_type="trt")
        xs = [np.full((4, 4), i, np.float32) for i in range(5)]
        assert np.array_equal(f.safe_predict(xs)[0], np.full((4, 4), 10, np.float32))
        try:
            f.predict(xs[:4])
        except ValueError as e:
            assert "takes 5 inputs, got 4" in str(e)
        else:
            raise AssertionError("a missing input was run on stale device data")
        """)


def test_two_runners_in_one_process_and_balanced_contexts(child):
    child("""
        import ostrel
        import pycuda.driver as cuda
        a = ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        b = ostrel.load(str(S / "trt/five_inputs.pkl"), framework_type="trt")
        base = cuda.Context.get_current()
        x = np.array([[-1, 2, -3, 4]] * 2, np.float32)
        for _ in range(2):
            assert np.array_equal(a.predict(x)[0], np.maximum(x, 0))
            assert np.array_equal(b.predict([np.ones((4, 4), np.float32)] * 5)[0], np.full((4, 4), 5, np.float32))
            assert cuda.Context.get_current() is base
        del a
        import gc; gc.collect()
        assert cuda.Context.get_current() is base
        assert np.array_equal(b.predict([np.ones((4, 4), np.float32)] * 5)[0], np.full((4, 4), 5, np.float32))
        """)


@pytest.mark.parametrize("name, error, text", [
    ("trt/foreign_version.pkl", "FailedToLoadCheckpointError",
     "compiled for Ostrel major version 3."),
    ("trt/foreign_version.engine", "FailedToLoadCheckpointError",
     "not compatible with the current version of TensorRT (8.6.1)"),
    ("trt/missing_engine.pkl", "FailedToLoadCheckpointError", "is is a valid pickle, but there is no serialized engine"),
    ("trt/global_record.pkl", "FailedToLoadCheckpointError", "global 'collections.OrderedDict' is forbidden"),
    ("memo.pkl", "FailedToLoadCheckpointError", "from an unknown reason"),
    ("trt/empty.pkl", "EOFError", ""),
    ("list.pkl", "FailedToLoadCheckpointError", "found <class 'list'>. This is not a valid TensorRT checkpoint."),
    ("newer.pkl", "FailedToLoadCheckpointError", "compatible only with a newer version"),
    ("garbage.engine", "FailedToLoadCheckpointError", "from an unknown reason"),
])
def test_checkpoints_that_cannot_load(child, tmp_path, name, error, text):
    (tmp_path / "list.pkl").write_bytes(__import__("pickle").dumps([1, 2]))
    (tmp_path / "newer.pkl").write_bytes(__import__("pickle").dumps({"engine": b"x", "platform_version": "5.0"}))
    (tmp_path / "garbage.engine").write_bytes(b"\x01\x02 not an engine at all")
    (tmp_path / "memo.pkl").write_bytes(b"\x80\x04K\x00r\x00\x00\x00\x10.")  # memo index 2**28 in 10 bytes
    path = tmp_path / name if (tmp_path / name).exists() else None
    child(f"""
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        from ostrel.common import exceptions
        path = {str(path)!r} if {path is not None} else str(S / {name!r})
        expected = getattr(exceptions, {error!r}, None) or getattr(__builtins__, {error!r})
        try:
            TRTInferencer(path)
        except expected as e:
            assert {text!r} in str(e), str(e)
        else:
            raise AssertionError("loaded")
        """)


def test_a_tiny_checkpoint_declaring_a_huge_memo_reserves_nothing(child, tmp_path):
    path = tmp_path / "memo.pkl"
    path.write_bytes(b"\x80\x04K\x00r\x00\x00\x00\x10.")  # LONG_BINPUT 2**28
    child(f"""
        import resource
        from ostrel.common.exceptions import FailedToLoadCheckpointError
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            TRTInferencer({str(path)!r})
        except FailedToLoadCheckpointError:
            pass
        else:
            raise AssertionError("loaded")
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert grown < 50 * 1024, f"peak RSS grew by {{grown}} KiB"
        """)


def test_native_checkpoints_and_platform_versions_load(child, tmp_path):
    child(f"""
        import ostrel
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        engine = pickle.loads((S / "trt/two_profiles.pkl").read_bytes())["engine"]
        native = TRTInferencer(str(S / "trt/dynamic_batch.engine"), logging_verbosity=10)
        assert native.max_batch_size == 8
        assert native.model.load_engine(str(S / "trt/dynamic_batch.engine"))[1] is None
        for version, major in (("4.2.1", "3"), (None, "3")):
            record = {{"engine": engine, "compiler": "anything", "precision": 7}}
            if version:
                record["platform_version"] = version
            p = Path({str(tmp_path)!r}) / f"v{{version}}.pkl"
            p.write_bytes(pickle.dumps(record))
            m = TRTInferencer(str(p), device=False, input_dims=[(9, 9)], inference_hardware="cpu")
            assert m.model.load_engine(str(p))[1] == major and m.input_dims == [(4,)]
            assert m.inference_hardware == ostrel.InferenceHardware.GPU
            # profile 0 of a two-profile engine: binding indexes 0 and 1 only
            assert (m.model.input_binding_idxs, m.model.output_binding_idxs) == ([0], [1])
        # an OrderedDict record, and the protocols that store bytes through _codecs.encode
        from collections import OrderedDict
        for protocol in range(6):
            p = Path({str(tmp_path)!r}) / f"p{{protocol}}.pkl"
            p.write_bytes(pickle.dumps(OrderedDict(engine=engine, platform_version="4.0"), protocol=protocol))
            assert TRTInferencer(str(p)).model.load_engine(str(p))[1] == "3"
        """)


def test_malicious_checkpoint_runs_nothing(child, tmp_path):
    marker = tmp_path / "pwned"

    class Evil:
        def __reduce__(self):
            return (os.system, (f"mkdir {marker}",))

    import pickle
    paths = []
    for protocol in range(6):
        paths.append(str(tmp_path / f"evil{protocol}.pkl"))
        Path(paths[-1]).write_bytes(pickle.dumps({"engine": Evil()}, protocol=protocol))
    child(f"""
        import ostrel
        from ostrel.common.exceptions import FailedToLoadCheckpointError, OstrelError
        for path in {paths!r}:
            try:
                ostrel.load(path, framework_type="trt")
            except OstrelError as e:
                assert isinstance(e.__cause__, FailedToLoadCheckpointError), repr(e.__cause__)
                assert "system' is forbidden" in str(e.__cause__), str(e.__cause__)
            else:
                raise AssertionError("loaded")
        """)
    assert not marker.exists()


def test_run_errors_come_from_error_messages_and_failed_executions(child):
    child("""
        import tensorrt as trt
        from ostrel.frameworks.trt_inferencer import TRTInferencer
        m = TRTInferencer(str(S / "trt/two_profiles.pkl"))
        runner = m.model
        ctx = runner.execution_context
        original = ctx.execute_async_v2
        x = np.ones((2, 4), np.float32)

        def chatty(**kw):
            runner.log_capturer.log(trt.Logger.WARNING, "just a warning")
            return original(**kw)
        ctx.execute_async_v2 = chatty
        assert np.array_equal(m.predict(x)[0], x)
        assert runner.log_capturer.output == ""  # a clean run clears the capture

        def failing(**kw):
            runner.log_capturer.log(trt.Logger.ERROR, "kernel launch error")
            return original(**kw)
        ctx.execute_async_v2 = failing
        try:
            m.predict(x)
        except RuntimeError as e:
            assert e.args == ("A runtime error happened during inference: ", "kernel launch error"), e.args
        else:
            raise AssertionError("an ERROR message was ignored")
        # the word decides, not the severity
        for severity, text, fails in ((trt.Logger.INFO, "tactic Error recovered", True),
                                      (trt.Logger.ERROR, "launch failed", False)):
            def logging_run(**kw):
                runner.log_capturer.log(severity, text)
                return original(**kw)
            ctx.execute_async_v2 = logging_run
            try:
                m.predict(x)
                assert not fails, text
            except RuntimeError as e:
                assert fails and e.args[1] == text, e.args

        ctx.execute_async_v2 = lambda **kw: False
        try:
            m.predict(x)
        except RuntimeError as e:
            assert "failed to enqueue" in str(e)
        else:
            raise AssertionError("a failed execution was ignored")
        import pycuda.driver as cuda
        assert cuda.Context.get_current() is not runner.device_context  # popped on the error paths too

        ctx.execute_async_v2 = original
        real_alloc = cuda.mem_alloc
        def exhausted(nbytes):
            raise cuda.MemoryError("cuMemAlloc failed: out of memory")
        cuda.mem_alloc = exhausted
        try:
            m.predict(np.ones((3, 4), np.float32))
        except cuda.MemoryError:
            pass
        else:
            raise AssertionError("allocation failure ignored")
        cuda.mem_alloc = real_alloc
        assert tuple(ctx.get_binding_shape(0)) == (2, 4)  # the shapes of the buffers still in place
        y = np.array([[-1, 5, -2, 3]] * 2, np.float32)
        assert np.array_equal(m.predict(y)[0], np.maximum(y, 0))
        """)


def test_engine_logger_profiler_handle_and_tables(child):
    child("""
        import logging
        import tensorrt as trt
        import torch
        from ostrel.frameworks.engines import trt_engine as te

        seen = []
        class Wrapped:
            def log(self, severity, msg):
                seen.append((severity, msg))
        lg = te.TamsorTRTEngineLogger(Wrapped())
        assert isinstance(lg, trt.ILogger) and lg.output == ""
        lg.log(trt.Logger.INFO, "outside", 1, extra=2)
        with lg as same:
            assert same is lg
            lg.log(trt.Logger.WARNING, "a")
            lg.log(trt.Logger.ERROR, "b")
        lg.log(trt.Logger.INFO, "after")
        assert lg.output == "ab"
        assert seen == [(trt.Logger.INFO, "outside"), (trt.Logger.WARNING, "a"), (trt.Logger.ERROR, "b"),
                        (trt.Logger.INFO, "after")]
        try:
            with lg:
                lg.log(trt.Logger.INFO, "c")
                raise KeyError("inside")
        except KeyError:
            pass
        assert lg.output == "c"
        lg.log(trt.Logger.INFO, "d")
        assert lg.output == "c"
        lg.clear_buffer()
        assert lg.output == ""
        f = te.TamsorTRTEngineLogger.get_trt_severity_from_python_verbosity
        assert [f(v) for v in (50, 40, 30, 20, 10, 0, 25)] == [trt.Logger.INTERNAL_ERROR, trt.Logger.ERROR,
            trt.Logger.WARNING, trt.Logger.INFO, trt.Logger.VERBOSE, trt.Logger.VERBOSE, trt.Logger.VERBOSE]

        p = te.OstrelTRTProfiler()
        assert isinstance(p, trt.IProfiler) and list(p.layers_dataframe.columns) == ["Layer Name", "ms", "Percentage"]
        for name, ms in (("a", 1.0), ("b", 3.0), ("a", 2.0)):
            p.report_layer_time(name, ms)
        t = p.layers_dataframe
        assert list(t["Layer Name"]) == ["a", "b"] and list(t["Percentage"]) == [40.0, 60.0]

        assert len(te.numpy_to_torch_dtype_dict) == 11 and te.torch_to_numpy_dtype_dict[torch.float16] is np.float16
        assert te.numpy_to_torch_dtype_dict[np.bool_] is torch.bool
        assert te.PLATFORM_MAPPINGS_TO_OSTREL_VERSIONS == {"3": "3", "4": "3"}

        runner = te.TamsorTRTEngineRunner(str(S / "trt/dynamic_batch.pkl"), profiling=True)
        assert logging.getLogger("tensorrt").level == logging.WARNING
        assert runner.trt_logger.min_severity == trt.Logger.WARNING
        assert [a.shape for a in runner.initial_host_inputs] == [(8, 3, 16, 16)]
        assert not runner.initial_host_inputs[0].any()  # zero-filled, not the page-locked poison
        assert len(runner.layers_dataframe) == 23  # the warm-up run reported every layer
        handle = runner._forward_pass(synchronize=False)
        assert isinstance(handle, te.TRTExecutionHandle)
        first = handle.wait()
        assert first > 0 and handle.wait() == first
        try:
            te.TRTExecutionHandle(None, None, None)
        except TypeError:
            pass
        else:
            raise AssertionError("events by position")
        try:
            handle._wait_for_input_buffer_reuse()
        except NotImplementedError:
            pass
        telemetry = {"h_to_d": [], "d_to_h": []}
        runner.run([np.ones((8, 3, 16, 16), np.float32)], telemetry_dict=telemetry)
        assert len(telemetry["h_to_d"]) == 1 and len(telemetry["d_to_h"]) == 1
        try:
            runner.run([np.ones((8, 3, 16, 16), np.float32)], output_device="tpu")
        except ValueError:
            pass
        else:
            raise AssertionError("unknown output device")
        """)


def test_start_up_without_gpu_or_pycuda_ends_without_classes(child, tmp_path):
    # TensorRT and pycuda present, no GPU: one warning, no classes, CUDA untouched.
    r = child("""
        import ostrel
        from ostrel.frameworks.engines import trt_engine as te
        from ostrel.frameworks import trt_inferencer
        assert not hasattr(te, "TamsorTRTEngineRunner") and not hasattr(te, "numpy_to_torch_dtype_dict")
        assert hasattr(te, "trt") and not hasattr(trt_inferencer, "TRTInferencer")
        assert "pycuda.autoinit" not in sys.modules  # the probe reads the CUDA version only
        import pycuda.driver as cuda
        assert cuda.Context.get_current() is None
        import importlib; importlib.import_module("ostrel.frameworks.engines.trt_engine")
        """, paths=GPU[:2])
    assert (r.stdout + r.stderr).count("Skipping TensorRT Loading: no visible GPU: A GPU is not available, "
                                       "therefore TensorRT models cannot be used.") == 1, r.stdout
    # A GPU and TensorRT but no pycuda: no classes, and a load reports the framework as not supported.
    r = child("""
        import ostrel
        from ostrel.frameworks.engines import trt_engine as te
        assert not hasattr(te, "TamsorTRTEngineRunner")
        from ostrel.common.exceptions import FrameworkNotSupportedError
        try:
            ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        except Exception as e:
            assert isinstance(e.__cause__, FrameworkNotSupportedError), repr(e.__cause__)
        else:
            raise AssertionError("loaded without pycuda")
        """, paths=[GPU[0], GPU[2]])
    assert 'problem importing package: "pycuda"' in r.stdout + r.stderr
    # A pycuda that cannot start CUDA on this machine ends the module the same way.
    broken = tmp_path / "broken_pycuda" / "pycuda"
    broken.mkdir(parents=True)
    for name, text in (("__init__", ""), ("gpuarray", ""), ("driver", "def get_version():\n    return (11, 4, 0)\n"),
                       ("autoinit", "raise RuntimeError('cuInit failed: no CUDA-capable device is detected')\n")):
        (broken / f"{name}.py").write_text(text)
    r = child("""
        import ostrel
        from ostrel.frameworks.engines import trt_engine as te
        from ostrel.frameworks import trt_inferencer
        assert not hasattr(te, "TamsorTRTEngineRunner") and not hasattr(trt_inferencer, "TRTInferencer")
        """, paths=[GPU[0], broken.parent, GPU[2]])
    assert "CUDA could not be initialised through pycuda: cuInit failed" in r.stdout + r.stderr


def test_without_the_stand_ins_nothing_changes(child):
    child("""
        import ostrel
        assert ostrel.GPU_PRESENT is False and "tensorrt" not in sys.modules
        from ostrel.frameworks import trt_inferencer
        assert not hasattr(trt_inferencer, "TRTInferencer")
        from ostrel.common.exceptions import FrameworkNotSupportedError
        try:
            ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        except Exception as e:
            assert isinstance(e.__cause__, FrameworkNotSupportedError), repr(e.__cause__)
        else:
            raise AssertionError("loaded")
        """, paths=[])


def test_gpu_outputs_are_tensors_on_the_runners_device(child):
    r = child("""
        import pycuda.driver as cuda
        from ostrel.frameworks.engines import trt_engine as te
        from ostrel.frameworks.trt_inferencer import TRTInferencer

        devices = []
        offset = 0
        class Tensor:  # a CUDA tensor of torch's interface, over a device allocation
            def __init__(self, size, dtype, device):
                self.shape, self.np_type = size, np.dtype(te.torch_to_numpy_dtype_dict[dtype])
                self.memory = cuda.mem_alloc(int(np.prod(size)) * self.np_type.itemsize)
                devices.append(device)
            def data_ptr(self): return int(self.memory)
            def element_size(self): return self.np_type.itemsize
            def nelement(self): return int(np.prod(self.shape))
            def cpu(self):
                host = np.empty(self.shape, self.np_type)
                cuda.memcpy_dtoh(host, self.memory)
                return type("Host", (), {"numpy": lambda _: host + offset})()
        class Torch:
            empty = staticmethod(lambda size, dtype, device: Tensor(size, dtype, device))
        te.torch = Torch

        m = TRTInferencer(str(S / "trt/two_profiles.pkl"))
        x = np.array([[-1, 2, -3, 4]] * 3, np.float32)
        telemetry = {"h_to_d": [], "d_to_h": []}
        (out,) = m.predict(x, "gpu", telemetry_dict=telemetry)
        assert out.shape == (3, 4) and devices == ["cuda:0"]
        assert len(telemetry["h_to_d"]) == len(telemetry["d_to_h"]) == 1
        host = np.empty((3, 4), np.float32)
        m.model.device_context.push()
        cuda.memcpy_dtoh(host, out.memory)
        cuda.Context.pop()
        assert np.array_equal(host, np.maximum(x, 0))

        for offset in (0, 1):  # GPU outputs equal to the host ones, then off by one: only the second logs
            r = te.TamsorTRTEngineRunner(str(S / "trt/two_profiles.pkl"), assert_cross_hardware_coherency=True)
            assert r.host_outputs[0].shape == (2, 4)
            print("built runner", offset, flush=True)

        te.numpy_to_torch_dtype_dict, te.torch_to_numpy_dtype_dict = {}, {}
        try:
            m.predict(x, output_device="gpu")
        except RuntimeError as e:
            assert e.args[0].startswith('"torch" is not installed.') and e.args[1] is np.float32, e.args
        else:
            raise AssertionError("GPU outputs without torch")
        """)
    mismatch = "The model did not return the same results for CPU and GPU inference."
    assert r.stdout.count(mismatch) == 1, r.stdout
    assert r.stdout.index("built runner 0") < r.stdout.index(mismatch) < r.stdout.index("built runner 1")


def test_stand_ins_are_strict(child):
    child("""
        import pycuda.autoinit
        import pycuda.driver as cuda
        memory = cuda.mem_alloc(16)
        assert np.isnan(cuda.pagelocked_empty(4, np.float32)).all()  # poison, not zeros
        other = cuda.Device(0).make_context()
        try:
            cuda.memcpy_htod_async(memory, np.zeros(4, np.float32))
        except cuda.LogicError as e:
            assert "context mismatch" in str(e), e
        else:
            raise AssertionError("copied under another context")
        try:
            pycuda.autoinit.context.detach()
        except cuda.LogicError:
            pass
        else:
            raise AssertionError("detached a context buried under another")
        other.pop()
        for attempt in (lambda: cuda.memcpy_htod(memory, np.zeros(5, np.float32)),
                        lambda: cuda.memcpy_dtoh(np.zeros(5, np.float32), memory)):
            try:
                attempt()
            except cuda.LogicError as e:
                assert "run past the end" in str(e), e
            else:
                raise AssertionError("copied past an allocation")
        stream = cuda.Stream()
        host = np.zeros(4, np.float32)
        cuda.memcpy_htod_async(memory, host, stream)
        host[:] = 7  # the copy runs at synchronisation and reads the buffer then
        stream.synchronize()
        back = np.zeros(4, np.float32)
        cuda.memcpy_dtoh(back, memory)
        assert (back == 7).all()

        def refused(attempt, text):
            try:
                attempt()
            except cuda.LogicError as e:
                assert text in str(e), e
            else:
                raise AssertionError(f"accepted: {text}")
        ctx = pycuda.autoinit.context
        other = cuda.Device(0).make_context()
        refused(ctx.pop, "not the current one")  # ctx is below `other`
        other.pop()
        # page-locked memory goes with its context
        third = cuda.Device(0).make_context()
        pinned = cuda.pagelocked_zeros(4, np.float32)
        assert cuda.check_host_memory(pinned) is pinned
        third.detach()
        refused(lambda: cuda.check_host_memory(pinned), "freed with its context")
        assert np.isnan(pinned).all()
        """)
    # a push that is never popped fails the interpreter at exit, as the real module aborts
    r = child("""
        import pycuda.autoinit
        import pycuda.driver as cuda
        cuda.Device(0).make_context()
        """, check=False)
    assert r.returncode != 0 and "context stack was not empty" in r.stderr, r.stderr


def test_outputs_stay_valid_after_the_model_is_disposed(child):
    child("""
        import gc
        import pycuda.driver as cuda
        import ostrel
        model = ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        x = np.arange(8, dtype=np.float32).reshape(2, 4) - 3
        out = model.predict(x)[0]
        del model
        gc.collect()
        cuda.check_host_memory(out)
        assert np.array_equal(out, np.maximum(x, 0)), out
        context_count = len([o for o in gc.get_objects() if isinstance(o, cuda.Context) and o._alive])
        del out
        gc.collect()
        assert len([o for o in gc.get_objects() if isinstance(o, cuda.Context) and o._alive]) < context_count
        """)


def test_models_alive_at_exit_are_disposed_of_quietly(child):
    # A script that ends with models (and an output) still referenced: every context is detached by the
    # exit handler, while CUDA still works, and nothing is logged as an error.
    r = child("""
        import pycuda.driver as cuda
        def detach(self, _detach=cuda.Context.detach, _write=os.write):
            _detach(self)
            _write(2, b"detached context\\n")
        cuda.Context.detach = detach
        import ostrel
        model = ostrel.load(str(S / "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl"), framework_type="trt")
        second = ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        out = model.predict(model.example_inputs)
        """)
    assert r.returncode == 0
    assert "ERROR" not in r.stdout + r.stderr, r.stdout + r.stderr
    assert r.stderr.count("detached context") == 2, r.stderr


def test_without_tensorrt_the_engine_module_fails_to_import_and_the_back_end_goes_without_it(child):
    child("""
        sys.modules["tensorrt"] = None  # not installed
        import ostrel
        try:
            import ostrel.frameworks.engines.trt_engine
        except ModuleNotFoundError as e:
            assert e.name == "tensorrt", e
        else:
            raise AssertionError("imported without TensorRT")
        from ostrel.frameworks import trt_inferencer
        assert not hasattr(trt_inferencer, "TRTInferencer")
        from ostrel.common.exceptions import FrameworkNotSupportedError
        for _ in range(2):  # the back-end module imported by the first load, taken as imported by the second
            try:
                ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
            except ostrel.common.exceptions.OstrelError as e:
                error = e.__cause__
                assert isinstance(error, FrameworkNotSupportedError), repr(error)
                assert str(error).endswith("support: cannot import name 'TRTInferencer' from "
                                           "'ostrel.frameworks.trt_inferencer'"), error
                assert isinstance(error.__cause__, ImportError) and error.__cause__.name == trt_inferencer.__name__
            else:
                raise AssertionError("loaded without TensorRT")
        """, paths=GPU[1:])


def test_gpu_present_start_up_probe_timers_and_factory(child):
    r = child("""
        import ostrel
        from ostrel.inference import config
        from ostrel.common.utils import GPUTimer, get_timer
        from ostrel.common.exceptions import InvalidInferenceHardware
        assert ostrel.GPU_PRESENT is True and ostrel.NUM_OF_GPUS == 1 and ostrel.trt.__version__ == "8.6.1"
        assert (config.TRT_VERSION, config.CUDA_VERSION) == ("8.6.1", (11, 4, 0))

        primary = get_timer("gpu")  # no stream: pycuda's primary context
        assert isinstance(primary, GPUTimer)
        primary.start()
        assert primary.stop() >= 0
        import pycuda.driver as cuda
        stream = cuda.Stream()
        timed = get_timer(ostrel.InferenceHardware.GPU, stream=stream)
        timed.start()
        assert timed.stop() >= 0 and not hasattr(timed, "device_context")

        m = ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt")
        assert m.legend["inference_hardware"] == "gpu" and m.legend["framework"]["type"] == "trt"
        try:
            ostrel.load(str(S / "trt/two_profiles.pkl"), framework_type="trt", inference_hardware="cpu")
        except ostrel.common.exceptions.OstrelError as e:
            assert isinstance(e.__cause__, InvalidInferenceHardware), repr(e.__cause__)
        else:
            raise AssertionError("TensorRT on the CPU")
        """)
    assert "CUDA Warning" not in r.stdout


def test_runner_on_the_second_optimization_profile(child):
    child("""
        from ostrel.frameworks.engines.trt_engine import TamsorTRTEngineRunner
        r = TamsorTRTEngineRunner(str(S / "trt/two_profiles.pkl"), optimization_profile=1)
        assert (r.input_binding_idxs, r.output_binding_idxs) == ([2], [3])
        assert [a.shape for a in r.initial_host_inputs] == [(8, 4)]  # profile 1's OPT batch
        x = np.array([[-1, 2, -3, 4]] * 16, np.float32)
        assert np.array_equal(r.run([x])[0], np.maximum(x, 0))
        try:
            r.run([np.zeros((17, 4), np.float32)])
        except ValueError as e:
            assert "outside optimization profile 1" in str(e), e
        else:
            raise AssertionError("batch above the profile's maximum")
        """)


def test_engine_whose_first_input_has_no_batch_axis(child, tmp_path):
    child(f"""
        import onnx
        from onnx import TensorProto, helper
        import tensorrt as trt
        graph = helper.make_graph([helper.make_node("Relu", ["v"], ["r"], name="relu")], "flat",
                                  [helper.make_tensor_value_info("v", TensorProto.FLOAT, [1000])],
                                  [helper.make_tensor_value_info("r", TensorProto.FLOAT, [1000])])
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
        model.ir_version = 8
        logger = trt.Logger()
        with trt.Builder(logger) as b, b.create_network(1) as net, b.create_builder_config() as cfg, \\
                trt.OnnxParser(net, logger) as parser:
            assert parser.parse(model.SerializeToString())
            blob = b.build_serialized_network(net, cfg)
        path = Path({str(tmp_path)!r}) / "flat.engine"
        path.write_bytes(bytes(blob))

        from ostrel.frameworks.trt_inferencer import TRTInferencer
        m = TRTInferencer(str(path))
        assert m.max_batch_size is None and m.input_dims == [(1000,)] and m.static_batch_size is None
        v = np.linspace(-1, 1, 1000, dtype=np.float32)
        assert m.verify_inputs([v]) == [v]  # no batch axis: no maximum batch to compare with
        assert np.array_equal(m.safe_predict(v)[0], np.maximum(v, 0))
        m._dispose_all_resources()
        m._dispose_all_resources()
        assert not hasattr(m, "model")
        """)
