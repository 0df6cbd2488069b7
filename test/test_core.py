"""The inference core: the inferencer base, the benchmark engine, the factory, load and LoadedModel.

Back-ends here are small Python subclasses of BaseInferencer; a factory branch is served by a
stand-in module entered in sys.modules under the back-end's module name.
"""
import inspect
import logging
import os
import sys
import types

import numpy as np
import pytest

import ostrel
import ostrel.frameworks.base_inferencer as base_module
import ostrel.inference.inferencer_factory as factory_module
from ostrel.common import exceptions as exc
from ostrel.frameworks.base_inferencer import BaseInferencer
from ostrel.inference.inferencer_factory import InferencerFactory
from ostrel.inference.ostrel_manager import LoadedModel, Ostrel

FRAMEWORKS = "['onnx', 'pytorch', 'torchscript', 'trt', 'openvino', 'keras', 'tf2', 'tflite', 'coreml']"


class EchoInferencer(BaseInferencer):
    """Returns its inputs; counts calls and records the keywords of each call."""

    def __init__(self, checkpoint_file, inference_hardware=None, input_dims=None, static_batch_size=None,
                 logging_verbosity=None, **kwargs):
        self.calls = []
        self.options = kwargs
        super().__init__(checkpoint_file=checkpoint_file, inference_hardware=inference_hardware,
                         input_dims=input_dims, static_batch_size=static_batch_size,
                         logging_verbosity=logging_verbosity)

    def _load_model(self):
        self.model = "loaded"

    def _assert_loaded_successfully(self):
        self._assert_checkpoint_component(self.model, "no model")

    def _dispose_all_resources(self):
        self._delete_instance_resource("model")

    def predict(self, x=None, **kwargs):
        self.calls.append(kwargs)
        return x

    @property
    def framework_type(self):
        return ostrel.FrameworkType.COREML

    @property
    def framework_version(self):
        return "1.2.3"


class DescribedInferencer(EchoInferencer):
    def _get_inputs_metadata(self):
        from ostrel.common.data_classes.tensor_metadata import TensorMetadata

        self.described = getattr(self, "described", 0) + 1
        return [TensorMetadata(name="in", datatype=np.float32, shape=(-1, 3, 4))]

    def fetch_model_batch_size(self):
        return None


@pytest.fixture
def model_file(tmp_path):
    p = tmp_path / "model.bin"
    p.write_bytes(b"\0" * 2048)
    return str(p)


@pytest.fixture
def coreml_standin(monkeypatch):
    """Serves the Core ML factory branch with EchoInferencer."""
    mod = types.ModuleType("ostrel.frameworks.coreml_inferencer")
    mod.CoreMLInferencer = EchoInferencer
    monkeypatch.setitem(sys.modules, "ostrel.frameworks.coreml_inferencer", mod)
    return mod


@pytest.fixture
def ostrel_records(monkeypatch):
    """Records what reaches the package logger's handlers (every load re-applies the logging
    configuration, which would drop a handler added to the logger itself)."""
    records = []
    logger = logging.getLogger("Ostrel")
    real = logger.handle
    monkeypatch.setattr(logger, "handle", lambda record: (records.append(record), real(record)))
    return records


# ---- the base class ------------------------------------------------------------------------------

def test_abstract_set_is_exactly_six():
    assert BaseInferencer.__abstractmethods__ == frozenset(
        {"_assert_loaded_successfully", "_load_model", "_dispose_all_resources", "predict", "framework_type",
         "framework_version"})

    class Partial(EchoInferencer):
        framework_version = BaseInferencer.framework_version

    with pytest.raises(TypeError):
        Partial("x")


def test_construction_settings_and_fields(model_file):
    m = EchoInferencer(model_file, input_dims=(3, 224, 224))
    assert m.inference_hardware == ostrel.InferenceHardware.CPU
    assert m.input_dims == [(3, 224, 224)]
    assert m.inference_dtype is np.float32
    assert m._system_startpoint_memory_used is None
    assert m.checkpoint_file == model_file
    assert m._logger.name == __name__
    m.static_batch_size = -3
    assert m.static_batch_size == -3
    del m._checkpoint_file  # fields are plain attributes


@pytest.mark.parametrize("dims, message", [
    ([], "input_dims is an empty list."),
    ((), "input_dims is an list of an empty tuple."),
    ("abc", "input_dims must be a list"),
    (0, "input_dims must be a list"),
    ([[3, 224, 224]], "input_dims first element is not a tuple, got: [[3, 224, 224]]"),
    ([(None, 224)], "input_dims must be a list of tuples of ints, representing the inputs shapes, got: [(None, 224)]"),
])
def test_input_dims_verification(model_file, dims, message):
    with pytest.raises(AssertionError) as e:
        EchoInferencer(model_file, input_dims=dims)
    assert str(e.value) == message
    m = EchoInferencer(model_file, input_dims=[(3, "x"), "y"])
    with pytest.raises(AssertionError):
        m.input_dims = dims
    assert m.input_dims == [(3, "x"), "y"]


def test_verify_input_dims_is_class_private(model_file):
    assert "_BaseInferencer__verify_input_dims" in vars(BaseInferencer)

    class Sub(EchoInferencer):
        def _BaseInferencer__verify_input_dims_other(self, value):  # pragma: no cover
            raise RuntimeError

    Sub(model_file, input_dims=(1,))


@pytest.mark.parametrize("dims, expected", [
    ([(8, 3, 224, 224)], 8), ([8, 3], 8), ([("N", 3)], False), ([(0, 3)], False), (((1, 3),), False),
    (None, False), ([()], False),
])
def test_is_batch_size_static(dims, expected):
    result = BaseInferencer._is_batch_size_static(dims)
    assert result == expected and type(result) is type(expected)


def test_is_batch_size_static_of_no_shapes_raises_index_error():
    with pytest.raises(IndexError):
        BaseInferencer._is_batch_size_static([])


