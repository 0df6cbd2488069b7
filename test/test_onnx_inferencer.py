"""The ONNX Runtime back-end (ostrel.frameworks.onnx_inferencer): session set-up, loading and its
errors, metadata, prediction, layer profiling and the module import with its cupy retry."""
import gc
import json
import logging
import re
import sys
import types
import weakref

import numpy as np
import onnxruntime as ort
import pytest

import ostrel
import ostrel.frameworks.onnx_inferencer as onnx_module
from ostrel.common import exceptions as exc
from ostrel.frameworks.onnx_inferencer import OnnxInferencer

BOTH_INPUT_KINDS = "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs."
DECODER = "models_for_platform_testing/segmentation_models/onnx/decoder.onnx"
DECODER_DIMS = [(243, 30, 40), (172, 60, 80), (102, 120, 160), (64, 240, 320), (153, 15, 20)]
NEEDED = ["return_model_input.onnx", DECODER] + [f"onnx/{n}.onnx" for n in (
    "return_model_input_static_batch", "two_inputs", "mixed_batch_inputs", "symbolic_inner_dims",
    "unnamed_dynamic_dim", "int64_input", "double_input", "no_input", "corrupt", "add_1x4")]


def sample(samples, name):
    return str(samples / (name if name.endswith(".onnx") else f"onnx/{name}.onnx"))


@pytest.fixture
def identity(samples):
    return str(samples / "return_model_input.onnx")


@pytest.fixture
def decoder(samples):
    return str(samples / DECODER)


class RuntimeProxy:
    """onnx_rt with some names replaced; everything else is the real runtime."""

    def __init__(self, **overrides):
        self.calls = []
        self.__dict__.update(overrides)

    def __getattr__(self, name):
        return getattr(ort, name)


# ---- construction, session options, providers -----------------------------------------------------

def test_class_shape():
    assert OnnxInferencer.__bases__ == (onnx_module.BaseInferencer,) and OnnxInferencer.__doc__ is None
    assert not OnnxInferencer.__abstractmethods__
    assert "_OnnxInferencer__warn_if_runtime_compiled_for_wrong_hardware" in vars(OnnxInferencer)
    import inspect
    assert str(inspect.signature(OnnxInferencer.__init__)) == (
        "(self, checkpoint_file, inference_hardware=None, input_dims=None, static_batch_size=None, "
        "inference_dtype=None, logging_verbosity=None, profiling=False, session_options=None)")
    assert OnnxInferencer.get_bottlenecks.__doc__ == (
        "Gets the n most time-consuming layers in the graph from the proling data.")
    assert "x=None" in str(inspect.signature(OnnxInferencer.predict))
    assert not hasattr(onnx_module, "cp")  # the first import of onnxruntime succeeded
    assert onnx_module.InvalidArgument is ort.capi.onnxruntime_pybind11_state.InvalidArgument


def test_unknown_keyword_is_refused(identity):
    text = "OnnxInferencer.__init__() got an unexpected keyword argument 'bogus'"
    with pytest.raises(TypeError) as info:
        OnnxInferencer(identity, inference_hardware="cpu", bogus=1)
    assert str(info.value) == text
    with pytest.raises(exc.OstrelError) as info:
        ostrel.load(identity, bogus=1)
    assert type(info.value.__cause__) is TypeError and str(info.value.__cause__) == text
    with pytest.raises(TypeError, match=r"^OnnxInferencer.__init__\(\) got multiple values for argument 'checkpoint_file'$"):
        OnnxInferencer(identity, checkpoint_file=identity)


def test_cpu_session_with_own_options(identity, monkeypatch, recorded):
    monkeypatch.setattr(onnx_module, "NUM_OF_CPUS", 3)  # read at load time
    monkeypatch.setattr(onnx_module, "GPU_PRESENT", True)
    inf = recorded(OnnxInferencer)(identity, inference_hardware=ostrel.InferenceHardware.CPU)
    opts = inf.sess_options
    assert isinstance(opts, ort.SessionOptions)
    assert opts.graph_optimization_level == ort.GraphOptimizationLevel.ORT_ENABLE_ALL
    assert opts.intra_op_num_threads == 3 and opts.execution_mode == ort.ExecutionMode.ORT_SEQUENTIAL
    assert not opts.enable_profiling
    assert inf._onnxruntime_session_providers == ["CPUExecutionProvider"]
    assert inf.sess.get_providers() == ["CPUExecutionProvider"]
    assert inf.inputs_count == 1 and [s.name for s in inf.inputs_specifications] == ["output"]
    assert [s.name for s in inf.outputs_specifications] == ["result"]
    log = inf._logger
    assert "Ostrel utilizing the CPU although a GPU is available." in log.texts(logging.INFO)
    assert log.texts(logging.DEBUG)[0] == f"Available Providers: {ort.get_available_providers()}."
    assert inf.framework_type == "onnx" and inf.framework_type is ostrel.FrameworkType.ONNX
    assert inf.framework_version == ort.__version__


def test_callers_options_are_used_in_place(decoder):
    opts = ort.SessionOptions()
    opts.inter_op_num_threads = 3
    opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_BASIC
    inf = OnnxInferencer(checkpoint_file=decoder, inference_hardware="cpu", session_options=opts)
    assert inf.sess_options is opts
    assert opts.inter_op_num_threads == 3 and opts.intra_op_num_threads == ostrel.NUM_OF_CPUS
    assert opts.execution_mode == ort.ExecutionMode.ORT_SEQUENTIAL
    assert opts.graph_optimization_level == ort.GraphOptimizationLevel.ORT_ENABLE_BASIC
    assert inf.input_dims == DECODER_DIMS and inf.static_batch_size == 1
    assert inf.benchmark(1, repetitions=2, warmup_calls=1)


