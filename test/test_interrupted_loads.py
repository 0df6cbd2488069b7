"""Loads that are ended from outside: SIGTERM while a packed checkpoint is unpacked and loaded, Ctrl-C
while the interpreter exits with a model alive. Each runs in a child process whose temporary directory
is a folder of its own; nothing may be left in it."""
import os
import signal
import subprocess
import sys
import time
import zipfile

import numpy as np
import pytest

NEEDED = ("mobilenet_v2.tar.gz", "openvino/convnet_batch_1.xml", "openvino/convnet_batch_1.bin")


def start(code, tmpdir, *args):
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, bufsize=0, env=dict(os.environ, TMPDIR=str(tmpdir)))


def wait_for(child, line):
    """Reads the child's output (its console log lines among it) up to `line`, a byte at a time so that
    nothing after it is taken from what ended() reads."""
    got = b"\n"
    while not got.endswith(b"\n" + line.encode() + b"\n"):
        byte = os.read(child.stdout.fileno(), 1)
        if not byte:
            pytest.fail(f"the child ended before printing {line!r}: {child.stderr.read().decode()}")
        got = got[-1024:] + byte


def marks(out):
    return [line for line in out.splitlines() if line.startswith("@")]


def ended(child, timeout=120):
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"the child did not end:\n{out.decode()}\n{err.decode()}")
    return child.returncode, out.decode(), err.decode()


@pytest.fixture
def tmpdir_of_child(tmp_path):
    d = tmp_path / "child-tmp"
    d.mkdir()
    return d


# ---- SIGTERM during a load: the partial folder goes, then the process ends as asked -----------------------

@pytest.fixture(scope="module")
def big_zipped_ir(tmp_path_factory):
    """A zipped OpenVINO checkpoint of 400 MB: one input plus a constant of incompressible weights (random
    mantissas), saved by OpenVINO and zipped as users zip it."""
    import openvino as ov
    from openvino import opset13 as ops

    folder = tmp_path_factory.mktemp("big-ir")
    n = 100 * 2**20
    bits = np.random.default_rng(0).integers(0, 2**23, n, dtype=np.uint32) | np.uint32(0x3F800000)
    x = ops.parameter([n], np.float32, name="x")
    model = ov.Model([ops.add(x, ops.constant(bits.view(np.float32)))], [x], "big")
    del bits
    ov.save_model(model, str(folder / "big.xml"), compress_to_fp16=False)
    del model
    archive = folder / "big.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED) as z:
        for name in ("big.xml", "big.bin"):
            z.write(folder / name, f"model/{name}")
            (folder / name).unlink()
    yield archive
    archive.unlink()


# The load takes about a second here; a faster machine may finish it before the signal, so the child
# then waits for it, and the folder must be gone either way.
LOAD_AFTER_A_LINE = """
import sys, time
import ostrel
import ostrel.frameworks.openvino_inferencer  # the runtime's import is not part of the load
print("@loading", flush=True)
ostrel.load(sys.argv[1], framework_type="openvino")
print("@loaded", flush=True)
time.sleep(60)
"""


@pytest.mark.parametrize("delay", [0.3, 0.8])
def test_sigterm_while_a_zipped_checkpoint_loads_leaves_nothing(big_zipped_ir, tmpdir_of_child, delay):
    child = start(LOAD_AFTER_A_LINE, tmpdir_of_child, big_zipped_ir)
    wait_for(child, "@loading")
    time.sleep(delay)
    child.send_signal(signal.SIGTERM)
    status, out, err = ended(child)
    assert status == -signal.SIGTERM, (status, out, err)  # ended by the signal, as its sender asked
    assert os.listdir(tmpdir_of_child) == []


# The same with the signal raised from inside each unpacker, at a known point: the step that writes the
# unpacked files calls kill() first.
SIGTERM_INSIDE = """
import os, signal, sys
import ostrel
from ostrel.common.data_interface.files_data_interface import FilesDataInterface
name = sys.argv[2]
real = getattr(FilesDataInterface, name)
def terminated(*args, **kwargs):
    os.kill(os.getpid(), signal.SIGTERM)
    return real(*args, **kwargs)
setattr(FilesDataInterface, name, staticmethod(terminated))
if sys.argv[4] == "handler":  # the caller's own handler is left to run
    def own(signum, frame):
        raise SystemExit("own handler")
    signal.signal(signal.SIGTERM, own)
try:
    ostrel.load(sys.argv[1], framework_type=sys.argv[3])
finally:
    print("@handler:", signal.getsignal(signal.SIGTERM) is (own if sys.argv[4] == "handler" else signal.SIG_DFL))
"""