def test_memory_figures_on_gpu(model_file, monkeypatch):
    class NoGPUtil:
        @staticmethod
        def getGPUs():
            return []

    class NoJtop:
        @staticmethod
        def get_memory(attr="used"):
            raise NameError("jtop")

    monkeypatch.setattr(base_module, "GPUtil", NoGPUtil)
    monkeypatch.setattr(base_module, "jtop", NoJtop)
    with pytest.raises(EnvironmentError, match="Cannot get GPU memory size because jtop could not be imported.") as e:
        EchoInferencer(model_file, inference_hardware=ostrel.InferenceHardware.GPU)
    assert isinstance(e.value.__context__, NameError)

    class Jtop:
        @staticmethod
        def get_memory(attr="used"):
            return {"used": 2.0, "total": 8.0}[attr]

    monkeypatch.setattr(base_module, "jtop", Jtop)
    monkeypatch.setattr(base_module, "get_timer", lambda hw: __import__("ostrel.common.utils").common.utils.CPUTimer())
    m = EchoInferencer(model_file, inference_hardware=ostrel.InferenceHardware.GPU, input_dims=(2,))
    assert m._system_startpoint_memory_used == 2.0
    m = EchoInferencer(model_file, inference_hardware="gpu", input_dims=(2,))
    assert m.inference_hardware == "gpu" and type(m.inference_hardware) is str
    r = m.benchmark(batch_size=1, repetitions=1, warmup_calls=0)
    assert (r.inference_hardware, r.post_inference_memory_used, r.total_memory_size) == ("GPU", 2.0, 8.0)


def test_missing_shapes_warn_and_dtype_falls_back(model_file, monkeypatch):
    class NoDtype(EchoInferencer):
        def fetch_model_input_dtype(self):
            raise NotImplementedError

    records = []
    monkeypatch.setattr(logging.Logger, "handle", lambda self, record: records.append(record))
    m = NoDtype(model_file)
    warnings = [r.getMessage() for r in records if r.levelno == logging.WARNING]
    assert records[0].module == "base_inferencer"
    assert m.inference_dtype is np.float32 and m.input_dims is None
    assert warnings == [
        "The input dimensions for the model were not specified, and they could not be fetched automatically from "
        f"{model_file}. Please specify the input dimensions upon benchmark() call."]


# ---- metadata, example inputs, legend ----------------------------------------------------------------

def test_example_inputs_and_cached_metadata(model_file):
    m = DescribedInferencer(model_file)
    (x,) = m.example_inputs
    assert x.shape == (1, 3, 4) and x.dtype == np.float32 and (0 <= x).all() and (x < 1).all()
    m.inputs_metadata
    assert m.described == 1


def test_example_inputs_with_a_named_batch_dimension(model_file):
    class Named(DescribedInferencer):
        def _get_inputs_metadata(self):
            from ostrel.common.data_classes.tensor_metadata import TensorMetadata

            return [TensorMetadata(name="in", datatype=np.float32, shape=("batch_size", 3, 4)),
                    TensorMetadata(name="fixed", datatype=np.int64, shape=(1, 2))]

    a, b = Named(model_file).example_inputs
    assert a.shape == (1, 3, 4) and b.shape == (1, 1, 2)  # a static leading 1 stays a dimension


def test_input_dims_fill_only_the_sizes_the_description_leaves_open(model_file):
    class Open(DescribedInferencer):
        def _get_inputs_metadata(self):
            from ostrel.common.data_classes.tensor_metadata import TensorMetadata

            return [TensorMetadata(name="image", datatype=np.float32, shape=("N", 3, "H", "W")),
                    TensorMetadata(name="mask", datatype=np.int64, shape=(-1, 4))]

    a, b = Open(model_file, input_dims=[(9, 32, 16), (7,)]).example_inputs
    assert (a.shape, b.shape, b.dtype) == ((1, 3, 32, 16), (1, 4), np.int64)
    with pytest.raises(exc.InputDimensionsNotSpecifiedError, match="'H'"):  # another rank fills nothing
        Open(model_file, input_dims=[(32, 16)]).example_inputs


def test_example_inputs_from_dims_and_errors(model_file):
    class Typed(EchoInferencer):
        def fetch_model_input_dtype(self):
            return [np.float32, np.int64]

        def fetch_model_batch_size(self):
            return 4

    a, b = Typed(model_file, input_dims=[(3, 2), (10,)]).example_inputs
    assert a.shape == (4, 3, 2) and b.shape == (4, 10) and b.dtype == np.int64 and (a == a[0]).all()
    with pytest.raises(AssertionError, match="^Input dimensions were not supplied during initialization and could not be inferred$"):
        Typed(model_file).example_inputs
    with pytest.raises(AssertionError, match="Input data types were not supplied"):
        EchoInferencer(model_file, input_dims=(2,)).example_inputs


def test_legend(model_file):
    class Extra(EchoInferencer):
        def get_framework_specific_metadata(self):
            return {"model_path": "elsewhere", "new": 1}

    legend = Extra(model_file).legend
    assert list(legend) == ["model_path", "model_inputs", "model_outputs", "inference_hardware", "framework", "new"]
    assert legend["model_path"] == "elsewhere" and legend["model_inputs"] == []
    assert legend["framework"] == {"type": ostrel.FrameworkType.COREML, "version": ("1.2.3",)}


def test_profile_hooks(model_file):
    import pandas as pd

    m = EchoInferencer(model_file)
    with pytest.raises(NotImplementedError, match="get_layers_profile_dataframe is not implemented for EchoInferencer"):
        m.get_bottlenecks()

    class Profiled(EchoInferencer):
        def get_layers_profile_dataframe(self):
            return pd.DataFrame({"Layer Name": list("abc"), "ms": [1.0, 3.0, 2.0], "Percentage": [0, 0, 0]})

    assert list(Profiled(model_file).get_bottlenecks(num_layers=10)["Layer Name"]) == ["b", "c", "a"]


# ---- benchmark engine ------------------------------------------------------------------------------

def test_benchmark_record(model_file):
    m = EchoInferencer(model_file, input_dims=(3, 4))
    r = m.benchmark(batch_size=4, repetitions=50, warmup_calls=3)
    assert len(m.calls) == 53
    assert r.batch_size == 4 and r.inference_hardware == "CPU" and r.framework_type == "coreml"
    assert r.throughput == 1000 / r.batch_inf_time * 4
    assert r.sample_inf_time == r.batch_inf_time / 4
    assert r.model_memory_used == 2048 / 1048576
    assert r.system_startpoint_memory_used is None and r.total_memory_size is None
    assert r.include_io is True and isinstance(r.ctime, int)


