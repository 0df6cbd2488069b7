"""The Core ML back-end (ostrel.frameworks.coreml_inferencer) over coremltools, predicting through the
Core ML runtime stand-in that test/conftest.py puts behind coremltools; and the stand-in itself."""
import collections
import logging

import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import coreml_standin
import coremltools as ct
import ostrel
from ostrel.common import exceptions as exc
from ostrel.frameworks.coreml_inferencer import CoreMLInferencer

MAIN = "mobilenet_v2_bs1_fp32.mlmodel"
NEEDED = [MAIN] + [f"coreml/{n}.mlmodel" for n in
                   ("int32_input", "double_input", "two_inputs", "float16_input")]
CPU, GPU = ostrel.InferenceHardware.CPU, ostrel.InferenceHardware.GPU


def path(samples, name):
    return str(samples / (name if name.endswith(".mlmodel") else f"coreml/{name}.mlmodel"))


@pytest.fixture
def main(samples):
    return path(samples, MAIN)


def runtime():
    module = coreml_standin.active()
    assert module is not None, "coremltools is not running on the Core ML runtime stand-in"
    return module


# ---- NumPy references of the sample networks, from the weights in their protobuf description ----------


def _layers(model_path):
    spec = ct.models.utils.load_spec(model_path)
    return {layer.name: layer for layer in spec.neuralNetwork.layers}


def _conv_reference(x, conv, pad):
    p = conv.convolution
    k, s = p.kernelSize[0], p.stride[0]
    w = np.asarray(p.weights.floatValue, np.float32).reshape(p.outputChannels, p.kernelChannels, k, k)
    x = np.pad(x, [(0, 0), (0, 0), pad, pad])
    windows = sliding_window_view(x, (k, k), axis=(2, 3))[:, :, ::s, ::s]  # b, c, oh, ow, kh, kw
    return np.einsum("bchwij,ocij->bohw", windows, w) + np.asarray(p.bias.floatValue)[None, :, None, None]


def _dense_reference(x, layer):
    p = layer.innerProduct
    w = np.asarray(p.weights.floatValue, np.float32).reshape(p.outputChannels, p.inputChannels)
    return x @ w.T + np.asarray(p.bias.floatValue, np.float32)


def main_reference(model_path, x):
    layers = _layers(model_path)
    h = np.maximum(_conv_reference(x, layers["conv1"], (0, 1)), 0)  # same padding, 224 -> 112
    h = np.maximum(_conv_reference(h, layers["conv2"], (0, 0)), 0)
    logits = _dense_reference(h.reshape(1, -1), layers["fc"])
    e = np.exp(logits - logits.max(axis=-1, keepdims=True))
    return e / e.sum(axis=-1, keepdims=True)


# ---- loading, prediction and the compute units ------------------------------------------------------------


def test_sample_loads_detected_and_named_and_predicts_the_reference(main):
    detected = ostrel.load(main)
    assert detected.legend["framework"]["type"] == ostrel.FrameworkType.COREML

    model = ostrel.load(main, framework_type="coreml", inference_hardware="cpu")
    assert runtime().loads[-1] == (main, "CPU_ONLY")
    x = np.random.default_rng(0).random((1, 3, 224, 224), dtype=np.float32)
    out = model.predict(x)
    assert list(out) == ["probabilities"] and out["probabilities"].dtype == np.float32
    np.testing.assert_allclose(out["probabilities"], main_reference(main, x), atol=1e-5, rtol=0)
    # The same call with the one-entry mapping, by keyword.
    again = model.predict(x={"input": x})
    np.testing.assert_array_equal(again["probabilities"], out["probabilities"])


class NoGpuMemory(CoreMLInferencer):
    def _get_memory(self, *args, **kwargs):  # no GPU here to read the memory of
        return None


@pytest.mark.parametrize("name", ["int32_input", "double_input", "two_inputs", "float16_input"])
def test_builder_written_files_are_detected(samples, name):
    # Files as coremltools' builders write them carry none of the converters' metadata markers: the
    # structural check of the format finds them.
    model = ostrel.load(path(samples, name), inference_hardware="cpu")
    assert model.legend["framework"]["type"] == ostrel.FrameworkType.COREML


@pytest.mark.parametrize("hardware, units", [(CPU, "CPU_ONLY"), ("cpu", "CPU_ONLY"), (GPU, "ALL")])
def test_compute_units_follow_the_hardware(main, hardware, units):
    model = NoGpuMemory(main, inference_hardware=hardware)
    assert model._model.compute_unit.name == units
    assert runtime().loads[-1] == (main, units)


