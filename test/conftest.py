"""Shared test set-up: no test ever writes to the real home directory."""
import os
import sys
import tempfile

# Set before any test module imports ostrel: the package logger opens its file under $HOME.
_HOME = tempfile.mkdtemp(prefix="ostrel-test-home-")
os.environ["HOME"] = _HOME

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
    """Runs a snippet in a fresh interpreter (HOME on a temporary directory); returns the result."""
    import subprocess

    def run(code, env=None, check=True, extra_path=None):
        e = dict(os.environ, HOME=str(tmp_path / "home"))
        os.makedirs(e["HOME"], exist_ok=True)
        if extra_path:
            e["PYTHONPATH"] = os.pathsep.join([str(extra_path), e.get("PYTHONPATH", "")])
        if env:
            e.update(env)
        r = subprocess.run([sys.executable, "-c", code], env=e, capture_output=True, text=True, cwd=tmp_path)
        if check and r.returncode != 0:
            raise AssertionError(f"child failed ({r.returncode}):\n{r.stdout}\n{r.stderr}")
        return r

    return run