def test_statistics_match_numpy(model_file, monkeypatch):
    times = iter([0.0, 2.0, 10.0, 14.0])

    class Timer:
        def start(self):
            self.t0 = next(times)

        def stop(self):
            return next(times) - self.t0

    class Timed(EchoInferencer):
        def _get_timer(self):
            return Timer()

    r = Timed(model_file, input_dims=(1,)).benchmark(batch_size=8, repetitions=2, warmup_calls=0)
    assert (r.batch_inf_time, r.batch_inf_time_variance, r.sample_inf_time) == (3.0, 1.0, 0.375)
    assert r.throughput == pytest.approx(2666.6666666)

    rng = np.random.default_rng(0)
    lat = list(rng.random(1000) * 3)
    it = iter(lat)

    class Replay(EchoInferencer):
        def _get_timer(self):
            t = types.SimpleNamespace(start=lambda: None, stop=lambda: next(it))
            return t

    mean, var = Replay(model_file, input_dims=(1,))._benchmark_loop(benchmark_iter=range(1000))
    assert mean == np.mean(lat) and var == np.var(lat)


def test_run_length_rules(model_file, monkeypatch):
    m = EchoInferencer(model_file, input_dims=(1,))
    m.benchmark(batch_size=1, repetitions=7, warmup_calls=0)
    assert len(m.calls) == 7
    m.calls.clear()
    m.benchmark(batch_size=1, duration_sec=0.01, repetitions=7, warmup_calls=0)
    assert len(m.calls) >= 100 and len(m.calls) % 100 == 0
    monkeypatch.setattr(base_module, "BENCHMARK_DURATION", 0.01)
    m.calls.clear()
    m.benchmark(batch_size=1, warmup_calls=0)
    assert len(m.calls) % 100 == 0 and len(m.calls) >= 100
    assert inspect.isgenerator(base_module._timed_benchmark_iter(0.0))
    assert list(base_module._timed_benchmark_iter(-1.0)) == []


def test_warmup_default_bound_at_class_creation(model_file, monkeypatch):
    monkeypatch.setattr(base_module, "BENCHMARK_WARMUP_CALLS", 1)
    m = EchoInferencer(model_file, input_dims=(1,))
    m.benchmark(batch_size=1, repetitions=1)
    assert len(m.calls) == 101


def test_telemetry_reaches_timed_calls_only(model_file):
    m = EchoInferencer(model_file, input_dims=(1,))
    t = {}
    m.benchmark(batch_size=1, repetitions=3, warmup_calls=2, telemetry_dict=t)
    assert ["telemetry_dict" in c for c in m.calls] == [False, False, True, True, True]
    assert all(c["telemetry_dict"] is t for c in m.calls[2:])


def test_benchmark_errors(model_file):
    m = EchoInferencer(model_file)
    with pytest.raises(exc.InputDimensionsNotSpecifiedError):
        m.benchmark(batch_size=1)
    # The caller's own inputs need no shapes.
    assert m.benchmark(batch_size=1, repetitions=2, warmup_calls=1, x=[np.zeros(1)]).batch_size == 1
    assert len(m.calls) == 3

    class Empty(EchoInferencer):
        def predict(self, x=None, **kwargs):
            return []

    with pytest.raises(AssertionError, match=r"The model output is not valid.*Output: \[\]$"):
        Empty(model_file, input_dims=(1,)).benchmark(batch_size=1, repetitions=1)
    with pytest.raises(exc.ForwardPassNotImplemented):
        m.benchmark(batch_size=1, input_dimensions=(2,), repetitions=1, warmup_calls=0, include_io=False)


def test_zero_timings_give_an_infinite_throughput(model_file):
    class Instant(EchoInferencer):
        def _get_timer(self):
            return types.SimpleNamespace(start=lambda: None, stop=lambda: 0.0)

    with np.errstate(divide="ignore"):
        r = Instant(model_file, input_dims=(1,)).benchmark(batch_size=4, repetitions=3, warmup_calls=0)
    assert r.throughput == float("inf") and r.batch_inf_time == 0.0 and r.sample_inf_time == 0.0
    mean, var = Instant(model_file, input_dims=(1,))._benchmark_loop(benchmark_iter=range(2))
    assert type(mean) is np.float64 and type(var) is np.float64


@pytest.mark.parametrize("arguments, error, text", [
    (dict(repetitions=10**30), OverflowError, "repetitions is out of range: 10{30}"),
    (dict(repetitions=3, warmup_calls=2**63), OverflowError, "warmup_calls is out of range"),
    (dict(repetitions=2.5), TypeError, "'float' object cannot be interpreted as an integer"),
    (dict(repetitions=-1), ValueError, "repetitions must not be negative, got -1"),
    (dict(duration_sec=-1.0), ValueError, "duration_sec must be a positive number of seconds, got -1.0"),
    (dict(duration_sec=float("nan"), repetitions=3), ValueError, "got nan"),
])
def test_run_lengths_a_run_cannot_have_are_refused_before_any_call(model_file, arguments, error, text):
    m = EchoInferencer(model_file, input_dims=(1,))
    with pytest.raises(error, match=text):
        m.benchmark(batch_size=1, **{"warmup_calls": 1, **arguments})
    assert m.calls == []


def test_default_duration_must_be_positive(model_file, monkeypatch):
    monkeypatch.setattr(base_module, "BENCHMARK_DURATION", 0)
    m = EchoInferencer(model_file, input_dims=(1,))
    with pytest.raises(ValueError, match="BENCHMARK_DURATION must be a positive number of seconds, got 0"):
        m.benchmark(batch_size=1, duration_sec=0.0, repetitions=0)
    assert m.calls == []


def test_huge_repetitions_grow_the_buffer_as_they_run(model_file):
    class Stops(EchoInferencer):
        def predict(self, x=None, **kwargs):
            if len(self.calls) == 5:
                raise KeyboardInterrupt
            return super().predict(x, **kwargs)

    m = Stops(model_file, input_dims=(1,))
    with pytest.raises(KeyboardInterrupt):  # not MemoryError: nothing is reserved for 2**62 calls
        m.benchmark(batch_size=1, repetitions=2**62, warmup_calls=0)
    assert len(m.calls) == 5


def test_any_positive_duration_runs_a_whole_block(model_file, monkeypatch):
    m = EchoInferencer(model_file, input_dims=(1,))
    m.benchmark(batch_size=1, duration_sec=1e-300, warmup_calls=0)
    assert len(m.calls) == 100
    assert len(list(base_module._timed_benchmark_iter(1e-300))) == 100
    # A clock put in the module's place is the one a timed run reads: ten seconds pass per reading.
    ticks = iter(range(0, 10**6, 10))
    monkeypatch.setattr(base_module, "time", types.SimpleNamespace(perf_counter=lambda: next(ticks)))
    m.calls.clear()
    m.benchmark(batch_size=1, duration_sec=15.0, warmup_calls=0)
    assert len(m.calls) == 200