def test_construction_fields_and_properties(main):
    model = CoreMLInferencer(main, inference_hardware=CPU)
    assert model._input_names == ["input"] and model._single_input_name == "input"
    assert isinstance(model._model, ct.models.MLModel)
    assert model.fetch_model_batch_size() is None and model._static_batch_size is None
    assert model.fetch_model_input_dimensions() is None and model.input_dims is None  # never the model's
    assert model.framework_type == ostrel.FrameworkType.COREML and model.framework_type.value == "coreml"
    assert model.framework_version == ct.__version__

    model._dispose_all_resources()
    model._dispose_all_resources()  # a second call does nothing
    assert not any(hasattr(model, f) for f in ("_model", "_input_names", "_single_input_name"))


@pytest.mark.parametrize("name, types", [
    (MAIN, [np.float32]),
    ("int32_input", [np.int32]),
    ("double_input", [np.double]),
    ("two_inputs", [np.float32, np.int32]),
])
def test_input_element_types(samples, name, types):
    model = CoreMLInferencer(path(samples, name), inference_hardware=CPU)
    assert model.fetch_model_input_dtype() == types
    assert model.inference_dtype == types


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


def _image_first_model(tmp_path):
    """A model whose first input is an image (no multi-array: type code 0), the second a float32 array."""
    spec = ct.proto.Model_pb2.Model()
    spec.specificationVersion = 4
    image = spec.description.input.add()
    image.name = "picture"
    image.type.imageType.width, image.type.imageType.height = 8, 8
    image.type.imageType.colorSpace = ct.proto.FeatureTypes_pb2.ImageFeatureType.RGB
    array = spec.description.input.add()
    array.name = "x"
    array.type.multiArrayType.dataType = ct.proto.FeatureTypes_pb2.ArrayFeatureType.FLOAT32
    spec.description.output.add().name = "y"
    spec.neuralNetwork.SetInParent()
    model_path = tmp_path / "image_first.mlmodel"
    model_path.write_bytes(spec.SerializeToString())
    return str(model_path)


@pytest.mark.parametrize("first_input, warning", [
    ("float16", "Failed to determine input's half data type for value: 65552"),
    ("image", "Failed to determine input's picture data type for value: 0"),
])
def test_unknown_input_element_type_warns_and_falls_back_to_float32(samples, tmp_path, first_input, warning):
    model_path = path(samples, "float16_input") if first_input == "float16" else _image_first_model(tmp_path)
    model = CoreMLInferencer(model_path, inference_hardware=CPU)
    assert model.inference_dtype == np.float32
    records = Records()  # added after construction: the inferencer's logging set-up renews the handlers
    ostrel.ostrel_logger.addHandler(records)
    try:
        assert model.fetch_model_input_dtype() is None
    finally:
        ostrel.ostrel_logger.removeHandler(records)
    assert [(r.levelno, r.getMessage(), r.module) for r in records.records] == [
        (logging.WARNING, warning, "coreml_inferencer")]


def test_two_input_model(samples):
    model = CoreMLInferencer(path(samples, "two_inputs"), inference_hardware=CPU)
    assert model._input_names == ["features", "offsets"] and model._single_input_name is None
    rng = np.random.default_rng(1)
    features = rng.standard_normal((1, 16)).astype(np.float32)
    offsets = rng.integers(-3, 3, (1, 16)).astype(np.int32)
    with pytest.raises(ValueError, match="^CoreML prediction expects a dict with all inputs for multiple input "
                                         "models$"):
        model.predict(features)
    want = _dense_reference(np.maximum(features + offsets, 0), _layers(path(samples, "two_inputs"))["fc"])
    by_name = model.predict({"features": features, "offsets": offsets})
    np.testing.assert_allclose(by_name["scores"], want, atol=1e-5, rtol=0)
    # A list of one array per input, in model order (the form the benchmark builds).
    for in_order in (model.predict([features, offsets]), model.predict((features, offsets))):
        np.testing.assert_array_equal(in_order["scores"], by_name["scores"])
    for other in ("features", {1}, [features]):  # not a mapping, nor one value per input
        with pytest.raises(ValueError, match="^CoreML prediction expects a dict"):
            model.predict(other)


