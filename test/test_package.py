"""The package itself: one extension file, the module tree, start-up names, version."""
import glob
import os
import subprocess
import sys
from pathlib import Path

import pytest

import ostrel

REPO = Path(__file__).resolve().parent.parent

ROOT_TREE = [
    "ostrel.version",
    "ostrel.common",
    "ostrel.common.abstractions",
    "ostrel.common.abstractions.schema",
    "ostrel.common.data_classes",
    "ostrel.common.data_classes.inferencer_benchmark_result",
    "ostrel.common.data_classes.tensor_metadata",
    "ostrel.common.data_interface",
    "ostrel.common.enums",
    "ostrel.common.enums.benchmark_mode",
    "ostrel.common.enums.framework_type",
    "ostrel.common.enums.inference_hardware",
    "ostrel.common.exceptions",
    "ostrel.common.logger_factory",
    "ostrel.frameworks",
    "ostrel.frameworks.engines",
    "ostrel.frameworks.engines.engine_utils",
    "ostrel.inference",
    "ostrel.inference.config",
]


PACKAGES = {"ostrel.common", "ostrel.common.abstractions", "ostrel.common.data_classes",
            "ostrel.common.data_interface", "ostrel.common.enums", "ostrel.frameworks", "ostrel.frameworks.engines",
            "ostrel.frameworks.engines.engine_utils", "ostrel.inference"}


def test_one_shared_object_exports_only_its_init():
    so = ostrel.__file__
    assert so.endswith(".so")
    site = os.path.dirname(so)
    installed = [p for p in glob.glob(os.path.join(site, "ostrel*")) if not p.endswith(".dist-info")]
    assert installed == [so]
    out = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True, check=True).stdout
    inits = [line.split()[-1] for line in out.splitlines() if " PyInit_" in line]
    assert inits == ["PyInit_ostrel"]


def test_every_module_is_served_from_the_same_file():
    import importlib

    for name in ROOT_TREE:
        mod = importlib.import_module(name)
        assert mod.__spec__.origin == ostrel.__file__, name
        assert hasattr(mod, "__path__") == (name in PACKAGES), name


def test_empty_packages_define_nothing():
    import ostrel.common.enums as enums

    own = {k for k in vars(enums) if not k.startswith("__")}
    assert own <= {"benchmark_mode", "framework_type", "inference_hardware"}
    assert enums.__doc__ is None


def test_version_and_root_names():
    # One source: the project metadata the build reads, the installed distribution and the module agree.
    import importlib.metadata
    import tomllib

    with open(REPO / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert ostrel.__version__ == declared == importlib.metadata.version("ostrel")
    assert ostrel.__version__ is ostrel.ostrel_version
    assert ostrel.version.version == ostrel.__version__
    assert ostrel.FrameworkType is __import__("ostrel.common.enums.framework_type").common.enums.framework_type.FrameworkType
    assert ostrel.__doc__ is None
    assert not hasattr(ostrel, "trt")  # no GPU here


def test_backends_are_not_imported_at_startup(run_python):
    r = run_python(
        "import ostrel, sys; print(sorted(m for m in sys.modules if m.endswith('_inferencer') "
        "and m != 'ostrel.frameworks.base_inferencer'))"
    )
    assert r.stdout.strip().splitlines()[-1] == "[]"


def test_submodule_import_runs_startup_first(run_python):
    r = run_python("import ostrel.common.exceptions, sys; print('ostrel' in sys.modules, sys.modules['ostrel'].__version__)")
    assert r.stdout.strip().splitlines()[-1] == f"True {ostrel.__version__}"


def test_run_submodule_as_main(run_python):
    # A module without a program part runs its top level under __main__ and exits cleanly.
    r = run_python("import runpy; g = runpy.run_module('ostrel.version', run_name='__main__'); print(g['version'])")
    assert r.stdout.strip().splitlines()[-1] == ostrel.__version__
    r = subprocess.run([sys.executable, "-m", "ostrel.version"], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr


def test_unknown_submodule_is_a_clean_import_error():
    with pytest.raises(ModuleNotFoundError):
        __import__("ostrel.common.no_such_module")


def test_failed_startup_leaves_no_package(run_python, tmp_path):
    # A broken TensorRT install makes the machine probe fail at start-up.
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "tensorrt.py").write_text("raise ValueError('broken TensorRT install')\n")
    r = run_python(
        "import sys\n"
        "try:\n    import ostrel\nexcept Exception as e:\n    print(type(e).__name__, 'ostrel' in sys.modules)\n",
        extra_path=fake)
    assert r.stdout.strip().splitlines()[-1] == "ValueError False"


def test_gpu_machine_without_tensorrt_prints_the_message_once(run_python, tmp_path):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "GPUtil.py").write_text("def getGPUs():\n    return [object()]\n")
    (fake / "tensorrt.py").write_text("raise RuntimeError('broken TensorRT install')\n")
    r = run_python("import ostrel; print(ostrel.NUM_OF_GPUS, ostrel.GPU_PRESENT, hasattr(ostrel, 'trt'))",
                   extra_path=fake, check=False)
    # The probe itself imports tensorrt and only absorbs import errors: a broken install fails the import.
    assert r.returncode != 0 and "broken TensorRT install" in r.stderr
    (fake / "tensorrt.py").unlink()
    r = run_python("import ostrel; print(ostrel.NUM_OF_GPUS, ostrel.GPU_PRESENT, hasattr(ostrel, 'trt'))",
                   extra_path=fake)
    lines = r.stdout.splitlines()
    message = ("GPU initialization: TensorRT is not installed. CUDA will not be initialized for the current Ostrel "
               "session.")
    assert lines.count(message) == 1 and lines[-1] == "1 True False"
    (fake / "tensorrt.py").write_text("__version__ = '8.6.1'\n")
    r = run_python("import ostrel; print(ostrel.trt.__version__, ostrel.inference.config.TRT_VERSION)", extra_path=fake)
    assert r.stdout.splitlines()[-1] == "8.6.1 8.6.1" and message not in r.stdout