def test_shapes_without_sizes_are_refused_before_any_call(model_file):
    class Symbolic(EchoInferencer):
        def _get_inputs_metadata(self):
            from ostrel.common.data_classes.tensor_metadata import TensorMetadata

            return [TensorMetadata(name="image", datatype=np.float32, shape=("batch", 3, "height", "width"))]

    for dims in ([(3, "height", "width")], [(3, None)], [(3, -1)], [(3, "?")]):
        m = Symbolic(model_file, input_dims=dims)
        with pytest.raises(exc.InputDimensionsNotSpecifiedError) as e:
            m.benchmark(batch_size=1, repetitions=3)
        assert m.calls == []
        assert "'image'" in str(e.value) and str(dims[0]) in str(e.value) and "input_dims=" in str(e.value)
    with pytest.raises(exc.InputDimensionsNotSpecifiedError, match="'height'"):
        Symbolic(model_file).example_inputs
    with pytest.raises(exc.InputDimensionsNotSpecifiedError, match="Input #1 .*'n'"):
        EchoInferencer(model_file)._build_dummy_inputs([(2,), (3, "n")])


def test_static_batch_axis_is_not_added_twice(model_file):
    class Static(EchoInferencer):
        def _get_inputs_metadata(self):
            from ostrel.common.data_classes.tensor_metadata import TensorMetadata

            return [TensorMetadata(name="a", datatype=np.float32, shape=(8, 16, 96)),
                    TensorMetadata(name="b", datatype=np.float32, shape=(1, 5))]

        def fetch_model_batch_size(self):
            return 8

    a, b = Static(model_file).example_inputs
    assert a.shape == (8, 16, 96) and b.shape == (8, 1, 5)  # only a first item equal to the batch is the batch


@pytest.mark.parametrize("shapes, axes, dims, batched", [
    # shapes as the model declares them -> each input's batch axis, its dimensions, its arrays at batch 2
    ([(1, 576), (2, 1, 128)], [0, None], [(576,), (2, 1, 128)], [(2, 576), (2, 1, 128)]),  # recurrent state
    ([(3, 4, 5), (5,)], [0, None], [(4, 5), (5,)], [(2, 4, 5), (5,)]),  # a broadcast operand
    ([("B", 576), (2, "B", 128)], [0, 1], [(576,), (2, 128)], [(2, 576), (2, 2, 128)]),  # batch axis second
    ([(8, 4), ("batch", 4)], [0, 0], [(4,), (4,)], [(2, 4), (2, 4)]),  # one batch axis: the usual rule
    ([("N", 3), (-1, 5), (None, 2)], [0, 0, 0], [(3,), (5,), (2,)], [(2, 3), (2, 5), (2, 2)]),
    ([("N", 3), (4, 3), ()], [0, None, None], [(3,), (4, 3), ()], [(2, 3), (4, 3), ()]),
    ([(), ("N", 3)], [None, 0], [(), (3,)], [(), (2, 3)]),
    ([(0, 3), (0, 5)], [None, None], [(0, 3), (0, 5)], [(0, 3), (0, 5)]),  # a zero-size axis is no batch
])
def test_each_input_takes_the_batch_on_its_own_axis(model_file, shapes, axes, dims, batched):
    class Declared(EchoInferencer):
        def _declared_inputs(self):
            return [(f"in{i}", shape) for i, shape in enumerate(shapes)]

        def fetch_model_input_dimensions(self):
            return self._without_batch_axes(shapes)

        def fetch_model_input_dtype(self):
            return [np.float32] * len(shapes)

        def fetch_model_batch_size(self):
            return self._is_batch_size_static(shapes) or None

    m = Declared(model_file)
    assert m._batch_axes() == axes and m.input_dims == dims
    assert [b.shape for b in m._build_dummy_batch(m._build_dummy_inputs(dims, np.float32), 2)] == batched
    first = shapes[0][0] if shapes[0] else None
    if axes[0] == 0 and isinstance(first, int):  # a model whose batch axis is fixed takes that batch size only
        examples = [e.shape for e in m.example_inputs]
        assert examples == [b.shape for b in m._build_dummy_batch(m._build_dummy_inputs(dims, np.float32), first)]
        if all(isinstance(d, int) for d in sum(shapes, ())):
            assert examples == shapes  # a fully static model: exactly the declared shapes
        assert m.benchmark(batch_size=first, repetitions=1, warmup_calls=1).batch_size == first
        # Another batch size is the model's to refuse: nothing refuses it before the call.
        assert m.benchmark(batch_size=first + 1, repetitions=1, warmup_calls=1).batch_size == first + 1
    elif all(isinstance(d, int) for d in sum(dims, ())):
        assert m.benchmark(batch_size=3, repetitions=1, warmup_calls=1).batch_size == 3


@pytest.mark.parametrize("shapes, given, batched", [
    # a shape that is not the input's declared one (without its batch axis) takes the batch as a new first axis
    ([(None, 576), (2, None, 128)], [(576,), (2, 128)], [(3, 576), (3, 2, 128)]),
    ([("B", 576), (2, "B", 128)], [(576,), (5, 128)], [(3, 576), (3, 5, 128)]),
    ([("B", 576), (1, "B", 128)], [(576,), (4, 128)], [(3, 576), (3, 4, 128)]),
    ([(1, 576), (2, 1, 128)], [(576,), (1, 128)], [(3, 576), (3, 1, 128)]),
    ([(8, 4), ("batch", 4)], [(5,), (6, 2)], [(3, 5), (3, 6, 2)]),
    # the declared shapes: the batch on the input's own axis, an input that takes none as declared
    ([("B", 576), (2, "B", 128)], [(576,), (2, 128)], [(3, 576), (2, 3, 128)]),
    ([("B", 576), (1, "B", 128)], [(576,), (1, 128)], [(3, 576), (1, 3, 128)]),
    ([(None, 576), (2, None, 128)], [(576,), (2, 7, 128)], [(3, 576), (2, 7, 128)]),
    ([(1, 576), (2, 1, 128)], [(576,), (2, 1, 128)], [(3, 576), (2, 1, 128)]),
    ([("N", 3), ()], [(3,), ()], [(3, 3), ()]),
    # an input that takes no batch and declares a first size of 1: the new first axis keeps that 1
    ([(None, 576), (1, None, 128)], [(576,), (1, 128)], [(3, 576), (1, 1, 128)]),
])
def test_given_shapes_take_the_batch_as_a_new_first_axis(model_file, shapes, given, batched):
    class Declared(EchoInferencer):
        def _declared_inputs(self):
            return [(f"in{i}", shape) for i, shape in enumerate(shapes)]

        def predict(self, x=None, **kwargs):
            self.fed = [a.shape for a in x]
            return x

    m = Declared(model_file, input_dims=given)
    assert [b.shape for b in m._build_dummy_batch(m._build_dummy_inputs(given, np.float32), 3)] == batched
    m.benchmark(batch_size=3, repetitions=1, warmup_calls=0)
    assert m.fed == batched


