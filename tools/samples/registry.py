"""Every sample of every set, in a fixed order, and the verifier of each contract loader."""
from __future__ import annotations

from typing import Callable

from . import conformance, coreml_samples, images, onnx_samples, openvino_samples, tensorrt_samples, tf_samples
from . import torch_samples
from .core import Sample

MANIFEST_NAME = "manifest.json"

# One function per set, in the order of the manifest. Keys that a file:// URL reads with percent-escapes
# (e.g. "batch%3D16") are stored under their decoded names ("batch=16").
SAMPLE_SETS: list[Callable[[], list[Sample]]] = [
    onnx_samples.samples,
    torch_samples.samples,
    tensorrt_samples.samples,
    images.samples,
    tf_samples.samples,
    conformance.trt_samples,
    conformance.detection_samples,
    coreml_samples.samples,
    openvino_samples.samples,
]

# Contract loader -> verifier(sample, path) -> facts for the manifest.
VERIFIERS = {
    loader: verify
    for module in (onnx_samples, torch_samples, tensorrt_samples, images, tf_samples, coreml_samples,
                   openvino_samples)
    for loader, verify in module.VERIFIERS.items()
}


def all_samples() -> list[Sample]:
    samples = [s for fn in SAMPLE_SETS for s in fn()]
    names = [s.name for s in samples]
    paths = [s.path for s in samples]
    assert len(set(names)) == len(names), "duplicate sample name"
    assert len(set(paths)) == len(paths), "duplicate sample path"
    assert MANIFEST_NAME not in paths
    return samples


def sample_by_name(name: str) -> Sample:
    for s in all_samples():
        if s.name == name:
            return s
    raise KeyError(name)
