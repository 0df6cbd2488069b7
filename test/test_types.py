"""Enumerations, the exception tree and the data records."""
import enum
import math

import numpy as np
import pydantic
import pytest

import ostrel
import ostrel.common.exceptions as exc
from ostrel.common.data_classes.inferencer_benchmark_result import ModelBenchmarks
from ostrel.common.data_classes.tensor_metadata import TensorMetadata
from ostrel.common.enums.benchmark_mode import BenchmarkMode, TRTBenchmarkMode
from ostrel.common.enums.framework_type import FrameworkType as F
from ostrel.common.enums.inference_hardware import InferenceHardware as H

EXAMPLE_TEXT = """<ModelBenchmarks: {
    "batch_size": 1,
    "batch_inf_time": "33.69 ms",
    "batch_inf_time_variance": "24.90 ms",
    "system_startpoint_memory_used": null,
    "model_memory_used": null,
    "post_inference_memory_used": null,
    "total_memory_size": null,
    "throughput": "29.68 fps",
    "sample_inf_time": "33.69 ms",
    "include_io": null,
    "framework_type": null,
    "framework_version": null,
    "inference_hardware": null,
    "ostrel_version": "@VERSION@",
    "date": null,
    "ctime": null,
    "h_to_d_mean": null,
    "d_to_h_mean": null,
    "h_to_d_variance": null,
    "d_to_h_variance": null
}>""".replace("@VERSION@", ostrel.__version__)


# ---- enumerations ----------------------------------------------------------------------------------

def test_framework_type_members_and_text_forms():
    assert [m.value for m in F] == ["onnx", "pytorch", "torchscript", "trt", "openvino", "keras", "tf2", "tflite",
                                    "coreml"]
    assert F.__doc__ == "A general deep learning framework, without a version."
    assert (F.from_string("TF2"), f"{F.ONNX}", str(F.ONNX), F("trt")) == (
        F.TENSORFLOW2, "onnx", "FrameworkType.ONNX", F.TENSORRT)
    assert "x" + F.ONNX == "xonnx" and "%s" % F.ONNX == "FrameworkType.ONNX"
    assert F.TENSORRT == "trt" and F.TENSORRT != "tensorrt"
    assert {F.KERAS: 1}["keras"] == 1 and {"keras": 1}[F.KERAS] == 1
    assert F.from_string(F.KERAS) is F.KERAS and F["TENSORFLOW2"] is F.TENSORFLOW2
    assert isinstance(F.ONNX, str) and issubclass(F, enum.Enum)