def test_refused_calls_carry_the_interpreters_text(model_file):
    m = EchoInferencer(model_file)
    loaded = LoadedModel(inferencer_initializer=lambda: m)
    cases = [
        (lambda: loaded.predict(1, 2, 3, 4), "predict() takes from 1 to 4 positional arguments but 5 were given"),
        (lambda: loaded.safe_predict(1, x=1), "safe_predict() got multiple values for argument 'x'"),
        (lambda: loaded(), "__call__() missing 1 required positional argument: 'x'"),
        (lambda: m._build_dummy_inputs(input_dims=[(1,)], bogus=1),
         "BaseInferencer._build_dummy_inputs() got an unexpected keyword argument 'bogus'"),
        (lambda: m._build_dummy_batch([np.zeros(1)], 1, dummy_input=[]),
         "BaseInferencer._build_dummy_batch() got multiple values for argument 'dummy_input'"),
        (lambda: m._build_dummy_batch(),
         "BaseInferencer._build_dummy_batch() missing 2 required positional arguments: 'dummy_input' and 'batch_size'"),
        (lambda: m.timed_predict(1, 2),
         "BaseInferencer.timed_predict() takes 2 positional arguments but 3 were given"),
        (lambda: LoadedModel(inferencer_initializer=lambda: m, bogus=1),
         "LoadedModel.__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: InferencerFactory.get_inferencer_for_framework("onnx"),
         "InferencerFactory.get_inferencer_for_framework() missing 2 required positional arguments: "
         "'model_checkpoint_file_path' and 'logging_verbosity'"),
        (lambda: ostrel.common.utils.get_timer(bogus=1), "get_timer() got an unexpected keyword argument 'bogus'"),
        (lambda: ostrel.inference.config.cpu_count(True, logical=False),
         "cpu_count() got multiple values for argument 'logical'"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == text
    # A value of a wrong type keeps the binding's own text, naming the method and the value.
    with pytest.raises(TypeError, match=r"^_delete_instance_resource\(\): incompatible function arguments(.|\n)*, 1$"):
        m._delete_instance_resource(attribute_name=1)


@pytest.fixture
def onnx_identity(tmp_path):
    """A one-node ONNX model: y = x, x of shape (batch, 3)."""
    import onnx
    from onnx import TensorProto, helper
    graph = helper.make_graph([helper.make_node("Identity", ["x"], ["y"])], "identity",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", 3])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["batch", 3])])
    path = tmp_path / "identity.onnx"
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8), str(path))
    return str(path)


def test_a_hook_raising_a_binding_refusal_runs_once(onnx_identity):
    import onnxruntime
    from ostrel.frameworks.onnx_inferencer import OnnxInferencer

    class Hooked(OnnxInferencer):
        armed = False
        runs = 0

        def _declared_inputs(self):
            if not self.armed:
                return super()._declared_inputs()
            Hooked.runs += 1
            onnxruntime.get_device(1)  # a pybind11 function called wrongly: "incompatible function arguments"

    m = Hooked(onnx_identity)
    m.armed = True
    dummy = [np.zeros((1, 3), np.float32)]
    for call in (lambda: m._build_dummy_batch(dummy_input=dummy, batch_size=2),
                 lambda: m._build_dummy_batch(dummy, 2)):
        Hooked.runs = 0
        with pytest.raises(TypeError, match="get_device\\(\\): incompatible function arguments"):
            call()
        assert Hooked.runs == 1


def test_cpp_methods_bind_like_python_functions(onnx_identity):
    from unittest import mock
    from ostrel.frameworks.onnx_inferencer import OnnxInferencer

    class S(OnnxInferencer):
        f = BaseInferencer._build_dummy_batch  # a base method stored under another name binds
        load = staticmethod(Ostrel.load)

    s = S(onnx_identity)
    dummy = [np.ones((1, 3), np.float32)]
    assert s.f.__self__ is s and s.f.__func__ is BaseInferencer._build_dummy_batch
    (out,) = s.f(dummy, batch_size=2)
    assert out.shape == (2, 3) and (out == 1).all()
    assert inspect.signature(s.f) == inspect.signature(s._build_dummy_batch)
    assert str(inspect.signature(s.f)) == "(dummy_input, batch_size, dtype=None)"
    assert S.load is Ostrel.load and inspect.ismethod(s.predict) and s.predict.__self__ is s
    with mock.patch.object(OnnxInferencer, "_build_dummy_batch", autospec=True) as patched:
        s._build_dummy_batch(dummy, batch_size=2)
        with pytest.raises(TypeError, match="missing a required argument: 'batch_size'"):
            s._build_dummy_batch(dummy)
    patched.assert_called_once_with(s, dummy, batch_size=2)
    with mock.patch.object(BaseInferencer, "_delete_instance_resource", autospec=True) as removed:
        s._dispose_all_resources()  # the back-end's disposal goes through the instance's method
    assert removed.call_args_list[0] == mock.call(s, "sess")
    # A subclass's own component check is the one a load runs.
    checked = []

    class Checked(OnnxInferencer):
        def _assert_checkpoint_component(self, value, message):
            checked.append(message)
            super()._assert_checkpoint_component(value, message)

    Checked(onnx_identity)
    assert checked


def test_caller_predict_arguments_and_dummies(model_file):
    m = EchoInferencer(model_file, input_dims=(3, 4))
    m.benchmark(batch_size=2, repetitions=1, warmup_calls=0, x="given", dtype=np.int64)
    assert m.calls == [{}]
    a, b = m._build_dummy_inputs([(3, 4), (5,)], dtype=np.float16)
    assert a.shape == (1, 3, 4) and b.dtype == np.float16
    (c,) = m._build_dummy_inputs(dtype=np.int32, input_dims=[(5,)])  # keywords out of order
    assert c.shape == (1, 5) and c.dtype == np.int32
    bs = m._build_dummy_batch([a, b], 4)
    assert bs[0].shape == (4, 3, 4) and bs[1].dtype == np.float32
    assert (m._build_dummy_inputs((3,), dtype=np.int64)[0] == 0).all()
    m._inference_dtype = [np.float32, np.int32]  # one element type per input, as Core ML gives them
    a, b = m._build_dummy_inputs([(3,), (2,)])
    assert (a.dtype, b.dtype) == (np.float32, np.int32)


# ---- factory -----------------------------------------------------------------------------------------

def test_factory_dispatch_and_unknown(model_file, coreml_standin):
    for framework in (ostrel.FrameworkType.COREML, "coreml"):
        m = InferencerFactory.get_inferencer_for_framework(
            framework=framework, model_checkpoint_file_path=model_file, logging_verbosity=None, profiling=True)
        assert type(m) is EchoInferencer and m.options == {"profiling": True}
    deferred = InferencerFactory.create_inferencer_factory(framework="Keras", model_checkpoint_file_path=model_file)
    with pytest.raises(exc.FrameworkNotSupportedError) as e:
        deferred()
    assert str(e.value).endswith(FRAMEWORKS)


class Recorder:
    """A back-end class stand-in that keeps the keywords of its construction, in order."""

    def __init__(self, **kwargs):
        self.keywords = list(kwargs.items())


# framework, back-end module, class, whether it takes inference_dtype, the hardware it always receives
FACTORY_ROWS = [
    ("onnx", "onnx_inferencer", "OnnxInferencer", True, None),
    ("pytorch", "pytorch_inferencer", "PytorchInferencer", False, None),
    ("openvino", "openvino_inferencer", "OpenVinoInferencer", False, "cpu"),
    ("tf2", "tensorflow_inferencer", "TF2Inferencer", False, None),
    ("keras", "keras_inferencer", "KerasInferencer", False, None),
    ("torchscript", "torchscript_inferencer", "TorchScriptInferencer", False, None),
    ("tflite", "tflite_inferencer", "TFLiteInferencer", False, None),
    ("coreml", "coreml_inferencer", "CoreMLInferencer", False, None),
    ("trt", "trt_inferencer", "TRTInferencer", True, "gpu"),
]


@pytest.mark.parametrize("framework, module, name, takes_dtype, fixed", FACTORY_ROWS)
def test_factory_row_of_each_framework(monkeypatch, framework, module, name, takes_dtype, fixed):
    cls = type(name, (Recorder,), {})
    monkeypatch.setitem(sys.modules, "ostrel.frameworks." + module, types.SimpleNamespace(**{name: cls}))
    monkeypatch.setattr(factory_module, "GPU_PRESENT", True)
    driver = types.SimpleNamespace(get_version=lambda: min(factory_module.SUPPORTED_TENSORRT_CUDA_VERSIONS))
    monkeypatch.setitem(sys.modules, "pycuda", types.ModuleType("pycuda"))
    monkeypatch.setitem(sys.modules, "pycuda.driver", driver)
    Hw = ostrel.InferenceHardware
    for given in (ostrel.FrameworkType(framework), framework):
        for hardware in (None, fixed or Hw.GPU):
            m = InferencerFactory.get_inferencer_for_framework(
                given, "m.bin", 20, inference_hardware=hardware, input_dims=[(3,)], static_batch_size=2,
                inference_dtype=np.int8, profiling=True)
            assert type(m) is cls
            expected = [("checkpoint_file", "m.bin"), ("inference_hardware", Hw(fixed) if fixed else hardware),
                        ("input_dims", [(3,)]), ("static_batch_size", 2)]
            expected += [("inference_dtype", np.int8)] if takes_dtype else []
            expected += [("logging_verbosity", 20), ("profiling", True)]
            assert m.keywords == expected
            assert type(m.keywords[1][1]) is (Hw if fixed else type(hardware))
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'checkpoint_file'"):
        InferencerFactory.get_inferencer_for_framework(framework, "m.bin", None, checkpoint_file="other")
    if fixed:  # another hardware is refused before the back-end is looked up
        monkeypatch.delitem(sys.modules, "ostrel.frameworks." + module)
        other = "gpu" if fixed == "cpu" else "cpu"
        with pytest.raises(exc.InvalidInferenceHardware) as e:
            InferencerFactory.get_inferencer_for_framework(framework, "m.bin", None, inference_hardware=other)
        assert e.value.args == (other,)
        assert "ostrel.frameworks." + module not in sys.modules
    # A back-end whose import is blocked (None in sys.modules) fails as `from module import name` does.
    monkeypatch.setitem(sys.modules, "ostrel.frameworks." + module, None)
    with pytest.raises(ModuleNotFoundError if framework != "trt" else exc.FrameworkNotSupportedError) as e:
        InferencerFactory.get_inferencer_for_framework(framework, "m.bin", None)
    blocked = e.value if framework != "trt" else e.value.__cause__
    assert type(blocked) is ModuleNotFoundError and blocked.name == "ostrel.frameworks." + module


@pytest.mark.parametrize("framework", ["Keras", "tensorrt", "ONNX", 3, None])
def test_factory_unrecognised_framework(framework):
    with pytest.raises(exc.FrameworkNotSupportedError) as e:
        InferencerFactory.get_inferencer_for_framework(framework, "m.bin", None)
    assert str(e.value) == (f"The specified framework: '{framework}' is not supported. "
                            f"The supported frameworks are: {FRAMEWORKS}")


def test_factory_names_the_extra_of_a_missing_framework(run_python, model_file):
    # A None entry in sys.modules makes the framework's import fail as if it were not installed.
    r = run_python(
        "import sys\n"
        "for name in ('tensorflow', 'ai_edge_litert', 'tflite_runtime', 'openvino', 'coremltools'):\n"
        "    sys.modules[name] = None\n"
        "from ostrel.inference.inferencer_factory import InferencerFactory\n"
        "for framework in ('tf2', 'keras', 'tflite', 'openvino', 'coreml'):\n"
        "    try:\n"
        f"        InferencerFactory.get_inferencer_for_framework(framework, {model_file!r}, None)\n"
        "    except ModuleNotFoundError as e:\n"
        "        print('missing', framework, e.name, '|', e)\n")
    lines = [line for line in r.stdout.splitlines() if line.startswith("missing ")]
    for (framework, missing, extra), line in zip(
            [("tf2", "tensorflow", "tensorflow"), ("keras", "tensorflow", "tensorflow"),
             ("tflite", "tensorflow", "tensorflow"), ("openvino", "openvino", "openvino"),
             ("coreml", "coremltools", "coreml")], lines, strict=True):
        assert line.startswith(f"missing {framework} {missing} |"), line
        assert line.endswith(f": install it with pip install 'ostrel[{extra}]'"), line


def test_factory_openvino_refuses_gpu_before_import(monkeypatch):
    monkeypatch.delitem(sys.modules, "ostrel.frameworks.openvino_inferencer", raising=False)  # other tests load it
    with pytest.raises(exc.InvalidInferenceHardware):
        InferencerFactory.get_inferencer_for_framework("openvino", "m.xml", None, inference_hardware="gpu")
    assert "ostrel.frameworks.openvino_inferencer" not in sys.modules


def test_factory_tensorrt_branch(model_file, monkeypatch, capsys):
    with pytest.raises(exc.FrameworkNotSupportedError, match="There are no visible GPUs."):
        InferencerFactory.get_inferencer_for_framework("trt", model_file, None)
    monkeypatch.setattr(factory_module, "GPU_PRESENT", True)
    monkeypatch.setitem(sys.modules, "pycuda", None)
    monkeypatch.setitem(sys.modules, "pycuda.driver", None)
    with pytest.raises(exc.FrameworkNotSupportedError) as e:
        InferencerFactory.get_inferencer_for_framework("trt", model_file, None)
    assert "Please install the following packages for tensorrt support: " in str(e.value)
    assert isinstance(e.value.__cause__, ImportError)
    with pytest.raises(exc.InvalidInferenceHardware):
        InferencerFactory.get_inferencer_for_framework("trt", model_file, None, inference_hardware="cpu")

    driver = types.ModuleType("pycuda.driver")
    driver.get_version = lambda: (11, 8, 0)
    monkeypatch.setitem(sys.modules, "pycuda", types.ModuleType("pycuda"))
    monkeypatch.setitem(sys.modules, "pycuda.driver", driver)
    trt = types.ModuleType("ostrel.frameworks.trt_inferencer")

    class TRTInferencer:
        def __init__(self, **kwargs):
            raise FileNotFoundError(2, "No such file or directory", kwargs["checkpoint_file"])

    trt.TRTInferencer = TRTInferencer
    monkeypatch.setitem(sys.modules, "ostrel.frameworks.trt_inferencer", trt)
    # The constructor's own OSError is the model's problem: it passes unconverted and LoadedModel wraps it.
    deferred = InferencerFactory.create_inferencer_factory(framework="trt", model_checkpoint_file_path="missing.engine")
    with pytest.raises(exc.OstrelError) as e:
        LoadedModel(inferencer_initializer=deferred)
    assert type(e.value) is exc.OstrelError and isinstance(e.value.__cause__, FileNotFoundError)
    out = capsys.readouterr().out
    assert "CUDA Warning: The current TensorRT version was compiled with a non-supported CUDA version (11, 8, 0)." in out


# ---- LoadedModel and load --------------------------------------------------------------------------

def test_loaded_model_wraps_build_failures():
    def bad():
        raise ValueError("bad")

    with pytest.raises(exc.OstrelError) as e:
        LoadedModel(inferencer_initializer=bad)
    text = str(e.value)
    assert text.startswith("Failed to load the model with arguments: ")
    assert text.endswith(os.linesep + "Caught Exception: bad")
    assert type(e.value.__cause__) is ValueError

    def interrupted():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        LoadedModel(inferencer_initializer=interrupted)


def test_loaded_model_forwards(model_file, coreml_standin):
    handle = ostrel.load(model_file, framework_type="coreml", input_dims=(3, 4))
    inner = handle._LoadedModel__inferencer
    x = np.ones((2, 3, 4), np.float32)
    assert handle(x) is x and handle.predict(x, x_preprocess_function=lambda v: 0) is x
    assert str(handle) == repr(handle) == f"<EchoInferencer from {model_file}>"
    handle.input_dims = (5,)
    assert handle.input_dims == [(5,)] and inner.input_dims == [(5,)]
    r = handle.benchmark(batch_size=4, repetitions=5, warmup_calls=1)
    assert r.batch_size == 4
    with pytest.raises(TypeError):
        handle.benchmark(1, input_dimensions=(2,))
    with pytest.raises(AttributeError):
        handle.safe_predict(x)
    inner.calls.clear()
    assert handle.predict(x=x, extra=1, x_postprocess_function=print) is x and handle(x, extra=2) is x
    assert inner.calls == [{"extra": 1}, {"extra": 2}]
    for bad in (lambda: handle.predict(x, x=x), lambda: handle.predict(x, None, None, None, None), lambda: handle()):
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(TypeError):
        handle.get_bottlenecks()


def test_load_road_and_info_lines(model_file, coreml_standin, ostrel_records, capsys):
    handle = ostrel.load(model_file, framework_type=ostrel.FrameworkType.COREML)
    messages = [r.getMessage() for r in ostrel_records]
    assert messages == [f"Loading model {model_file} to the CPU", f"Successfully loaded {model_file} to the CPU."]
    assert isinstance(handle, LoadedModel)
    assert ostrel.load is Ostrel.load


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(model_path=None, framework_type="onnx"), exc.EmptyInputValue,
     "The following values are None: ['model_path']. Please specify valid values."),
    (dict(model_path="", framework_type=""), exc.EmptyInputValue,
     "The following values are None: ['model_path', 'framework_type']. Please specify valid values."),
    (dict(model_path="/no/such/file", framework_type="onnx"), exc.CheckpointFileDoesNotExistError,
     "The model file does not exist at /no/such/file"),
    (dict(framework_type="ONNX"), exc.FrameworkNotSupportedError,
     "The specified framework: 'ONNX' is not supported. The supported frameworks are: " + FRAMEWORKS),
    (dict(framework_type="onnx", input_dims=5), exc.InvalidInputDimensions,
     "The input dimensions should be either a tuple or None, received: <class 'int'>"),
    (dict(framework_type="onnx", input_dims=()), exc.InvalidInputDimensions,
     "The input dimensions should be either a tuple or None, received: <class 'tuple'>"),
    (dict(framework_type="onnx", static_batch_size=0), exc.InvalidStaticBatchSize,
     "The batch size of a model should be a positive number or None (for dynamic), received: 0"),
    (dict(framework_type="onnx", static_batch_size="8"), exc.InvalidStaticBatchSize,
     "The batch size of a model should be a positive number or None (for dynamic), received: 8"),
    (dict(framework_type="onnx", static_batch_size=2.0), exc.InvalidStaticBatchSize,
     "The batch size of a model should be a positive number or None (for dynamic), received: 2.0"),
    (dict(framework_type="onnx", inference_hardware="GPU"), exc.InvalidInferenceHardware,
     "Inference Hardware GPU is not supported. The supported hardware are ['cpu', 'gpu']"),
    (dict(framework_type="onnx", inference_hardware="gpu"), exc.InvalidInferenceHardware,
     "Trying to initialize model for GPU execution, but GPU isn't available on this machine"),
    (dict(framework_type="onnx", logging_verbosity="debug"), exc.InvalidLoggingLevel,
     "Logging verbosity must be a string corresponding to standard logging levels from logging package: "),
    (dict(framework_type="onnx", logging_verbosity=10), exc.InvalidLoggingLevel,
     "Logging verbosity must be a string corresponding to standard logging levels from logging package: "),
])
def test_load_argument_checks(model_file, ostrel_records, kwargs, error, message):
    kwargs.setdefault("model_path", model_file)
    with pytest.raises(error) as e:
        ostrel.load(**kwargs)
    assert str(e.value).startswith(message)
    errors = [r for r in ostrel_records if r.levelno == logging.ERROR]
    assert [r.getMessage() for r in errors] == ["Failed to register the model: " + str(e.value)]
    assert [r.getMessage() for r in ostrel_records] == [errors[0].getMessage()]


