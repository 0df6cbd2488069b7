"""How each back-end translates the errors its framework raises while loading a model: one table of
cases, each run against the back-end's real load path with the framework's loader made to raise."""
import inspect
import os
import types
from pathlib import Path

import onnxruntime as ort
import pytest
import tensorflow as tf

import ostrel
from ostrel.common import exceptions as exc

CPU = ostrel.InferenceHardware.CPU
REPO = Path(__file__).resolve().parent.parent
NEEDED = ["return_model_input.onnx", "openvino/convnet_batch_1.xml"]

TF_RUNTIME = "Tensorflow raised an error while loading th model: "
TF_VALUE = "Tensorflow received an invalid value/argument while loading th model: "
KERAS_RUNTIME = "Keras ran into error while loading the model: "
KERAS_VALUE = "Keras raised an value error while loading the model: "
TORCH = "Torch raised an error while loading the model: "
TRT_RUNTIME = (f"TensorRT ran into an error while loading the model.{os.linesep}Please verify the TensorRT model "
               f"matches the current hardware and that the version of TensorRT match.{os.linesep}TensorRT "
               "checkpoints (serialized engines) that were optimized for other TensorRT versions, or different "
               f"hardware type, will not load on the current machine.{os.linesep}Error: ")
TRT_VALUE = "TensorRT received an invalid value/arguement an error while loading the model: "
CAUGHT_TEXT = object()  # the message is the caught error's text
BARE = object()  # raised without arguments
UNCHANGED = object()  # the caught error itself reaches the caller


class BothKinds(RuntimeError, ValueError):
    pass


_ORT, _TF = ort.capi.onnxruntime_pybind11_state, tf.errors

# (back-end, error the framework raises, class the caller sees, message: a prefix of the caught text,
# or CAUGHT_TEXT / BARE, or UNCHANGED for an error that passes as it is)
CASES = [
    ("onnx", RuntimeError("boom"), exc.ModelFrameworkRuntimeError, "Framework runtime error: "),
    ("onnx", _ORT.InvalidArgument("bad arg"), exc.ModelValueError, "Invalid argument for ONNX model: "),
    ("onnx", ValueError("bad value"), exc.ModelValueError, "Invalid argument for ONNX model: "),
    ("onnx", _ORT.EPFail("[ONNXRuntimeError] : 11 : EP_FAIL : provider refused"), exc.FailedToLoadCheckpointError,
     CAUGHT_TEXT),
    ("onnx", KeyError(), exc.FailedToLoadCheckpointError, "KeyError"),  # an empty text: the class name
    ("onnx", KeyboardInterrupt(), KeyboardInterrupt, UNCHANGED),
    ("openvino", RuntimeError("compile"), exc.ModelFrameworkRuntimeError, "Framework runtime error: "),
    ("openvino", ValueError("bad shape"), exc.ModelValueError, "Invalid value for OpenVINO model: "),
    ("openvino", OSError("disk"), exc.FailedToLoadCheckpointError, CAUGHT_TEXT),
    ("openvino", KeyboardInterrupt(), KeyboardInterrupt, UNCHANGED),
    ("tf2", _TF.InvalidArgumentError(None, None, "bad arg"), exc.ModelFrameworkRuntimeError, TF_RUNTIME),
    ("tf2", _TF.UnknownError(None, None, "unknown"), exc.ModelFrameworkRuntimeError, TF_RUNTIME),
    ("tf2", RuntimeError("runtime"), exc.ModelFrameworkRuntimeError, TF_RUNTIME),
    ("tf2", ValueError("value"), exc.ModelValueError, TF_VALUE),
    ("tf2", OSError("no such folder"), exc.BadSavedModelZipError,
     "Failed to load saved model from provided zip file."),
    ("tf2", KeyError("other"), exc.FailedToLoadCheckpointError, CAUGHT_TEXT),
    ("tf2", KeyboardInterrupt(), KeyboardInterrupt, UNCHANGED),
    ("keras", _TF.InvalidArgumentError(None, None, "bad arg"), exc.ModelFrameworkRuntimeError, KERAS_RUNTIME),
    ("keras", _TF.UnknownError(None, None, "unknown"), exc.ModelFrameworkRuntimeError, KERAS_RUNTIME),
    ("keras", RuntimeError("runtime"), exc.ModelFrameworkRuntimeError, KERAS_RUNTIME),
    ("keras", ValueError("value"), exc.ModelValueError, KERAS_VALUE),
    ("keras", KeyError("other"), exc.FailedToLoadCheckpointError, CAUGHT_TEXT),
    ("keras", SystemExit(2), SystemExit, UNCHANGED),
    ("torch", RuntimeError("rt"), exc.ModelFrameworkRuntimeError, TORCH),
    ("torch", NotImplementedError("ni"), exc.ModelFrameworkRuntimeError, TORCH),
    ("torch", BothKinds("both"), exc.ModelFrameworkRuntimeError, TORCH),  # the runtime row comes first
    ("torch", ValueError("v"), exc.ModelValueError, TORCH),
    ("torch", UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), exc.ModelValueError, TORCH),
    ("torch", KeyError("k"), exc.OstrelError, BARE),
    ("torch", AssertionError("a"), exc.OstrelError, BARE),
    ("torch", Exception("plain"), exc.OstrelError, BARE),
    ("torch", KeyboardInterrupt(), KeyboardInterrupt, UNCHANGED),
    ("torch", SystemExit(3), SystemExit, UNCHANGED),
    # TFLite translates nothing: the interpreter's errors leave the constructor as they are.
    ("tflite", ValueError("Model provided has model identifier 'abcd'"), ValueError, UNCHANGED),
    ("tflite", RuntimeError("allocate"), RuntimeError, UNCHANGED),
    ("tflite", KeyboardInterrupt(), KeyboardInterrupt, UNCHANGED),
]
# TensorRT, as the child interpreter builds the cases: (error the framework raises, class the caller sees,
# message). The runner's own FailedToLoadCheckpointError and any other error pass as they are.
TRT_CASES = [
    ('RuntimeError("deserialize")', "exc.ModelFrameworkRuntimeError", "TRT_RUNTIME"),
    ('ValueError("bad value")', "exc.ModelValueError", "TRT_VALUE"),
    ('exc.FailedToLoadCheckpointError("not an engine")', "exc.FailedToLoadCheckpointError", "UNCHANGED"),
    ('KeyError("k")', "KeyError", "UNCHANGED"),
]


