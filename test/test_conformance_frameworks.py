"""The per-framework check classes, each run by unittest in a child interpreter over the generated samples.

Children keep HOME and the temporary folder (where the checks put their sample copies) inside the test's
own folder. For CI time the children shorten the benchmark duration that the conformance base sets for
each check and the default warm-up count of the base benchmark; `python -m unittest
tests.unit_tests.test_inferencers.<module>` runs them at full length.
"""
import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SAMPLES = Path(os.environ.get("OSTREL_SAMPLES_DIR") or REPO / ".samples")
PLATFORM = REPO / "platform"
GPU_STAND_INS = [PLATFORM / "tensorrt", PLATFORM / "pycuda", PLATFORM / "GPUtil"]

RUN = """
import sys, unittest, importlib
import ostrel.frameworks.base_inferencer as base_inferencer
import tests.unit_tests.test_inferencers.test_abstract_inferencer as abstract

set_up = abstract.AbstractInferencerTest.setUp
def short_set_up(self):
    set_up(self)
    base_inferencer.BENCHMARK_DURATION = 0.2
abstract.AbstractInferencerTest.setUp = short_set_up

benchmark = base_inferencer.BaseInferencer.benchmark
def few_warmups(self, *args, warmup_calls=3, **kwargs):
    return benchmark(self, *args, warmup_calls=warmup_calls, **kwargs)
base_inferencer.BaseInferencer.benchmark = few_warmups

module = importlib.import_module("tests.unit_tests.test_inferencers." + sys.argv[1])
suite = unittest.defaultTestLoader.loadTestsFromModule(module)
excluded = set(sys.argv[2:])
suite = unittest.TestSuite(t for t in unittest.TestSuite(
    c for s in suite for c in (s if isinstance(s, unittest.TestSuite) else [s])) if t._testMethodName not in excluded)
result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
print("RESULT", result.testsRun, len(result.failures), len(result.errors), len(result.skipped))
"""


# Apple's Core ML runtime stand-in, in place before coremltools is imported (as test/conftest.py does).
COREML_RUN = f"""
import sys
sys.path.insert(0, {str(PLATFORM / "coreml")!r})
import coreml_standin
coreml_standin.install()
"""


def run_child(tmp_path, code, *args, paths=(), env=None):
    home = tmp_path / "home"
    temp = tmp_path / "tmp"
    home.mkdir(exist_ok=True)
    temp.mkdir(exist_ok=True)
    # One compute thread per framework: on a shared CI machine more threads only contend.
    e = dict(os.environ, HOME=str(home), TMPDIR=str(temp), OSTREL_SAMPLES_DIR=str(SAMPLES), OMP_NUM_THREADS="1")
    e.pop("OSTREL_SAMPLES_URL", None)
    if paths:
        e["PYTHONPATH"] = os.pathsep.join(str(p) for p in paths)
    e.update(env or {})
    return subprocess.run([sys.executable, "-c", code, *args], env=e, capture_output=True, text=True,
                          cwd=tmp_path, timeout=1200)


def outcome(r):
    found = re.search(r"^RESULT (\d+) (\d+) (\d+) (\d+)$", r.stdout, re.M)
    assert found, r.stdout[-3000:] + r.stderr[-3000:]
    return tuple(int(n) for n in found.groups())


def available(module):
    return importlib.util.find_spec(module) is not None


# module, checks of the class (the fifteen shared ones and its own), framework runtime it needs
FRAMEWORKS = [
    ("test_onnx_inferencer", 19, "onnxruntime"),
    ("test_pytorch_inferencer", 15, "torch"),
    ("test_torchscript_inferencer", 15, "torch"),
    ("test_tensorflow_inferencer", 17, "tensorflow"),
    ("test_keras_inferencer", 15, "tensorflow"),
    ("test_tflite_inferencer", 15, "tensorflow"),
    ("test_openvino_inferencer", 18, "openvino"),
    ("test_coreml_inferencer", 15, "coremltools"),
]


@pytest.mark.parametrize("module, checks, runtime", FRAMEWORKS, ids=[f[0] for f in FRAMEWORKS])
def test_framework_check_class_passes_on_its_back_end(tmp_path, module, checks, runtime):
    if not available(runtime):
        pytest.skip(f"{runtime} is not installed here")
    # Every back-end is part of every build: a check class that cannot run is a failure.
    r = run_child(tmp_path, COREML_RUN + RUN if runtime == "coremltools" else RUN, module)
    assert outcome(r) == (checks, 0, 0, 0), r.stdout[-4000:] + r.stderr[-2000:]
    # Descriptions of the checks show at high verbosity; the conformance base itself is not run.
    assert "AbstractInferencerTest" not in r.stdout
    if module == "test_onnx_inferencer":
        assert "Test that None as input dimensions raises an error" in r.stdout


def test_missing_sample_errs_the_class_naming_it(tmp_path):
    r = run_child(tmp_path, RUN, "test_onnx_inferencer", env={"OSTREL_SAMPLES_DIR": str(tmp_path / "none")})
    # The class set-up fails: one error, no check run and none skipped.
    assert outcome(r) == (0, 0, 1, 0), r.stdout + r.stderr
    assert f"sample /return_model_input.onnx could not be fetched from file://{tmp_path}/none/" in r.stdout
    assert "make fixtures" in r.stdout


def test_detection_check_fails_on_a_label_the_photograph_does_not_show(tmp_path):
    import shutil

    samples = tmp_path / "samples"
    for key in ("return_model_input.onnx", "models_for_platform_testing/segmentation_models/onnx/decoder.onnx",
                "yolov5m.onnx", "conformance/photos/person.jpg", "conformance/photos/dog.jpg"):
        (samples / key).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(SAMPLES / key, samples / key)
    shutil.copy(SAMPLES / "conformance/photos/dog.jpg", samples / "conformance/photos/cat.jpg")
    r = run_child(tmp_path, """
import sys, unittest
suite = unittest.defaultTestLoader.loadTestsFromName(
    "tests.unit_tests.test_inferencers.test_onnx_inferencer.TestOnnxInferencer.test_detection_yolov5")
result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
print("RESULT", result.testsRun, len(result.failures), len(result.errors), len(result.skipped))
""", env={"OSTREL_SAMPLES_DIR": str(samples)})
    assert outcome(r) == (1, 1, 0, 0), r.stdout + r.stderr
    assert "'dog' not found in {'cat'} : label found on the photograph of \"cat\"" in r.stdout
    assert (tmp_path / "output_image.jpg").is_file()


def test_trt_class_is_empty_without_a_gpu(tmp_path):
    r = run_child(tmp_path, RUN, "test_trt_inferencer")
    assert outcome(r) == (0, 0, 0, 0), r.stdout + r.stderr


# GPU outputs need a CUDA build of torch.
NO_CUDA_TORCH = ["test_predict_with_torch_with_gpu_device_output_return_the_same_numpy_tensor"]


def test_trt_class_passes_over_the_stand_ins(tmp_path):
    r = run_child(tmp_path, RUN, "test_trt_inferencer", *NO_CUDA_TORCH, paths=GPU_STAND_INS)
    assert outcome(r) == (27, 0, 0, 0), r.stdout[-4000:] + r.stderr[-2000:]
    assert "nvtx is not installed - skipping test" in r.stdout
