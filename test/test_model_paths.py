"""Model paths as users and the operating system give them: files that are not regular (a FIFO blocks
whoever opens it), paths with undecodable bytes (as os.listdir returns them) and bytes paths, on the load
road of the back-ends that read files."""
import os
import pickle
import shutil
import tempfile
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


class FifoOnSecondLook:
    """A path object that puts a FIFO at its path when it is asked for the path the second time."""

    def __init__(self, path):
        self.path, self.calls = path, 0

    def __fspath__(self):
        self.calls += 1
        if self.calls == 2:
            os.remove(self.path)
            os.mkfifo(self.path)
        return self.path


@pytest.mark.parametrize("name, framework, module", [
    ("m.onnx", "onnx", "onnx"), ("m.tflite", "tflite", "tflite"), ("m.pth", "torchscript", "torchscript"),
    ("m.pt", "pytorch", "pytorch"), ("m.xml", "openvino", "openvino"), ("m.pkl", "openvino", "openvino"),
    ("m.zip", "openvino", "openvino"), ("m.h5", "keras", "keras"),
])
def test_a_path_object_that_turns_into_a_fifo_is_refused(tmp_path, name, framework, module):
    # The load entry sees a regular file; by the back-end's own look the name leads to a FIFO. The
    # back-end's module is imported first: the deadline is for the load alone.
    import importlib
    importlib.import_module(f"ostrel.frameworks.{module}_inferencer")
    path = str(tmp_path / name)
    with open(path, "wb") as f:
        f.write(b"not a model")
    given = FifoOnSecondLook(path)
    outcome = call_with_deadline(lambda: ostrel.load(given, framework_type=framework), path, seconds=2.0)
    assert given.calls >= 2 and "error" in outcome, outcome
    error, chain = outcome["error"], ""
    while error is not None:
        chain, error = chain + repr(error), error.__cause__ or error.__context__
    assert "not a regular file" in chain.lower(), outcome


class SwitchingPath:
    """A path object that names `first` on its first __fspath__ call and `then` on every later one."""

    def __init__(self, first, then):
        self.first, self.then, self.calls = first, then, 0

    def __fspath__(self):
        self.calls += 1
        return self.first if self.calls == 1 else self.then


@pytest.mark.parametrize("construct", ["openvino_pkl", "tflite"])
def test_a_path_object_that_turns_into_a_fifo_never_blocks_a_construction(tmp_path, fifo, construct):
    """What the back-end checks is what it opens: a path object read again after the check cannot hand the
    framework a FIFO."""
    import importlib
    module, name, file_name = CONSTRUCTED[construct]
    cls = getattr(importlib.import_module(f"ostrel.frameworks.{module}"), name)
    regular = tmp_path / ("regular-" + file_name)
    regular.write_bytes(pickle.dumps(b"<net/>") + pickle.dumps(b"w") if file_name.endswith(".pkl") else b"x" * 64)
    path = fifo(file_name)
    outcome = call_with_deadline(lambda: cls(SwitchingPath(str(regular), path)), path)
    assert isinstance(outcome.get("error"), Exception), outcome  # neither content is a model


def test_a_load_vouches_for_its_model_file_only_while_it_runs(tmp_path, onnx_bytes):
    """A later construction with the same path looks at the file again."""
    from ostrel.frameworks.onnx_inferencer import OnnxInferencer
    path = str(tmp_path / "m.onnx")
    with open(path, "wb") as f:
        f.write(onnx_bytes)
    ostrel.load(path, framework_type="onnx", logging_verbosity="WARNING")
    os.remove(path)
    os.mkfifo(path)
    outcome = call_with_deadline(lambda: OnnxInferencer(path), path)
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


# ---- files beside a model, and folders that hold it ----------------------------------------------------

def run_child(code, env=None, timeout=120):
    """A snippet in a fresh interpreter that is ended after `timeout` seconds (a hanging load fails the
    test, never the run); returns its standard output."""
    import subprocess
    import sys
    r = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, **(env or {})), capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


TIMED_LOAD = """
import sys, time
import ostrel, {module}
from ostrel.common import exceptions as exc
started = time.monotonic()
try:
    ostrel.load(sys.argv[1] if len(sys.argv) > 1 else {path!r}, framework_type={framework!r})
    print("loaded")
except exc.OstrelError as e:
    took, chain = time.monotonic() - started, ""
    while e is not None:
        chain, e = chain + repr(e), e.__cause__ or e.__context__
    print("refused", took, "not a regular file" in chain.lower())
"""


