"""PyTorch samples: torch package archives (our own module, interned) and TorchScript modules, scripted and
traced, from small architectures of our own with seeded weights."""
from __future__ import annotations

import sys
from pathlib import Path

from .core import Sample, batch_variants, check_output_shapes, fail, random_feeds, seed_of, tensor
from .onnx_samples import build_random_bytes

# Package and resource under which a torch package checkpoint holds its pickled module.
TORCH_PACKAGE_NAME = "tamsor_user_model"
TORCH_PACKAGE_RESOURCE = "model.pkl"


def samples() -> list[Sample]:
    img = ["batch", 3, 224, 224]
    cls = ["batch", 1000]
    return [
        Sample("resnet18", "resnet18.pt", "pytorch", build_torch_package,
               {"loader": "torch.package", "loadable": True, "package": TORCH_PACKAGE_NAME,
                "resource": TORCH_PACKAGE_RESOURCE, "object": "torch.nn.Module", "class": "TinyResNet",
                "inputs": [tensor("x", img)], "outputs": [tensor(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "small residual conv net (our own module, interned) in a torch package", None),
        Sample("mobilenet_v2", "mobilenet_v2.pth", "torchscript", build_torchscript,
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TinyMobileNetV2", "export": "script",
                "inputs": [tensor("x", img)], "outputs": [tensor(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "small inverted-residual conv net, scripted", "torchscript", reproducible=False),
        Sample("torchscript_traced", "torch/mobilenet_v2_traced.pth", "torchscript", build_torchscript,
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TinyMobileNetV2", "export": "trace",
                "inputs": [tensor("x", img)], "outputs": [tensor(None, cls)], "output_form": "tensor",
                "input_dims": [[3, 224, 224]], "batch": "dynamic", "static_batch_size": None},
               "the same net, traced", "torchscript", reproducible=False),
        Sample("torchscript_two_inputs", "torch/two_inputs_tuple.pth", "torchscript", build_torchscript,
               {"loader": "torch.jit", "loadable": True, "object": "torch.jit.RecursiveScriptModule",
                "class": "TwoInputNet", "export": "script",
                "inputs": [tensor("image", ["batch", 3, 32, 32]), tensor("extra", ["batch", 10])],
                "outputs": [tensor(None, ["batch", 10]), tensor(None, ["batch", 8])], "output_form": "tuple",
                "input_dims": [[3, 32, 32], [10]], "batch": "dynamic", "static_batch_size": None},
               "two inputs, returns a tuple of two tensors", "torchscript", reproducible=False),
        Sample("torch_package_dict", "torch/state_dict_package.pt", "pytorch", build_torch_package,
               {"loader": "torch.package", "loadable": True, "package": TORCH_PACKAGE_NAME,
                "resource": TORCH_PACKAGE_RESOURCE, "object": "dict", "class": "TinyResNet"},
               "torch package whose pickle is a state dict, not a module", None),
        Sample("torch_corrupt", "torch/corrupt.pt", "pytorch", build_random_bytes,
               {"loader": "torch", "loadable": False, "size": 4096},
               "random bytes; neither the package importer nor torch.jit.load accepts it", None),
    ]


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

    torch.manual_seed(seed_of(sample))
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

# --------------------------------------------------------------------------------------------------
# Verification: load the written file as the back-ends do and check the declared contract.

def _check_torch_inputs(sample: Sample, names: list[str]):
    want = [t["name"] for t in sample.contract["inputs"]]
    if names != want:
        fail(sample, f"forward takes {names}, expected {want}")


def _verify_torch_module(sample: Sample, module) -> None:
    import numpy as np
    import torch

    c = sample.contract
    rng = np.random.default_rng(0)
    for batch, inner in batch_variants(sample):
        feeds = random_feeds(sample, rng, batch, inner)
        with torch.no_grad():
            outs = [module(*[torch.from_numpy(f) for f in feeds]) for _ in range(2)]
        results = []
        for out in outs:
            if c["output_form"] == "tuple":
                if not isinstance(out, tuple):
                    fail(sample, f"returns {type(out).__name__}, expected a tuple")
                results.append([o.numpy() for o in out])
            else:
                if not isinstance(out, torch.Tensor):
                    fail(sample, f"returns {type(out).__name__}, expected a tensor")
                results.append([out.numpy()])
        if not all(np.array_equal(a, b) for a, b in zip(*results)):
            fail(sample, "two runs on the same inputs differ")
        check_output_shapes(sample, results[0], [f.shape for f in feeds])


def verify_torch_package(sample: Sample, path: Path) -> dict:
    import inspect

    import torch
    from torch.package import PackageImporter

    c = sample.contract
    obj = PackageImporter(str(path)).load_pickle(c["package"], c["resource"])
    if c["object"] == "dict":
        if isinstance(obj, torch.nn.Module) or not isinstance(obj, dict):
            fail(sample, f"the pickle holds a {type(obj)}, expected a dict")
        return {"keys": len(obj)}
    if not isinstance(obj, torch.nn.Module):
        fail(sample, f"the pickle holds a {type(obj)}, expected a torch.nn.Module")
    if type(obj).__name__ != c["class"]:
        fail(sample, f"the module is a {type(obj).__name__}, expected {c['class']}")
    _check_torch_inputs(sample, list(inspect.signature(obj.forward).parameters))
    _verify_torch_module(sample, obj.eval())
    return {"torch": torch.__version__}


def verify_torch_jit(sample: Sample, path: Path) -> dict:
    import torch

    module = torch.jit.load(str(path), map_location="cpu")
    if not isinstance(module, torch.jit.RecursiveScriptModule):
        fail(sample, f"torch.jit.load gave a {type(module)}, expected a RecursiveScriptModule")
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
        fail(sample, "a torch loader accepted a file that must be refused")
    return {}


VERIFIERS = {  # by the contract's loader
    "torch.package": verify_torch_package,
    "torch.jit": verify_torch_jit,
    "torch": verify_torch,
}
