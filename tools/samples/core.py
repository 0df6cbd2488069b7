"""What every sample set shares: the Sample record, contract helpers, framework detection (the marker
table alone, and the runtime's own detector) and the checks that verifiers run on outputs.

Imports only the standard library; frameworks and the ostrel package are imported where they are used.
"""
from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import io
import json
import os
import re
import zlib
from pathlib import Path
from typing import Callable, Optional

RECIPE_VERSION = 1
REPO_ROOT = Path(__file__).resolve().parents[2]

# Opset and IR version of the ONNX samples: both supported by every current onnxruntime release.
ONNX_OPSET = 17
ONNX_IR_VERSION = 8
# ONNX samples carry this doc string; "onnx." in it is what marker-based framework detection looks for.
ONNX_DOC = "Ostrel sample model, built with onnx.helper from random weights"

# The marker that decides each framework of marker-based detection, in the order frameworks are tried:
# the first framework whose marker occurs in a printable run (4+ characters) of the file wins.
DETECTION_MARKERS = (
    ("trt", "ptrt+"),
    ("onnx", "onnx."),
    ("openvino", "<mapping>"),
    ("keras", "keras_version"),
    ("coreml", "apple.coreml"),
    ("tflite", "TFL2"),
    ("torchscript", "__torch__"),
)


class SampleError(Exception):
    """A sample could not be built, or does not meet its contract."""


Builder = Callable[["Sample", Path], Optional[dict]]
Check = Callable[["Sample", list, list], None]


@dataclasses.dataclass(frozen=True)
class Sample:
    name: str  # stable identifier, the manifest key
    path: str  # relative POSIX path under the output folder (the object key)
    framework: str  # "onnx", "pytorch", "torchscript", ...
    builder: Builder  # writes the file: builder(sample, dest) -> facts for the manifest
    contract: dict  # what the verifier checks and what consumers may rely on
    description: str
    # What ostrel's FrameworkDetector.detect_framework answers for the file (None: not detected).
    detected_as: str | None
    check: Check | None = None  # optional value check of the outputs: check(sample, feeds, outputs)
    # True: the file carries no marker of the detection table; the runtime recognises it by its structure.
    by_structure: bool = False
    # True: the same bytes wherever it is built with the same framework versions. TorchScript files are not:
    # their debug information records the source paths of the torch installation (and, for a trace, of
    # the generator), so they are reproducible only within one checkout and virtual environment.
    reproducible: bool = True
    version: int = 1  # bump when the builder's output changes

    def __post_init__(self):
        if self.by_structure and self.detected_as is None:
            raise ValueError(f"{self.name}: detected by its structure, but as no framework")

    @property
    def marker_match(self) -> str | None:
        """What the marker table alone finds in the file."""
        return None if self.by_structure else self.detected_as

    @property
    def detected_by(self) -> str | None:
        """"markers", "structure", or None when nothing is detected."""
        if self.detected_as is None:
            return None
        return "structure" if self.by_structure else "markers"

    def recipe_digest(self) -> str:
        # Builders and checks enter under their function names, detection as the marker table's answer.
        blob = json.dumps(
            [RECIPE_VERSION, self.version, self.path, self.framework, self.builder.__name__, self.contract,
             self.marker_match, self.check.__name__ if self.check else None, self.reproducible],
            sort_keys=True,
        )
        return hashlib.sha256(blob.encode()).hexdigest()[:16]


def tensor(name, shape, dtype="float32"):
    """One tensor of a contract: shape entries are ints (fixed), names (symbolic) or None (unnamed)."""
    return {"name": name, "shape": list(shape), "dtype": dtype}


def input_dims(inputs):
    return [list(t["shape"][1:]) for t in inputs]


def seed_of(sample: Sample) -> int:
    return zlib.crc32(sample.name.encode())


def fail(sample: Sample, msg: str):
    raise SampleError(f"{sample.path}: {msg}")


def expect(sample: Sample, ok: bool, what: str):
    if not ok:
        fail(sample, f"wrong values: {what}")


# --------------------------------------------------------------------------------------------------
# Framework detection

_PRINTABLE_RUN = re.compile(rb"[\x20-\x7e\t]{4,}")


def marker_detection(path: str | os.PathLike) -> str | None:
    """The marker table alone, as the runtime scans it (printable runs of 4+ characters)."""
    data = Path(path).read_bytes()
    runs = [m.group() for m in _PRINTABLE_RUN.finditer(data)]
    for framework, marker in DETECTION_MARKERS:
        m = marker.encode()
        if any(m in r for r in runs):
            return framework
    return None