def test_load_detection_failure_and_repeated_keyword(model_file, capsys, ostrel_records):
    with pytest.raises(exc.ModelFrameworkDetectionError):
        ostrel.load(model_file)
    out = capsys.readouterr().out
    assert out.startswith("Detecting framework...\n") and f"Could not detect framework for  {model_file}" in out
    assert ostrel_records == []
    with pytest.raises(TypeError):
        ostrel.load(model_file, framework_type="coreml", framework="onnx")


def test_verbosity_relevels_package_logger(model_file, coreml_standin):
    logger = logging.getLogger("Ostrel")
    ostrel.load(model_file, framework_type="coreml", logging_verbosity="WARN")
    assert logger.level == 30
    ostrel.load(model_file, framework_type="coreml", logging_verbosity="NOTSET")
    assert logger.level == 30
    ostrel.load(model_file, framework_type="coreml")
    assert logger.level == 20


def test_open_in_netron_without_netron(model_file, coreml_standin, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "netron", None)
    handle = ostrel.load(model_file, framework_type="coreml")
    capsys.readouterr()
    assert handle.open_in_netron() is None
    assert capsys.readouterr().out == (
        "Netron package could not be found. You can install netron using:" + os.linesep + "python3 -m pip install netron\n")


def test_startup_line_and_public_names(run_python):
    r = run_python("import ostrel; print(ostrel.__all__)")
    lines = r.stdout.splitlines()
    assert lines[-1] == "['Ostrel', 'load', 'FrameworkType', 'InferenceHardware', 'BenchmarkMode', 'TRTBenchmarkMode', '__version__']"
    assert any(l.endswith(f"Ostrel was successfully imported with {ostrel.NUM_OF_CPUS} CPUS and 0 GPUS.") for l in lines)