def test_profiling_switches_options_and_warns(identity, tmp_path, monkeypatch, recorded):
    monkeypatch.chdir(tmp_path)  # a profiling session leaves its trace behind when it ends
    inf = recorded(OnnxInferencer)(identity, inference_hardware="cpu", profiling=True)
    assert inf.sess_options.enable_profiling and inf.sess_options.use_deterministic_compute
    assert inf._logger.texts(logging.WARNING) == [
        'You have specified "profiling=True" thus runtime latency will be affected! '
        "Please do not use this engine for benchmarks."]


# ---- load failures --------------------------------------------------------------------------------

@pytest.mark.parametrize("name, error_class, text", [
    ("missing", "NoSuchFile", "NO_SUCHFILE"),
    ("corrupt", "InvalidProtobuf", "INVALID_PROTOBUF"),
])
def test_runtime_load_errors_keep_their_text(samples, tmp_path, name, error_class, text):
    path = str(tmp_path / "nothing.onnx") if name == "missing" else sample(samples, name)
    with pytest.raises(exc.FailedToLoadCheckpointError) as info:
        OnnxInferencer(path, inference_hardware="cpu")
    cause = info.value.__cause__
    assert type(cause).__name__ == error_class and text in str(cause)
    assert str(info.value) == str(cause)


@pytest.mark.parametrize("gpu_present", [False, True])
def test_gpu_without_cuda_provider(identity, monkeypatch, recorded, gpu_present):
    asked = []
    proxy = RuntimeProxy(get_available_providers=lambda: asked.append(1) or ["CPUExecutionProvider"])
    monkeypatch.setattr(onnx_module, "onnx_rt", proxy)
    monkeypatch.setattr(onnx_module, "GPU_PRESENT", gpu_present)
    text = "Failed to load onnxruntime model on the GPU - CUDAExecutionProvider not available"
    loggers = []

    Recorded = recorded(OnnxInferencer)

    class Kept(Recorded):
        def _get_memory(self, *args, **kwargs):  # no GPU here to read the memory of
            return None

        @Recorded._logger.setter
        def _logger(self, real):
            Recorded._logger.fset(self, real)
            loggers.append(self.__dict__["_recorder"])

    with pytest.raises(exc.FailedToLoadCheckpointError, match=text) as info:
        Kept(identity, inference_hardware=ostrel.InferenceHardware.GPU)
    assert isinstance(info.value.__cause__, exc.InvalidInferenceHardware) and str(info.value.__cause__) == text
    assert loggers[0].texts(logging.ERROR) == [text]
    # Step "Available Providers" asks once; the GPU branch asks again only when a GPU is present.
    assert len(asked) == 1 + gpu_present


def test_unknown_hardware(identity):
    with pytest.raises(exc.FailedToLoadCheckpointError) as info:
        OnnxInferencer(identity, inference_hardware="tpu")
    assert str(info.value.__cause__) == "Couldn't find an onnxruntime execution provider for inference hardware tpu"


def test_model_without_inputs(samples):
    with pytest.raises(exc.FailedToLoadCheckpointError, match="^Failed to initialize / infer the ONNX input name$"):
        OnnxInferencer(sample(samples, "no_input"), inference_hardware="cpu")


def test_load_of_corrupt_file_reports_the_reason(samples):
    with pytest.raises(exc.OstrelError) as info:
        ostrel.load(sample(samples, "corrupt"), framework_type="onnx", inference_hardware="cpu")
    assert "INVALID_PROTOBUF" in str(info.value)
    assert isinstance(info.value.__cause__, exc.FailedToLoadCheckpointError)


# ---- the post-load build check ---------------------------------------------------------------------

@pytest.fixture
def loaded(identity, recorded):
    return recorded(OnnxInferencer)(identity, inference_hardware="cpu")


@pytest.mark.parametrize("hardware, suffix", [("gpu", "-gpu"), ("cpu", "")])
def test_build_check_without_runtime_module(loaded, monkeypatch, hardware, suffix):
    monkeypatch.delitem(sys.modules, "onnxruntime")
    with pytest.raises(exc.ModelFrameworkNotLoadedError) as info:
        loaded._OnnxInferencer__warn_if_runtime_compiled_for_wrong_hardware(ostrel.InferenceHardware(hardware))
    assert str(info.value) == ("Attempting to run inference on ONNX model, but the onnxruntime module is not loaded. "
                               "Please reinstall onnxrutime" + suffix)


def test_build_check_with_broken_runtime(loaded, monkeypatch):
    monkeypatch.setitem(sys.modules, "onnxruntime", types.SimpleNamespace())
    with pytest.raises(exc.ModelFrameworkRuntimeError, match=r"installation seems to be broken") as info:
        loaded._assert_loaded_successfully()
    assert isinstance(info.value.__context__, AttributeError)


@pytest.mark.parametrize("device, hardware, line", [
    ("GPU", "cpu", "Onnxruntime compiled for GPU although the target hardware is a CPU."),
    ("CPU", "gpu", "Onnxruntime compiled for CPU although the target hardware is a GPU."),
    ("CPU", "cpu", None),
    ("NPU", "gpu", None),
])
def test_build_check_mismatch_only_logs(loaded, monkeypatch, device, hardware, line):
    monkeypatch.setitem(sys.modules, "onnxruntime", types.SimpleNamespace(get_device=lambda: device))
    loaded._logger.records.clear()
    loaded._OnnxInferencer__warn_if_runtime_compiled_for_wrong_hardware(hardware)
    assert loaded._logger.texts(logging.INFO) == ([line] if line else [])


# ---- metadata --------------------------------------------------------------------------------------