def test_a_value_of_any_kind_goes_to_a_single_input_model_unchanged(main):
    model = CoreMLInferencer(main, inference_hardware=CPU)
    fed = []
    model._model.predict = lambda feed: fed.append(feed) or {"probabilities": None}
    for value in ("a text", {1, 2}, b"raw", None, 3):
        model.predict(value)
        assert len(fed[-1]) == 1 and fed[-1]["input"] is value, fed[-1]
    # through coremltools to the runtime, whose refusal is its own
    del model._model.predict
    with pytest.raises(Exception) as e:
        model.predict("a text")
    assert "got a value of type" not in str(e.value), e.value


@pytest.mark.parametrize("name, dtype, out_dtype", [
    ("int32_input", np.int32, np.float32), ("double_input", np.float64, np.float64)])
def test_outputs_are_typed_from_their_description(samples, name, dtype, out_dtype):
    model = CoreMLInferencer(path(samples, name), inference_hardware=CPU)
    x = np.arange(16, dtype=dtype).reshape(1, 16)
    (out,) = model.predict(x).values()
    assert out.dtype == out_dtype and out.shape == (1, 4)
    np.testing.assert_allclose(out, _dense_reference(x.astype(np.float32), _layers(path(samples, name))["fc"]),
                               rtol=1e-5)


def test_a_mapping_is_copied_not_changed(samples):
    model = CoreMLInferencer(path(samples, "double_input"), inference_hardware=CPU)
    values = [list(range(16))]
    feed = collections.OrderedDict(x=values)  # a dict subtype, holding a plain list
    out = model.predict(feed)
    assert out["y"].shape == (1, 4)
    assert feed["x"] is values  # coremltools converted the copy, not the caller's mapping


def test_predict_takes_x_alone(main):
    model = CoreMLInferencer(main, inference_hardware=CPU)
    x = np.zeros((1, 3, 224, 224), np.float32)
    with pytest.raises(TypeError, match=r"^predict\(\) got an unexpected keyword argument 'input'$"):
        model.predict(input=x)
    with pytest.raises(TypeError, match=r"^predict\(\) got an unexpected keyword argument 'y'$"):
        model.predict(x, y=1)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'x'"):
        model.predict()
    with pytest.raises(TypeError, match=r"^predict\(\) takes 2 positional arguments but 3 were given$"):
        model.predict(x, x)
    with pytest.raises(TypeError, match=r"^predict\(\) got multiple values for argument 'x'$"):
        model.predict(x, x=x)
    assert list(model(x)) == ["probabilities"]  # __call__ forwards


@pytest.mark.parametrize("feed, error, match", [
    ({}, RuntimeError, "Required input feature not passed to neural network"),
    ({"features": np.zeros((1, 16), np.float32)}, RuntimeError, "Required input feature"),
    ({"features": np.zeros((1, 15), np.float32), "offsets": np.zeros((1, 16), np.int32)}, RuntimeError,
     r"MultiArray shape \(1 x 15\) does not match the shape \(1 x 16\)"),
    ({"features": np.zeros((16,), np.float32), "offsets": np.zeros((1, 16), np.int32)}, RuntimeError,
     "does not match"),
    ({"features": np.zeros((1, 16), np.float32), "offsets": np.zeros((1, 16), np.int32), "extra": 1}, KeyError,
     "does not match any of the model input name"),
])
def test_runtime_refusals_reach_the_caller_unchanged(samples, feed, error, match):
    model = CoreMLInferencer(path(samples, "two_inputs"), inference_hardware=CPU)
    with pytest.raises(error, match=match):
        model.predict(feed)


def test_input_dims_are_none_unless_the_caller_gives_them(tmp_path):
    from coremltools.models import datatypes
    from coremltools.models.neural_network import NeuralNetworkBuilder

    # a first axis that is no batch: (3, 12, 12) is one image's channels, height and width
    builder = NeuralNetworkBuilder([("image", datatypes.Array(3, 12, 12))], [("out", datatypes.Array(3, 12, 12))],
                                   disable_rank5_shape_mapping=True)
    builder.add_activation("relu", "RELU", "image", "out")
    path = tmp_path / "relu.mlmodel"
    path.write_bytes(builder.spec.SerializeToString())
    model = ostrel.load(str(path), framework_type="coreml", inference_hardware="cpu")
    assert model.input_dims is None
    with pytest.raises(exc.InputDimensionsNotSpecifiedError):
        model.benchmark(batch_size=1, repetitions=2)
    x = np.random.default_rng(2).random((3, 12, 12))
    np.testing.assert_allclose(model.predict(x)["out"], np.maximum(x, 0), rtol=1e-6)
    given = ostrel.load(str(path), framework_type="coreml", inference_hardware="cpu", input_dims=[(12, 12)])
    assert given.input_dims == [(12, 12)] and given.example_inputs[0].shape == (1, 12, 12)
    # the caller's dimensions of the model's own layout: (1, 12, 12) arrays make its (3, 12, 12) input
    record = given.benchmark(batch_size=3, repetitions=2)
    assert record.batch_size == 3