@pytest.mark.parametrize("call, error", [
    (lambda: F.from_string("tensorrt"), ValueError),
    (lambda: F.from_string(" onnx"), ValueError),
    (lambda: H.from_string("cuda"), ValueError),
    (lambda: H.from_string(None), AttributeError),
    (lambda: F.from_string(TRTBenchmarkMode.DEFAULT), AttributeError),
    (lambda: F("ONNX"), ValueError),
    (lambda: F["onnx"], KeyError),
])
def test_enum_lookup_failures(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("member, spec, text", [
    (H.GPU, ">6", "   gpu"), (H.CPU, "<5", "cpu  "), (H.GPU, "^7", "  gpu  "), (F.TFLITE, ".2", "tf"),
    (F.ONNX, "", "onnx"), (F.ONNX, "*>8s", "****onnx"),
])
def test_format_spec_applies_to_the_value(member, spec, text):
    assert format(member, spec) == f"{member:{spec}}" == text


def test_inference_hardware_and_benchmark_modes():
    assert list(H) == [H.CPU, H.GPU] and H.from_string("Gpu") is H.GPU
    assert f"{H.GPU}" == "gpu" and str(H.GPU) == "InferenceHardware.GPU"
    assert list(TRTBenchmarkMode) == [TRTBenchmarkMode.SINGLE_CONTEXT_SYNCED, TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC]
    assert list(TRTBenchmarkMode.__members__) == ["SINGLE_CONTEXT_SYNCED", "SINGLE_CONTEXT_ASYNC", "DEFAULT"]
    assert TRTBenchmarkMode.DEFAULT is TRTBenchmarkMode.SINGLE_CONTEXT_SYNCED
    assert f"{TRTBenchmarkMode.DEFAULT}" == str(TRTBenchmarkMode.DEFAULT) == "TRTBenchmarkMode.SINGLE_CONTEXT_SYNCED"
    assert TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC != "single_context_async"
    assert TRTBenchmarkMode("single_context_async") is TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC
    assert isinstance(TRTBenchmarkMode.SINGLE_CONTEXT_ASYNC, BenchmarkMode)
    assert not issubclass(BenchmarkMode, enum.Enum) and BenchmarkMode.__doc__ is None
    assert ostrel.TRTBenchmarkMode is TRTBenchmarkMode and ostrel.InferenceHardware is H


# ---- exceptions ------------------------------------------------------------------------------------

def test_exception_tree():
    classes = [c for c in vars(exc).values() if isinstance(c, type) and issubclass(c, exc.OstrelError)]
    assert len(classes) == 23 and exc.OstrelError.__bases__ == (Exception,)
    for name in ("CorruptedModelCompressionError", "CorruptedSavedModelZipError", "BadSavedModelZipError",
                 "MissingFileModelError"):
        assert getattr(exc, name).__bases__ == (exc.FailedToLoadCheckpointError,)
    assert not issubclass(exc.MappingKeyError, KeyError) and not issubclass(exc.ModelValueError, ValueError)
    assert not issubclass(exc.DTypeError, TypeError) and not issubclass(exc.InputTypeError, TypeError)
    assert exc.OstrelError.__doc__ == "\n    A base class for all the library's exceptions.\n    "
    assert exc.ModelFrameworkDetectionError.__doc__ is None
    assert exc.InputDimensionsNotSpecifiedError.__doc__.count("\n    ") == 3


def test_fixed_message_exceptions():
    message = ("The model's input dimensions were not specified, but they are required for benchmarks inputs "
               "generation. Please specify the input dimensions via 'input_dims' argument.")
    assert exc.InputDimensionsNotSpecifiedError().args == (message,)
    with pytest.raises(exc.InputDimensionsNotSpecifiedError) as e:
        raise exc.InputDimensionsNotSpecifiedError
    assert str(e.value) == message
    detection = str(exc.ModelFrameworkDetectionError())
    assert "ostrel.load" in detection and "framework_type" in detection
    for cls in (exc.InputDimensionsNotSpecifiedError, exc.ModelFrameworkDetectionError):
        with pytest.raises(TypeError):
            cls("other")
    with pytest.raises(TypeError):
        exc.OstrelError(message="x")
    assert str(exc.ForwardPassNotImplemented()) == "" and str(exc.OstrelError("a", "b")) == "('a', 'b')"


# ---- records ---------------------------------------------------------------------------------------

def test_model_benchmarks_text_form():
    r = ModelBenchmarks(batch_size=1, batch_inf_time=33.687615394592285, batch_inf_time_variance=24.89509298527537,
                        model_memory_used=None, throughput=29.684499430628303, sample_inf_time=33.687615394592285)
    assert str(r) == repr(r) == EXAMPLE_TEXT
    assert len(str(r).splitlines()) == 22


def test_model_benchmarks_defaults_and_formatting():
    empty = ModelBenchmarks()
    d = empty.dict()
    assert len(d) == 20 and list(d)[0] == "batch_size" and list(d)[-1] == "d_to_h_variance"
    assert [k for k, v in d.items() if v is not None] == ["ostrel_version"] and d["ostrel_version"] == ostrel.__version__
    r = ModelBenchmarks(throughput=30, model_memory_used=1234.5, batch_inf_time=math.nan, d_to_h_mean=-math.inf,
                        ctime=5, include_io=True, framework_type=F.ONNX, date="é", unknown_field=1)
    text = str(r)
    for line in ('"throughput": "30.00 fps"', '"model_memory_used": "1234.50 mb"', '"batch_inf_time": "nan ms"',
                 '"d_to_h_mean": "-inf ms"', '"ctime": 5,', '"include_io": true,', '"framework_type": "onnx"',
                 '"date": "\\u00e9"'):
        assert line in text
    with pytest.raises(pydantic.ValidationError):
        ModelBenchmarks(batch_size="many")


def test_tensor_metadata():
    t = TensorMetadata(name="x", datatype=np.float32, shape=[1, "N", "3"])
    assert t.shape == (1, "N", 3) and t.datatype is np.float32
    assert TensorMetadata(name="x", datatype=np.dtype("float32"), shape=[]).shape == ()
    for bad in (dict(name="x", datatype="float32", shape=[1]), dict(name="x", datatype=np.float32),
                dict(name=None, datatype=np.float32, shape=[1])):
        with pytest.raises(pydantic.ValidationError):
            TensorMetadata(**bad)