@pytest.mark.parametrize("name, dims, batch, dtypes, first_shape", [
    ("return_model_input.onnx", [(3, 224, 224)], None, [np.float32], ("batch_size", 3, 224, 224)),
    ("return_model_input_static_batch", [(3, 224, 224)], 1, [np.float32], (1, 3, 224, 224)),
    ("two_inputs", [(3, 32, 32), (1,)], None, [np.float32] * 2, ("batch", 3, 32, 32)),
    ("mixed_batch_inputs", [(4,), (4,)], 8, [np.float32] * 2, (8, 4)),
    (DECODER, DECODER_DIMS, 1, [np.float32] * 5, (1, 243, 30, 40)),
    ("symbolic_inner_dims", [(3, "height", "width")], None, [np.float32], ("batch", 3, "height", "width")),
    ("unnamed_dynamic_dim", [(3, 224, 224)], None, [np.float32], (-1, 3, 224, 224)),
    ("int64_input", [(16,)], None, [np.int64], ("batch", 16)),
    ("double_input", [(4,)], None, [np.float64], ("batch", 4)),
])
def test_model_description(samples, name, dims, batch, dtypes, first_shape):
    inf = OnnxInferencer(sample(samples, name), inference_hardware="cpu")
    assert inf.input_dims == dims and inf.static_batch_size == batch and inf.fetch_model_batch_size() == batch
    assert inf.inference_dtype == dtypes and all(t is e for t, e in zip(inf.inference_dtype, dtypes))
    inputs, outputs = inf.inputs_metadata, inf.outputs_metadata
    assert [m.name for m in inputs] == [s.name for s in inf.inputs_specifications]
    assert inputs[0].shape == first_shape and inputs[0].datatype is dtypes[0]
    assert len(outputs) == len(inf.outputs_specifications) and outputs[0].datatype is dtypes[0]


def test_unknown_dimension_is_reported_as_minus_one(samples):
    inf = OnnxInferencer(sample(samples, "unnamed_dynamic_dim"), inference_hardware="cpu")
    assert inf.inputs_specifications[0].shape == [None, 3, 224, 224]  # the runtime's own report
    legend = inf.legend
    assert legend["model_inputs"][0].shape == (-1, 3, 224, 224)
    assert legend["model_outputs"][0].shape == (-1, 3, 224, 224)
    assert legend["framework"] == {"type": "onnx", "version": (ort.__version__,)}
    examples = inf.example_inputs  # the unknown batch axis counts as dynamic
    assert examples[0].shape == (1, 3, 224, 224) and inf.predict(examples)[0].shape == (1, 3, 224, 224)


def test_static_batch_models_predict_their_own_examples(samples, tmp_path):
    from onnx import TensorProto, helper, save

    graph = helper.make_graph([helper.make_node("Relu", ["seq"], ["out"])], "relu",
                              [helper.make_tensor_value_info("seq", TensorProto.FLOAT, [1, 16, 96])],
                              [helper.make_tensor_value_info("out", TensorProto.FLOAT, [1, 16, 96])])
    path = tmp_path / "seq.onnx"
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), str(path))
    for name in (str(path), sample(samples, DECODER), sample(samples, "return_model_input_static_batch"),
                 sample(samples, "mixed_batch_inputs")):
        inf = OnnxInferencer(name, inference_hardware="cpu")
        examples = inf.example_inputs
        assert [e.shape[1:] for e in examples] == inf.input_dims, name
        assert {e.shape[0] for e in examples} == {inf.static_batch_size}, name
        assert len(inf.predict(examples)) == len(inf.outputs_specifications)
    for name, batch in ((str(path), 1), (sample(samples, "return_model_input_static_batch"), 1),
                        (sample(samples, "return_model_input.onnx"), None)):
        assert ostrel.load(name, framework_type="onnx").static_batch_size == batch


def test_scalar_input_keeps_no_batch_axis(tmp_path, monkeypatch):
    from onnx import TensorProto, helper, save

    graph = helper.make_graph([helper.make_node("Mul", ["x", "scale"], ["out"])], "scaled",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3]),
                               helper.make_tensor_value_info("scale", TensorProto.FLOAT, [])],
                              [helper.make_tensor_value_info("out", TensorProto.FLOAT, ["N", 3])])
    path = tmp_path / "scaled.onnx"
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), str(path))
    monkeypatch.chdir(tmp_path)  # profiling traces land in the working directory
    model = ostrel.load(str(path), framework_type="onnx", inference_hardware="cpu", profiling=True)
    assert model.input_dims == [(3,), ()]
    x, scale = model.example_inputs
    assert (x.shape, scale.shape) == ((1, 3), ())
    assert np.allclose(model.predict([x, scale])[0], x * scale)
    assert model.benchmark(batch_size=4, repetitions=3).batch_size == 4
    assert len(model.get_layers_profile_dataframe()) >= 1


def test_symbolic_inner_dimensions_need_shapes(samples):
    inf = OnnxInferencer(sample(samples, "symbolic_inner_dims"), inference_hardware="cpu")
    calls = []
    real_run = inf.sess.run
    inf.sess = types.SimpleNamespace(run=lambda names, feed: calls.append(1) or real_run(names, feed))
    for use in (lambda: inf.benchmark(batch_size=1, repetitions=3), lambda: inf.example_inputs):
        with pytest.raises(exc.InputDimensionsNotSpecifiedError) as info:
            use()
        assert "'image'" in str(info.value) and "'height'" in str(info.value) and "input_dims=" in str(info.value)
    assert calls == []
    result = inf.benchmark(batch_size=2, input_dimensions=[(3, 8, 8)], repetitions=3, warmup_calls=1)
    assert result.batch_size == 2 and len(calls) == 4


