#!/usr/bin/env python3
"""Writes every sample model that the tests, checks, benchmarks and the demo use, plus manifest.json.

    python tools/make_samples.py [--out DIR] [--force] [--verify] [--jobs N] [--list]

The output folder (default: $OSTREL_SAMPLES_DIR, else .samples/ in the checkout) mirrors the object
keys under which the verification package fetches its samples, so a file:// base URL over it serves
them: e.g. DIR/return_model_input.onnx, DIR/resnet18.pt, DIR/mobilenet_v2.pth and
DIR/models_for_platform_testing/segmentation_models/onnx/decoder.onnx. Samples that only our own tests
use live under DIR/onnx/ and DIR/torch/.

Everything is made locally by the frameworks themselves (our own small architectures, random weights
from fixed seeds); nothing is downloaded. Each sample is built in a fresh worker process (TorchScript
numbering depends on what the process compiled before, and the hash seed is fixed for the workers), so
a sample's bytes do not depend on which other samples are built in the same run. After building, the
worker loads the file with its framework and checks the sample's declared contract (input and output
names, shapes, element types, static or dynamic batch, profiled layer count, what framework detection
finds in it); a sample that fails is not moved into place and the run exits non-zero.

Caching: manifest.json records for each sample its sha256 and a digest of its recipe (recipe version,
path, framework, contract, builder). A run in which every sample is present with the recorded hash and
an unchanged recipe digest does nothing and imports no framework. Otherwise only the missing or stale
samples are rebuilt. A file at a sample's path that the manifest does not list is not ours: the run
refuses to overwrite it unless --force is given.

Adding a framework: write one function returning its Sample list (and the builders and the verifier it
names), and add it to SAMPLE_SETS.

This file imports only the standard library at the top; the frameworks are imported in the workers.
"""
from __future__ import annotations

import argparse
import dataclasses
import fcntl
import hashlib
import json
import os
import re
import sys
import time
import zlib
from pathlib import Path
from typing import Any, Callable

RECIPE_VERSION = 1
MANIFEST_NAME = "manifest.json"
MANIFEST_FORMAT = 1
GENERATOR = "tools/make_samples.py"
REPO_ROOT = Path(__file__).resolve().parent.parent

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

# Package and resource under which a torch package checkpoint holds its pickled module.
TORCH_PACKAGE_NAME = "tamsor_user_model"
TORCH_PACKAGE_RESOURCE = "model.pkl"


class SampleError(Exception):
    """A sample could not be built, or does not meet its contract."""


@dataclasses.dataclass(frozen=True)
class Sample:
    name: str  # stable identifier, the manifest key
    path: str  # relative POSIX path under the output folder (the object key)
    framework: str  # "onnx", "pytorch", "torchscript"
    builder: str  # name of the function of this module that writes the file: builder(sample, dest)
    contract: dict  # what the verifier checks and what consumers may rely on
    description: str
    detected_as: str | None  # expected result of marker-based framework detection (None: not detected)
    check: str | None = None  # optional value check: function(sample, feeds, outputs) of this module
    # True: the same bytes wherever it is built with the same framework versions. TorchScript files are not:
    # their debug information records the source paths of the torch installation (and, for a trace, of
    # this script), so they are reproducible only within one checkout and virtual environment.
    reproducible: bool = True
    version: int = 1  # bump when the builder's output changes

    def recipe_digest(self) -> str:
        blob = json.dumps(
            [RECIPE_VERSION, self.version, self.path, self.framework, self.builder, self.contract,
             self.detected_as, self.check, self.reproducible],
            sort_keys=True,
        )
        return hashlib.sha256(blob.encode()).hexdigest()[:16]


def _t(name, shape, dtype="float32"):
    """One tensor of a contract: shape entries are ints (fixed), names (symbolic) or None (unnamed)."""
    return {"name": name, "shape": list(shape), "dtype": dtype}


def _dims(inputs):
    return [list(t["shape"][1:]) for t in inputs]


def _onnx_contract(inputs, outputs, **extra):
    first = inputs[0]["shape"][0] if inputs else None
    static = first if isinstance(first, int) and first > 0 else None
    c = {
        "loader": "onnxruntime",
        "loadable": True,
        "inputs": inputs,
        "outputs": outputs,
        "input_dims": _dims(inputs),
        "batch": "none" if not inputs else ("static" if static else "dynamic"),
        "static_batch_size": static,
    }
    c.update(extra)
    return c


# --------------------------------------------------------------------------------------------------
# Registry


def onnx_samples() -> list[Sample]:
    img = ["batch_size", 3, 224, 224]
    decoder_inputs = [
        _t("features_1", [1, 243, 30, 40]),
        _t("features_2", [1, 172, 60, 80]),
        _t("features_3", [1, 102, 120, 160]),
        _t("features_4", [1, 64, 240, 320]),
        _t("features_5", [1, 153, 15, 20]),
    ]
    return [
        Sample("return_model_input", "return_model_input.onnx", "onnx", "build_onnx_identity",
               _onnx_contract([_t("output", img)], [_t("result", img)]),
               "identity; its one input is named 'output'; dynamic batch", "onnx", "check_identity"),
        Sample("onnx_identity_static_batch", "onnx/return_model_input_static_batch.onnx", "onnx",
               "build_onnx_identity",
               _onnx_contract([_t("output", [1, 3, 224, 224])], [_t("result", [1, 3, 224, 224])]),
               "identity with a static batch of 1", "onnx", "check_identity"),
        Sample("onnx_two_inputs", "onnx/two_inputs.onnx", "onnx", "build_onnx_two_inputs",
               _onnx_contract([_t("image", ["batch", 3, 32, 32]), _t("scale", ["batch", 1])],
                              [_t("pooled", ["batch", 3]), _t("doubled_scale", ["batch", 1])]),
               "two inputs, two outputs, dynamic batch", "onnx", "check_two_inputs"),
        Sample("onnx_mixed_batch", "onnx/mixed_batch_inputs.onnx", "onnx", "build_onnx_scale_each",
               _onnx_contract([_t("a", [8, 4]), _t("b", ["batch", 4])],
                              [_t("a_doubled", [8, 4]), _t("b_doubled", ["batch", 4])]),
               "first input with a fixed first axis of 8, second with a symbolic one", "onnx",
               "check_doubled"),
        Sample("onnx_add_1x4", "onnx/add_1x4.onnx", "onnx", "build_onnx_add",
               _onnx_contract([_t("a", [1, 4]), _t("b", [1, 4])], [_t("sum", [1, 4])]),
               "element-wise sum of two [1,4] inputs (for benchmarks)", "onnx", "check_add"),
        Sample("decoder", "models_for_platform_testing/segmentation_models/onnx/decoder.onnx", "onnx",
               "build_onnx_decoder",
               _onnx_contract(decoder_inputs, [_t("mask", [1, 2, 240, 320])], min_profiled_layers=22),
               "five-input segmentation decoder, static batch 1, random weights", "onnx",
               "check_softmax_mask"),
        Sample("onnx_symbolic_inner_dims", "onnx/symbolic_inner_dims.onnx", "onnx", "build_onnx_relu",
               _onnx_contract([_t("image", ["batch", 3, "height", "width"])],
                              [_t("features", ["batch", 3, "height", "width"])]),
               "symbolic batch, height and width", "onnx", "check_relu"),
        Sample("onnx_unnamed_dynamic_dim", "onnx/unnamed_dynamic_dim.onnx", "onnx", "build_onnx_identity",
               _onnx_contract([_t("x", [None, 3, 224, 224])], [_t("y", [None, 3, 224, 224])]),
               "batch axis dynamic without a name", "onnx", "check_identity"),
        Sample("onnx_int64_input", "onnx/int64_input.onnx", "onnx", "build_onnx_add_one",
               _onnx_contract([_t("ids", ["batch", 16], "int64")],
                              [_t("ids_plus_one", ["batch", 16], "int64")]),
               "int64 input and output", "onnx", "check_add_one"),
        Sample("onnx_double_input", "onnx/double_input.onnx", "onnx", "build_onnx_scale_each",
               _onnx_contract([_t("x", ["batch", 4], "float64")], [_t("x_doubled", ["batch", 4], "float64")]),
               "float64 (double) input and output", "onnx", "check_doubled"),
        Sample("onnx_no_input", "onnx/no_input.onnx", "onnx", "build_onnx_constant",
               _onnx_contract([], [_t("constant", [1, 4])]),
               "no input; one Constant output", "onnx", "check_constant"),
        Sample("onnx_corrupt", "onnx/corrupt.onnx", "onnx", "build_random_bytes",
               {"loader": "onnxruntime", "loadable": False, "size": 4096},
               "random bytes with an .onnx suffix; onnxruntime refuses it", None),
    ]


