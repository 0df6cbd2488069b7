"""Runs the conformance base's cases (test/conformance_cases.py) in a pytest of their own.

They run fake back-ends in this interpreter, and here another module of the suite leaves a descriptor
that the runtime later closes (it is pytest's own capture file once the numbers are reused), which ends
the whole session; in a child the cases keep their own descriptors.
"""
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def test_conformance_base_cases(tmp_path):
    env = dict(os.environ, HOME=str(tmp_path))
    r = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--import-mode=importlib",
                        "--rootdir", str(HERE.parent), str(HERE / "conformance_cases.py")],
                       env=env, capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert r.returncode == 0, r.stdout[-6000:] + r.stderr[-2000:]
    assert " passed" in r.stdout and "failed" not in r.stdout