def onnx_model(folder, name, inputs, nodes, outputs, opset=17):
    """Saves a model built with onnx.helper; `inputs` and `outputs` are value infos."""
    from onnx import helper, save

    model = helper.make_model(helper.make_graph(nodes, name, inputs, outputs),
                              opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 8
    path = folder / f"{name}.onnx"
    save(model, str(path))
    return str(path)


def recurrent_model(folder, batch="B", state_batch=None):
    """`input [batch, 576]` beside a recurrent `state [2, state_batch, 128]`, each relu'd to an output."""
    from onnx import TensorProto, helper

    tensor = helper.make_tensor_value_info
    return onnx_model(folder, f"recurrent_{batch}", [tensor("input", TensorProto.FLOAT, [batch, 576]),
                                                     tensor("state", TensorProto.FLOAT, [2, state_batch or batch, 128])],
                      [helper.make_node("Relu", ["input"], ["y"]), helper.make_node("Relu", ["state"], ["h"])],
                      [tensor("y", TensorProto.FLOAT, None), tensor("h", TensorProto.FLOAT, None)])


def broadcast_model(folder):
    """`x [3, 4, 5] + y [5]`."""
    from onnx import TensorProto, helper

    tensor = helper.make_tensor_value_info
    return onnx_model(folder, "broadcast", [tensor("x", TensorProto.FLOAT, [3, 4, 5]), tensor("y", TensorProto.FLOAT, [5])],
                      [helper.make_node("Add", ["x", "y"], ["z"])], [tensor("z", TensorProto.FLOAT, [3, 4, 5])])


@pytest.mark.parametrize("build, shapes, batch", [
    (lambda folder: recurrent_model(folder, batch=1, state_batch=1), [(1, 576), (2, 1, 128)], 1),
    (broadcast_model, [(3, 4, 5), (5,)], 3),
])
def test_fully_static_models_take_exactly_their_declared_shapes(tmp_path, build, shapes, batch):
    model = ostrel.load(build(tmp_path), framework_type="onnx", inference_hardware="cpu")
    examples = model.example_inputs
    assert [e.shape for e in examples] == shapes
    sess = ort.InferenceSession(model._LoadedModel__inferencer.checkpoint_file)
    feed = {i.name: e for i, e in zip(sess.get_inputs(), examples)}
    for got, want in zip(model.predict(examples), sess.run(None, feed)):
        np.testing.assert_array_equal(got, want)
    assert model.benchmark(batch_size=batch, repetitions=3).batch_size == batch
    with pytest.raises(onnx_module.InvalidArgument, match="Got invalid dimensions"):  # the runtime refuses it
        model.benchmark(batch_size=batch + 1, repetitions=3)


def test_a_wrong_shape_is_the_sessions_own_error(tmp_path):
    inf = ostrel.load(recurrent_model(tmp_path, batch=1, state_batch=1), framework_type="onnx")._LoadedModel__inferencer
    raised = []

    def run(names, feed):
        try:
            return real_run(names, feed)
        except Exception as e:
            raised.append(e)
            raise

    real_run = inf.sess.run
    inf.sess = types.SimpleNamespace(run=run)
    x = [np.zeros((2, 576), np.float32), np.zeros((2, 1, 128), np.float32)]
    for given in (x, [x[0][:1], x[1][None]]):
        try:
            inf.predict(given)
        except onnx_module.InvalidArgument as e:
            assert e is raised[-1] and e.__cause__ is None
        else:  # pragma: no cover
            pytest.fail("a wrong shape ran")
    with pytest.raises(onnx_module.InvalidArgument, match="Unexpected input data type"):  # shapes fit: the runtime's
        inf.predict([x[0][:1].astype(np.float64), x[1][:, :1]])


def test_an_input_takes_the_batch_on_the_axis_named_like_the_first_inputs(tmp_path):
    model = ostrel.load(recurrent_model(tmp_path), framework_type="onnx", inference_hardware="cpu")
    inferencer = model._LoadedModel__inferencer
    assert model.input_dims == [(576,), (2, 128)] and inferencer._batch_axes() == [0, 1]
    assert [e.shape for e in model.example_inputs] == [(1, 576), (2, 1, 128)]
    record = model.benchmark(batch_size=2, repetitions=3)
    assert record.batch_size == 2
    dummy = inferencer._build_dummy_batch(inferencer._build_dummy_inputs(model.input_dims), 2)
    assert [d.shape for d in dummy] == [(2, 576), (2, 2, 128)]
    assert [y.shape for y in model.predict(dummy)] == [(2, 576), (2, 2, 128)]


def test_given_dimensions_take_the_batch_as_a_new_first_axis(tmp_path):
    # The state's open axis has no name: it takes no batch, and (2, 128) is not its declared shape.
    model = ostrel.load(recurrent_model(tmp_path, batch=None), framework_type="onnx", inference_hardware="cpu")
    inferencer = model._LoadedModel__inferencer
    assert model.input_dims == [(576,), (2, None, 128)] and inferencer._batch_axes() == [0, None]
    seen = []
    real_predict = inferencer.predict
    inferencer.predict = lambda x=None, **kw: seen.append([a.shape for a in x]) or real_predict(x, **kw)
    record = model.benchmark(batch_size=2, input_dims=[(576,), (2, 128)], repetitions=3)
    assert record.batch_size == 2 and seen[-1] == [(2, 576), (2, 2, 128)]
    for dims, batch, shapes in (
            ([(576,), (2, 128)], 3, [(3, 576), (3, 2, 128)]),  # one new axis, whatever the batch size
            ([(576,), (2, 5, 128)], 3, [(3, 576), (2, 5, 128)]),  # the state's whole declared shape, as given
            ([(576,), (1, 128)], 3, [(3, 576), (3, 1, 128)])):
        dummy = inferencer._build_dummy_batch(inferencer._build_dummy_inputs(dims), batch)
        assert [d.shape for d in dummy] == shapes, dims


def test_load_time_input_dims_shape_the_example_inputs(tmp_path):
    from onnx import TensorProto, helper

    tensor = helper.make_tensor_value_info
    path = onnx_model(tmp_path, "image", [tensor("x", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                      [helper.make_node("Relu", ["x"], ["y"])], [tensor("y", TensorProto.FLOAT, ["N", 3, "H", "W"])])
    model = ostrel.load(path, framework_type="onnx", inference_hardware="cpu", input_dims=[(3, 32, 32)])
    (x,) = model.example_inputs
    assert x.shape == (1, 3, 32, 32) and model.predict(x)[0].shape == (1, 3, 32, 32)
    assert model.benchmark(batch_size=2, repetitions=3).batch_size == 2
    with pytest.raises(exc.InputDimensionsNotSpecifiedError, match="'H'"):  # nothing given: the sizes are missing
        ostrel.load(path, framework_type="onnx", inference_hardware="cpu").example_inputs


@pytest.mark.parametrize("input_dims", [(4,), [(7,), (7,)], [(7,)]])
def test_example_inputs_keep_the_sizes_the_model_declares(samples, input_dims):
    model = ostrel.load(sample(samples, "add_1x4"), framework_type="onnx", inference_hardware="cpu",
                        input_dims=input_dims)
    examples = model.example_inputs
    assert [e.shape for e in examples] == [(1, 4), (1, 4)]
    np.testing.assert_array_equal(model.predict(examples)[0], examples[0] + examples[1])


def test_sequence_and_optional_inputs_load_and_pass_their_values_through(tmp_path):
    from onnx import TensorProto, helper

    sequence = helper.make_tensor_sequence_value_info("s", TensorProto.FLOAT, None)
    optional = helper.make_value_info("o", helper.make_optional_type_proto(
        helper.make_tensor_type_proto(TensorProto.FLOAT, [2])))
    path = onnx_model(tmp_path, "sequence", [sequence, optional],
                      [helper.make_node("ConcatFromSequence", ["s"], ["y"], axis=0),
                       helper.make_node("OptionalHasElement", ["o"], ["has"])],
                      [helper.make_tensor_value_info("y", TensorProto.FLOAT, None),
                       helper.make_tensor_value_info("has", TensorProto.BOOL, [])], opset=18)
    model = ostrel.load(path, framework_type="onnx", inference_hardware="cpu")
    assert [(m.name, m.datatype) for m in model._LoadedModel__inferencer.inputs_metadata] == [("s", None), ("o", None)]
    a, b = np.ones((2, 3), np.float32), np.arange(3, dtype=np.float32)[None]
    sess = ort.InferenceSession(path)
    for o in (None, np.ones(2, np.float32)):
        for got, want in zip(model.predict([[a, b], o]), sess.run(None, {"s": [a, b], "o": o})):
            np.testing.assert_array_equal(got, want)
    for use in (lambda: model.example_inputs, lambda: model.benchmark(batch_size=1, repetitions=1)):
        with pytest.raises(ValueError, match=r"^Input 's' is not a tensor of a known element type .*benchmark\(\.\.\., x="):
            use()
    assert model.benchmark(batch_size=1, repetitions=2, x=[[a, b], None]).batch_size == 1  # the way out


def test_type_table_matches_the_runtime_helper(loaded):
    pytest.importorskip("torch")
    from onnxruntime.transformers.io_binding_helper import TypeHelper

    names = ["tensor(int64)", "tensor(int32)", "tensor(float)", "tensor(float16)", "tensor(bool)", "tensor(uint8)",
             "tensor(int8)", "tensor(double)", "tensor(int16)", "tensor(uint16)", "tensor(uint32)",
             "tensor(uint64)", "tensor(complex64)", "tensor(complex128)"]
    for name in names:
        assert loaded._get_ort_type_to_numpy_type(name) is TypeHelper.ort_type_to_numpy_type(name), name
    for helper in (TypeHelper.ort_type_to_numpy_type, loaded._get_ort_type_to_numpy_type):
        with pytest.raises(ValueError, match=r"tensor\(bfloat16\) not found in map"):
            helper("tensor(bfloat16)")


def test_unreadable_shapes_are_logged(loaded):
    class Broken:
        name, type = "output", "tensor(float)"

        @property
        def shape(self):
            raise ValueError("no shape")

    loaded.inputs_specifications = [Broken()]
    loaded._logger.records.clear()
    assert loaded.fetch_model_input_dimensions() is None and not loaded.fetch_model_batch_size()
    assert loaded._logger.texts(logging.WARNING) == ["unable to get dimensions from graph): no shape"] * 2


def test_flat_raw_shape(loaded, monkeypatch):
    monkeypatch.setattr(loaded, "_get_dimensions_from_graph", lambda: [4, 3, 2])
    assert loaded.fetch_model_input_dimensions() == [(3, 2)]


# ---- prediction -------------------------------------------------------------------------------------

@pytest.fixture
def two_inputs(samples):
    return OnnxInferencer(sample(samples, "two_inputs"), inference_hardware="cpu")


def feed_arrays(batch=2):
    rng = np.random.default_rng(1)
    return rng.random((batch, 3, 32, 32), dtype=np.float32), rng.random((batch, 1), dtype=np.float32)


def test_predict_input_forms(two_inputs):
    image, scale = feed_arrays()
    expected = two_inputs.sess.run(None, {"image": image, "scale": scale})
    extra = np.zeros(3, np.float32)
    for result in (two_inputs.predict([image, scale]), two_inputs.predict([image, scale, extra]),
                   two_inputs.predict(x=[image, scale]), two_inputs.predict(image=image, scale=scale),
                   two_inputs.predict(None, image=image, scale=scale), two_inputs([image, scale]),
                   OnnxInferencer.predict(two_inputs, [image, scale])):
        assert isinstance(result, list) and len(result) == 2
        assert all(np.array_equal(r, e) for r, e in zip(result, expected))


def test_predict_input_errors(two_inputs):
    image, scale = feed_arrays()
    with pytest.raises(IndexError):
        two_inputs.predict([image])
    with pytest.raises(ValueError, match="scale"):  # the runtime's own error: one array feeds the first input
        two_inputs.predict(image)
    with pytest.raises(ValueError):
        two_inputs.predict()  # an empty feed reaches the runtime
    with pytest.raises(TypeError):
        two_inputs.predict([image, scale], [image, scale])
    with pytest.raises(TypeError):
        two_inputs.predict([image, scale], x=[image, scale])


def test_predict_hands_the_mapping_to_the_current_session(two_inputs):
    image, scale = feed_arrays()
    two_inputs.predict([image, scale])  # builds the cached names for the first session

    class Recording:
        def __init__(self):
            self.calls = []

        def run(self, output_names, feed):
            self.calls.append((output_names, feed))
            return ["out"]

    fake = Recording()
    two_inputs.sess = fake
    for x in ([image, scale], (image, scale), image):
        assert two_inputs.predict(x) == ["out"]
    assert two_inputs.predict(image=image, extra=scale) == ["out"]
    with pytest.raises(ValueError) as info:
        two_inputs.predict([image, scale], image=image)
    assert str(info.value) == BOTH_INPUT_KINDS
    (n0, f0), (_, f1), (_, f2), (_, f3) = fake.calls  # the rejected call never ran
    assert n0 is None and list(f0) == ["image", "scale"] and f0["image"] is image and f0["scale"] is scale
    assert list(f1) == ["image", "scale"] and f1["image"] is image  # a tuple is the inputs in order, as a list
    assert list(f2) == ["image"] and f2["image"] is image
    assert f3 == {"image": image, "extra": scale}


def test_predict_takes_a_mapping_a_tuple_and_python_scalars(two_inputs, tmp_path):
    from onnx import TensorProto, helper, save

    image, scale = feed_arrays()
    expected = two_inputs.predict([image, scale])
    for x in ({"image": image, "scale": scale}, {"scale": scale, "image": image}, (image, scale)):
        assert all(np.array_equal(r, e) for r, e in zip(two_inputs.predict(x), expected))
    with pytest.raises(ValueError, match="scale"):  # a missing input is the runtime's own message
        two_inputs.predict({"image": image})
    for bad in ("image", {image.tobytes()}, object()):
        with pytest.raises(TypeError, match=f"got a value of type '{type(bad).__name__}'"):
            two_inputs.predict(bad)

    # A Python number feeds a scalar input as an array of the input's element type.
    graph = helper.make_graph([helper.make_node("Mul", ["x", "rate"], ["out"])], "rate",
                              [helper.make_tensor_value_info("x", TensorProto.INT64, ["N"]),
                               helper.make_tensor_value_info("rate", TensorProto.INT64, [])],
                              [helper.make_tensor_value_info("out", TensorProto.INT64, ["N"])])
    path = tmp_path / "rate.onnx"
    save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), str(path))
    model = ostrel.load(str(path), framework_type="onnx", inference_hardware="cpu")
    x = np.arange(3, dtype=np.int64)
    for given in ([x, 16000], {"x": x, "rate": 16000}, (x, np.int64(16000))):
        assert model.predict(given)[0].tolist() == [0, 16000, 32000]


def test_model_size_counts_external_data(tmp_path):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    weights = numpy_helper.from_array(np.ones((512, 1024), np.float32), "w")  # 2 MiB
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "w"], ["y"])], "mm",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 512])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 1024])], [weights])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    path = tmp_path / "mm.onnx"
    onnx.save_model(model, str(path), save_as_external_data=True, all_tensors_to_one_file=True,
                    location="mm.weights", size_threshold=0)
    assert path.stat().st_size < 4096
    inf = OnnxInferencer(str(path), inference_hardware="cpu")
    assert inf._get_model_size() == pytest.approx((path.stat().st_size + (tmp_path / "mm.weights").stat().st_size)
                                                  / 1048576)
    assert inf._get_model_size() >= 2.0