def torch_samples() -> list[Sample]:
    img = ["batch", 3, 224, 224]
    cls = ["batch", 1000]
    return [
        Sample("resnet18", "resnet18.pt", "pytorch", "build_torch_package",
               {"loader": "torch.package", "loadable": True, "package": TORCH_PACKAGE_NAME,
                "resource": TORCH_PACKAGE_RESOURCE, "object": "torch.nn.Module", "class": "TinyResNet",
                "inputs": [_t("x", img)], "outputs": [_t(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "small residual conv net (our own module, interned) in a torch package", None),
        Sample("mobilenet_v2", "mobilenet_v2.pth", "torchscript", "build_torchscript",
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TinyMobileNetV2", "export": "script",
                "inputs": [_t("x", img)], "outputs": [_t(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "small inverted-residual conv net, scripted", "torchscript", reproducible=False),
        Sample("torchscript_traced", "torch/mobilenet_v2_traced.pth", "torchscript", "build_torchscript",
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TinyMobileNetV2", "export": "trace",
                "inputs": [_t("x", img)], "outputs": [_t(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "the same net, traced", "torchscript", reproducible=False),
        Sample("torchscript_two_inputs", "torch/two_inputs_tuple.pth", "torchscript", "build_torchscript",
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TwoInputNet", "export": "script",
                "inputs": [_t("image", ["batch", 3, 32, 32]), _t("extra", ["batch", 10])],
                "outputs": [_t(None, ["batch", 10]), _t(None, ["batch", 8])], "output_form": "tuple",
                "input_dims": [[3, 32, 32], [10]], "batch": "dynamic", "static_batch_size": None},
               "two inputs, returns a tuple of two tensors", "torchscript", reproducible=False),
        Sample("torch_package_dict", "torch/state_dict_package.pt", "pytorch", "build_torch_package",
               {"loader": "torch.package", "loadable": True, "package": TORCH_PACKAGE_NAME,
                "resource": TORCH_PACKAGE_RESOURCE, "object": "dict", "class": "TinyResNet"},
               "torch package whose pickle is a state dict, not a module", None),
        Sample("torch_corrupt", "torch/corrupt.pt", "pytorch", "build_random_bytes",
               {"loader": "torch", "loadable": False, "size": 4096},
               "random bytes; neither the package importer nor torch.jit.load accepts it", None),
    ]


# One function per framework; later frameworks (OpenVINO, TensorFlow, Keras, TFLite, Core ML, TensorRT)
# add theirs here. Keys that a file:// URL reads with percent-escapes (e.g. "batch%3D16") are stored
# under their decoded names ("batch=16").
SAMPLE_SETS: list[Callable[[], list[Sample]]] = [onnx_samples, torch_samples]


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


def _seed(sample: Sample) -> int:
    return zlib.crc32(sample.name.encode())


# --------------------------------------------------------------------------------------------------
# Marker-based framework detection, as the runtime does it (printable runs of 4+ characters).

_PRINTABLE_RUN = re.compile(rb"[\x20-\x7e\t]{4,}")


def detect_framework(path: str | os.PathLike) -> str | None:
    data = Path(path).read_bytes()
    runs = [m.group() for m in _PRINTABLE_RUN.finditer(data)]
    for framework, marker in DETECTION_MARKERS:
        m = marker.encode()
        if any(m in r for r in runs):
            return framework
    return None


# --------------------------------------------------------------------------------------------------
# Builders: each writes one file to dest (a temporary path next to the final one).


def build_random_bytes(sample: Sample, dest: Path) -> dict:
    import random

    rng = random.Random(_seed(sample))
    dest.write_bytes(bytes(rng.getrandbits(8) for _ in range(sample.contract["size"])))
    return {}


def _np_dtype_to_onnx(dtype: str):
    from onnx import TensorProto

    return {"float32": TensorProto.FLOAT, "float64": TensorProto.DOUBLE, "int64": TensorProto.INT64}[dtype]


def _value_info(t: dict):
    from onnx import helper

    return helper.make_tensor_value_info(t["name"], _np_dtype_to_onnx(t["dtype"]), t["shape"])


def _save_onnx(sample: Sample, dest: Path, nodes, initializers=()) -> dict:
    import onnx
    from onnx import helper

    c = sample.contract
    graph = helper.make_graph(nodes, sample.name, [_value_info(t) for t in c["inputs"]],
                              [_value_info(t) for t in c["outputs"]], list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", ONNX_OPSET)],
                              producer_name="ostrel-make-samples", producer_version=str(RECIPE_VERSION),
                              doc_string=ONNX_DOC)
    model.ir_version = ONNX_IR_VERSION
    onnx.checker.check_model(model, full_check=True)
    dest.write_bytes(model.SerializeToString(deterministic=True))
    return {"node_count": len(nodes)}


def build_onnx_identity(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    c = sample.contract
    return _save_onnx(sample, dest, [helper.make_node("Identity", [c["inputs"][0]["name"]],
                                                      [c["outputs"][0]["name"]], name="identity")])


def build_onnx_relu(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    c = sample.contract
    return _save_onnx(sample, dest, [helper.make_node("Relu", [c["inputs"][0]["name"]],
                                                      [c["outputs"][0]["name"]], name="relu")])


def build_onnx_add(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    return _save_onnx(sample, dest, [helper.make_node("Add", ["a", "b"], ["sum"], name="add")])


def _const(name, array):
    from onnx import numpy_helper

    return numpy_helper.from_array(array, name)


def build_onnx_scale_each(sample: Sample, dest: Path) -> dict:
    """Every input times two, one output per input."""
    import numpy as np
    from onnx import helper

    nodes, inits = [], []
    for i, (inp, out) in enumerate(zip(sample.contract["inputs"], sample.contract["outputs"])):
        inits.append(_const(f"two_{i}", np.array(2, dtype=inp["dtype"])))
        nodes.append(helper.make_node("Mul", [inp["name"], f"two_{i}"], [out["name"]], name=f"double_{i}"))
    return _save_onnx(sample, dest, nodes, inits)


def build_onnx_add_one(sample: Sample, dest: Path) -> dict:
    import numpy as np
    from onnx import helper

    node = helper.make_node("Add", ["ids", "one"], ["ids_plus_one"], name="add_one")
    return _save_onnx(sample, dest, [node], [_const("one", np.array(1, dtype=np.int64))])


def build_onnx_two_inputs(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    nodes = [
        helper.make_node("GlobalAveragePool", ["image"], ["gap"], name="pool"),
        helper.make_node("Flatten", ["gap"], ["flat"], name="flatten", axis=1),
        helper.make_node("Mul", ["flat", "scale"], ["pooled"], name="scale_pooled"),
        helper.make_node("Add", ["scale", "scale"], ["doubled_scale"], name="double_scale"),
    ]
    return _save_onnx(sample, dest, nodes)


def build_onnx_constant(sample: Sample, dest: Path) -> dict:
    import numpy as np
    from onnx import helper

    value = _const("value", np.arange(1, 5, dtype=np.float32).reshape(1, 4))
    node = helper.make_node("Constant", [], ["constant"], name="constant", value=value)
    return _save_onnx(sample, dest, [node])


def build_onnx_decoder(sample: Sample, dest: Path) -> dict:
    """A small FPN-like segmentation decoder over five feature maps.

    Starting from the coarsest map (15x20), each level projects the running map, upsamples it by two,
    adds a lateral projection of the skip input of that resolution, and refines the sum with two 3x3
    convolutions and a residual. A squeeze-and-excitation gate sits at the top and each level adds an
    auxiliary 1x1 head, so the optimised CPU graph keeps well over 22 distinct nodes.
    """
    import numpy as np
    from onnx import helper

    rng = np.random.default_rng(_seed(sample))
    nodes, inits = [], []

    def conv(name, x, cin, cout, k=1, relu=False):
        w = (rng.standard_normal((cout, cin, k, k)) * np.sqrt(2.0 / (cin * k * k))).astype(np.float32)
        b = (rng.standard_normal(cout) * 0.01).astype(np.float32)
        inits.extend([_const(f"{name}.weight", w), _const(f"{name}.bias", b)])
        out = f"{name}_out"
        nodes.append(helper.make_node("Conv", [x, f"{name}.weight", f"{name}.bias"], [out], name=name,
                                      kernel_shape=[k, k], pads=[k // 2] * 4))
        if relu:
            nodes.append(helper.make_node("Relu", [out], [f"{name}_relu"], name=f"{name}_relu"))
            out = f"{name}_relu"
        return out

    def node(op, name, ins, **attrs):
        nodes.append(helper.make_node(op, ins, [name], name=name, **attrs))
        return name

    inits.append(_const("up2", np.array([1, 1, 2, 2], dtype=np.float32)))
    # Top of the pyramid with a squeeze-and-excitation gate.
    x = conv("top", "features_5", 153, 32, relu=True)
    g = node("GlobalAveragePool", "top_squeeze", [x])
    g = conv("top_excite", g, 32, 32)
    g = node("Sigmoid", "top_gate", [g])
    x = node("Mul", "top_gated", [x, g])
    ch = 32
    aux = []
    # (skip input, its channels, channels of the level), from 30x40 up to 240x320
    levels = [("features_1", 243, 32), ("features_2", 172, 16), ("features_3", 102, 16),
              ("features_4", 64, 8)]
    for level, (skip, cin, cout) in enumerate(levels, start=1):
        p = f"level{level}"
        up = conv(f"{p}_project", x, ch, cout)
        up = node("Resize", f"{p}_upsample", [up, "", "up2"], mode="nearest")
        lat = conv(f"{p}_lateral", skip, cin, cout)
        s = node("Add", f"{p}_merge", [up, lat])
        h = conv(f"{p}_refine_a", s, cout, cout, k=3, relu=True)
        h = conv(f"{p}_refine_b", h, cout, cout, k=3)
        x = node("Relu", f"{p}_out", [node("Add", f"{p}_residual", [h, s])])
        aux.append(conv(f"{p}_aux_head", x, cout, 2))
        ch = cout
    # The auxiliary heads are upsampled to full resolution and averaged into the final logits.
    logits = conv("head", x, ch, 2)
    for i, a in enumerate(aux[:-1]):
        factor = 2 ** (len(aux) - 1 - i)
        inits.append(_const(f"aux{i}_scale", np.array([1, 1, factor, factor], dtype=np.float32)))
        a = node("Resize", f"aux{i}_upsample", [a, "", f"aux{i}_scale"], mode="nearest")
        logits = node("Add", f"aux{i}_sum", [logits, a])
    logits = node("Add", "aux_last_sum", [logits, aux[-1]])
    inits.append(_const("aux_weight", np.array(0.2, dtype=np.float32)))
    logits = node("Mul", "logits", [logits, "aux_weight"])
    nodes.append(helper.make_node("Softmax", [logits], ["mask"], name="mask_softmax", axis=1))
    return _save_onnx(sample, dest, nodes, inits)


# Our own small torch architectures. The source is kept as text because the torch package interns it
# (the archive carries the module's source) and TorchScript compiles it from source.
TORCH_NETS_SOURCE = '''\
from typing import Tuple

import torch
from torch import nn


class BasicBlock(nn.Module):
    def __init__(self, cin: int, cout: int, stride: int):
        super().__init__()
        self.conv1 = nn.Conv2d(cin, cout, 3, stride=stride, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(cout)
        self.conv2 = nn.Conv2d(cout, cout, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(cout)
        self.shortcut = nn.Sequential()
        if stride != 1 or cin != cout:
            self.shortcut = nn.Sequential(nn.Conv2d(cin, cout, 1, stride=stride, bias=False),
                                          nn.BatchNorm2d(cout))

    def forward(self, x):
        y = torch.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return torch.relu(y + self.shortcut(x))


class TinyResNet(nn.Module):
    """Residual image classifier: [N, 3, H, W] float32 -> [N, 1000] logits."""

    def __init__(self, num_classes: int = 1000):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 16, 3, stride=2, padding=1, bias=False), nn.BatchNorm2d(16),
                                  nn.ReLU(inplace=True), nn.MaxPool2d(3, stride=2, padding=1))
        self.layer1 = BasicBlock(16, 16, 1)
        self.layer2 = BasicBlock(16, 32, 2)
        self.layer3 = BasicBlock(32, 32, 2)
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc = nn.Linear(32, num_classes)

    def forward(self, x):
        x = self.layer3(self.layer2(self.layer1(self.stem(x))))
        return self.fc(torch.flatten(self.pool(x), 1))


class InvertedResidual(nn.Module):
    def __init__(self, cin: int, cout: int, stride: int, expand: int):
        super().__init__()
        hidden = cin * expand
        self.use_residual = stride == 1 and cin == cout
        self.block = nn.Sequential(
            nn.Conv2d(cin, hidden, 1, bias=False), nn.BatchNorm2d(hidden), nn.ReLU6(inplace=True),
            nn.Conv2d(hidden, hidden, 3, stride=stride, padding=1, groups=hidden, bias=False),
            nn.BatchNorm2d(hidden), nn.ReLU6(inplace=True),
            nn.Conv2d(hidden, cout, 1, bias=False), nn.BatchNorm2d(cout))

    def forward(self, x):
        if self.use_residual:
            return x + self.block(x)
        return self.block(x)


class TinyMobileNetV2(nn.Module):
    """Inverted-residual image classifier: [N, 3, H, W] float32 -> [N, 1000] logits."""

    def __init__(self, num_classes: int = 1000):
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(3, 16, 3, stride=2, padding=1, bias=False), nn.BatchNorm2d(16),
                                  nn.ReLU6(inplace=True))
        self.blocks = nn.Sequential(
            InvertedResidual(16, 16, 1, 1), InvertedResidual(16, 24, 2, 4), InvertedResidual(24, 24, 1, 4),
            InvertedResidual(24, 32, 2, 4), InvertedResidual(32, 32, 1, 4), InvertedResidual(32, 48, 2, 4))
        self.head = nn.Sequential(nn.Conv2d(48, 64, 1, bias=False), nn.BatchNorm2d(64),
                                  nn.ReLU6(inplace=True))
        self.classifier = nn.Linear(64, num_classes)

    def forward(self, x):
        x = self.head(self.blocks(self.stem(x)))
        x = nn.functional.adaptive_avg_pool2d(x, 1)
        return self.classifier(torch.flatten(x, 1))


class TwoInputNet(nn.Module):
    """(image [N, 3, 32, 32], extra [N, 10]) -> (logits [N, 10], features [N, 8])."""

    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, padding=1)
        self.fc = nn.Linear(8, 10)

    def forward(self, image: torch.Tensor, extra: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]:
        features = torch.flatten(nn.functional.adaptive_avg_pool2d(torch.relu(self.conv(image)), 1), 1)
        return self.fc(features) + extra, features
'''


def _torch_nets(module_name: str):
    """Registers TORCH_NETS_SOURCE as an importable module (with its source visible to inspect)."""
    import linecache
    import types

    if module_name in sys.modules:
        return sys.modules[module_name]
    filename = f"<{module_name}>"
    parent, _, _ = module_name.rpartition(".")
    if parent and parent not in sys.modules:
        pkg = types.ModuleType(parent)
        pkg.__path__ = []
        sys.modules[parent] = pkg
    module = types.ModuleType(module_name)
    module.__file__ = filename
    linecache.cache[filename] = (len(TORCH_NETS_SOURCE), None, TORCH_NETS_SOURCE.splitlines(True), filename)
    sys.modules[module_name] = module
    exec(compile(TORCH_NETS_SOURCE, filename, "exec"), module.__dict__)
    return module


def _torch_net(sample: Sample, module_name: str):
    import torch

    torch.manual_seed(_seed(sample))
    net = getattr(_torch_nets(module_name), sample.contract["class"])()
    # Two forward passes in training mode give the batch-norm layers non-trivial running statistics.
    if any(isinstance(m, torch.nn.BatchNorm2d) for m in net.modules()):
        with torch.no_grad():
            for _ in range(2):
                net(torch.rand(4, 3, 224, 224))
    return net.eval()


def build_torch_package(sample: Sample, dest: Path) -> dict:
    import io

    import torch
    from torch.package import PackageExporter

    module_name = f"{TORCH_PACKAGE_NAME}.nets"
    net = _torch_net(sample, module_name)
    obj = net if sample.contract["object"] == "torch.nn.Module" else net.state_dict()
    # Written through a buffer, so the archive's root folder name does not follow the (temporary) file name.
    buf = io.BytesIO()
    with PackageExporter(buf) as exporter:
        exporter.extern(["torch", "torch.**"])
        exporter.save_source_string(TORCH_PACKAGE_NAME, "", is_package=True)
        exporter.save_source_string(module_name, TORCH_NETS_SOURCE)
        exporter.save_pickle(TORCH_PACKAGE_NAME, TORCH_PACKAGE_RESOURCE, obj)
    dest.write_bytes(buf.getvalue())
    return {"parameters": sum(p.numel() for p in net.parameters()), "torch": torch.__version__}


def build_torchscript(sample: Sample, dest: Path) -> dict:
    import io

    import torch

    net = _torch_net(sample, "ostrel_sample_nets")
    if sample.contract["export"] == "script":
        module = torch.jit.script(net)
    else:
        example = tuple(torch.rand([1] + t["shape"][1:]) for t in sample.contract["inputs"])
        module = torch.jit.trace(net, example)
    buf = io.BytesIO()
    torch.jit.save(module, buf)
    dest.write_bytes(buf.getvalue())
    return {"parameters": sum(p.numel() for p in net.parameters()), "torch": torch.__version__}


# --------------------------------------------------------------------------------------------------
# Verification: load the written file with its framework and check the declared contract.


def _fail(sample: Sample, msg: str):
    raise SampleError(f"{sample.path}: {msg}")


def _example_shape(shape, batch: int, inner: int, force_batch: bool = False) -> list[int]:
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


def _check_output_shapes(sample: Sample, outputs, feeds_shapes):
    c = sample.contract
    if len(outputs) != len(c["outputs"]):
        _fail(sample, f"expected {len(c['outputs'])} outputs, got {len(outputs)}")
    bind = _bindings(c["inputs"], feeds_shapes)
    batch = feeds_shapes[0][0] if feeds_shapes else None
    for t, arr in zip(c["outputs"], outputs):
        if str(arr.dtype) != t["dtype"]:
            _fail(sample, f"output {t['name']}: dtype {arr.dtype}, expected {t['dtype']}")
        if len(arr.shape) != len(t["shape"]):
            _fail(sample, f"output {t['name']}: rank {len(arr.shape)}, expected {len(t['shape'])}")
        for axis, (d, n) in enumerate(zip(t["shape"], arr.shape)):
            want = d if isinstance(d, int) else bind.get(d, batch if axis == 0 else None)
            if want is not None and want != n:
                _fail(sample, f"output {t['name']}: shape {list(arr.shape)} does not match {t['shape']} "
                              f"for inputs {feeds_shapes}")


def _random_feeds(sample: Sample, rng, batch: int, inner: int, force_batch: bool = False) -> list:
    import numpy as np

    feeds = []
    for t in sample.contract["inputs"]:
        shape = _example_shape(t["shape"], batch, inner, force_batch)
        if t["dtype"] == "int64":
            feeds.append(rng.integers(0, 1000, size=shape, dtype=np.int64))
        else:
            feeds.append(rng.random(shape, dtype=np.float64).astype(t["dtype"]))
    return feeds


def _batch_variants(sample: Sample) -> list[tuple[int, int]]:
    c = sample.contract
    if c["batch"] == "static":
        return [(c["static_batch_size"], 16)]
    if c["batch"] == "dynamic":
        return [(1, 16), (3, 24)]
    return [(1, 16)]


def _count_profiled_layers(path: Path, feeds: dict) -> tuple[int, int]:
    """Runs one profiled inference as the runtime's profiler does (all graph optimisations, sequential
    execution on the CPU); returns (distinct node event names, distinct kernel nodes)."""
    import tempfile

    import onnxruntime as ort

    with tempfile.TemporaryDirectory(prefix="ostrel-profile-") as tmp:
        opts = ort.SessionOptions()
        opts.graph_optimization_level = ort.GraphOptimizationLevel.ORT_ENABLE_ALL
        opts.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
        opts.enable_profiling = True
        opts.use_deterministic_compute = True
        opts.profile_file_prefix = os.path.join(tmp, "profile")
        sess = ort.InferenceSession(str(path), sess_options=opts, providers=["CPUExecutionProvider"])
        sess.run(None, feeds)
        sess.run(None, feeds)
        events = json.loads(Path(sess.end_profiling()).read_text())
    names = {e["name"] for e in events if e.get("cat") == "Node"}
    kernels = {n[: -len("_kernel_time")] for n in names if n.endswith("_kernel_time")}
    return len(names), len(kernels)


def verify_onnxruntime(sample: Sample, path: Path) -> dict:
    import numpy as np
    import onnxruntime as ort

    c = sample.contract
    if not c["loadable"]:
        try:
            ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
        except Exception:
            return {}
        _fail(sample, "onnxruntime loaded a file that must be refused")

    import onnx

    onnx.checker.check_model(onnx.load(str(path)), full_check=True)
    sess = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    for kind, got, want in (("input", sess.get_inputs(), c["inputs"]),
                            ("output", sess.get_outputs(), c["outputs"])):
        got_sig = [(x.name, list(x.shape), x.type) for x in got]
        want_sig = [(t["name"], t["shape"], f"tensor({_ORT_TYPE[t['dtype']]})") for t in want]
        if got_sig != want_sig:
            _fail(sample, f"{kind}s are {got_sig}, expected {want_sig}")
    first = sess.get_inputs()[0].shape[0] if sess.get_inputs() else None
    static = first if isinstance(first, int) and first > 0 else None
    if static != c["static_batch_size"]:
        _fail(sample, f"static batch size {static}, expected {c['static_batch_size']}")

    rng = np.random.default_rng(0)
    names = [t["name"] for t in c["inputs"]]
    feeds = None
    for batch, inner in _batch_variants(sample):
        feeds = _random_feeds(sample, rng, batch, inner)
        outputs = sess.run(None, dict(zip(names, feeds)))
        again = sess.run(None, dict(zip(names, feeds)))
        if not all(np.array_equal(a, b) for a, b in zip(outputs, again)):
            _fail(sample, "two runs on the same inputs differ")
        _check_output_shapes(sample, outputs, [f.shape for f in feeds])
        if sample.check:
            globals()[sample.check](sample, feeds, outputs)
    if c["batch"] == "static":
        wrong = _random_feeds(sample, rng, c["static_batch_size"] + 1, 16, force_batch=True)
        try:
            sess.run(None, dict(zip(names, wrong)))
        except Exception:
            pass
        else:
            _fail(sample, f"accepts batch {c['static_batch_size'] + 1} although its batch is static")

    facts = {"onnxruntime": ort.__version__, "onnx": onnx.__version__}
    if "min_profiled_layers" in c:
        layers, kernels = _count_profiled_layers(path, dict(zip(names, feeds)))
        if kernels < c["min_profiled_layers"]:
            _fail(sample, f"the CPU profile shows {kernels} distinct layers, expected at least "
                          f"{c['min_profiled_layers']}")
        facts.update(profiled_layer_names=layers, profiled_layers=kernels)
    return facts


_ORT_TYPE = {"float32": "float", "float64": "double", "int64": "int64"}


def _check_torch_inputs(sample: Sample, names: list[str]):
    want = [t["name"] for t in sample.contract["inputs"]]
    if names != want:
        _fail(sample, f"forward takes {names}, expected {want}")


def _verify_torch_module(sample: Sample, module) -> None:
    import numpy as np
    import torch

    c = sample.contract
    rng = np.random.default_rng(0)
    for batch, inner in _batch_variants(sample):
        feeds = _random_feeds(sample, rng, batch, inner)
        with torch.no_grad():
            outs = [module(*[torch.from_numpy(f) for f in feeds]) for _ in range(2)]
        results = []
        for out in outs:
            if c["output_form"] == "tuple":
                if not isinstance(out, tuple):
                    _fail(sample, f"returns {type(out).__name__}, expected a tuple")
                results.append([o.numpy() for o in out])
            else:
                if not isinstance(out, torch.Tensor):
                    _fail(sample, f"returns {type(out).__name__}, expected a tensor")
                results.append([out.numpy()])
        if not all(np.array_equal(a, b) for a, b in zip(*results)):
            _fail(sample, "two runs on the same inputs differ")
        _check_output_shapes(sample, results[0], [f.shape for f in feeds])


def verify_torch_package(sample: Sample, path: Path) -> dict:
    import inspect

    import torch
    from torch.package import PackageImporter

    c = sample.contract
    obj = PackageImporter(str(path)).load_pickle(c["package"], c["resource"])
    if c["object"] == "dict":
        if isinstance(obj, torch.nn.Module) or not isinstance(obj, dict):
            _fail(sample, f"the pickle holds a {type(obj)}, expected a dict")
        return {"keys": len(obj)}
    if not isinstance(obj, torch.nn.Module):
        _fail(sample, f"the pickle holds a {type(obj)}, expected a torch.nn.Module")
    if type(obj).__name__ != c["class"]:
        _fail(sample, f"the module is a {type(obj).__name__}, expected {c['class']}")
    _check_torch_inputs(sample, list(inspect.signature(obj.forward).parameters))
    _verify_torch_module(sample, obj.eval())
    return {"torch": torch.__version__}


def verify_torch_jit(sample: Sample, path: Path) -> dict:
    import torch

    module = torch.jit.load(str(path), map_location="cpu")
    if not isinstance(module, torch.jit.RecursiveScriptModule):
        _fail(sample, f"torch.jit.load gave a {type(module)}, expected a RecursiveScriptModule")
    _check_torch_inputs(sample, [a.name for a in module.forward.schema.arguments[1:]])
    _verify_torch_module(sample, module.eval())
    return {"torch": torch.__version__}


def verify_torch(sample: Sample, path: Path) -> dict:
    """Files no torch loader may accept."""
    import torch
    from torch.package import PackageImporter

    assert not sample.contract["loadable"]
    for loader in (lambda: PackageImporter(str(path)).load_pickle(TORCH_PACKAGE_NAME, TORCH_PACKAGE_RESOURCE),
                   lambda: torch.jit.load(str(path), map_location="cpu")):
        try:
            loader()
        except Exception:
            continue
        _fail(sample, "a torch loader accepted a file that must be refused")
    return {}


VERIFIERS = {
    "onnxruntime": verify_onnxruntime,
    "torch.package": verify_torch_package,
    "torch.jit": verify_torch_jit,
    "torch": verify_torch,
}


# --------------------------------------------------------------------------------------------------
# TensorRT samples: engines built with the test stand-ins under platform/ (never with a real TensorRT),
# some through the verification package's engine builder command line, the rest through the stand-in's
# builder API where the command line cannot make the profile (an OPT batch below the MAX batch, two
# profiles); plus the broken checkpoints that the back-end's error paths need.

TRT_STANDIN_PATHS = ("platform/tensorrt", "platform/pycuda", "platform/GPUtil")


def trt_samples() -> list[Sample]:
    def engine(name, path, builder, inputs, outputs, profiles, min_layers=1, form="checkpoint", **extra):
        contract = {"loader": "tensorrt", "form": form, "inputs": inputs, "outputs": outputs,
                    "profiles": profiles, "min_layers": min_layers, **extra}
        return Sample(name, path, "trt", builder, contract, extra.pop("description", name), "trt")

    def broken(name, path, form, detected, description):
        return Sample(name, path, "trt", "build_trt_broken", {"loader": "tensorrt", "form": form}, description,
                      detected)

    deep = [_t("input", ["batch", 3, 16, 16])]
    return [
        Sample("trt_deep_chain_onnx", "trt/deep_chain.onnx", "onnx", "build_onnx_deep_chain",
               _onnx_contract(deep, [_t("logits", ["batch", 10])], min_profiled_layers=22),
               "23-layer convolution chain, dynamic batch: the source of the dynamic-batch engine", "onnx"),
        engine("trt_dynamic_batch", "trt/dynamic_batch.pkl", "build_trt_engine_sample",
               [["input", [-1, 3, 16, 16], "float32"]], [["logits", [-1, 10], "float32"]],
               [{"input": [[1, 3, 16, 16], [8, 3, 16, 16], [64, 3, 16, 16]]}], min_layers=22),
        engine("trt_dynamic_batch_native", "trt/dynamic_batch.engine", "build_trt_engine_sample",
               [["input", [-1, 3, 16, 16], "float32"]], [["logits", [-1, 10], "float32"]],
               [{"input": [[1, 3, 16, 16], [8, 3, 16, 16], [64, 3, 16, 16]]}], min_layers=22, form="native"),
        engine("trt_static_batch", "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl", "build_trt_engine_sample",
               [["input", [1, 3, 224, 224], "float32"]], [["output", [1, 3, 224, 224], "float32"]],
               [{"input": [[1, 3, 224, 224]] * 3}]),
        engine("trt_five_inputs", "trt/five_inputs.pkl", "build_trt_engine_sample",
               [[n, [-1, 4], "float32"] for n in "abcde"], [["total", [-1, 4], "float32"]],
               [{n: [[1, 4], [4, 4], [4, 4]] for n in "abcde"}]),
        engine("trt_two_profiles", "trt/two_profiles.pkl", "build_trt_engine_sample",
               [["x", [-1, 4], "float32"]], [["y", [-1, 4], "float32"]],
               [{"x": [[1, 4], [2, 4], [4, 4]]}, {"x": [[1, 4], [8, 4], [16, 4]]}]),
        engine("trt_int32_index", "trt/int32_index.pkl", "build_trt_engine_sample",
               [["indices", [-1, 3], "int32"]], [["embeddings", [-1, 3, 4], "float32"]],
               [{"indices": [[1, 3], [8, 3], [8, 3]]}]),
        broken("trt_foreign_version", "trt/foreign_version.pkl", "foreign", "trt",
               "checkpoint whose engine carries another TensorRT release's version tag"),
        broken("trt_foreign_version_native", "trt/foreign_version.engine", "foreign_native", "trt",
               "raw engine with another TensorRT release's version tag"),
        broken("trt_missing_engine", "trt/missing_engine.pkl", "missing_engine", None,
               "pickled mapping without the \"engine\" key"),
        broken("trt_empty", "trt/empty.pkl", "empty", None, "empty file"),
        broken("trt_global_record", "trt/global_record.pkl", "global", None,
               "pickled mapping whose record names a global (collections.OrderedDict)"),
    ]


SAMPLE_SETS.append(trt_samples)


def build_onnx_deep_chain(sample: Sample, dest: Path) -> dict:
    return _save_onnx(sample, dest, *_deep_chain_graph())


def _deep_chain_graph():
    """Conv(3->8) and Relu, then nine Conv(8->8) and Relu pairs, pooling, flattening and a Gemm: 23 layers."""
    import numpy as np
    from onnx import helper, numpy_helper

    rng = np.random.default_rng(20)
    nodes, inits, prev, channels = [], [], "input", 3
    for i in range(10):
        w = numpy_helper.from_array((rng.standard_normal((8, channels, 3, 3)) * 0.3).astype(np.float32), f"w{i}")
        inits.append(w)
        nodes.append(helper.make_node("Conv", [prev, f"w{i}"], [f"c{i}"], name=f"conv{i}", pads=[1, 1, 1, 1]))
        nodes.append(helper.make_node("Relu", [f"c{i}"], [f"r{i}"], name=f"relu{i}"))
        prev, channels = f"r{i}", 8
    inits.append(numpy_helper.from_array(rng.standard_normal((10, 8)).astype(np.float32), "fc_w"))
    inits.append(numpy_helper.from_array(rng.standard_normal(10).astype(np.float32), "fc_b"))
    nodes += [helper.make_node("GlobalAveragePool", [prev], ["pooled"], name="pool"),
              helper.make_node("Flatten", ["pooled"], ["flat"], name="flatten"),
              helper.make_node("Gemm", ["flat", "fc_w", "fc_b"], ["logits"], name="fc", transB=1)]
    return nodes, inits


def _trt_onnx_bytes(sample: Sample) -> bytes:
    """The ONNX model an engine sample is built from."""
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    c = sample.contract
    types = {"float32": TensorProto.FLOAT, "int32": TensorProto.INT32}
    if sample.name.startswith("trt_dynamic_batch"):
        nodes, inits = _deep_chain_graph()
    elif sample.name == "trt_static_batch":
        nodes, inits = [helper.make_node("Identity", ["input"], ["output"], name="identity")], []
    elif sample.name == "trt_five_inputs":
        nodes, inits = [helper.make_node("Sum", list("abcde"), ["total"], name="sum")], []
    elif sample.name == "trt_two_profiles":
        nodes, inits = [helper.make_node("Relu", ["x"], ["y"], name="relu")], []
    elif sample.name == "trt_int32_index":
        table = numpy_helper.from_array(np.arange(40, dtype=np.float32).reshape(10, 4), "table")
        nodes, inits = [helper.make_node("Gather", ["table", "indices"], ["embeddings"], name="gather")], [table]
    else:
        raise SampleError(f"{sample.name}: no graph")

    def info(t):
        shape = ["batch" if d == -1 else d for d in t[1]]
        return helper.make_tensor_value_info(t[0], types[t[2]], shape)

    graph = helper.make_graph(nodes, sample.name, [info(t) for t in c["inputs"]], [info(t) for t in c["outputs"]],
                              inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", ONNX_OPSET)],
                              producer_name="ostrel-make-samples", doc_string=ONNX_DOC)
    model.ir_version = ONNX_IR_VERSION
    onnx.checker.check_model(model, full_check=True)
    return model.SerializeToString(deterministic=True)


def _trt_standins():
    """Puts the TensorRT, pycuda and GPUtil stand-ins first on sys.path (worker processes only) and keeps
    ostrel's log files out of the real home directory."""
    import tempfile

    for p in reversed(TRT_STANDIN_PATHS):
        full = str(REPO_ROOT / p)
        if full not in sys.path:
            sys.path.insert(0, full)
    if "ostrel" not in sys.modules:
        os.environ["HOME"] = tempfile.mkdtemp(prefix="make-samples-home-")


def _run_onnx_to_trt(argv: list[str], home: str):
    """Runs the verification package's engine builder command line in a child interpreter whose path
    holds the stand-ins (the machine probe then sees a GPU)."""
    import subprocess

    paths = [str(REPO_ROOT / p) for p in TRT_STANDIN_PATHS]
    env = dict(os.environ, HOME=home, PYTHONPATH=os.pathsep.join(paths))
    r = subprocess.run([sys.executable, "-m", "tests.test_utils.onnx_to_trt", *argv], env=env, cwd=home,
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise SampleError(f"the engine builder failed ({r.returncode}):\n{r.stdout}{r.stderr}")


def _standin_engine(sample: Sample, onnx_bytes: bytes, profiles) -> bytes:
    """A serialized engine of the stand-in builder, one optimization profile per entry of `profiles`."""
    _trt_standins()
    import tensorrt as trt

    logger = trt.Logger(trt.Logger.WARNING)
    with trt.Builder(logger) as builder, builder.create_network(1) as network, \
            builder.create_builder_config() as config, trt.OnnxParser(network, logger) as parser:
        if not parser.parse(onnx_bytes):
            raise SampleError(f"{sample.name}: the stand-in parser refused the model")
        for shapes in profiles:
            profile = builder.create_optimization_profile()
            for name, (lo, opt, hi) in shapes.items():
                profile.set_shape(name, min=lo, opt=opt, max=hi)
            config.add_optimization_profile(profile)
        blob = builder.build_serialized_network(network, config)
    if blob is None:
        raise SampleError(f"{sample.name}: the stand-in builder made no engine")
    return bytes(blob)


def _trt_engine_blob(sample: Sample) -> bytes:
    """Serialized engine of an engine sample. One profile from batch 1 to MAX with OPT = MAX is what the
    builder command line makes; other profiles are made through the builder API."""
    import pickle
    import tempfile

    c = sample.contract
    onnx_bytes = _trt_onnx_bytes(sample)
    profiles = c["profiles"]
    cli = len(profiles) == 1 and all(s[1] == s[2] for s in profiles[0].values())
    if cli:
        with tempfile.TemporaryDirectory() as tmp:
            src, out = Path(tmp) / "model.onnx", Path(tmp) / "model.pkl"
            src.write_bytes(onnx_bytes)
            max_batch = next(iter(profiles[0].values()))[2][0]
            _run_onnx_to_trt([str(src), str(out), "fp32", str(max_batch)], tmp)
            with open(out, "rb") as f:
                return pickle.load(f)["engine"]
    return _standin_engine(sample, onnx_bytes, profiles)


def _trt_checkpoint(blob: bytes) -> bytes:
    import pickle

    return pickle.dumps({"engine": blob, "compiler": "trt", "precision": "FP32"}, protocol=4)


def _trt_foreign(blob: bytes) -> bytes:
    import struct

    tag = struct.unpack_from("<I", blob, 8)[0]
    return blob[:8] + struct.pack("<I", tag ^ 0x00000100) + blob[12:]


def build_trt_engine_sample(sample: Sample, dest: Path) -> dict:
    blob = _trt_engine_blob(sample)
    dest.write_bytes(blob if sample.contract["form"] == "native" else _trt_checkpoint(blob))
    return {"engine_bytes": len(blob)}


def build_trt_broken(sample: Sample, dest: Path) -> dict:
    import collections
    import pickle

    form = sample.contract["form"]
    if form in ("foreign", "foreign_native"):
        blob = _trt_foreign(_trt_engine_blob(sample_by_name("trt_two_profiles")))
        dest.write_bytes(_trt_checkpoint(blob) if form == "foreign" else blob)
    elif form == "missing_engine":
        dest.write_bytes(pickle.dumps({"compiler": "trt", "precision": "FP32"}, protocol=4))
    elif form == "empty":
        dest.write_bytes(b"")
    elif form == "global":
        dest.write_bytes(pickle.dumps({"engine": collections.OrderedDict, "compiler": "trt"}, protocol=4))
    return {}


def verify_tensorrt(sample: Sample, path: Path) -> dict:
    import pickle
    import pickletools

    c = sample.contract
    data = path.read_bytes()
    form = c["form"]
    if form == "empty":
        _expect(sample, data == b"", "not empty")
        return {}
    if form == "missing_engine":
        _expect(sample, "engine" not in pickle.loads(data), "has an engine")
        return {}
    if form == "global":
        ops = {op.name for op, _, _ in pickletools.genops(data)}
        _expect(sample, bool(ops & {"GLOBAL", "STACK_GLOBAL"}), "names no global")
        return {}
    _trt_standins()
    import pycuda.autoinit  # noqa: F401 - a current context for deserialization
    import tensorrt as trt

    blob = data if form in ("native", "foreign_native") else pickle.loads(data)["engine"]
    messages = []

    class Capture(trt.ILogger):
        def __init__(self):
            trt.ILogger.__init__(self)

        def log(self, severity, msg):
            messages.append(msg)

    engine = trt.Runtime(Capture()).deserialize_cuda_engine(blob)
    if form.startswith("foreign"):
        _expect(sample, engine is None and any("tag does not match" in m for m in messages),
                "the stand-in runtime accepts the engine")
        return {}
    _expect(sample, engine is not None, f"the stand-in runtime refuses the engine: {messages}")
    per_profile = engine.num_bindings // engine.num_optimization_profiles
    _expect(sample, engine.num_optimization_profiles == len(c["profiles"]), "optimization profiles")
    _expect(sample, per_profile == len(c["inputs"]) + len(c["outputs"]), "bindings")
    for i, (name, shape, dtype) in enumerate(c["inputs"] + c["outputs"]):
        got = (engine.get_binding_name(i), list(engine.get_binding_shape(i)), trt.nptype(engine.get_binding_dtype(i)).__name__)
        _expect(sample, got == (name, shape, dtype), f"binding {i} is {got}")
    _expect(sample, engine.num_layers >= c["min_layers"], f"{engine.num_layers} layers")
    return {"num_layers": engine.num_layers}


VERIFIERS["tensorrt"] = verify_tensorrt


# --------------------------------------------------------------------------------------------------
# Example photos of the detection utilities: small scenes drawn with NumPy, stored as JPEG files in the
# folder layout that the detection check and load_random_example_image read.

EXAMPLE_IMAGES_DIR = "examples_utils/example_images"


def image_samples() -> list[Sample]:
    sizes = {"scene_square": (320, 320), "scene_wide": (360, 480), "scene_tall": (400, 200)}
    return [
        Sample(name, f"{EXAMPLE_IMAGES_DIR}/{name}.JPEG", "image", "build_example_image",
               {"loader": "image", "height": h, "width": w, "channels": 3},
               f"{h} x {w} colour photo for the detection utilities", None)
        for name, (h, w) in sizes.items()
    ]


def _draw_scene(sample: Sample):
    import numpy as np

    h, w = sample.contract["height"], sample.contract["width"]
    rng = np.random.default_rng(_seed(sample))
    yy, xx = np.mgrid[0:h, 0:w]
    img = np.empty((h, w, 3), np.uint8)  # blue, green, red
    img[..., 0] = (255 * yy / max(h - 1, 1)).astype(np.uint8)
    img[..., 1] = (255 * xx / max(w - 1, 1)).astype(np.uint8)
    img[..., 2] = 96
    for _ in range(4):
        y0, x0 = int(rng.integers(0, h // 2)), int(rng.integers(0, w // 2))
        img[y0:y0 + h // 3, x0:x0 + w // 3] = rng.integers(0, 256, 3, dtype=np.uint8)
    cy, cx, r = h // 2, w // 2, min(h, w) // 5
    img[(yy - cy) ** 2 + (xx - cx) ** 2 <= r * r] = (255, 255, 255)
    return img


def build_example_image(sample: Sample, dest: Path) -> dict:
    import cv2

    ok, data = cv2.imencode(".jpg", _draw_scene(sample), [cv2.IMWRITE_JPEG_QUALITY, 90])
    if not ok:
        _fail(sample, "JPEG encoding failed")
    dest.write_bytes(data.tobytes())
    return {}


def verify_image(sample: Sample, path: Path) -> dict:
    import cv2

    img = cv2.imread(str(path))
    c = sample.contract
    if img is None or img.shape != (c["height"], c["width"], c["channels"]):
        _fail(sample, f"unreadable or of the wrong shape: {None if img is None else img.shape}")
    return {}


VERIFIERS["image"] = verify_image
SAMPLE_SETS.append(image_samples)


# Value checks of single samples: (sample, input arrays, output arrays) -> None, raising on a mismatch.


def _expect(sample: Sample, ok: bool, what: str):
    if not ok:
        _fail(sample, f"wrong values: {what}")


def check_identity(sample, feeds, outputs):
    import numpy as np

    _expect(sample, np.array_equal(outputs[0], feeds[0]), "output differs from input")


def check_relu(sample, feeds, outputs):
    import numpy as np

    _expect(sample, np.array_equal(outputs[0], np.maximum(feeds[0], 0)), "not max(x, 0)")


def check_add(sample, feeds, outputs):
    import numpy as np

    _expect(sample, np.allclose(outputs[0], feeds[0] + feeds[1]), "not a + b")


def check_add_one(sample, feeds, outputs):
    import numpy as np

    _expect(sample, np.array_equal(outputs[0], feeds[0] + 1), "not ids + 1")


def check_doubled(sample, feeds, outputs):
    import numpy as np

    _expect(sample, all(np.array_equal(o, f * 2) for f, o in zip(feeds, outputs)), "not 2 * x")


def check_two_inputs(sample, feeds, outputs):
    import numpy as np

    image, scale = feeds
    _expect(sample, np.allclose(outputs[0], image.mean(axis=(2, 3)) * scale, atol=1e-6), "pooled")
    _expect(sample, np.array_equal(outputs[1], scale * 2), "doubled_scale")


def check_constant(sample, feeds, outputs):
    import numpy as np

    _expect(sample, np.array_equal(outputs[0], np.array([[1, 2, 3, 4]], dtype=np.float32)), "constant")


def check_softmax_mask(sample, feeds, outputs):
    import numpy as np

    mask = outputs[0]
    _expect(sample, bool(np.all(np.isfinite(mask))) and np.allclose(mask.sum(axis=1), 1, atol=1e-5),
            "mask is not a softmax over the class axis")
    _expect(sample, float(mask.std()) > 1e-4, "mask is constant")


# --------------------------------------------------------------------------------------------------
# TensorFlow 2 SavedModels (as ".zip" and ".tar.gz" archives of one top-level folder), Keras model files
# and TFLite flat buffers. Our own small nets, weights from a NumPy generator seeded per sample.

TF_IMAGE = ["batch", 224, 224, 3]


def _tf_contract(loader, inputs, outputs, **extra):
    first = inputs[0]["shape"][0]
    static = first if isinstance(first, int) else None
    c = {"loader": loader, "loadable": True, "inputs": inputs, "outputs": outputs, "input_dims": _dims(inputs),
         "batch": "static" if static else "dynamic", "static_batch_size": static}
    c.update(extra)
    return c


def _saved_model_sample(name, path, archive, folder, net, inputs, outputs, description):
    return Sample(name, path, "tf2", "build_saved_model_archive",
                  _tf_contract("tf.saved_model", inputs, outputs, archive=archive, folder=folder, net=net,
                               signature="serving_default"),
                  description, None, reproducible=False)


def tf_samples() -> list[Sample]:
    classifier_out = [_t("output_0", ["batch", 1000])]
    multi_in = [_t("inputs", ["batch", 32, 32, 3])]
    # In the signature's output order: by name (the mapping the call returns holds "scores" first).
    multi_out = [_t("embedding", ["batch", 8]), _t("scores", ["batch", 10])]
    samples = [
        _saved_model_sample(f"tf2_{stem}_{kind}", f"{stem}.{suffix}", suffix, stem, "classifier",
                            [_t("inputs", TF_IMAGE)], classifier_out,
                            f"SavedModel of a small conv classifier (tf.Module), {suffix} archive")
        for stem, kind, suffix in (("mobilenet_v2", "zip", "zip"), ("mobilenet_v2", "tar", "tar.gz"),
                                   ("efficientnet_b0", "zip", "zip"), ("resnet50", "zip", "zip"))
    ]
    samples += [
        _saved_model_sample("tf2_multi_output", "tf/multi_output.zip", "zip", "multi_output", "multi_output",
                            multi_in, multi_out,
                            "SavedModel whose call returns a mapping of two named outputs"),
        Sample("keras_mobilenetv2_h5", "mobilenetv2.keras.h5", "keras", "build_keras",
               _tf_contract("keras", [_t("input_2", TF_IMAGE)], [_t(None, ["batch", 1000])], net="classifier"),
               "small conv classifier with a softmax head, Keras HDF5 file", "keras", reproducible=False),
        Sample("keras_mobilenetv2_keras", "keras/mobilenetv2.keras", "keras", "build_keras",
               _tf_contract("keras", [_t("input_2", TF_IMAGE)], [_t(None, ["batch", 1000])], net="classifier"),
               "the same classifier in the native .keras format", "keras", reproducible=False),
        Sample("keras_two_inputs", "keras/two_inputs.keras", "keras", "build_keras",
               _tf_contract("keras", [_t("image", ["batch", 32, 32, 3]), _t("extra", ["batch", 10])],
                            [_t("logits", ["batch", 10]), _t("features", ["batch", 8])], net="two_inputs"),
               "two inputs (image, extra), two outputs", "keras", reproducible=False),
        Sample("tflite_mobilenet_v2", "mobilenet_v2_1.0_224.tflite", "tflite", "build_tflite",
               _tf_contract("tflite", [_t("input", [1, 224, 224, 3])], [_t(None, [1, 1000])], net="classifier"),
               "small conv classifier converted to TFLite; input tensor named 'input'", None, reproducible=False),
        Sample("tflite_two_inputs", "tflite/two_inputs.tflite", "tflite", "build_tflite",
               _tf_contract("tflite", [_t("image", [1, 32, 32, 3]), _t("extra", [1, 10])],
                            [_t(None, [1, 10]), _t(None, [1, 8])], net="two_inputs"),
               "two inputs (image, extra), two outputs, TFLite", None, reproducible=False),
    ]
    return samples


def _tf_weights(sample: Sample):
    import numpy as np

    # Archives of one SavedModel folder hold the same weights, whatever their format.
    folder = sample.contract.get("folder")
    rng = np.random.default_rng(zlib.crc32(folder.encode()) if folder else _seed(sample))
    return lambda *shape: (rng.standard_normal(shape) * 0.1).astype(np.float32)


def _tf_module(sample: Sample):
    """A tf.Module whose __call__ takes the contract's inputs by name (a fixed or free batch)."""
    import tensorflow as tf

    c = sample.contract
    w = _tf_weights(sample)
    specs = [tf.TensorSpec([None if isinstance(d, str) else d for d in t["shape"]], tf.float32, name=t["name"])
             for t in c["inputs"]]

    module = tf.Module()
    if c["net"] == "classifier":
        module.kernel, module.dense = tf.Variable(w(3, 3, 3, 8)), tf.Variable(w(8, 1000))

        def call(inputs):
            y = tf.nn.relu(tf.nn.conv2d(inputs, module.kernel, 4, "SAME"))
            return tf.matmul(tf.reduce_mean(y, [1, 2]), module.dense)
    elif c["net"] == "multi_output":
        module.kernel, module.scores = tf.Variable(w(3, 3, 3, 8)), tf.Variable(w(8, 10))

        def call(inputs):
            features = tf.reduce_mean(tf.nn.relu(tf.nn.conv2d(inputs, module.kernel, 2, "SAME")), [1, 2])
            return {"scores": tf.matmul(features, module.scores), "embedding": features}
    else:
        module.kernel, module.extra = tf.Variable(w(3, 3, 3, 10)), tf.Variable(w(10, 8))

        def call(image, extra):
            features = tf.reduce_mean(tf.nn.relu(tf.nn.conv2d(image, module.kernel, 1, "SAME")), [1, 2])
            return features + extra, tf.matmul(extra, module.extra)
    module.__call__ = tf.function(call, input_signature=specs)
    return module


def _archive_tree(src: Path, dest: Path, kind: str, folder: str) -> None:
    """Writes src's files into a zip or tar.gz archive under `folder/`, in sorted order, fixed times."""
    import tarfile
    import zipfile

    files = sorted(p for p in src.rglob("*") if p.is_file())
    if kind == "zip":
        with zipfile.ZipFile(dest, "w", compression=zipfile.ZIP_DEFLATED) as z:
            for p in files:
                info = zipfile.ZipInfo(f"{folder}/{p.relative_to(src).as_posix()}", date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = 0o644 << 16
                z.writestr(info, p.read_bytes(), compress_type=zipfile.ZIP_DEFLATED)
    else:
        def clean(info):
            info.mtime, info.uid, info.gid, info.uname, info.gname = 0, 0, 0, "", ""
            return info

        with tarfile.open(dest, "w:gz") as t:
            for p in files:
                t.add(p, arcname=f"{folder}/{p.relative_to(src).as_posix()}", recursive=False, filter=clean)


def build_saved_model_archive(sample: Sample, dest: Path) -> dict:
    import tempfile

    import tensorflow as tf

    c = sample.contract
    module = _tf_module(sample)
    with tempfile.TemporaryDirectory(prefix="ostrel-saved-model-") as tmp:
        tf.saved_model.save(module, tmp, signatures={"serving_default": module.__call__})
        _archive_tree(Path(tmp), dest, "zip" if c["archive"] == "zip" else "tar", c["folder"])
    return {"tensorflow": tf.version.VERSION}


def _keras_model(sample: Sample):
    import keras

    c = sample.contract
    keras.utils.set_random_seed(_seed(sample))
    L = keras.layers
    inputs = [keras.Input(shape=tuple(t["shape"][1:]), name=t["name"]) for t in c["inputs"]]
    if c["net"] == "classifier":
        y = L.GlobalAveragePooling2D()(L.Conv2D(8, 3, strides=4, activation="relu")(inputs[0]))
        return keras.Model(inputs[0], L.Dense(1000, activation="softmax")(y))
    image, extra = inputs
    features = L.GlobalAveragePooling2D()(L.Conv2D(10, 3, activation="relu")(image))
    logits = L.Add(name="logits")([features, extra])
    return keras.Model(inputs, [logits, L.Dense(8, name="features")(extra)])


def build_keras(sample: Sample, dest: Path) -> dict:
    import keras

    model = _keras_model(sample)
    # Keras picks the format from the suffix; the temporary name keeps the final one.
    target = dest.with_name(dest.name + Path(sample.path).suffix)
    model.save(target)
    os.replace(target, dest)
    return {"keras": keras.__version__, "parameters": int(model.count_params())}


def build_tflite(sample: Sample, dest: Path) -> dict:
    import tensorflow as tf
    from tensorflow.lite.tools import flatbuffer_utils

    c = sample.contract
    module = _tf_module(sample)
    converter = tf.lite.TFLiteConverter.from_concrete_functions([module.__call__.get_concrete_function()], module)
    model = flatbuffer_utils.convert_bytearray_to_object(bytearray(converter.convert()))
    # The converter names the input tensors after the signature ("serving_default_input:0"); the
    # contract names them as the model's callers know them.
    graph = model.subgraphs[0]
    by_signature = {s.name.decode(): s.tensorIndex for s in model.signatureDefs[0].inputs}
    for t in c["inputs"]:
        graph.tensors[by_signature[t["name"]]].name = t["name"].encode()
    graph.inputs = [by_signature[t["name"]] for t in c["inputs"]]
    outputs = sorted((s.name.decode(), s.tensorIndex) for s in model.signatureDefs[0].outputs)
    graph.outputs = [index for _, index in outputs]  # output_0, output_1, ... as the function returns them
    dest.write_bytes(bytes(flatbuffer_utils.convert_object_to_bytearray(model)))
    return {"tensorflow": tf.version.VERSION}


def _tf_feeds(sample: Sample, batch: int) -> list:
    import numpy as np

    rng = np.random.default_rng(0)
    return _random_feeds(sample, rng, batch, 1)


def verify_saved_model(sample: Sample, path: Path) -> dict:
    import tarfile
    import tempfile
    import zipfile

    import numpy as np
    import tensorflow as tf

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-verify-") as tmp:
        if c["archive"] == "zip":
            with zipfile.ZipFile(path) as z:
                names = z.namelist()
                z.extractall(tmp)
        else:
            with tarfile.open(path) as t:
                names = t.getnames()
                t.extractall(tmp, filter="data")
        if {n.split("/")[0] for n in names} != {c["folder"]}:
            _fail(sample, f"archive roots {sorted({n.split('/')[0] for n in names})}, expected {c['folder']!r}")
        model = tf.saved_model.load(os.path.join(tmp, c["folder"]))
        signature = model.signatures[c["signature"]]
        usable = [t for t in signature.inputs if t.shape.rank]
        got = [(t.name.split(":")[0], [None if d is None else d for d in t.shape]) for t in usable]
        want = [(t["name"], [None if isinstance(d, str) else d for d in t["shape"]]) for t in c["inputs"]]
        if got != want:
            _fail(sample, f"signature inputs {got}, expected {want}")
        for batch, _ in _batch_variants(sample):
            feeds = _tf_feeds(sample, batch)
            out = model(**{t["name"]: f for t, f in zip(c["inputs"], feeds)})
            ordered = [out[k] for k in sorted(signature.structured_outputs)] if isinstance(out, dict) else [out]
            _check_output_shapes(sample, [o.numpy() for o in ordered], [f.shape for f in feeds])
            again = model(*feeds)
            again = [again[k] for k in sorted(signature.structured_outputs)] if isinstance(again, dict) else [again]
            if not all(np.array_equal(a.numpy(), b.numpy()) for a, b in zip(ordered, again)):
                _fail(sample, "calls by name and by position differ")
        names = sorted(signature.structured_outputs)
        if isinstance(out, dict) and names != [t["name"] for t in c["outputs"]]:
            _fail(sample, f"signature outputs {names}")
    return {"tensorflow": tf.version.VERSION, "signature_outputs": names}


def verify_keras(sample: Sample, path: Path) -> dict:
    import numpy as np
    import tensorflow as tf

    import tempfile

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-verify-") as tmp:
        # Keras picks the format from the suffix, which the file being built does not carry yet.
        named = Path(tmp) / Path(sample.path).name
        named.symlink_to(Path(path).resolve())
        model = tf.keras.models.load_model(named)
    got = [(t.name, list(t.shape)) for t in model.inputs]
    want = [(t["name"], [None if isinstance(d, str) else d for d in t["shape"]]) for t in c["inputs"]]
    if got != want:
        _fail(sample, f"inputs {got}, expected {want}")
    for batch, _ in _batch_variants(sample):
        feeds = _tf_feeds(sample, batch)
        out = model.predict(feeds if len(feeds) > 1 else feeds[0], verbose=0)
        out = out if isinstance(out, list) else [out]
        _check_output_shapes(sample, out, [f.shape for f in feeds])
        if not all(np.all(np.isfinite(o)) for o in out):
            _fail(sample, "non-finite outputs")
    return {"keras": tf.keras.__version__}


def verify_tflite(sample: Sample, path: Path) -> dict:
    import numpy as np
    from ai_edge_litert.interpreter import Interpreter

    c = sample.contract
    interpreter = Interpreter(str(path), num_threads=1)
    interpreter.allocate_tensors()
    details = interpreter.get_input_details()
    got = [(d["name"], d["shape"].tolist(), str(np.dtype(d["dtype"]))) for d in details]
    want = [(t["name"], t["shape"], t["dtype"]) for t in c["inputs"]]
    if got != want:
        _fail(sample, f"inputs {got}, expected {want}")
    if Path(path).read_bytes()[4:8] != b"TFL3":
        _fail(sample, "no TFL3 file identifier at offset 4")
    feeds = _tf_feeds(sample, 1)
    for d, f in zip(details, feeds):
        interpreter.set_tensor(d["index"], f)
    interpreter.invoke()
    out = [interpreter.get_tensor(d["index"]) for d in interpreter.get_output_details()]
    _check_output_shapes(sample, out, [f.shape for f in feeds])
    return {}


SAMPLE_SETS.append(tf_samples)
VERIFIERS.update({"tf.saved_model": verify_saved_model, "keras": verify_keras, "tflite": verify_tflite})


# --------------------------------------------------------------------------------------------------
# Conformance checks: TensorRT engines of the TensorRT check class (built over the stand-ins).

DECODER_FEATURES = [("features_1", [243, 30, 40]), ("features_2", [172, 60, 80]), ("features_3", [102, 120, 160]),
                    ("features_4", [64, 240, 320]), ("features_5", [153, 15, 20])]


def conformance_samples() -> list[Sample]:
    def engine(name, path, inputs, outputs, profiles, min_layers, description):
        contract = {"loader": "tensorrt", "form": "checkpoint", "inputs": inputs, "outputs": outputs,
                    "profiles": profiles, "min_layers": min_layers}
        return Sample(name, path, "trt", "build_conformance_trt_engine", contract, description, "trt")

    image = [1, 3, 224, 224]
    return [
        engine("conformance_trt_classifier", "conformance/zorvik_imagenet_resnet18_PEXA.RTX3070.pkl",
               [["input", [-1, 3, 224, 224], "float32"]], [["output", [-1, 3], "float32"]],
               [{"input": [image, [8, 3, 224, 224], [64, 3, 224, 224]]}], 23,
               "22 element-wise layers over a (3, 224, 224) float32 input and a spatial mean, dynamic batch"),
        engine("conformance_trt_decoder", "models_for_platform_testing/segmentation/trt/decoder_rtx3070_fp16_bs1.pkl",
               [[n, [1, *d], "float32"] for n, d in DECODER_FEATURES], [["total", [1], "float32"]],
               [{n: [[1, *d]] * 3 for n, d in DECODER_FEATURES}], 6,
               "five-input engine with the decoder's feature shapes, static batch 1"),
    ]


def _conformance_trt_onnx(sample: Sample) -> bytes:
    import numpy as np
    from onnx import TensorProto, helper, numpy_helper

    if sample.name == "conformance_trt_classifier":
        inits = [numpy_helper.from_array(np.array(0.5, np.float32), "half"),
                 numpy_helper.from_array(np.array(0.25, np.float32), "quarter")]
        nodes, prev = [], "input"
        for i in range(11):
            nodes.append(helper.make_node("Mul", [prev, "half"], [f"m{i}"], name=f"scale{i}"))
            nodes.append(helper.make_node("Add", [f"m{i}", "quarter"], [f"a{i}"], name=f"shift{i}"))
            prev = f"a{i}"
        nodes.append(helper.make_node("ReduceMean", [prev], ["output"], name="mean", axes=[2, 3], keepdims=0))
    else:
        inits = [numpy_helper.from_array(np.array([1, 2, 3], np.int64), "axes")]
        nodes = [helper.make_node("ReduceSum", [n, "axes"], [f"s_{n}"], name=f"sum_{n}", keepdims=0)
                 for n, _ in DECODER_FEATURES]
        nodes.append(helper.make_node("Sum", [f"s_{n}" for n, _ in DECODER_FEATURES], ["total"], name="total"))

    def info(t):
        return helper.make_tensor_value_info(t[0], TensorProto.FLOAT, ["batch" if d == -1 else d for d in t[1]])

    c = sample.contract
    graph = helper.make_graph(nodes, sample.name, [info(t) for t in c["inputs"]], [info(t) for t in c["outputs"]],
                              inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", ONNX_OPSET)],
                              producer_name="ostrel-make-samples", doc_string=ONNX_DOC)
    model.ir_version = ONNX_IR_VERSION
    return model.SerializeToString()


def build_conformance_trt_engine(sample: Sample, dest: Path) -> dict:
    blob = _standin_engine(sample, _conformance_trt_onnx(sample), sample.contract["profiles"])
    dest.write_bytes(_trt_checkpoint(blob))
    return {"engine_bytes": len(blob)}


SAMPLE_SETS.append(conformance_samples)


# Conformance checks: a small detector and three photographs for the ONNX detection check. The detector's
# one candidate box is computed from the image: its class follows the dominant colour (red: person,
# green: cat, blue: dog) and its box the colour balance, in the candidate layout of non-maximum suppression
# (centre x, centre y, width, height, objectness, 80 class scores).

DETECTION_PHOTOS = {"cat": (40, 220, 60), "person": (230, 50, 40), "dog": (50, 60, 230)}  # RGB of the subject


def detection_samples() -> list[Sample]:
    return [
        Sample("conformance_detector", "yolov5m.onnx", "onnx", "build_conformance_detector",
               _onnx_contract([_t("images", [1, 3, 320, 320])], [_t("output", [1, 1, 85])]),
               "one-candidate detector whose class follows the image's dominant colour", "onnx"),
    ] + [
        Sample(f"conformance_photo_{label}", f"conformance/photos/{label}.jpg", "image", "build_conformance_photo",
               {"loader": "image", "height": 240, "width": 320, "channels": 3},
               f"photograph whose subject the detector takes for a {label}", None)
        for label in DETECTION_PHOTOS
    ]


def build_conformance_detector(sample: Sample, dest: Path) -> dict:
    import numpy as np
    from onnx import helper, numpy_helper

    scores = np.full((3, 80), 0.0, np.float32)
    bias = np.full(80, -20.0, np.float32)
    for channel, class_id in ((0, 0), (1, 15), (2, 16)):  # red: person, green: cat, blue: dog
        scores[:, class_id] = -12.0
        scores[channel, class_id] = 24.0
        bias[class_id] = 0.0
    box = np.array([[160, 0, 0, 0], [0, 160, 0, 0], [-160, -160, 0, 0]], np.float32)
    inits = [numpy_helper.from_array(scores, "class_weights"), numpy_helper.from_array(bias, "class_bias"),
             numpy_helper.from_array(box, "box_weights"),
             numpy_helper.from_array(np.array([160, 160, 200, 160], np.float32), "box_bias"),
             numpy_helper.from_array(np.ones((3, 1), np.float32), "sum_weights"),
             numpy_helper.from_array(np.array([1, 1, 85], np.int64), "candidate_shape")]
    nodes = [
        helper.make_node("ReduceMean", ["images"], ["means4"], axes=[2, 3], keepdims=0, name="means"),
        helper.make_node("MatMul", ["means4", "class_weights"], ["logits_raw"], name="class_logits"),
        helper.make_node("Add", ["logits_raw", "class_bias"], ["logits"], name="class_bias_add"),
        helper.make_node("Sigmoid", ["logits"], ["class_scores"], name="class_scores"),
        helper.make_node("MatMul", ["means4", "box_weights"], ["box_raw"], name="box"),
        helper.make_node("Add", ["box_raw", "box_bias"], ["boxes"], name="box_bias_add"),
        helper.make_node("MatMul", ["means4", "sum_weights"], ["brightness"], name="brightness"),
        helper.make_node("Sigmoid", ["brightness"], ["objectness"], name="objectness"),
        helper.make_node("Concat", ["boxes", "objectness", "class_scores"], ["candidate"], axis=1, name="concat"),
        helper.make_node("Reshape", ["candidate", "candidate_shape"], ["output"], name="reshape"),
    ]
    return _save_onnx(sample, dest, nodes, inits)


def build_conformance_photo(sample: Sample, dest: Path) -> dict:
    import cv2
    import numpy as np

    label = sample.name.rsplit("_", 1)[1]
    h, w = sample.contract["height"], sample.contract["width"]
    rng = np.random.default_rng(_seed(sample))
    img = rng.integers(0, 40, (h, w, 3), dtype=np.uint8)  # dim noise, blue-green-red
    r, g, b = DETECTION_PHOTOS[label]
    yy, xx = np.mgrid[0:h, 0:w]
    subject = ((yy - h / 2) / (h * 0.45)) ** 2 + ((xx - w / 2) / (w * 0.45)) ** 2 <= 1
    img[subject] = (b, g, r)
    ok, data = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, 90])
    if not ok:
        _fail(sample, "JPEG encoding failed")
    dest.write_bytes(data.tobytes())
    return {}


SAMPLE_SETS.append(detection_samples)

# Core ML samples: small neural networks written with coremltools' NeuralNetworkBuilder (exact-rank
# shapes, random weights). Reading them needs coremltools only; predicting needs Apple's Core ML runtime.

_COREML_TYPES = {"float32": "FLOAT32", "float64": "DOUBLE", "int32": "INT32", "float16": "FLOAT16"}


def _coreml_contract(inputs, outputs, net, spec_version=4):
    return {"loader": "coremltools", "loadable": True, "inputs": inputs, "outputs": outputs, "net": net,
            "spec_version": spec_version, "input_dims": _dims(inputs), "batch": "static",
            "static_batch_size": 1}


def coreml_samples() -> list[Sample]:
    vec = [1, 16]
    return [
        Sample("coreml_mobilenet_v2", "mobilenet_v2_bs1_fp32.mlmodel", "coreml", "build_coreml",
               _coreml_contract([_t("input", [1, 3, 224, 224])], [_t("probabilities", [1, 10])],
                                "conv_classifier"),
               "conv (same, stride 2), relu, conv (valid, stride 4), relu, flatten, inner product, softmax; "
               "carries the converter's metadata", "coreml"),
        Sample("coreml_int32_input", "coreml/int32_input.mlmodel", "coreml", "build_coreml",
               _coreml_contract([_t("ids", vec, "int32")], [_t("scores", [1, 4])], "dense"),
               "one int32 input, inner product", None),
        Sample("coreml_double_input", "coreml/double_input.mlmodel", "coreml", "build_coreml",
               _coreml_contract([_t("x", vec, "float64")], [_t("y", [1, 4], "float64")], "dense"),
               "one double input, inner product, double output", None),
        Sample("coreml_two_inputs", "coreml/two_inputs.mlmodel", "coreml", "build_coreml",
               _coreml_contract([_t("features", vec), _t("offsets", vec, "int32")], [_t("scores", [1, 4])],
                                "add_dense"),
               "float32 and int32 inputs: add, relu, inner product", None),
        Sample("coreml_float16_input", "coreml/float16_input.mlmodel", "coreml", "build_coreml",
               _coreml_contract([_t("half", vec, "float16"), _t("x", vec)], [_t("sum", vec)], "add",
                                spec_version=7),
               "a float16 input (an element type outside the back-end's table) before a float32 one", None),
    ]


def _coreml_builder(sample: Sample):
    from coremltools.models import datatypes
    from coremltools.models.neural_network import NeuralNetworkBuilder

    c = sample.contract
    return NeuralNetworkBuilder([(t["name"], datatypes.Array(*t["shape"])) for t in c["inputs"]],
                                [(t["name"], datatypes.Array(*t["shape"])) for t in c["outputs"]],
                                disable_rank5_shape_mapping=True)


def build_coreml(sample: Sample, dest: Path) -> dict:
    import coremltools as ct
    import numpy as np
    from coremltools.proto import FeatureTypes_pb2

    c = sample.contract
    rng = np.random.default_rng(_seed(sample))
    builder = _coreml_builder(sample)
    names = [t["name"] for t in c["inputs"]]
    out = c["outputs"][0]["name"]

    def dense(name, source, target, n_in, n_out):
        w = rng.standard_normal((n_out, n_in), dtype=np.float32) / np.sqrt(n_in)
        b = rng.standard_normal(n_out, dtype=np.float32) * 0.1
        builder.add_inner_product(name, W=w, b=b, input_channels=n_in, output_channels=n_out, has_bias=True,
                                  input_name=source, output_name=target)

    def conv(name, source, target, c_in, c_out, k, stride, mode):
        w = rng.standard_normal((c_out, c_in, k, k), dtype=np.float32) / np.sqrt(c_in * k * k)
        b = rng.standard_normal(c_out, dtype=np.float32) * 0.1
        # The builder takes the kernel as (height, width, input channels, output channels).
        builder.add_convolution(name, kernel_channels=c_in, output_channels=c_out, height=k, width=k,
                                stride_height=stride, stride_width=stride, border_mode=mode, groups=1,
                                W=w.transpose(2, 3, 1, 0), b=b, has_bias=True, input_name=source,
                                output_name=target)

    net = c["net"]
    if net == "conv_classifier":
        conv("conv1", names[0], "conv1_out", 3, 8, 3, 2, "same")
        builder.add_activation("relu1", "RELU", "conv1_out", "relu1_out")
        conv("conv2", "relu1_out", "conv2_out", 8, 8, 4, 4, "valid")
        builder.add_activation("relu2", "RELU", "conv2_out", "relu2_out")
        builder.add_flatten_to_2d("flatten", "relu2_out", "flat", axis=1)
        dense("fc", "flat", "logits", 8 * 28 * 28, 10)
        builder.add_softmax_nd("softmax", "logits", out, axis=-1)
    elif net == "dense":
        dense("fc", names[0], out, 16, 4)
    elif net == "add_dense":
        builder.add_elementwise("add", names, "summed", "ADD")
        builder.add_activation("relu", "RELU", "summed", "relu_out")
        dense("fc", "relu_out", out, 16, 4)
    elif net == "add":
        builder.add_elementwise("add", names, out, "ADD")
    else:
        raise SampleError(f"{sample.path}: unknown net {net!r}")

    spec = builder.spec
    spec.specificationVersion = c["spec_version"]
    array_type = FeatureTypes_pb2.ArrayFeatureType.ArrayDataType
    for features, tensors in ((spec.description.input, c["inputs"]), (spec.description.output, c["outputs"])):
        for feature, t in zip(features, tensors):
            feature.type.multiArrayType.dataType = array_type.Value(_COREML_TYPES[t["dtype"]])
    if sample.detected_as == "coreml":
        # What coremltools' converters record in every model they write.
        spec.description.metadata.userDefined["com.github.apple.coremltools.version"] = ct.__version__
        spec.description.metadata.userDefined["com.github.apple.coremltools.source"] = "ostrel_samples"
    dest.write_bytes(spec.SerializeToString())  # what save_spec writes for an .mlmodel path
    return {"coremltools": ct.__version__, "layers": len(spec.neuralNetwork.layers)}


def verify_coreml(sample: Sample, path: Path) -> dict:
    import coremltools as ct
    from coremltools.proto import FeatureTypes_pb2

    c = sample.contract
    model = ct.models.MLModel(str(path), compute_units=ct.ComputeUnit.CPU_ONLY)
    spec = model.get_spec()
    if spec.WhichOneof("Type") != "neuralNetwork" or spec.specificationVersion != c["spec_version"]:
        _fail(sample, f"a {spec.WhichOneof('Type')} model of version {spec.specificationVersion}, expected a "
                      f"neuralNetwork of version {c['spec_version']}")
    if list(model.input_description) != [t["name"] for t in c["inputs"]]:
        _fail(sample, f"inputs are {list(model.input_description)}")
    array_type = FeatureTypes_pb2.ArrayFeatureType.ArrayDataType
    for kind, features, want in (("input", spec.description.input, c["inputs"]),
                                 ("output", spec.description.output, c["outputs"])):
        got = [(f.name, list(f.type.multiArrayType.shape), array_type.Name(f.type.multiArrayType.dataType))
               for f in features]
        expected = [(t["name"], t["shape"], _COREML_TYPES[t["dtype"]]) for t in want]
        if got != expected:
            _fail(sample, f"{kind}s are {got}, expected {expected}")
    return {"coremltools": ct.__version__}


SAMPLE_SETS.append(coreml_samples)
VERIFIERS["coremltools"] = verify_coreml

# --------------------------------------------------------------------------------------------------
# OpenVINO: IR pairs (".xml" description and ".bin" weights) converted from generated ONNX models,
# pickled checkpoints written as our checkpoint producer writes them (the description re-serialised by
# ElementTree and encrypted with FilesDataInterface.encrypt_file, the weights, an optional mapping text,
# one pickle record each), zipped checkpoints, and damaged or hostile variants of both.
#
# The IR is two files, a sample one file: each pair is two samples built from the same conversion,
# which is deterministic, so the two halves built by separate workers belong together (the verifier
# converts again and compares).

OV_RESNET_B1_PKL = "resnet50_batchsize_1_mac_i5_openvino.pkl"
OV_RESNEXT_B16_PKL = "cpu_optimized_models/resnext_101_32x4d_optimized_batch=16.pkl"
OV_RESNET_B64_ZIP = "cpu_optimized_models/resnet50_batch=64.zip"
# Written by the hostile pickled sample's first record, relative to the working folder of whoever
# unpickles it with the standard unpickler.
OV_UNPICKLE_MARKER = "ostrel-openvino-record-was-run.txt"


def _ov_io(net: str, batch: int) -> tuple[list, list]:
    if net == "convnet":
        return [_t("input", [batch, 3, 224, 224])], [_t("output", [batch, 10])]
    if net == "two_inputs":
        return ([_t("image", [batch, 3, 32, 32]), _t("scale", [batch, 1])],
                [_t("pooled", [batch, 3]), _t("doubled_scale", [batch, 1])])
    raise KeyError(net)


def _ov_contract(form: str, net: str, batch: int, fp16_weights: bool = False, **extra) -> dict:
    inputs, outputs = _ov_io(net, batch)
    c = {"loader": "openvino", "loadable": True, "form": form, "net": net, "fp16_weights": fp16_weights,
         "inputs": inputs, "outputs": outputs, "input_dims": _dims(inputs), "batch": "static",
         "static_batch_size": batch}
    c.update(extra)
    return c


def _ov_ir_pair(name: str, path_stem: str, net: str, batch: int, description: str,
                fp16_weights: bool = False) -> list[Sample]:
    return [Sample(f"{name}_{part}", f"{path_stem}.{part}", "openvino", "build_openvino_ir",
                   _ov_contract(f"ir-{part}", net, batch, fp16_weights), f"{description} ({part} half)",
                   None, reproducible=part == "bin") for part in ("xml", "bin")]


def openvino_samples() -> list[Sample]:
    bad = {"loader": "openvino", "loadable": False}
    pairs = (_ov_ir_pair("openvino_ir_b1", "openvino/convnet_batch_1", "convnet", 1,
                         "small conv net IR, input 'input' (1,3,224,224)")
             + _ov_ir_pair("openvino_ir_b16", "openvino/convnet_batch_16", "convnet", 16,
                           "small conv net IR, static batch 16")
             + _ov_ir_pair("openvino_ir_b64", "openvino/convnet_batch_64", "convnet", 64,
                           "small conv net IR, static batch 64")
             + _ov_ir_pair("openvino_ir_fp16", "openvino/convnet_fp16_batch_1", "convnet", 1,
                           "small conv net IR with FP16-compressed weights", fp16_weights=True)
             + _ov_ir_pair("openvino_ir_two_inputs", "openvino/two_inputs_batch_1", "two_inputs", 1,
                           "two inputs, two outputs, static batch 1"))
    return pairs + [
        Sample("openvino_pkl_b1", OV_RESNET_B1_PKL, "openvino", "build_openvino_pickle",
               _ov_contract("pkl", "convnet", 1, records=2, xml_record="encrypted"),
               "pickled checkpoint (encrypted description, weights), batch 1", None, reproducible=False),
        Sample("openvino_pkl_b16", OV_RESNEXT_B16_PKL, "openvino", "build_openvino_pickle",
               _ov_contract("pkl", "convnet", 16, records=2, xml_record="encrypted"),
               "pickled checkpoint, static batch 16", None, reproducible=False),
        Sample("openvino_zip_b64", OV_RESNET_B64_ZIP, "openvino", "build_openvino_zip",
               _ov_contract("zip", "convnet", 64, members=["resnet50_batch=64.xml", "resnet50_batch=64.bin"],
                            xml_member="resnet50_batch=64.xml"),
               "zipped checkpoint, description and weights at the archive root, batch 64", None,
               reproducible=False),
        Sample("openvino_pkl_plain_xml", "openvino/plain_xml_record.pkl", "openvino", "build_openvino_pickle",
               _ov_contract("pkl", "convnet", 1, records=2, xml_record="plain"),
               "pickled checkpoint whose first record is the description in clear", None, reproducible=False),
        Sample("openvino_pkl_mapping", "openvino/with_mapping.pkl", "openvino", "build_openvino_pickle",
               _ov_contract("pkl", "two_inputs", 1, records=3, xml_record="encrypted",
                            mapping="<mapping>\n</mapping>\n"),
               "pickled checkpoint with a third record, the mapping text", "openvino", reproducible=False),
        Sample("openvino_pkl_one_record", "openvino/one_record.pkl", "openvino", "build_openvino_pickle",
               dict(bad, form="pkl", net="convnet", batch_size=1, records=1, expect="no weights record"),
               "pickled checkpoint holding the description only", None, reproducible=False),
        Sample("openvino_pkl_empty", "openvino/empty.pkl", "openvino", "build_openvino_pickle",
               dict(bad, form="pkl", records=0, expect="empty file"), "an empty .pkl file", None),
        Sample("openvino_pkl_global", "openvino/names_a_global.pkl", "openvino", "build_openvino_pickle",
               dict(bad, form="pkl", records=1, expect="global", creates=OV_UNPICKLE_MARKER),
               "first record calls builtins.open when unpickled (creates a file in the working folder)",
               None),
        Sample("openvino_zip_subfolder", "openvino/in_subfolder.zip", "openvino", "build_openvino_zip",
               _ov_contract("zip", "convnet", 1, members=["README.txt", "model/ir.xml", "model/ir.bin"],
                            xml_member="model/ir.xml"),
               "zipped checkpoint with the model in a sub-folder beside another member", None,
               reproducible=False),
        Sample("openvino_zip_upper_case", "openvino/upper_case_name.zip", "openvino", "build_openvino_zip",
               dict(bad, form="zip", net="convnet", batch_size=1, members=["MODEL.XML", "MODEL.BIN"],
                    expect="no xml member"),
               "zipped checkpoint whose description is named MODEL.XML", None),
        Sample("openvino_zip_parent_member", "openvino/parent_member.zip", "openvino", "build_openvino_zip",
               dict(bad, form="zip", net="convnet", batch_size=1, members=["../../x/m.xml", "../../x/m.bin"],
                    expect="member outside"),
               "zipped checkpoint whose members climb out of the extraction folder", None),
    ]


_OV_ONNX_TYPES = {"float32": 1}  # onnx.TensorProto.FLOAT


def _ov_onnx(net: str, batch: int, seed: int):
    """The source ONNX model of a network."""
    import numpy as np
    from onnx import helper

    inputs, outputs = _ov_io(net, batch)
    rng = np.random.default_rng(seed)
    if net == "convnet":
        w1 = (rng.standard_normal((8, 3, 3, 3)) * 0.3).astype(np.float32)
        b1 = (rng.standard_normal(8) * 0.1).astype(np.float32)
        w2 = (rng.standard_normal((10, 8)) * 0.3).astype(np.float32)
        b2 = (rng.standard_normal(10) * 0.1).astype(np.float32)
        inits = [_const("conv.weight", w1), _const("conv.bias", b1), _const("fc.weight", w2), _const("fc.bias", b2)]
        nodes = [
            helper.make_node("Conv", ["input", "conv.weight", "conv.bias"], ["conv"], name="conv",
                             kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1]),
            helper.make_node("Relu", ["conv"], ["relu"], name="relu"),
            helper.make_node("GlobalAveragePool", ["relu"], ["pool"], name="pool"),
            helper.make_node("Flatten", ["pool"], ["flat"], name="flatten", axis=1),
            helper.make_node("Gemm", ["flat", "fc.weight", "fc.bias"], ["output"], name="fc", transB=1),
        ]
    else:
        inits = []
        nodes = [
            helper.make_node("GlobalAveragePool", ["image"], ["gap"], name="pool"),
            helper.make_node("Flatten", ["gap"], ["flat"], name="flatten", axis=1),
            helper.make_node("Mul", ["flat", "scale"], ["pooled"], name="scale_pooled"),
            helper.make_node("Add", ["scale", "scale"], ["doubled_scale"], name="double_scale"),
        ]
    vi = [[helper.make_tensor_value_info(t["name"], _OV_ONNX_TYPES[t["dtype"]], t["shape"]) for t in ts]
          for ts in (inputs, outputs)]
    graph = helper.make_graph(nodes, net, vi[0], vi[1], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", ONNX_OPSET)],
                              producer_name="ostrel-make-samples", producer_version=str(RECIPE_VERSION))
    model.ir_version = ONNX_IR_VERSION
    return model


def _ov_convert(c: dict, folder: Path, stem: str = "model") -> Path:
    """Writes the IR pair of contract `c` into `folder`; returns the .xml path."""
    import onnx
    import openvino as ov

    batch = c.get("static_batch_size") or c.get("batch_size") or 1
    source = folder / f"{stem}.onnx"
    onnx.save(_ov_onnx(c["net"], batch, zlib.crc32(c["net"].encode())), str(source))
    xml = folder / f"{stem}.xml"
    ov.save_model(ov.convert_model(str(source)), str(xml), compress_to_fp16=bool(c.get("fp16_weights")))
    return xml


def _ov_files_data_interface():
    """FilesDataInterface of the built package, imported with HOME on a scratch folder (its logger
    writes under HOME)."""
    import shutil
    import tempfile

    home = os.environ.get("HOME")
    scratch = tempfile.mkdtemp(prefix="ostrel-samples-home-")
    os.environ["HOME"] = scratch
    try:
        from ostrel.common.data_interface.files_data_interface import FilesDataInterface
    finally:
        if home is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = home
        shutil.rmtree(scratch, ignore_errors=True)  # the open log file lives on unlinked
    return FilesDataInterface


def _ov_description(xml: Path) -> bytes:
    """The description as the checkpoint producer stores it: parsed and re-serialised by ElementTree."""
    import xml.etree.ElementTree as ET

    return ET.tostring(ET.parse(str(xml)).getroot(), encoding="utf8", method="xml")


class _OpenBuiltin:
    """Pickles as a call of builtins.open that creates OV_UNPICKLE_MARKER."""

    def __reduce__(self):
        import builtins

        return builtins.open, (OV_UNPICKLE_MARKER, "w")


def build_openvino_ir(sample: Sample, dest: Path) -> dict:
    import shutil
    import tempfile

    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(sample.contract, Path(tmp))
        part = sample.contract["form"].split("-")[1]
        shutil.copyfile(xml.with_suffix(f".{part}"), dest)
    return {}


def build_openvino_pickle(sample: Sample, dest: Path) -> dict:
    import pickle
    import tempfile

    c = sample.contract
    if c["records"] == 0:
        dest.write_bytes(b"")
        return {}
    if c.get("expect") == "global":
        dest.write_bytes(pickle.dumps(_OpenBuiltin(), protocol=4))
        return {}
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(c, Path(tmp))
        description = _ov_description(xml)
        if c.get("xml_record") != "plain":
            description = _ov_files_data_interface().encrypt_file(description)
        records = [description, xml.with_suffix(".bin").read_bytes()]
        if c.get("mapping"):
            records.append(c["mapping"].encode("utf-8"))
        # A Fernet token is printable text: a new one is drawn in the rare case that it happens to hold
        # another framework's detection marker.
        for _ in range(10):
            with open(dest, "wb") as f:
                for record in records[: c["records"]]:
                    pickle.dump(record, f)
            if detect_framework(dest) == sample.detected_as or c.get("xml_record") == "plain":
                break
            records[0] = _ov_files_data_interface().encrypt_file(_ov_description(xml))
    return {}


def build_openvino_zip(sample: Sample, dest: Path) -> dict:
    import tempfile
    import zipfile

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(c, Path(tmp))
        contents = {".xml": xml.read_bytes(), ".bin": xml.with_suffix(".bin").read_bytes()}
        with zipfile.ZipFile(dest, "w") as z:
            for name in c["members"]:
                data = contents.get(name.lower()[-4:], b"an extra member that stays beside the model\n")
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data)
    return {}


def _ov_run(sample: Sample, xml: Path, weights: Path) -> dict:
    """Compiles the pair for the CPU, checks inputs and outputs against the contract and the values
    against onnxruntime on the source model."""
    import tempfile

    import numpy as np
    import onnxruntime as ort
    import openvino as ov

    c = sample.contract
    compiled = ov.Core().compile_model(ov.Core().read_model(model=str(xml), weights=str(weights)), "CPU")
    got = [(i.get_any_name(), list(i.get_shape()), i.get_element_type().to_dtype().name) for i in compiled.inputs]
    want = [(t["name"], t["shape"], t["dtype"]) for t in c["inputs"]]
    if got != want:
        _fail(sample, f"inputs are {got}, expected {want}")
    feeds = _random_feeds(sample, np.random.default_rng(0), c["static_batch_size"], 16)
    result = compiled(dict(zip([t["name"] for t in c["inputs"]], feeds)))
    outputs = [result[t["name"]] for t in c["outputs"]]
    _check_output_shapes(sample, outputs, [f.shape for f in feeds])
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        source = Path(tmp) / "source.onnx"
        import onnx

        onnx.save(_ov_onnx(c["net"], c["static_batch_size"], zlib.crc32(c["net"].encode())), str(source))
        sess = ort.InferenceSession(str(source), providers=["CPUExecutionProvider"])
        reference = sess.run(None, dict(zip([t["name"] for t in c["inputs"]], feeds)))
    tol = 1e-2  # the CPU plugin may run in bf16 where the processor has it
    for t, o, r in zip(c["outputs"], outputs, reference):
        if not np.allclose(o, r, rtol=tol, atol=tol):
            _fail(sample, f"output {t['name']} differs from onnxruntime on the source model")
    return {"openvino": ov.get_version()}


def _ov_record_ops(data: bytes) -> list[list[str]]:
    """Opcode names of each pickle record in `data`, without unpickling anything."""
    import io
    import pickletools

    f = io.BytesIO(data)
    records = []
    while f.tell() < len(data):
        records.append([op.name for op, _, _ in pickletools.genops(f)])
    return records


def verify_openvino(sample: Sample, path: Path) -> dict:
    import pickle
    import tempfile
    import zipfile

    c = sample.contract
    data = path.read_bytes()
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        tmp = Path(tmp)
        if c["form"].startswith("ir-"):
            xml = _ov_convert(c, tmp)
            part = c["form"].split("-")[1]
            # The weights are the same bytes at every conversion; the description's generated node names
            # depend on what the process converted before, its layout does not.
            if part == "bin" and data != xml.with_suffix(".bin").read_bytes():
                _fail(sample, "the conversion is not reproducible: the other half of the pair would not match")
            return _ov_run(sample, path if part == "xml" else xml, path if part == "bin" else xml.with_suffix(".bin"))
        if c["form"] == "pkl":
            ops = _ov_record_ops(data)
            if len(ops) != c["records"]:
                _fail(sample, f"{len(ops)} records, expected {c['records']}")
            names_global = any(op in ("GLOBAL", "STACK_GLOBAL", "REDUCE") for record in ops for op in record)
            if names_global != (c.get("expect") == "global"):
                _fail(sample, "a record names a global" if names_global else "no record names a global")
            if not c["loadable"]:
                return {}
            with open(path, "rb") as f:  # our own file, just written: only bytes records (checked above)
                records = [pickle.load(f) for _ in range(c["records"])]
            if not all(isinstance(r, bytes) for r in records):
                _fail(sample, "every record must be a bytes object")
            reference = _ov_convert(c, tmp, "reference")
            description = records[0]
            if c["xml_record"] == "encrypted":
                description = _ov_files_data_interface().decrypt_file(description)
            if not description.startswith(b"<?xml version='1.0' encoding='utf8'?>\n<net "):
                _fail(sample, "the description record is not an ElementTree serialisation of a network")
            if records[1] != reference.with_suffix(".bin").read_bytes():
                _fail(sample, "the weights record differs from the converted weights")
            if c["records"] == 3 and records[2].decode("utf-8") != c["mapping"]:
                _fail(sample, "the mapping record differs")
            (tmp / "unpacked.xml").write_bytes(description)
            (tmp / "unpacked.bin").write_bytes(records[1])
            return _ov_run(sample, tmp / "unpacked.xml", tmp / "unpacked.bin")
        with zipfile.ZipFile(path) as z:
            if z.namelist() != c["members"]:
                _fail(sample, f"members {z.namelist()}, expected {c['members']}")
            if not c["loadable"]:
                return {}
            member = c["xml_member"]
            (tmp / "m.xml").write_bytes(z.read(member))
            (tmp / "m.bin").write_bytes(z.read(member[: -len(".xml")] + ".bin"))
        return _ov_run(sample, tmp / "m.xml", tmp / "m.bin")


SAMPLE_SETS.append(openvino_samples)
VERIFIERS["openvino"] = verify_openvino


# --------------------------------------------------------------------------------------------------
# Worker entry (runs in a fresh process per sample, or in-process with --jobs 0).


def _worker_init(sample: Sample):
    import warnings

    # torch.package pickles storages through an API that torch itself marks as deprecated.
    warnings.filterwarnings("ignore", message="TypedStorage is deprecated")
    if sample.framework in ("pytorch", "torchscript"):
        import torch

        torch.set_num_threads(2)  # several workers run at once
    if sample.framework in ("tf2", "keras", "tflite"):
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        import tensorflow as tf

        tf.config.threading.set_intra_op_parallelism_threads(2)
        tf.config.threading.set_inter_op_parallelism_threads(1)


def build_and_verify(name: str, dest: str) -> dict:
    """Builds sample `name` into `dest` and verifies it there; returns the facts for the manifest."""
    sample = sample_by_name(name)
    dest_path = Path(dest)
    facts = globals()[sample.builder](sample, dest_path) or {}
    facts.update(verify_file(name, dest))
    return facts


def verify_file(name: str, path: str) -> dict:
    sample = sample_by_name(name)
    facts = VERIFIERS[sample.contract["loader"]](sample, Path(path))
    detected = detect_framework(path)
    if detected != sample.detected_as:
        _fail(sample, f"framework detection finds {detected!r}, expected {sample.detected_as!r}")
    return facts


def _in_worker(fn, name: str, path: str):
    """Runs fn in a worker and turns any error into a one-line message (workers send back text only)."""
    try:
        return ("ok", fn(name, path))
    except SampleError as e:
        return ("error", f"contract not met: {e}")
    except Exception as e:  # noqa: BLE001 - every failure of a framework is reported per sample
        import traceback

        return ("error", f"{sample_by_name(name).path}: {type(e).__name__}: {e}\n{traceback.format_exc()}")


def _worker_task(kind: str, name: str, path: str):
    _worker_init(sample_by_name(name))
    return _in_worker(build_and_verify if kind == "build" else verify_file, name, path)


# --------------------------------------------------------------------------------------------------
# Driver


def sha256_of(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def load_manifest(out: Path) -> dict:
    p = out / MANIFEST_NAME
    if not p.exists():
        return {}
    try:
        data = json.loads(p.read_text())
    except (OSError, ValueError) as e:
        raise SystemExit(f"make_samples: {p} is not readable JSON ({e}); move it away to regenerate")
    if (not isinstance(data, dict) or data.get("generator") != GENERATOR
            or not isinstance(data.get("samples"), dict)):
        raise SystemExit(f"make_samples: {p} is not a manifest of this generator; move it away to regenerate")
    return data


def write_manifest(out: Path, samples: dict) -> None:
    data = {
        "format": MANIFEST_FORMAT,
        "generator": GENERATOR,
        "recipe_version": RECIPE_VERSION,
        "detection_markers": {fw: marker for fw, marker in DETECTION_MARKERS},
        "samples": samples,
    }
    text = json.dumps(data, indent=2) + "\n"
    p = out / MANIFEST_NAME
    if p.exists() and p.read_text() == text:
        return
    tmp = out / f".{MANIFEST_NAME}.tmp-{os.getpid()}"
    tmp.write_text(text)
    os.replace(tmp, p)


def manifest_entry(sample: Sample, sha: str, size: int, facts: dict) -> dict:
    return {
        "path": sample.path,
        "framework": sample.framework,
        "sha256": sha,
        "size": size,
        "version": sample.version,
        "recipe": sample.recipe_digest(),
        "description": sample.description,
        "detected_as": sample.detected_as,
        "reproducible": sample.reproducible,
        "contract": sample.contract,
        "facts": facts,
    }


def is_current(sample: Sample, entry: dict | None, out: Path) -> bool:
    if not entry or entry.get("recipe") != sample.recipe_digest() or entry.get("path") != sample.path:
        return False
    p = out / sample.path
    return p.is_file() and p.stat().st_size == entry.get("size") and sha256_of(p) == entry.get("sha256")


def _run_tasks(tasks: list[tuple[str, Sample, str]], jobs: int, on_done) -> None:
    """Runs (kind, sample, path) tasks; calls on_done(sample, path, status, payload, seconds)."""
    if jobs == 0:
        for kind, sample, path in tasks:
            t0 = time.monotonic()
            fn = build_and_verify if kind == "build" else verify_file
            status, payload = _in_worker(fn, sample.name, path)
            on_done(sample, path, status, payload, time.monotonic() - t0)
        return
    import concurrent.futures as cf
    import multiprocessing

    # A fixed hash seed in the workers (spawned with this environment): TorchScript's output depends on it.
    os.environ["PYTHONHASHSEED"] = "0"
    ctx = multiprocessing.get_context("spawn")
    workers = min(jobs, len(tasks))
    with cf.ProcessPoolExecutor(max_workers=workers, mp_context=ctx, max_tasks_per_child=1) as pool:
        started = {}
        for kind, sample, path in tasks:
            fut = pool.submit(_worker_task, kind, sample.name, path)
            started[fut] = (sample, path, time.monotonic())
        for fut in cf.as_completed(started):
            sample, path, t0 = started[fut]
            try:
                status, payload = fut.result()
            except Exception as e:  # a worker that died (crash, out of memory)
                status, payload = "error", f"{sample.path}: worker failed: {type(e).__name__}: {e}"
            on_done(sample, path, status, payload, time.monotonic() - t0)


def _tmp_path_for(final: Path) -> Path:
    return final.with_name(f".{final.name}.tmp-{os.getpid()}")


def generate(out: Path, force: bool = False, verify: bool = False, jobs: int | None = None,
             log=print) -> int:
    """Brings `out` up to date. Returns the number of samples that failed (0: success)."""
    samples = all_samples()
    out.mkdir(parents=True, exist_ok=True)
    lock_fd = os.open(out, os.O_RDONLY)
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX)
        return _generate_locked(out, samples, force, verify, jobs, log)
    finally:
        os.close(lock_fd)


def _generate_locked(out, samples, force, verify, jobs, log) -> int:
    manifest = load_manifest(out)
    old_entries = manifest.get("samples", {})
    owned = {e.get("path") for e in old_entries.values() if isinstance(e, dict)}
    if manifest.get("recipe_version") != RECIPE_VERSION:
        old_entries = {}

    entries = {s.name: old_entries.get(s.name) for s in samples}
    stale = [s for s in samples if force or not is_current(s, entries[s.name], out)]

    foreign = [s.path for s in stale if (out / s.path).exists() and s.path not in owned]
    if foreign and not force:
        raise SystemExit(
            "make_samples: refusing to overwrite files that manifest.json of this folder does not list: "
            + ", ".join(foreign) + f" (in {out}); move them away or pass --force")
    for s in samples:
        if (out / s.path).is_dir():
            raise SystemExit(f"make_samples: {out / s.path} is a directory; a sample file belongs there")

    to_verify = [s for s in samples if verify and s not in stale]
    if not stale and not to_verify:
        current = {s.name: entries[s.name] for s in samples}
        write_manifest(out, current)  # drops entries of samples that no longer exist
        log(f"make_samples: {len(samples)} samples up to date in {out}")
        return 0

    failures: list[str] = []

    def on_done(sample, path, status, payload, seconds):
        final = out / sample.path
        if status != "ok":
            failures.append(payload)
            log(f"FAILED  {sample.path}: {payload}")
            if path != str(final):
                Path(path).unlink(missing_ok=True)
            return
        if path == str(final):  # a verification of a present sample
            log(f"ok      {sample.path} ({seconds:.1f} s)")
            return
        tmp = Path(path)
        entry = manifest_entry(sample, sha256_of(tmp), tmp.stat().st_size, payload)
        # The manifest claims the path before the file moves in, so an interrupted run leaves a path that
        # the next run recognises as ours (and as stale, when the move did not happen).
        entries[sample.name] = entry
        write_manifest(out, {k: v for k, v in entries.items() if v})
        os.replace(tmp, final)
        log(f"built   {sample.path} ({entry['size']} bytes, {seconds:.1f} s)")

    tasks = []
    for s in stale:
        final = out / s.path
        final.parent.mkdir(parents=True, exist_ok=True)
        tasks.append(("build", s, str(_tmp_path_for(final))))
    tasks += [("verify", s, str(out / s.path)) for s in to_verify]
    if jobs is None:
        jobs = max(1, min(len(os.sched_getaffinity(0)), 8))
    log(f"make_samples: building {len(stale)} and verifying {len(to_verify)} of {len(samples)} samples "
        f"in {out}")
    try:
        _run_tasks(tasks, jobs, on_done)
    finally:
        for _, s, path in tasks:
            if path != str(out / s.path):
                Path(path).unlink(missing_ok=True)
        write_manifest(out, {k: v for k, v in entries.items() if v})
    if failures:
        log(f"make_samples: {len(failures)} sample(s) failed; see above")
    return len(failures)


def default_out() -> Path:
    env = os.environ.get("OSTREL_SAMPLES_DIR")
    return Path(env) if env else REPO_ROOT / ".samples"


def print_list(log=print) -> None:
    for s in all_samples():
        c = s.contract
        if c.get("loadable") is False:
            sig = "unloadable"
        elif c.get("object") == "dict":
            sig = f"{c['package']}/{c['resource']} holds a dict, not a module"
        else:
            ins = ", ".join(f"{t['name']}:{t['dtype']}{t['shape']}" for t in c["inputs"]) or "no inputs"
            sig = f"{ins} -> {len(c.get('outputs', []))} output(s), batch {c.get('batch')}"
        log(f"{s.path:72s} {s.framework:12s} detect={s.detected_as or '-':12s} {sig}")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=None,
                    help="output folder (default: $OSTREL_SAMPLES_DIR, else .samples in the checkout)")
    ap.add_argument("--force", action="store_true",
                    help="rebuild every sample, also over files that the manifest does not list")
    ap.add_argument("--verify", action="store_true", help="also re-verify the samples that are up to date")
    ap.add_argument("--jobs", type=int, default=None, help="worker processes (0: build in this process)")
    ap.add_argument("--list", action="store_true", help="print the samples and their contracts only")
    args = ap.parse_args(argv)
    if args.list:
        print_list()
        return 0
    out = (args.out or default_out()).resolve()
    if out.exists() and not out.is_dir():
        ap.error(f"{out} exists and is not a directory")
    if args.jobs is not None and args.jobs < 0:
        ap.error("--jobs must be 0 or more")
    return 1 if generate(out, force=args.force, verify=args.verify, jobs=args.jobs) else 0


if __name__ == "__main__":
    sys.exit(main())
