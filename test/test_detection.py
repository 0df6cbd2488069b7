"""ostrel.common.framework_detection as Python sees it, and a differential check against `strings | grep`."""
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


def _check(path, expected=None):
    for require_all in (False, True):
        got = detect(path, require_all_strings=require_all)
        want = pipeline(path, require_all)
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
def test_sample_models_match_the_pipeline(capsys):
    root = os.environ.get("OSTREL_SAMPLES_DIR", "/work/main/.samples")
    if not os.path.isdir(root):
        pytest.skip(f"no samples at {root}")
    files = [os.path.join(d, f) for d, _, names in os.walk(root) for f in names]
    files = [f for f in files if os.path.isfile(f)]
    if not files:
        pytest.skip(f"no sample files under {root}")
    for path in sorted(files):
        _check(path)