# ---- how each back-end's loader is made to raise --------------------------------------------------------

def _raising(error):
    def load(*args, **kwargs):
        raise error
    return load


def _load_onnx(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks import onnx_inferencer as module

    runtime = types.SimpleNamespace(**{n: getattr(ort, n) for n in dir(ort) if not n.startswith("__")})
    runtime.InferenceSession = _raising(error)
    monkeypatch.setattr(module, "onnx_rt", runtime)
    module.OnnxInferencer(str(samples / "return_model_input.onnx"), inference_hardware="cpu")


def _load_openvino(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks import openvino_inferencer as module

    monkeypatch.setattr(module, "Core", _raising(error))
    module.OpenVinoInferencer(str(samples / NEEDED[1]))


def _fake_tf(monkeypatch, error):
    from ostrel.frameworks import keras_inferencer, tensorflow_inferencer

    fake = types.SimpleNamespace(saved_model=types.SimpleNamespace(load=_raising(error)), errors=tf.errors,
                                 config=tf.config, version=tf.version,
                                 keras=types.SimpleNamespace(models=types.SimpleNamespace(load_model=_raising(error))))
    monkeypatch.setattr(tensorflow_inferencer, "tf", fake)
    monkeypatch.setattr(keras_inferencer, "tf", fake)


def _load_tf2(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks.tensorflow_inferencer import TF2Inferencer

    _fake_tf(monkeypatch, error)
    TF2Inferencer(str(tmp_path), inference_hardware=CPU)


def _load_keras(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks.keras_inferencer import KerasInferencer

    _fake_tf(monkeypatch, error)
    KerasInferencer(str(tmp_path), inference_hardware=CPU)


def _load_torch(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks.engines.torch_inference_engine import TorchInferenceEngine

    class Engine(TorchInferenceEngine):
        def load_torch_model(self, checkpoint_file):
            raise error

    Engine(checkpoint_file="in-memory", inference_hardware=CPU)


def _load_tflite(samples, monkeypatch, tmp_path, error):
    from ostrel.frameworks import tflite_inferencer as module

    monkeypatch.setattr(module, "tf_lite", types.SimpleNamespace(Interpreter=_raising(error)))
    model = tmp_path / "model.tflite"
    model.write_bytes(b"TFL3")
    module.TFLiteInferencer(str(model), inference_hardware=CPU)


LOADERS = {"onnx": _load_onnx, "openvino": _load_openvino, "tf2": _load_tf2, "keras": _load_keras,
           "torch": _load_torch, "tflite": _load_tflite}


def _expect(raised, error, cls, message):
    assert type(raised) is cls, repr(raised)
    if message is UNCHANGED:
        assert raised is error
        return
    assert raised.__cause__ is error and raised.__context__ is error and raised.__suppress_context__
    if message is BARE:
        assert raised.args == ()
    elif message is CAUGHT_TEXT:
        assert str(raised) == str(error)
    elif cls is exc.BadSavedModelZipError or not str(error):
        assert str(raised) == message
    else:
        assert str(raised) == message + str(error)


@pytest.mark.parametrize("backend, error, cls, message", CASES,
                         ids=lambda v: v if isinstance(v, str) else type(v).__name__)
def test_load_errors_by_back_end(samples, monkeypatch, tmp_path, backend, error, cls, message):
    with pytest.raises(BaseException) as info:
        LOADERS[backend](samples, monkeypatch, tmp_path, error)
    _expect(info.value, error, cls, message)


# TensorRT needs a visible GPU, which the stand-ins of platform/ give a child interpreter only.
@pytest.mark.parametrize("error, cls, message", TRT_CASES, ids=[c[0] for c in TRT_CASES])
def test_tensorrt_load_errors(run_python, error, cls, message):
    paths = [REPO / "platform" / n for n in ("tensorrt", "pycuda", "GPUtil")]
    code = "\n".join([
        "import os",
        "from ostrel.common import exceptions as exc",
        "from ostrel.frameworks import trt_inferencer",
        f"TRT_RUNTIME, TRT_VALUE = {TRT_RUNTIME!r}, {TRT_VALUE!r}",
        "UNCHANGED, BARE, CAUGHT_TEXT = object(), object(), object()",
        inspect.getsource(_raising), inspect.getsource(_expect),
        f"error = {error}",
        "trt_inferencer.TamsorTRTEngineRunner = _raising(error)",
        "try:",
        "    trt_inferencer.TRTInferencer('any.engine')",
        "except BaseException as raised:",
        f"    _expect(raised, error, {cls}, {message})",
        "else:",
        "    raise AssertionError('loaded')",
    ])
    run_python(code, env={"PYTHONPATH": os.pathsep.join(str(p) for p in paths)})