def test_keyword_and_positional_x_with_inputs_is_refused(identity):
    model = ostrel.load(identity, framework_type="onnx", inference_hardware="cpu")
    named = np.ones((1, 3, 224, 224), np.float32)
    assert np.array_equal(model.predict(output=named)[0], named)
    for call in (lambda: model.predict(named, output=named), lambda: model.predict(x=named, output=named)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == BOTH_INPUT_KINDS


def test_disposal(loaded):
    x = np.ones((1, 3, 224, 224), np.float32)
    loaded.predict(x)
    session = weakref.ref(loaded.sess)
    loaded._dispose_all_resources()
    loaded._dispose_all_resources()
    for name in ("sess", "sess_options", "inputs_specifications", "inputs_count"):
        assert not hasattr(loaded, name)
    assert loaded.outputs_specifications and loaded.profiling is False
    assert loaded._onnxruntime_session_providers == ["CPUExecutionProvider"]
    gc.collect()
    assert session() is None  # nothing else holds the session
    with pytest.raises(AttributeError):
        loaded.predict(x)


# ---- through ostrel.load -----------------------------------------------------------------------------

def test_load_predict_in_a_fresh_interpreter(run_python, identity):
    r = run_python(
        "import sys, ostrel, numpy as np\n"
        f"m = ostrel.load({identity!r})\n"
        "x = np.random.rand(2, 3, 224, 224).astype(np.float32)\n"
        "print(m.input_dims, m.static_batch_size, np.array_equal(m.predict(x)[0], x))\n"
        "m.legend\n"
        "print('torch imported:', 'torch' in sys.modules)\n")
    lines = [line for line in r.stdout.splitlines() if not re.match(r"\w+ -(DEBUG|INFO|WARNING|ERROR)- ", line)]
    assert lines[0] == "Detecting framework..." and "onnx" in lines[1].lower()
    assert lines[2] == "[(3, 224, 224)] None True"
    assert lines[3] == "torch imported: False"


def test_load_and_benchmark(identity):
    model = ostrel.load(identity, framework_type="onnx", inference_hardware="cpu")
    result = model.benchmark(batch_size=8, repetitions=20, warmup_calls=2)
    assert result.framework_type == "onnx" and result.framework_version == ort.__version__
    assert result.batch_size == 8 and result.batch_inf_time > 0
    with pytest.raises(exc.ForwardPassNotImplemented):
        model.benchmark(batch_size=1, repetitions=1, warmup_calls=0, include_io=False)


# ---- layer profiling ----------------------------------------------------------------------------------

def test_profile_of_the_decoder(decoder, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the runtime writes its traces into the working directory
    model = ostrel.load(decoder, framework_type="onnx", inference_hardware="cpu", profiling=True)
    table = model.get_layers_profile_dataframe()
    import pandas as pd

    assert isinstance(table, pd.DataFrame) and list(table.columns) == ["Layer Name", "ms", "Percentage"]
    assert len(table) >= 22 and table["Layer Name"].is_unique
    assert table["Percentage"].sum() == pytest.approx(100)
    assert table["Percentage"].is_monotonic_decreasing
    assert isinstance(table["Layer Name"].iloc[0], str) and isinstance(table["ms"].iloc[0], float)
    assert len(list(tmp_path.glob("*.json"))) == 2  # both traces stay where the runtime wrote them
    # The bottlenecks come from the table just returned, without profiling again.
    top = model.get_bottlenecks(22)
    assert len(top) == 22 and top["ms"].is_monotonic_decreasing
    assert top.equals(table.nlargest(22, "ms"))
    assert len(model._LoadedModel__inferencer.get_bottlenecks()) == 10
    assert len(list(tmp_path.glob("*.json"))) == 2
    # A later profile ends the previous profile's session again, which writes nothing: one more trace.
    again = model.get_layers_profile_dataframe()
    assert len(list(tmp_path.glob("*.json"))) == 3
    assert model.get_bottlenecks(5).equals(again.nlargest(5, "ms"))
    x = [np.zeros((1,) + d, np.float32) for d in DECODER_DIMS]
    assert model.predict(x)[0].shape == (1, 2, 240, 320)  # predicts on the reloaded session


def test_profiling_is_refused_without_profiling(identity, monkeypatch):
    inf = OnnxInferencer(identity, inference_hardware="cpu")
    monkeypatch.setattr(inf, "benchmark", lambda *a, **k: pytest.fail("benchmark ran"))
    text = "Please initialize the ONNXInferencer with profiling=True in order to use profiling features."
    for call in (inf.get_layers_profile_dataframe, inf.get_bottlenecks):
        with pytest.raises(AssertionError) as info:
            call()
        assert str(info.value) == text


def traced_runtime(trace_path):
    """A runtime whose sessions answer end_profiling with `trace_path`."""

    class Traced:
        def __init__(self, *args, **kwargs):
            self._real = ort.InferenceSession(*args, **kwargs)

        def __getattr__(self, name):
            return getattr(self._real, name)

        def end_profiling(self):
            self._real.end_profiling()
            return trace_path

    return RuntimeProxy(InferenceSession=Traced)


def test_profile_table_from_a_trace(identity, tmp_path, monkeypatch, recorded):
    monkeypatch.chdir(tmp_path)
    trace = tmp_path / "trace.json"
    trace.write_text(json.dumps([
        {"cat": "Session", "name": "model_run", "dur": 99000},
        {"cat": "Node", "name": "b_kernel_time", "dur": 1500},
        {"cat": "Node", "name": "a_kernel_time", "dur": 1000, "args": {}},
        {"cat": "Node", "name": "b_kernel_time", "dur": 500},
        {"cat": "Node", "name": "c_kernel_time", "dur": 1000},
    ]))
    monkeypatch.setattr(onnx_module, "onnx_rt", traced_runtime(str(trace)))
    inf = recorded(OnnxInferencer)(identity, inference_hardware="cpu", profiling=True)
    table = inf.get_layers_profile_dataframe()
    assert table["Layer Name"].tolist() == ["b_kernel_time", "a_kernel_time", "c_kernel_time"]
    assert table["ms"].tolist() == [2.0, 1.0, 1.0] and table["Percentage"].tolist() == [50.0, 25.0, 25.0]
    assert table.index.tolist() == [1, 0, 2]  # labels of the grouped table, in name order
    assert inf.get_bottlenecks(1)["Layer Name"].tolist() == ["b_kernel_time"]
    info = inf._logger.texts(logging.INFO)
    assert info[:3] == ["Running warmup benchmark before profiling", "Reloading the model for profiling...",
                        "Profiling using ONNXRuntime with batch size 1"]
    warnings = [t for t in inf._logger.texts(logging.WARNING) if t.startswith("You have specified")]
    assert len(warnings) == 1 + 1  # the first load and the profile's reload; the bottlenecks reuse its table


def test_profile_table_is_the_run_after_the_warm_up(identity, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    trace = tmp_path / "trace.json"
    trace.write_text(json.dumps([
        {"cat": "Session", "name": "session_initialization", "ts": 10, "dur": 5000},
        {"cat": "Node", "name": "a_kernel_time", "ts": 5100, "dur": 12000},  # first call: one-off costs
        {"cat": "Node", "name": "b_kernel_time", "ts": 17200, "dur": 900},
        {"cat": "Session", "name": "model_run", "ts": 5050, "dur": 13100},
        {"cat": "Node", "name": "a_kernel_time", "ts": 20100, "dur": 300},
        {"cat": "Node", "name": "b_kernel_time", "ts": 20500, "dur": 900},
        {"cat": "Session", "name": "model_run", "ts": 20050, "dur": 1400},
    ]))
    monkeypatch.setattr(onnx_module, "onnx_rt", traced_runtime(str(trace)))
    inf = OnnxInferencer(identity, inference_hardware="cpu", profiling=True)
    table = inf.get_layers_profile_dataframe()
    assert table["Layer Name"].tolist() == ["b_kernel_time", "a_kernel_time"]
    assert table["ms"].tolist() == [0.9, 0.3] and table["Percentage"].tolist() == [75.0, 25.0]
    assert inf.get_bottlenecks(1)["Layer Name"].tolist() == ["b_kernel_time"]


def test_profile_of_a_static_batch_uses_it(samples, tmp_path, monkeypatch, recorded):
    monkeypatch.chdir(tmp_path)
    inf = recorded(OnnxInferencer)(sample(samples, "mixed_batch_inputs"), inference_hardware="cpu", profiling=True)
    inf.get_layers_profile_dataframe()
    assert "Profiling using ONNXRuntime with batch size 8" in inf._logger.texts(logging.INFO)


def test_profile_without_trace_path(identity, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(onnx_module, "onnx_rt", traced_runtime(""))
    inf = OnnxInferencer(identity, inference_hardware="cpu", profiling=True)
    with pytest.raises(RuntimeError, match="^Benchmark was already done on this session. Please re-initialize"):
        inf.get_layers_profile_dataframe()


def test_profile_without_pandas(identity, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    inf = OnnxInferencer(identity, inference_hardware="cpu", profiling=True)
    capsys.readouterr()
    monkeypatch.setitem(sys.modules, "pandas", None)
    assert inf.get_layers_profile_dataframe() is None
    assert capsys.readouterr().out == "Pandas is required in order to use profiling\n"


# ---- module import and the cupy retry ---------------------------------------------------------------

IMPORT_PROBE = """
import sys, types
attempts = []
class Block:
    def find_spec(self, name, path=None, target=None):
        if name in ("onnxruntime", "cupy"):
            attempts.append(name)
        if name == "onnxruntime" and attempts.count("onnxruntime") <= {blocked}:
            raise {error}
        if name == "cupy" and not {cupy}:
            raise ModuleNotFoundError("No module named 'cupy'", name="cupy")
        return None
sys.meta_path.insert(0, Block())
if {cupy}:
    sys.modules["cupy"] = types.ModuleType("cupy")
import ostrel
try:
    import ostrel.frameworks.onnx_inferencer as m
    print("loaded", getattr(m, "cp", None) is sys.modules.get("cupy", 0), m.onnx_rt.__version__)
except BaseException as e:
    print("failed", type(e).__name__, e)
print(attempts)
"""


@pytest.mark.parametrize("blocked, error, cupy, first_line, attempts", [
    # No cupy: the runtime's own import error, not cupy's.
    (9, 'ImportError("libonnxruntime.so: cannot open")', False,
     "failed ImportError libonnxruntime.so: cannot open", ["onnxruntime", "cupy"]),
    (9, 'OSError("missing libcudart")', False, "failed OSError missing libcudart", ["onnxruntime", "cupy"]),
    # With cupy the second import is tried; its success binds cp.
    (1, 'ImportError("first try")', True, "loaded True " + ort.__version__, ["onnxruntime", "onnxruntime"]),
    (9, 'ImportError("always")', True, "failed ImportError always", ["onnxruntime", "onnxruntime"]),
    # Other errors of the first import propagate at once.
    (9, 'RuntimeError("broken build")', False, "failed RuntimeError broken build", ["onnxruntime"]),
])
def test_import_retry(run_python, blocked, error, cupy, first_line, attempts):
    r = run_python(IMPORT_PROBE.format(blocked=blocked, error=error, cupy=cupy))
    lines = r.stdout.splitlines()
    assert lines[-2] == first_line
    assert eval(lines[-1]) == attempts


def test_predict_reads_the_session_and_descriptions_at_every_call(identity):
    m = OnnxInferencer(identity)
    x = np.ones((1, 3, 224, 224), np.float32)
    m.predict(x)
    seen = []
    real_run = m.sess.run
    m.sess = types.SimpleNamespace(run=lambda names, feed: seen.append(sorted(feed)) or real_run(names, feed))
    m.predict(x)
    m.inputs_specifications[0] = types.SimpleNamespace(name="output")  # changed in place, same name
    m.predict([x])
    assert seen == [["output"], ["output"]]
    m.inputs_specifications = [types.SimpleNamespace(name="renamed")]  # new descriptions: names read again
    m.sess = types.SimpleNamespace(run=lambda names, feed: seen.append(sorted(feed)))
    m.predict(x)
    assert seen[-1] == ["renamed"]


class NameFails:
    @property
    def name(self):
        raise RuntimeError("no name")


@pytest.mark.parametrize("change, error, text", [
    (lambda m: setattr(m, "inputs_specifications", [NameFails()]), RuntimeError, "no name"),
    (lambda m: setattr(m, "inputs_count", "one"), TypeError, "'str' object cannot be interpreted as an integer"),
    (lambda m: setattr(m, "inputs_count", 2), IndexError, "list index out of range"),
    (lambda m: delattr(m, "sess"), AttributeError, "sess"),
])
def test_predict_failures_reach_the_caller_and_leave_the_instance_usable(identity, change, error, text):
    m = OnnxInferencer(identity)
    x = np.ones((1, 3, 224, 224), np.float32)
    kept = {k: getattr(m, k) for k in ("sess", "inputs_specifications", "inputs_count")}
    change(m)
    with pytest.raises(error, match=re.escape(text)):
        m.predict(x)
    for k, v in kept.items():
        setattr(m, k, v)
    np.testing.assert_array_equal(m.predict(x)[0], x)


def test_predict_reads_the_names_again_over_a_stale_or_empty_count(identity):
    m = OnnxInferencer(identity)
    x = np.ones((1, 3, 224, 224), np.float32)
    fed = []
    m.sess = types.SimpleNamespace(run=lambda names, feed: fed.append(list(feed)))
    # A names entry that matches the session, descriptions and count but holds no tuple is read again.
    m._OnnxInferencer__input_names = (m.sess, m.inputs_specifications, m.inputs_count, "output")
    m.predict(x)
    m.inputs_count = 0  # no input counted: one value still feeds the first description's name
    m.predict(x)
    assert m.predict([x]) is None and fed == [["output"], ["output"], []]