def from_ostrel(module: str, name: str):
    """`name` of the built ostrel package's `module`, imported with HOME on a scratch folder (the package's
    logger opens its file under HOME). In a worker process the import's console greeting is kept out of the
    generator's log (the package's console handler keeps the stream it found); in the calling process,
    with --jobs 0, the logger is left as it is."""
    import importlib
    import multiprocessing
    import shutil
    import tempfile

    home = os.environ.get("HOME")
    scratch = tempfile.mkdtemp(prefix="ostrel-samples-home-")
    os.environ["HOME"] = scratch
    quiet = multiprocessing.parent_process() is not None
    try:
        with contextlib.redirect_stdout(io.StringIO()) if quiet else contextlib.nullcontext():
            return getattr(importlib.import_module(module), name)
    except ImportError as e:
        raise SampleError(f"the ostrel package is not importable ({e}); build it first (make build)") from e
    finally:
        if home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = home
        shutil.rmtree(scratch, ignore_errors=True)  # the open log file lives on unlinked


def runtime_detection(path: str | os.PathLike) -> str | None:
    """What ostrel's FrameworkDetector.detect_framework answers: the marker table, then the structure."""
    detector = from_ostrel("ostrel.common.framework_detection", "FrameworkDetector")
    with contextlib.redirect_stdout(io.StringIO()):  # it prints its answer
        found = detector.detect_framework(str(path))
    return None if found is None else found.value


def check_detection(sample: Sample, path: str | os.PathLike) -> None:
    found = marker_detection(path)
    if found != sample.marker_match:
        fail(sample, f"the marker table finds {found!r}, expected {sample.marker_match!r}")
    found = runtime_detection(path)
    if found != sample.detected_as:
        fail(sample, f"framework detection finds {found!r}, expected {sample.detected_as!r}")


# --------------------------------------------------------------------------------------------------
# Shared parts of the verifiers: concrete inputs for a contract, and the outputs' shapes against it.


def example_shape(shape, batch: int, inner: int, force_batch: bool = False) -> list[int]:
    """A concrete shape for a contract shape: symbolic or unnamed axes take `batch` (first axis) or
    `inner`; with force_batch the first axis is `batch` even where the contract fixes it."""
    def size(axis, d):
        if axis == 0 and force_batch:
            return batch
        return d if isinstance(d, int) else (batch if axis == 0 else inner)

    return [size(axis, d) for axis, d in enumerate(shape)]


def _bindings(contract_inputs, feeds_shapes) -> dict:
    """Symbolic dim name -> size, read from the shapes actually fed."""
    out = {}
    for t, shape in zip(contract_inputs, feeds_shapes):
        for d, n in zip(t["shape"], shape):
            if isinstance(d, str):
                out[d] = n
    return out


def check_output_shapes(sample: Sample, outputs, feeds_shapes):
    c = sample.contract
    if len(outputs) != len(c["outputs"]):
        fail(sample, f"expected {len(c['outputs'])} outputs, got {len(outputs)}")
    bind = _bindings(c["inputs"], feeds_shapes)
    batch = feeds_shapes[0][0] if feeds_shapes else None
    for t, arr in zip(c["outputs"], outputs):
        if str(arr.dtype) != t["dtype"]:
            fail(sample, f"output {t['name']}: dtype {arr.dtype}, expected {t['dtype']}")
        if len(arr.shape) != len(t["shape"]):
            fail(sample, f"output {t['name']}: rank {len(arr.shape)}, expected {len(t['shape'])}")
        for axis, (d, n) in enumerate(zip(t["shape"], arr.shape)):
            want = d if isinstance(d, int) else bind.get(d, batch if axis == 0 else None)
            if want is not None and want != n:
                fail(sample, f"output {t['name']}: shape {list(arr.shape)} does not match {t['shape']} "
                             f"for inputs {feeds_shapes}")


def random_feeds(sample: Sample, rng, batch: int, inner: int, force_batch: bool = False) -> list:
    import numpy as np

    feeds = []
    for t in sample.contract["inputs"]:
        shape = example_shape(t["shape"], batch, inner, force_batch)
        if t["dtype"] == "int64":
            feeds.append(rng.integers(0, 1000, size=shape, dtype=np.int64))
        else:
            feeds.append(rng.random(shape, dtype=np.float64).astype(t["dtype"]))
    return feeds


def batch_variants(sample: Sample) -> list[tuple[int, int]]:
    c = sample.contract
    if c["batch"] == "static":
        return [(c["static_batch_size"], 16)]
    if c["batch"] == "dynamic":
        return [(1, 16), (3, 24)]
    return [(1, 16)]
