"""ostrel.common.framework_detection as Python sees it, and a differential check against `strings | grep`."""
import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from ostrel import FrameworkType
from ostrel.common.exceptions import CheckpointFileDoesNotExistError
from ostrel.common.framework_detection import FrameworkDetector

NEEDED = ["manifest.json", "return_model_input.onnx"]

detect = FrameworkDetector.detect_framework


def pipeline(model_path, require_all_strings=False):
    """The reference detection: per table entry, `strings FILE | grep PATTERN`, then a literal test per marker."""
    for framework, markers in FrameworkDetector.FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING.items():
        strings = subprocess.Popen(["strings", model_path], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        grep = subprocess.Popen(["grep", "\\|".join(markers)], stdin=strings.stdout, stdout=subprocess.PIPE)
        strings.stdout.close()
        output = grep.communicate()[0]
        strings.wait()
        if grep.returncode != 0:
            continue
        text = output.decode("utf-8")
        all_found = True
        for marker in markers:
            if marker not in text:
                all_found = False
                break
            if not require_all_strings:
                return framework
        if all_found:
            return framework
    return None


needs_strings = pytest.mark.skipif(not (shutil.which("strings") and shutil.which("grep")),
                                   reason="strings or grep missing")

# ---- what the caller sees ------------------------------------------------------------------------------


def test_detected_and_not_detected_lines(tmp_path, capsys):
    onnx = tmp_path / "model.onnx"
    onnx.write_bytes(b"\x08\x07\x12\x07pytorch\x1a\x03onnx.ai\x00axis\x00pads@")
    result = detect(str(onnx))
    assert result is FrameworkType.ONNX and result == "onnx"
    assert capsys.readouterr().out == f"Detected framework for {onnx}: FrameworkType.ONNX\n"

    plain = tmp_path / "weights.bin"
    plain.write_bytes(b"\x00\x01 nothing to see here \xff" * 10)
    assert detect(str(plain), require_all_strings=True) is None
    assert capsys.readouterr().out == f"Could not detect framework for  {plain}\n"


def test_missing_file_and_directory(tmp_path, capsys):
    missing = str(tmp_path / "nope.onnx")
    with pytest.raises(CheckpointFileDoesNotExistError) as info:
        detect(missing)
    assert str(info.value) == "The model file does not exist at " + missing
    assert capsys.readouterr().out == ""

    saved_model = tmp_path / "saved_model"
    saved_model.mkdir()
    (saved_model / "saved_model.pb").write_bytes(b"onnx.keras_version")  # a folder is not looked into
    assert detect(str(saved_model)) is None
    assert capsys.readouterr().out == f"Could not detect framework for  {saved_model}\n"


def test_no_process_is_started(tmp_path):
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace missing")
    trace = tmp_path / "trace"
    code = ("from ostrel.common.framework_detection import FrameworkDetector as D; "
            "print(D.detect_framework('/etc/hostname'))")
    env = dict(os.environ, HOME=str(tmp_path))
    r = subprocess.run([strace, "-f", "-qq", "-e", "trace=execve", "-o", str(trace), sys.executable, "-c", code],
                       capture_output=True, text=True, env=env, cwd=tmp_path)
    if r.returncode != 0 and "ptrace" in r.stderr:
        pytest.skip("strace cannot trace here: " + r.stderr.strip())
    assert r.returncode == 0, r.stderr
    assert r.stdout.endswith("Could not detect framework for  /etc/hostname\nNone\n")
    calls = re.findall(r'execve\("([^"]*)"', trace.read_text())
    assert calls and calls[0] == sys.executable  # the trace works
    assert not [c for c in calls if os.path.basename(c) in ("strings", "grep")], calls


# ---- differential check against the pipeline ---------------------------------------------------------

RNG = np.random.default_rng(7)
NOISE = RNG.bytes(3 << 20)  # random bytes: about a third printable, many short runs
T = FrameworkType

# (name, content, expected with require_all_strings False, expected with True)
PLANTED = [
    ("empty", b"", None, None),
    ("trt-beats-onnx", b"onnx.\x00ptrt+\x00" + NOISE[:4096], T.TENSORRT, T.TENSORRT),
    ("onnx-first-marker", b"\xffonnx.\xff", T.ONNX, None),
    ("onnx-all", b"onnx.\x00value*\x00axis\x00kernel_shape@\x00strides@\x00pads@\x00dilations@", T.ONNX, T.ONNX),
    ("onnx-lookalikes", b"onnxX\x00valueee\x00axis\x00kernel_shape@\x00strides@\x00pads@\x00dilations@",
     None, None),
    ("onnx-later-markers-only", b"axis pads@ strides@", None, None),
    ("onnx-split-by-nul", b"onn\x00x.", None, None),
    ("onnx-split-by-newline", b"onnx\n.", None, None),
    ("onnx-amid-utf8", "\u00e9onnx.\u00e9".encode(), T.ONNX, None),
    ("onnx-with-tabs", b"\tonnx.\t", T.ONNX, None),
    ("openvino", b"<net><mapping><framework name='x'/></mapping>", T.OPENVINO, T.OPENVINO),
    ("openvino-framework-without-blank", b"<mapping>\x00<framework>", T.OPENVINO, None),
    ("openvino-second-only", b"<framework version=2>", None, None),
    ("keras-version-only", b"{\"keras_version\": \"3.0\"}", T.KERAS, None),
    ("keras-all", b"keras_version\x01input_layers", T.KERAS, T.KERAS),
    ("coreml", b"apple.coreml\x00com.source", T.COREML, T.COREML),
    ("tflite-tfl3-only", b"\x1c\x00\x00\x00TFL3\x00\x00", None, None),
    ("tflite-all", b"TFL2\x00TFL3\x00Converted\x00serving_default", T.TFLITE, T.TFLITE),
    ("torchscript-code-only", b"archive/code/__torch__/m.py", T.TORCHSCRIPT, None),
    ("torchscript-all", b"__torch__\x00" + b"Z" * 40, T.TORCHSCRIPT, T.TORCHSCRIPT),
    ("torchscript-13-z", b"__torch__\x00" + b"Z" * 13, T.TORCHSCRIPT, None),
    ("three-char-runs", b"onn\x00x.\x00ptr\x00t+", None, None),
    ("marker-at-the-end", NOISE + b"\x00apple.coreml", T.COREML, None),
    ("marker-across-4k", b"\x00" * 4093 + b"ptrt+" + b"\x00" * 10, T.TENSORRT, T.TENSORRT),
    ("marker-in-a-long-line", b"a" * 200000 + b"keras_version" + b"b" * 200000, T.KERAS, None),
    ("noise", NOISE, None, None),
]


def _check(path, expected=None, framework=None):
    """The table's answer is the pipeline's; where the pipeline finds nothing, the structural check may only
    name the file's own framework (`framework`, when known)."""
    for require_all in (False, True):
        got = detect(path, require_all_strings=require_all)
        want = pipeline(path, require_all)
        if want is None and got is not None:
            assert got == framework, (path, require_all, got)
        else:
            assert got == want, (path, require_all, got, want)
        if expected is not None:
            assert got == expected[require_all], (path, require_all, got)


@needs_strings
def test_planted_markers_match_the_pipeline(tmp_path, capsys):
    for name, content, default, all_required in PLANTED:
        path = tmp_path / name
        path.write_bytes(content)
        _check(str(path), (default, all_required))
    # Real binaries: ELF files are scanned whole, like any other file (the extension holds the marker table).
    import ostrel

    for path in (ostrel.__file__, os.path.realpath(sys.executable), "/etc/hostname"):
        _check(path)


@needs_strings
def test_sample_models_match_the_pipeline(capsys, samples):
    root = str(samples)
    files = [os.path.join(d, f) for d, _, names in os.walk(root) for f in names]
    files = [f for f in files if os.path.isfile(f)]
    assert files, f"no sample files under {root}"
    frameworks = {}
    manifest = os.path.join(root, "manifest.json")
    if os.path.isfile(manifest):
        with open(manifest) as f:
            for sample in json.load(f).get("samples", {}).values():
                frameworks[os.path.normpath(os.path.join(root, sample["path"]))] = sample["framework"]
    for path in sorted(files):
        _check(path, framework=frameworks.get(os.path.normpath(path)))


# ---- the table as the caller left it ---------------------------------------------------------------------

@pytest.fixture
def table():
    """The detection table, restored after the test whatever the test did to it."""
    original = FrameworkDetector.FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING
    saved = {k: list(v) for k, v in original.items()}
    yield original
    original.clear()
    original.update(saved)
    FrameworkDetector.FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING = original


def test_a_changed_table_changes_what_is_detected(table, tmp_path, capsys):
    path = tmp_path / "m.bin"
    path.write_bytes(b"\x00keras_version\x00onnx.\x00")
    assert detect(str(path)) is T.ONNX
    # Changed in place: the keras entry moves before onnx; then the original order again (same content as
    # before, so the compiled form of the first call answers again).
    keras = table.pop(T.KERAS)
    onnx = table.pop(T.ONNX)
    table[T.KERAS], table[T.ONNX] = keras, onnx
    assert detect(str(path)) is T.KERAS
    table[T.KERAS].insert(0, "keras_missing")
    assert detect(str(path)) is T.ONNX
    # Replaced by a new mapping.
    FrameworkDetector.FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING = {T.TFLITE: ["s_ver"]}
    assert detect(str(path)) is T.TFLITE
    FrameworkDetector.FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING = {}
    assert detect(str(path)) is None


@pytest.mark.parametrize("markers, error, text", [
    (["ab"], ValueError, "invalid marker 'ab': shorter than 4 characters"),
    (["on\\nx"], ValueError, "change the grep pattern"),
    ([b"onnx."], TypeError, "marker strings must be str, not bytes"),
])
def test_an_invalid_table_is_refused(table, tmp_path, markers, error, text):
    path = tmp_path / "m.bin"
    path.write_bytes(b"onnx.")
    table[T.ONNX] = markers
    with pytest.raises(error, match=re.escape(text)):
        detect(str(path))


# ---- paths and files that are not plain -------------------------------------------------------------------

def test_paths_as_bytes_and_undecodable_names(tmp_path, capsys):
    name = os.fsencode(str(tmp_path)) + b"/model-\xff.bin"
    with open(name, "wb") as f:
        f.write(b"\x00onnx.\x00")
    as_str = os.fsdecode(name)  # what os.listdir gives: a lone surrogate for the byte 0xff
    assert detect(name) is T.ONNX
    assert detect(as_str) is T.ONNX
    out = capsys.readouterr().out.splitlines()
    assert out[0] == f"Detected framework for {name}: FrameworkType.ONNX"
    assert out[1] == f"Detected framework for {tmp_path}/model-\\xff.bin: FrameworkType.ONNX"
    with pytest.raises(CheckpointFileDoesNotExistError, match=re.escape("model-\\xfe")):
        detect(as_str.replace("\udcff", "\udcfe"))


def test_non_regular_files_are_refused_before_reading(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)  # no writer: opening it for reading in the ordinary way would wait forever
    for path in (str(fifo), "/dev/zero", "/dev/urandom"):
        if not os.path.exists(path):
            continue
        with pytest.raises(OSError, match="Not a regular file") as info:
            detect(path)
        assert info.value.filename == path


def test_unreadable_model_file(tmp_path, capsys):
    import errno

    import ostrel
    from ostrel.common.exceptions import ModelFrameworkDetectionError, OstrelError

    cases = [("/proc/self/mem", OSError, errno.EIO)]  # opens, but reading its first page fails, even for root
    if os.geteuid() != 0:
        locked = tmp_path / "locked.onnx"
        locked.write_bytes(b"onnx.")
        locked.chmod(0)
        cases.append((str(locked), PermissionError, errno.EACCES))
    for path, error, code in cases:
        with pytest.raises(error) as raised:
            detect(path)
        assert raised.value.errno == code and raised.value.filename == path
        with pytest.raises(ModelFrameworkDetectionError) as info:
            ostrel.load(path)
        assert isinstance(info.value, OstrelError)
        cause = info.value.__cause__
        assert type(cause) is error and cause.errno == code
        assert str(info.value).startswith("The framework type could not be automatically inferred")
        assert str(info.value).endswith(f"The model file could not be read: {cause}")


def test_a_file_that_shrinks_while_read_ends_the_scan(tmp_path, capsys):
    # A sparse file of 64 GiB holding only zeros takes seconds to read; it is cut to nothing meanwhile.
    import threading

    path = tmp_path / "shrinking.bin"
    with open(path, "wb") as f:
        f.truncate(64 << 30)
    cut = threading.Timer(0.3, lambda: os.truncate(path, 0))
    cut.start()
    try:
        assert detect(str(path)) is None
    finally:
        cut.cancel()
    assert os.path.getsize(path) == 0


def test_a_small_alternate_signal_stack_of_another_library_keeps_the_guard(tmp_path, run_python):
    # Some runtimes give their threads an alternate signal stack too small for a full processor signal
    # frame; a file that shrinks under the scan must still end it cleanly, not crash the process.
    code = ("import ctypes, os, threading\n"
            "class Stack(ctypes.Structure):\n"
            "    _fields_ = [('sp', ctypes.c_void_p), ('flags', ctypes.c_int), ('size', ctypes.c_size_t)]\n"
            "room = ctypes.create_string_buffer(2048)\n"
            "assert ctypes.CDLL(None).sigaltstack(ctypes.byref(Stack(ctypes.addressof(room), 0, 2048)), None) == 0\n"
            "from ostrel.common.framework_detection import FrameworkDetector as D\n"
            f"path = {str(tmp_path / 'shrinking.bin')!r}\n"
            "with open(path, 'wb') as f:\n"
            "    f.truncate(64 << 30)\n"
            "threading.Timer(0.3, lambda: os.truncate(path, 0)).start()\n"
            "print('detected', D.detect_framework(path))\n")
    assert "detected None" in run_python(code).stdout


def test_ctrl_c_stops_a_long_scan(tmp_path):
    path = tmp_path / "huge.bin"
    with open(path, "wb") as f:
        f.truncate(1 << 40)  # sparse: a terabyte of zeros, hours to read
    code = ("import sys\n"
            "from ostrel.common.framework_detection import FrameworkDetector as D\n"
            "try:\n"
            "    print('scanning', flush=True)\n"
            f"    D.detect_framework({str(path)!r})\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted', flush=True)\n")
    env = dict(os.environ, HOME=str(tmp_path))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=env, text=True)
    try:
        while (line := child.stdout.readline()) not in ("scanning\n", ""):
            pass  # the import's log line
        assert line == "scanning\n"
        import time

        time.sleep(0.3)
        child.send_signal(subprocess.signal.SIGINT)
        out, err = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
    assert out.splitlines() == ["interrupted"], err