@pytest.fixture(scope="module")
def packed(samples, tmp_path_factory):
    from tests.test_utils.onnx_to_openvino import pickle_openvino_checkpoint_files
    folder = tmp_path_factory.mktemp("packed")
    for suffix in (".xml", ".bin"):
        (folder / f"net{suffix}").write_bytes((samples / "openvino" / f"convnet_batch_1{suffix}").read_bytes())
    with zipfile.ZipFile(folder / "net.zip", "w") as z:
        for suffix in (".xml", ".bin"):
            z.write(folder / f"net{suffix}", f"model/net{suffix}")
    return {"pkl": pickle_openvino_checkpoint_files(str(folder / "net.xml")), "zip": str(folder / "net.zip"),
            "tar.gz": str(samples / "mobilenet_v2.tar.gz")}


@pytest.mark.parametrize("kind, step, framework", [
    ("pkl", "save_bytes_to_file", "openvino"),
    ("zip", "_extract_zip_file", "openvino"),
    ("tar.gz", "_extract_tar_file", "tf2"),
])
@pytest.mark.parametrize("handler", ["default", "handler"])
def test_sigterm_inside_an_unpack_removes_its_folder(packed, tmpdir_of_child, kind, step, framework, handler):
    status, out, err = ended(start(SIGTERM_INSIDE, tmpdir_of_child, packed[kind], step, framework, handler))
    if handler == "default":
        assert status == -signal.SIGTERM, (status, out, err)
        assert marks(out) == []  # ended at the guard's end, before anything else ran
    else:
        assert status == 1 and "own handler" in err and marks(out) == ["@handler: True"], (status, out, err)
    assert os.listdir(tmpdir_of_child) == []


def test_a_load_leaves_the_default_sigterm_action(packed, run_python, tmp_path):
    r = run_python("import signal, sys, ostrel\n"
                   f"for path, fw in (({packed['zip']!r}, 'openvino'), ({packed['tar.gz']!r}, 'tf2')):\n"
                   "    ostrel.load(path, framework_type=fw)\n"
                   "    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL\n")
    assert r.returncode == 0


# ---- Ctrl-C while the interpreter exits -------------------------------------------------------------------

EXIT_AFTER_A_LOAD = """
import sys
import ostrel
model = ostrel.load(sys.argv[1], framework_type="tf2")
print("@exiting", flush=True)
"""


def test_ctrl_c_during_exit_after_an_archive_load_leaves_nothing(samples, tmpdir_of_child):
    child = start(EXIT_AFTER_A_LOAD, tmpdir_of_child, samples / "mobilenet_v2.tar.gz")
    wait_for(child, "@exiting")
    deadline = time.monotonic() + 60
    while child.poll() is None and time.monotonic() < deadline:  # Ctrl-C, again and again, until it ends
        child.send_signal(signal.SIGINT)
        time.sleep(0.005)
    ended(child)
    assert os.listdir(tmpdir_of_child) == []


FORK_AFTER_A_LOAD = """
import os, sys
import ostrel
model = ostrel.load(sys.argv[1], framework_type="tf2")
folder = model._LoadedModel__inferencer.checkpoint_file
pid = os.fork()
if pid == 0:
    sys.exit(0)  # the child's exit runs its atexit hooks and drops its copy of the model
os.waitpid(pid, 0)
print("@kept", os.path.isdir(folder), flush=True)
"""


def test_a_forked_child_leaves_its_parents_folder(samples, tmpdir_of_child):
    status, out, err = ended(start(FORK_AFTER_A_LOAD, tmpdir_of_child, samples / "mobilenet_v2.tar.gz"))
    assert status == 0 and marks(out) == ["@kept True"], (status, out, err)
    assert os.listdir(tmpdir_of_child) == []  # the parent's own exit removed it
