"""Text signatures of the public callables: inspect.signature parses them and help() shows the defaults."""
import os
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
STAND_INS = [REPO / "platform" / name for name in ("tensorrt", "pycuda", "GPUtil", "tamsor_infra")]
MODULES = ["tests.ostrel_tool." + m for m in ("ostrel_tool_parser", "ostrel_tool_benchmarker", "ostrel_tool_logger",
                                             "ostrel_tool_regressor", "ostrel_tool_plotter", "ostrel_tool_slacker")] + \
    ["tests.test_utils." + m for m in ("coco_utils", "downloads_helpers", "onnx_to_openvino", "onnx_to_trt")] + \
    ["ostrel.inference.config", "ostrel.frameworks.openvino_inferencer", "ostrel.frameworks.trt_inferencer"]

WALK = """
import importlib, inspect, pydoc
failures = []
for name in MODULES:
    m = importlib.import_module(name)
    for attr, obj in list(vars(m).items()):
        if attr.startswith("_"):
            continue
        found = []
        if inspect.isclass(obj) and obj.__module__ == name:
            found = [(attr + "." + a, v) for a, v in list(vars(obj).items())
                     if callable(v) and not inspect.isclass(v) and (not a.startswith("_") or a == "__init__")]
        elif callable(obj) and not inspect.isclass(obj) and getattr(obj, "__module__", None) == name:
            found = [(attr, obj)]
        for label, f in found:
            try:
                inspect.signature(f)
            except (TypeError, ValueError) as e:
                failures.append(f"{name}.{label}: {e}")
from tests.test_utils.onnx_to_trt import QuantizationLevel, build_trt_engine_from_onnx_ckpt
from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer
from ostrel.common.enums.inference_hardware import InferenceHardware
assert inspect.signature(build_trt_engine_from_onnx_ckpt).parameters["quantization_level"].default \\
    is QuantizationLevel.FP32
assert inspect.signature(OpenVinoInferencer.__init__).parameters["inference_hardware"].default is InferenceHardware.CPU
assert "quantization_level=<QuantizationLevel.FP32: 'FP32'>" in pydoc.render_doc(build_trt_engine_from_onnx_ckpt)
print("FAILURES:" + "\\n".join(failures))
"""


def test_every_public_callable_has_a_parsable_signature(run_python):
    r = run_python(f"MODULES = {MODULES!r}\n" + WALK, env={"PYTHONPATH": os.pathsep.join(map(str, STAND_INS))})
    assert r.stdout.split("FAILURES:")[-1].strip() == ""


SIGNATURES = """
import inspect
import tests.ostrel_tool.main as tool_main
from tests.ostrel_test_suite import OstrelTestSuiteRunner
from ostrel.common.utils import CPUTimer
from ostrel.inference.config import Config
for f in (tool_main.main, OstrelTestSuiteRunner.run, CPUTimer.start, CPUTimer.stop, Config.gpu_present.fget):
    print("SIGNATURE", f.__name__, inspect.signature(f))
"""


def test_entry_points_timer_and_config_have_text_signatures(run_python):
    r = run_python(SIGNATURES)
    lines = [line.split(" ", 2)[1:] for line in r.stdout.splitlines() if line.startswith("SIGNATURE ")]
    # Names after *args are keyword-only: the runner's all_suites follows the suite names.
    assert lines == [["main", "()"], ["run", "(self, *args, all_suites=False)"], ["start", "(self, /)"],
                     ["stop", "(self, /)"], ["gpu_present", "(self)"]]
