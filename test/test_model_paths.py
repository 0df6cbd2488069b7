"""Model paths as users and the operating system give them: files that are not regular (a FIFO blocks
whoever opens it), paths with undecodable bytes (as os.listdir returns them) and bytes paths, on the load
road of the back-ends that read files."""
import os
import pickle
import threading
import time

import numpy as np
import pytest
from onnx import TensorProto, helper

import ostrel
from ostrel.common import exceptions as exc


@pytest.fixture(scope="module")
def onnx_bytes():
    """A one-node model, made with onnx's own helpers and a dynamic batch axis."""
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 3])
    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "relu", [x], [y])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model.SerializeToString()


@pytest.fixture
def fifo(tmp_path):
    def make(name):
        path = tmp_path / name
        os.mkfifo(path)
        return str(path)
    return make


def call_with_deadline(fn, fifo_path, seconds=1.0):
    """fn() on a thread; returns {"error": its exception} or {"result": None}. When fn is still blocked
    after `seconds`, the FIFO is opened for writing to release it (so the test process never hangs) and
    the test fails."""
    outcome = {}

    def run():
        try:
            fn()
            outcome["result"] = None
        except BaseException as e:  # noqa: BLE001 - handed back to the test
            outcome["error"] = e

    t = threading.Thread(target=run, daemon=True)
    started = time.monotonic()
    t.start()
    t.join(seconds)
    if t.is_alive():
        took = time.monotonic() - started
        os.close(os.open(fifo_path, os.O_WRONLY | os.O_NONBLOCK))
        pytest.fail(f"a call on a FIFO blocked for {took:.1f} s")
    return outcome


@pytest.mark.parametrize("name, framework", [
    ("m.onnx", "onnx"), ("m.xml", "openvino"), ("m.pkl", "openvino"), ("m.zip", "openvino"), ("m.pkl", "trt"),
])
def test_a_fifo_named_like_a_model_is_refused_at_once(fifo, name, framework):
    path = fifo(name)
    outcome = call_with_deadline(lambda: ostrel.load(path, framework_type=framework), path)
    assert isinstance(outcome.get("error"), exc.OstrelError), outcome
    assert "not a regular file" in str(outcome["error"]) and isinstance(outcome["error"].__cause__, OSError)


CONSTRUCTED = {  # back-end module, class, file name
    "onnx": ("onnx_inferencer", "OnnxInferencer", "m.onnx"),
    "openvino_xml": ("openvino_inferencer", "OpenVinoInferencer", "m.xml"),
    "openvino_pkl": ("openvino_inferencer", "OpenVinoInferencer", "m.pkl"),
    "openvino_zip": ("openvino_inferencer", "OpenVinoInferencer", "m.zip"),
    "torchscript": ("torchscript_inferencer", "TorchScriptInferencer", "m.pt"),
    "tflite": ("tflite_inferencer", "TFLiteInferencer", "m.tflite"),
    "keras": ("keras_inferencer", "KerasInferencer", "m.keras"),
}


@pytest.mark.parametrize("construct", CONSTRUCTED)
def test_back_ends_constructed_directly_refuse_a_fifo_too(fifo, construct):
    import importlib
    module, name, file_name = CONSTRUCTED[construct]
    cls = getattr(importlib.import_module(f"ostrel.frameworks.{module}"), name)
    path = fifo(file_name)
    outcome = call_with_deadline(lambda: cls(path), path)
    error, chain = outcome.get("error"), ""
    while error is not None:
        chain, error = chain + repr(error), error.__cause__ or error.__context__
    assert "not a regular file" in chain.lower(), outcome


def test_undecodable_and_bytes_paths_load(tmp_path, onnx_bytes):
    raw = os.fsencode(str(tmp_path)) + b"/m\xff.onnx"
    with open(raw, "wb") as f:
        f.write(onnx_bytes)
    given = os.fsdecode(raw)  # what os.listdir gives for such a name
    assert os.listdir(tmp_path) == [os.path.basename(given)]
    x = np.array([[-1.0, 2.0, -3.0]], np.float32)
    for path, framework in ((given, None), (given, "onnx"), (raw, "onnx"), (raw, None)):
        model = ostrel.load(path, framework_type=framework)
        assert np.array_equal(model.predict(x)[0], np.maximum(x, 0)), (path, framework)


@pytest.mark.parametrize("name", [b"m\xff.onnx", b"m\xff.pkl", b"m\xff.zip", b"m\xff.xml", b"m\xff.tar.gz"])
def test_a_missing_undecodable_path_is_an_ostrel_error(tmp_path, name):
    given = os.fsdecode(os.fsencode(str(tmp_path)) + b"/" + name)
    framework = {b".onnx": "onnx", b".pkl": "openvino", b".zip": "openvino", b".xml": "openvino",
                 b".gz": "tensorflow"}[os.path.splitext(name)[1]]
    with pytest.raises(exc.OstrelError):
        ostrel.load(given, framework_type=framework)


@pytest.mark.parametrize("name, framework", [(b"m\xff.pkl", "openvino"), (b"m\xff.xml", "openvino")])
def test_undecodable_openvino_paths_fail_as_ostrel_errors_with_their_cause(tmp_path, name, framework):
    raw = os.fsencode(str(tmp_path)) + b"/" + name
    with open(raw, "wb") as f:
        if name.endswith(b".pkl"):
            for record in (b"<net/>", b"weights"):
                pickle.dump(record, f)
        else:
            f.write(b"<net/>")
    with pytest.raises(exc.OstrelError) as e:  # a bare UnicodeError is the fault this guards against
        ostrel.load(os.fsdecode(raw), framework_type=framework)
    assert e.value.__cause__ is not None or e.value.__context__ is not None