def test_edge_cases_of_the_handle_and_engine(model_file, coreml_standin):
    handle = ostrel.load(model_file, framework_type="coreml", input_dims=(2,))
    inner = handle._LoadedModel__inferencer
    x = np.ones((1, 2), np.float32)
    assert handle(x=x) is x  # x by keyword, as a Python __call__(self, x, **kwargs) accepts
    for bad in (lambda: handle(x, x=x), lambda: handle(x, self=1)):
        with pytest.raises(TypeError, match="multiple values"):
            bad()
    with pytest.raises(TypeError, match="multiple values for keyword argument 'input_dimensions'"):
        handle.benchmark(1, input_dimensions=(2,))
    with pytest.raises(TypeError, match="multiple values for keyword argument 'framework'"):
        ostrel.load(model_file, framework_type="coreml", framework="onnx")
    with pytest.raises(TypeError):
        inner.benchmark(batch_size=1, repetitions=1, warmup_calls=2.7)

    def bad():
        raise ValueError("bad")

    with pytest.raises(exc.OstrelError) as e:
        LoadedModel(inferencer_initializer=bad)
    assert e.value.__cause__ is e.value.__context__  # as `raise ... from e` inside the handler


def test_modules_some_paths_need_load_on_first_use(run_python):
    # `import ostrel` leaves json and subprocess unloaded; the module attributes that name them load them
    # when read, and an unknown attribute still fails as it would on any module.
    code = """
import sys
import ostrel
import ostrel.common.framework_detection as detection
import ostrel.common.data_classes.inferencer_benchmark_result as result
import ostrel.inference.config as config
assert "json" not in sys.modules and "subprocess" not in sys.modules, sorted(sys.modules)
import json, subprocess
assert detection.subprocess is subprocess and config.json is json and result.json is json
from ostrel.common.framework_detection import subprocess as again
assert again is subprocess and "subprocess" in vars(detection)
try:
    detection.no_such_name
except AttributeError as e:
    assert str(e) == "module 'ostrel.common.framework_detection' has no attribute 'no_such_name'"
else:
    raise AssertionError("unknown attribute answered")
"""
    run_python(code)


@pytest.mark.parametrize("step", ["_Ostrel__verify_arguments_for_model_loading",
                                  "_update_ostrel_logger_and_get_logging_level_int"])
def test_load_calls_a_step_replaced_on_the_class(monkeypatch, step):
    from ostrel.inference.ostrel_manager import Ostrel

    class Replaced(Exception):
        pass

    def replaced(*args, **kwargs):
        raise Replaced(step)

    # the arguments are checked first: the logger step is reached past a check that lets all through
    monkeypatch.setattr(Ostrel, "_Ostrel__verify_arguments_for_model_loading", staticmethod(lambda **kwargs: None))
    monkeypatch.setattr(Ostrel, step, staticmethod(replaced))
    with pytest.raises(Replaced):
        ostrel.load("no_such_model.onnx", framework_type="onnx", inference_hardware="cpu")