@pytest.mark.parametrize("name, dims", [(MAIN, [(3, 224, 224)]), ("two_inputs", [(16,), (16,)])])
def test_benchmark_with_the_runtime(samples, name, dims):
    # The benchmark feeds a list of one array per input, each of the input's own element type.
    model = ostrel.load(path(samples, name), framework_type="coreml", inference_hardware="cpu", input_dims=dims)
    record = model.benchmark(batch_size=1, repetitions=5)
    assert record.batch_size == 1 and record.framework_type == "coreml" and record.inference_hardware == "CPU"
    assert record.batch_inf_time > 0 and record.framework_version == ct.__version__


# ---- load failures --------------------------------------------------------------------------------


def test_coremltools_errors_leave_the_constructor_unchanged(tmp_path):
    missing = tmp_path / "missing.mlmodel"
    with pytest.raises(FileNotFoundError):
        CoreMLInferencer(str(missing), inference_hardware=CPU)
    garbage = tmp_path / "garbage.mlmodel"
    garbage.write_bytes(b"\xff" * 64)
    with pytest.raises(Exception) as caught:
        CoreMLInferencer(str(garbage), inference_hardware=CPU)
    assert not isinstance(caught.value, exc.OstrelError)
    with pytest.raises(exc.OstrelError) as wrapped:  # the load road wraps it, with the cause kept
        ostrel.load(str(garbage), framework_type="coreml")
    assert type(wrapped.value.__cause__) is type(caught.value)


def test_model_without_inputs_did_not_load(tmp_path):
    spec = ct.proto.Model_pb2.Model()
    spec.specificationVersion = 4
    spec.description.output.add().name = "y"
    spec.neuralNetwork.SetInParent()
    empty = tmp_path / "no_inputs.mlmodel"
    empty.write_bytes(spec.SerializeToString())
    with pytest.raises(exc.FailedToLoadCheckpointError, match="^The coreml model did not load successfully.$"):
        CoreMLInferencer(str(empty), inference_hardware=CPU)


def test_without_the_runtime_predict_raises_coremltools_error(main, run_python):
    # A fresh interpreter without the stand-in: coremltools on Linux has no Core ML runtime.
    r = run_python(f"""
import numpy as np, ostrel
model = ostrel.load({main!r}, framework_type="coreml", inference_hardware="cpu")
try:
    model.predict(np.zeros((1, 3, 224, 224), np.float32))
except Exception as e:
    print("RAISED", type(e).__module__, type(e).__name__, e)
""")
    assert "RAISED builtins Exception Model prediction is only supported on macOS version 10.13 or later." \
        in r.stdout, r.stdout + r.stderr


# ---- the stand-in --------------------------------------------------------------------------------


def test_standin_never_shadows_a_real_runtime(tmp_path):
    finder = coreml_standin._Finder()
    assert finder.find_spec("coremltools.other", [str(tmp_path)]) is None
    assert finder.find_spec(coreml_standin.MODULE, [str(tmp_path)]).origin == coreml_standin._SOURCE
    (tmp_path / "libcoremlpython.py").write_text("")
    assert finder.find_spec(coreml_standin.MODULE, [str(tmp_path)]) is None


def test_standin_refuses_models_it_cannot_run(tmp_path):
    spec = ct.proto.Model_pb2.Model()
    spec.specificationVersion = 4
    feature = spec.description.input.add()
    feature.name = "x"
    feature.type.multiArrayType.shape.extend([1, 4])
    spec.description.output.add().name = "y"
    layer = spec.neuralNetwork.layers.add()
    layer.name, layer.input[:], layer.output[:] = "pool", ["x"], ["y"]
    layer.pooling.SetInParent()
    model_path = tmp_path / "pool.mlmodel"
    model_path.write_bytes(spec.SerializeToString())
    model = ct.models.MLModel(str(model_path))
    with pytest.raises(RuntimeError, match="type pooling is not evaluated by the stand-in"):
        model.predict({"x": np.zeros((1, 4), np.float32)})

