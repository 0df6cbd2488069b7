"""Shared test set-up: no test ever writes to the real home directory."""
import os
import sys
import tempfile

# Set before any test module imports ostrel: the package logger opens its file under $HOME.
_HOME = tempfile.mkdtemp(prefix="ostrel-test-home-")
os.environ["HOME"] = _HOME
# `import openvino` sends a usage event over the network from a thread, which forks a child for it; a child
# forked from a threaded process can deadlock, and one left behind by a killed test keeps its pipes open.
# The telemetry stays off under CI=true (children inherit it). Tests need no network.
os.environ["CI"] = "true"

import pytest  # noqa: E402

# Apple's Core ML runtime exists on macOS only: elsewhere its stand-in under platform/ answers
# coremltools' predictions. It must be in place before coremltools is first imported, and it never
# replaces a real runtime.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "platform",
                                "coreml"))
import coreml_standin  # noqa: E402

coreml_standin.install()


@pytest.fixture
def run_python(tmp_path):
    """Runs a snippet in a fresh interpreter (HOME on a temporary directory); returns the result. A child
    still running after `timeout` seconds is killed and fails the test (subprocess.TimeoutExpired)."""
    import subprocess

    def run(code, env=None, check=True, extra_path=None, timeout=None):
        e = dict(os.environ, HOME=str(tmp_path / "home"))
        os.makedirs(e["HOME"], exist_ok=True)
        if extra_path:
            e["PYTHONPATH"] = os.pathsep.join([str(extra_path), e.get("PYTHONPATH", "")])
        if env:
            e.update(env)
        r = subprocess.run([sys.executable, "-c", code], env=e, capture_output=True, text=True, cwd=tmp_path,
                           timeout=timeout)
        if check and r.returncode != 0:
            raise AssertionError(f"child failed ({r.returncode}):\n{r.stdout}\n{r.stderr}")
        return r

    return run


# ---- generated samples and back-end stand-ins shared by the back-end tests ----------------------------

_REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_generated_tree = []  # the tree generated in this session, once


@pytest.fixture(scope="module")
def samples(request, tmp_path_factory):
    """The generated sample tree ($OSTREL_SAMPLES_DIR or .samples) when it holds every file of the test
    module's NEEDED; otherwise a tree generated afresh, once per session."""
    from pathlib import Path
    import subprocess

    root = Path(os.environ.get("OSTREL_SAMPLES_DIR") or os.path.join(_REPO, ".samples"))
    if all((root / n).is_file() for n in getattr(request.module, "NEEDED", ())):
        return root
    if not _generated_tree:
        out = tmp_path_factory.mktemp("samples")
        subprocess.run([sys.executable, "-m", "tools.samples", "--out", str(out)], cwd=_REPO, check=True,
                       capture_output=True)
        _generated_tree.append(out)
    return _generated_tree[0]


@pytest.fixture
def tmp_tempdir(tmp_path, monkeypatch):
    """The system temporary directory, redirected to a private folder: extraction folders land there."""
    d = tmp_path / "systmp"
    d.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    return d


class Recorder:
    """Stands in for an inferencer's logger: keeps (level, text) of every record, at every level."""

    def __init__(self, real):
        self.real = real
        self.records = []

    def __getattr__(self, name):
        return getattr(self.real, name)

    def isEnabledFor(self, level):
        return True

    def handle(self, record):
        self.records.append((record.levelno, record.getMessage()))

    def texts(self, level):
        return [text for lv, text in self.records if lv == level]


_recorded_classes = {}


@pytest.fixture(scope="session")
def recorded():
    """recorded(InferencerClass): the subclass of that class whose logger is a Recorder; the base
    constructor assigns _logger before any load, so every record of a load is kept."""

    def subclass(inferencer_class):
        if inferencer_class not in _recorded_classes:
            def get(self):
                return self.__dict__["_recorder"]

            def put(self, real):
                self.__dict__["_recorder"] = Recorder(real)

            _recorded_classes[inferencer_class] = type(f"Recorded{inferencer_class.__name__}", (inferencer_class,),
                                                       {"_logger": property(get, put)})
        return _recorded_classes[inferencer_class]

    return subclass


@pytest.fixture
def gpu_memory(monkeypatch):
    """A GPU memory reader for the base constructor, which reads GPU memory when the hardware is GPU."""
    import ostrel.frameworks.base_inferencer as base_module

    class OneGPU:
        @staticmethod
        def getGPUs():
            return ["gpu0"]

        @staticmethod
        def get_memory(gpu, attribute):
            return 0.0

    monkeypatch.setattr(base_module, "GPUtil", OneGPU)