# ---- formats that the table misses -----------------------------------------------------------------------

def _onnx_by_helper():
    from onnx import TensorProto, helper

    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "g",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])])
    return helper.make_model(graph).SerializeToString()


def _zip(members):
    import io
    import zipfile

    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as z:
        for name in members:
            z.writestr(name, "{}")
    return buffer.getvalue()


IR = (b'<?xml version="1.0"?>\n<net name="m" version="11">\n\t<layers>\n'
      b'\t\t<layer id="0" name="x" type="Parameter" version="opset1"/>\n\t</layers>\n'
      b'\t<edges>\n\t</edges>\n\t<rt_info/>\n</net>\n')


def test_structure_decides_when_no_marker_matches(tmp_path, capsys):
    onnx_bytes = _onnx_by_helper()
    assert b"onnx." not in onnx_bytes
    cases = [
        ("helper.onnx", onnx_bytes, T.ONNX),
        ("model.keras", _zip(["metadata.json", "config.json", "model.weights.h5"]), T.KERAS),
        ("other.zip", _zip(["config.json", "data.bin"]), None),
        ("model.xml", IR, T.OPENVINO),
        ("tfl3.txt", b"this line's only marker is TFL3\n", None),
        ("axis.txt", b"axis pads@ strides@\n", None),
        # A marker of the table decides before the structure is looked at, as the table always did.
        ("doc.onnx", onnx_bytes + b"\x32\x05ptrt+", T.TENSORRT),
    ]
    for name, content, expected in cases:
        path = tmp_path / name
        path.write_bytes(content)
        for require_all in (False, True):
            assert detect(str(path), require_all_strings=require_all) == expected, (name, require_all)
        line = capsys.readouterr().out.splitlines()[0]
        if expected is None:
            assert line == f"Could not detect framework for  {path}"
        else:
            assert line == f"Detected framework for {path}: {expected!s}"


def test_load_detects_an_onnx_model_without_the_marker(tmp_path, capsys):
    import ostrel

    path = tmp_path / "relu.onnx"
    path.write_bytes(_onnx_by_helper())
    model = ostrel.load(str(path))
    assert capsys.readouterr().out.startswith(f"Detecting framework...\nDetected framework for {path}: "
                                              "FrameworkType.ONNX\n")
    out = model.predict(np.array([[-1, 2, -3, 4]], dtype=np.float32))
    assert np.array_equal(out[0], [[0, 2, 0, 4]])