def _fifo_as_weights(samples, folder):
    shutil.copyfile(samples / "openvino" / "convnet_batch_1.xml", folder / "m.xml")
    os.mkfifo(folder / "m.bin")
    return folder / "m.xml", "openvino", "ostrel.frameworks.openvino_inferencer"


def _fifo_as_saved_model(samples, folder):
    (folder / "saved" / "variables").mkdir(parents=True)
    os.mkfifo(folder / "saved" / "saved_model.pb")
    return folder / "saved", "tf2", "ostrel.frameworks.tensorflow_inferencer"


def _fifo_as_external_data(samples, folder):
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    weights = numpy_helper.from_array(np.ones((4, 4), np.float32), "w")
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "w"], ["y"])], "mm",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])], [weights])
    onnx.save_model(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]), str(folder / "m.onnx"),
                    save_as_external_data=True, location="m.weights", size_threshold=0)
    os.remove(folder / "m.weights")
    os.mkfifo(folder / "m.weights")
    return folder / "m.onnx", "onnx", "ostrel.frameworks.onnx_inferencer"


@pytest.mark.parametrize("make", [_fifo_as_weights, _fifo_as_saved_model, _fifo_as_external_data],
                         ids=["ir-weights", "saved_model.pb", "onnx-external-data"])
def test_a_fifo_read_along_with_the_model_is_refused_at_once(samples, tmp_path, make):
    path, framework, module = make(samples, tmp_path)
    out = run_child(TIMED_LOAD.format(module=module, path=str(path), framework=framework)).splitlines()[-1].split()
    assert out[0] == "refused" and float(out[1]) < 1.0 and out[2] == "True", out


# ---- undecodable folder names --------------------------------------------------------------------------

NEEDED = ("mobilenet_v2_1.0_224.tflite", "mobilenet_v2.pth", "resnet18.pt", "openvino/convnet_batch_1.xml",
          "openvino/convnet_batch_1.bin")


def _packed_ir(samples, tmp_path):
    from tests.test_utils.onnx_to_openvino import pickle_openvino_checkpoint_files
    for suffix in (".xml", ".bin"):
        shutil.copyfile(samples / "openvino" / f"convnet_batch_1{suffix}", tmp_path / f"net{suffix}")
    return pickle_openvino_checkpoint_files(str(tmp_path / "net.xml"))


@pytest.mark.parametrize("framework, files", [
    ("tflite", {"mobilenet_v2_1.0_224.tflite": "m.tflite"}),
    ("torchscript", {"mobilenet_v2.pth": "m.pth"}),
    ("pytorch", {"resnet18.pt": "m.pt"}),
    ("openvino", {"openvino/convnet_batch_1.xml": "m.xml", "openvino/convnet_batch_1.bin": "m.bin"}),
    ("openvino", {"packed": "m.pkl"}),
], ids=["tflite", "torchscript", "pytorch-package", "openvino-xml", "openvino-pkl"])
def test_models_under_an_undecodable_folder_load_and_predict(samples, tmp_path, monkeypatch, framework, files):
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(scratch))
    odd = os.fsencode(str(tmp_path)) + b"/odd\xff"
    os.mkdir(odd)
    plain = tmp_path / "plain"
    plain.mkdir()
    for source, name in files.items():
        source = _packed_ir(samples, tmp_path) if source == "packed" else samples / source
        shutil.copyfile(source, odd + b"/" + name.encode())
        shutil.copyfile(source, plain / name)
    model_name = next(iter(files.values()))
    reference = ostrel.load(str(plain / model_name), framework_type=framework)
    dims = reference.input_dims[0] if reference.input_dims else (3, 224, 224)  # torch files keep no shapes
    x = np.random.default_rng(0).random((1, *dims), dtype=np.float32)
    for given in (os.fsdecode(odd + b"/" + model_name.encode()), odd + b"/" + model_name.encode()):
        model = ostrel.load(given, framework_type=framework)
        assert model.input_dims == reference.input_dims
        np.testing.assert_allclose(np.asarray(model.predict(x)[0]), np.asarray(reference.predict(x)[0]), rtol=1e-6)
        del model
    assert sorted(os.listdir(odd)) == sorted(n.encode() for n in files.values())  # nothing left beside them
    assert os.listdir(scratch) == []  # no link folder, no unpack folder