SUBMODULE_FAILS = """
import sys, torch
sys.modules.pop("torch.package"); del torch.package


class Failing:  # the next import of torch.package raises what the test asks for
    def find_spec(self, name, path=None, target=None):
        if name == "torch.package":
            raise ERROR


sys.meta_path.insert(0, Failing())
try:
    import ostrel.frameworks.pytorch_inferencer
except BaseException as e:
    c = e.__cause__
    print(type(e).__name__, "|", e, "|", getattr(e, "name", None), "|", type(c).__name__ if c else None)
else:
    print("imported")
"""


@pytest.mark.parametrize("error, printed", [
    # Ctrl-C while a framework's submodule imports stays an interrupt.
    ("KeyboardInterrupt()", "KeyboardInterrupt |  | None | None"),
    # A dependency the submodule lacks is named as itself, not as the submodule.
    ("ModuleNotFoundError('No module named dill', name='dill')",
     "ModuleNotFoundError | No module named dill | dill | None"),
    ("RuntimeError('broken install')", "RuntimeError | broken install | None | None"),
    # Only the absence of that very submodule is "cannot import name", with its cause kept.
    ("ModuleNotFoundError('No module named torch.package', name='torch.package')",
     "ImportError | cannot import name 'package' from 'torch' | torch | ModuleNotFoundError"),
])
def test_errors_while_importing_a_framework_submodule_pass_unchanged(run_python, error, printed):
    r = run_python(SUBMODULE_FAILS.replace("ERROR", error))
    assert r.stdout.strip().splitlines()[-1] == printed, r.stdout + r.stderr


def _requirement(line):
    """(name, specifier) of a requirement line such as "torch==2.13.0" or "pandas>=3.1"."""
    import re

    m = re.match(r"^([A-Za-z0-9_.\-]+)\s*(.*)$", line.strip())
    return m.group(1).lower(), m.group(2).replace(" ", "")


def test_extras_and_requirements_agree():
    import tomllib

    with open(REPO / "pyproject.toml", "rb") as f:
        project = tomllib.load(f)["project"]
    assert sorted(_requirement(r)[0] for r in project["dependencies"]) == ["numpy", "pydantic"]
    extras = project["optional-dependencies"]
    assert set(extras) == {"onnx", "torch", "openvino", "tensorflow", "coreml", "tool", "all"}
    assert extras["all"] == ["ostrel[onnx,torch,openvino,tensorflow,coreml,tool]"]
    # What the tool's "regression" and "plot" import.
    assert sorted(_requirement(r)[0] for r in extras["tool"]) == ["pandas", "plotly", "tabulate"]
    pinned = dict(_requirement(r) for r in project["dependencies"])
    for name, reqs in extras.items():
        if name != "all":
            pinned.update(_requirement(r) for r in reqs)
    # What `make test` installs carries the same pins as what users get.
    lines = (REPO / "requirements.txt").read_text().splitlines()
    tested = dict(_requirement(line) for line in lines if line.strip() and not line.startswith("#"))
    assert {n: s for n, s in tested.items() if n in pinned} == {n: pinned[n] for n in tested if n in pinned}
    assert {"numpy", "pydantic", "onnxruntime", "torch"} <= set(tested)


NEEDED = ["return_model_input.onnx", "mobilenet_v2.pth", "resnet18.pt"]


@pytest.mark.parametrize("sample, framework, missing, extra", [
    ("return_model_input.onnx", None, "onnxruntime", "onnx"),
    ("mobilenet_v2.pth", None, "torch", "torch"),  # TorchScript, detected
    ("resnet18.pt", "pytorch", "torch", "torch"),  # torch.package archive
])
def test_missing_framework_names_its_extra(run_python, samples, sample, framework, missing, extra):
    path = samples / sample
    # A None entry in sys.modules makes the framework's import fail as if it were not installed.
    r = run_python(
        f"import sys; sys.modules[{missing!r}] = None\n"
        "import ostrel\n"
        "try:\n"
        f"    ostrel.load({str(path)!r}, framework_type={framework!r})\n"
        "except __import__('ostrel.common.exceptions').common.exceptions.OstrelError as e:\n"
        "    c = e.__cause__\n"
        "    print(type(c).__name__, c.name, '|', c)\n")
    last = r.stdout.strip().splitlines()[-1]
    assert last.startswith(f"ModuleNotFoundError {missing} |"), last
    assert f"pip install 'ostrel[{extra}]'" in last
