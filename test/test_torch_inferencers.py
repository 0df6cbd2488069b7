"""The torch back-ends: the shared engine (ostrel.frameworks.engines.torch_inference_engine) and its two
file formats, torch package checkpoints (PytorchInferencer) and TorchScript files (TorchScriptInferencer).

Engine behaviour is exercised through small Python subclasses whose load_torch_model returns a module
made here; file formats through the generated samples."""
import collections
import json
import os
import threading
from pathlib import Path

import numpy as np
import pytest
import torch
from torch import nn

import ostrel
from ostrel.common import exceptions as exc
from ostrel.common.framework_detection import FrameworkDetector
from ostrel.frameworks.engines.torch_inference_engine import TorchInferenceEngine
from ostrel.frameworks.pytorch_inferencer import PytorchInferencer
from ostrel.frameworks.torchscript_inferencer import TorchScriptInferencer
from ostrel.inference.ostrel_manager import LoadedModel

REPO = Path(__file__).resolve().parent.parent
LOAD_PREFIX = "Torch raised an error while loading the model: "
BOTH_INPUT_KINDS = "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs."
NO_INPUT = 'Please specify the keyword arguments or "x" for inference'
CPU = ostrel.InferenceHardware.CPU
GPU = ostrel.InferenceHardware.GPU

# ---- samples ------------------------------------------------------------------------------------------

SAMPLE_NAMES = ("resnet18", "mobilenet_v2", "torchscript_two_inputs", "torch_package_dict", "torch_corrupt")
NET_SOURCE = '''
from typing import Tuple

import torch
from torch import nn


class ConvNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 3, stride=4)
        self.bn = nn.BatchNorm2d(8)
        self.fc = nn.Linear(8, 1000)

    def forward(self, x):
        y = torch.relu(self.bn(self.conv(x)))
        return self.fc(torch.flatten(nn.functional.adaptive_avg_pool2d(y, 1), 1))


class TwoInputNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 10, 3)
        self.extra = nn.Linear(10, 8)

    def forward(self, image: torch.Tensor, extra: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]:
        features = torch.flatten(nn.functional.adaptive_avg_pool2d(torch.relu(self.conv(image)), 1), 1)
        return features + extra, self.extra(extra)
'''


def _build_samples(root):
    """Our own small stand-ins for the generator's torch samples, made with torch itself."""
    import sys

    from torch.package import PackageExporter

    src = root / "src" / "tamsor_user_model"
    src.mkdir(parents=True)
    (src / "__init__.py").write_text("")
    (src / "nets.py").write_text(NET_SOURCE)
    sys.path.insert(0, str(root / "src"))
    try:
        from tamsor_user_model import nets
    finally:
        sys.path.pop(0)
    torch.manual_seed(0)
    (root / "torch").mkdir()
    paths = {}
    for name, obj in (("resnet18", nets.ConvNet().eval()), ("torch_package_dict", nets.ConvNet().state_dict())):
        path = root / ("resnet18.pt" if name == "resnet18" else "torch/state_dict_package.pt")
        with PackageExporter(str(path)) as exporter:
            exporter.intern("tamsor_user_model.**")
            exporter.extern(["torch", "torch.**"])
            exporter.save_pickle("tamsor_user_model", "model.pkl", obj)
        paths[name] = path
    paths["mobilenet_v2"] = root / "mobilenet_v2.pth"
    torch.jit.script(nets.ConvNet().eval()).save(str(paths["mobilenet_v2"]))
    paths["torchscript_two_inputs"] = root / "torch" / "two_inputs_tuple.pth"
    torch.jit.script(nets.TwoInputNet().eval()).save(str(paths["torchscript_two_inputs"]))
    paths["torch_corrupt"] = root / "torch" / "corrupt.pt"
    paths["torch_corrupt"].write_bytes(np.random.default_rng(0).bytes(4096))
    return {k: str(v) for k, v in paths.items()}


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    """name -> path of the torch samples: the generated tree's when complete, else our own."""
    root = Path(os.environ.get("OSTREL_SAMPLES_DIR") or REPO / ".samples")
    manifest = root / "manifest.json"
    if manifest.is_file():
        listed = json.loads(manifest.read_text())["samples"]
        paths = {n: root / listed[n]["path"] for n in SAMPLE_NAMES if n in listed}
        if len(paths) == len(SAMPLE_NAMES) and all(p.is_file() for p in paths.values()):
            return {k: str(v) for k, v in paths.items()}
    return _build_samples(tmp_path_factory.mktemp("torch-samples"))


# ---- engine fixtures ------------------------------------------------------------------------------------


class Engine(TorchInferenceEngine):
    """The engine over a module handed in by the test."""

    def __init__(self, module=None, inference_hardware=CPU, **kwargs):
        self.given = module
        super().__init__(checkpoint_file="in-memory", inference_hardware=inference_hardware, **kwargs)

    def load_torch_model(self, checkpoint_file):
        return self.given


class Spy(nn.Module):
    """Records what reaches forward: argument types, devices, data pointers and the grad mode."""

    def __init__(self, fail=False):
        super().__init__()
        self.fail = fail
        self.calls = []
        self.moves = []

    def to(self, *args, **kwargs):
        self.moves.append(args)
        return self

    def forward(self, *args, **kwargs):
        self.calls.append({"args": args, "kwargs": kwargs, "grad": torch.is_grad_enabled()})
        if self.fail:
            raise RuntimeError("forward failed")
        return args[0] if args else next(iter(kwargs.values()))


class Returns(nn.Module):
    def __init__(self, make):
        super().__init__()
        self.make = make

    def forward(self, x):
        return self.make(x)


def chain(e):
    out = []
    while e is not None:
        out.append(e)
        e = e.__cause__
    return out


# ---- loading the two file formats -----------------------------------------------------------------------


def test_torchscript_sample_is_detected_and_predicts_in_a_fresh_interpreter(run_python, samples):
    r = run_python(
        "import ostrel, numpy as np\n"
        f"m = ostrel.load({samples['mobilenet_v2']!r}, input_dims=[(3, 224, 224)])\n"
        "print(m.predict(np.ones((2, 3, 224, 224), np.float32))[0].shape)\n"
        "print(type(m._LoadedModel__inferencer).__name__, m.legend['framework']['type'].value)\n")
    lines = r.stdout.splitlines()
    assert "Detecting framework..." in lines
    assert lines[-2:] == ["(2, 1000)", "TorchScriptInferencer torchscript"]


def test_framework_detection_on_the_torch_samples(samples):
    for name in ("mobilenet_v2", "torchscript_two_inputs"):
        assert FrameworkDetector.detect_framework(samples[name]) == ostrel.FrameworkType.TORCHSCRIPT
    for name in ("resnet18", "torch_package_dict"):
        assert FrameworkDetector.detect_framework(samples[name]) is None


def test_torch_package_loads_predicts_and_benchmarks(samples):
    m = ostrel.load(samples["resnet18"], framework_type="pytorch", input_dims=[(3, 224, 224)])
    inferencer = m._LoadedModel__inferencer
    assert type(inferencer) is PytorchInferencer
    assert inferencer.device == "cpu" and not inferencer.model.training
    assert inferencer.framework_type is ostrel.FrameworkType.PYTORCH
    assert inferencer.framework_version == torch.__version__
    assert inferencer.inference_dtype == np.float32
    x = np.random.default_rng(1).random((3, 3, 224, 224), dtype=np.float32)
    out = m.predict(x)
    with torch.no_grad():
        expected = inferencer.model(torch.from_numpy(x)).numpy()
    assert len(out) == 1 and isinstance(out[0], np.ndarray)
    np.testing.assert_array_equal(out[0], expected)
    np.testing.assert_array_equal(m(x)[0], out[0])

    result = m.benchmark(batch_size=4, repetitions=5, warmup_calls=1)
    assert result.framework_type == "pytorch" and result.batch_size == 4
    assert result.framework_version == torch.__version__
    size = sum(t.nelement() * t.element_size() for t in [*inferencer.model.parameters(), *inferencer.model.buffers()])
    assert result.model_memory_used == size / 1048576


def test_torchscript_sample_outputs_agree_across_batch_sizes(samples):
    inf = TorchScriptInferencer(checkpoint_file=samples["mobilenet_v2"], inference_hardware=CPU,
                                input_dims=[(3, 224, 224)])
    assert isinstance(inf.model, torch.jit.RecursiveScriptModule) and not inf.model.training
    assert inf.framework_type is ostrel.FrameworkType.TORCHSCRIPT
    assert inf.framework_version == torch.__version__
    one = np.random.default_rng(2).random((1, 3, 224, 224), dtype=np.float32)
    ref = inf.predict(one)[0]
    for n in (5, 8):
        out = inf.predict(np.repeat(one, n, axis=0))[0]
        assert out.shape == (n, 1000)
        np.testing.assert_allclose(out, np.repeat(ref, n, axis=0), rtol=1e-4, atol=1e-5)


def test_two_input_module_gets_inputs_in_list_order_and_returns_both_outputs(samples):
    inf = TorchScriptInferencer(checkpoint_file=samples["torchscript_two_inputs"], input_dims=[(3, 32, 32), (10,)])
    rng = np.random.default_rng(3)
    image, extra = rng.random((2, 3, 32, 32), dtype=np.float32), rng.random((2, 10), dtype=np.float32)
    out = inf.predict([image, extra])
    with torch.no_grad():
        expected = inf.model(torch.from_numpy(image), torch.from_numpy(extra))
    assert [o.shape for o in out] == [(2, 10), (2, 8)]
    for got, want in zip(out, expected):
        np.testing.assert_array_equal(got, want.numpy())
    with pytest.raises(RuntimeError):  # swapped: the image reaches the second argument
        inf.predict([extra, image])
    # The benchmark's own inputs: one random batch per input, passed as a list.
    assert inf.benchmark(batch_size=3, repetitions=2, warmup_calls=1).batch_size == 3


def test_torchscript_example_inputs_follow_the_given_dimensions(samples):
    inf = TorchScriptInferencer(checkpoint_file=samples["torchscript_two_inputs"], input_dims=[(3, 32, 32), (10,)])
    examples = inf.example_inputs  # the module tells no element type: the inferencer's own, float32
    assert [(e.shape, e.dtype) for e in examples] == [((1, 3, 32, 32), np.float32), ((1, 10), np.float32)]
    assert [o.shape for o in inf.predict(examples)] == [(1, 10), (1, 8)]
    with pytest.raises(NotImplementedError, match="^Input dimensions were not supplied during initialization and "
                                                  "cannot be read from a TorchScriptInferencer model: please give"):
        TorchScriptInferencer(checkpoint_file=samples["torchscript_two_inputs"]).example_inputs


def test_package_holding_a_mapping_is_refused_with_the_type_in_the_cause(samples):
    with pytest.raises(exc.OstrelError) as info:
        PytorchInferencer(checkpoint_file=samples["torch_package_dict"], inference_hardware=CPU)
    assert type(info.value) is exc.OstrelError and info.value.args == () and str(info.value) == ""
    cause = info.value.__cause__
    assert type(cause) is Exception
    assert str(cause) == f"Model has to be a torch.nn.Module object received {collections.OrderedDict}"

    with pytest.raises(exc.OstrelError) as info:
        ostrel.load(samples["torch_package_dict"], framework_type="pytorch")
    assert str(info.value).startswith("Failed to load the model with arguments: ")
    assert [type(e) for e in chain(info.value)] == [exc.OstrelError, exc.OstrelError, Exception]
    assert str(chain(info.value)[2]).startswith("Model has to be a torch.nn.Module object received")


def test_torchscript_loader_refuses_what_is_not_a_script_module(samples, monkeypatch):
    monkeypatch.setattr(torch.jit, "load", lambda f, map_location=None: nn.Linear(2, 2))
    with pytest.raises(exc.OstrelError) as info:
        TorchScriptInferencer(checkpoint_file=samples["mobilenet_v2"])
    assert info.value.args == ()
    assert str(info.value.__cause__) == ("Model has to be a serialized torch.nn.Module object received "
                                         "<class 'torch.nn.modules.linear.Linear'>")


@pytest.mark.parametrize("cls, path, error, cause, text", [
    (PytorchInferencer, "torch_corrupt", exc.ModelFrameworkRuntimeError, RuntimeError, "PytorchStreamReader"),
    (TorchScriptInferencer, "torch_corrupt", exc.ModelFrameworkRuntimeError, RuntimeError, "PytorchStreamReader"),
    # a TorchScript file is no torch package and the other way round
    (PytorchInferencer, "mobilenet_v2", exc.ModelFrameworkRuntimeError, RuntimeError, ""),
    (TorchScriptInferencer, "resnet18", exc.ModelFrameworkRuntimeError, RuntimeError, ""),
    (PytorchInferencer, "missing", exc.ModelFrameworkRuntimeError, RuntimeError, "No such file"),
    (TorchScriptInferencer, "missing", exc.ModelValueError, ValueError, "does not exist"),
])
def test_unreadable_files_are_translated(samples, tmp_path, cls, path, error, cause, text):
    file = samples.get(path, str(tmp_path / "missing.pt"))
    with pytest.raises(error) as info:
        cls(checkpoint_file=file, inference_hardware=CPU)
    assert type(info.value) is error and type(info.value.__cause__) is cause
    assert str(info.value) == LOAD_PREFIX + str(info.value.__cause__)
    assert text in str(info.value)


def test_torchscript_for_gpu_is_read_onto_cuda(samples, gpu_memory):
    # This torch has no CUDA: reading onto "cuda" is refused by torch.jit.load itself.
    with pytest.raises(exc.ModelFrameworkRuntimeError, match="CUDA device"):
        TorchScriptInferencer(checkpoint_file=samples["mobilenet_v2"], inference_hardware=GPU)


def test_constructors_take_exactly_the_five_keywords(samples):
    for cls in (PytorchInferencer, TorchScriptInferencer):
        with pytest.raises(TypeError) as info:
            cls(checkpoint_file=samples["mobilenet_v2"], inference_dtype=np.float32)
        assert str(info.value) == f"{cls.__name__}.__init__() got an unexpected keyword argument 'inference_dtype'"
    inf = TorchScriptInferencer(samples["mobilenet_v2"])  # no hardware: the base's default (no GPU here)
    assert inf.inference_hardware == CPU and inf.device == "cpu"
    assert TorchInferenceEngine.__abstractmethods__ == frozenset({"load_torch_model"})
    with pytest.raises(TypeError):
        TorchInferenceEngine("x", CPU)


# ---- load failures ------------------------------------------------------------------------------------------


def test_failures_moving_or_switching_the_module_are_translated_too(gpu_memory):
    class BadEval(nn.Module):
        def eval(self):
            raise ValueError("no eval")

    with pytest.raises(exc.ModelValueError, match="^Torch raised an error while loading the model: no eval$"):
        Engine(BadEval())
    with pytest.raises(exc.OstrelError) as info:  # this torch has no CUDA: the move fails
        Engine(nn.Linear(2, 2), inference_hardware=GPU)
    assert type(info.value) is exc.OstrelError and isinstance(info.value.__cause__, AssertionError)


def test_load_checks_device_and_model():
    class Unloaded(Engine):
        def _load_model(self):
            self.device = "cpu"

    with pytest.raises(exc.FailedToLoadCheckpointError, match="^The model did not initialize/eval successfully.$"):
        Unloaded(nn.Linear(2, 2))

    class NoDevice(Engine):
        def _load_model(self):
            self.model = nn.Linear(2, 2)

    with pytest.raises(exc.FailedToLoadCheckpointError, match="^The device did not initialize successfully.$"):
        NoDevice()
    # An empty container module is an identity model, not a missing one.
    identity = Engine(nn.Sequential())
    x = np.arange(4, dtype=np.float32)
    np.testing.assert_array_equal(identity.predict(x)[0], x)


# ---- device ---------------------------------------------------------------------------------------------


def test_a_torchscript_module_read_onto_its_device_is_not_moved_again(samples, monkeypatch):
    read = torch.jit.load
    moves = []

    def load(f, map_location=None):
        module = read(f, map_location=map_location)
        module.to = lambda *args, **kwargs: moves.append(args)  # the engine's move would land here
        return module

    monkeypatch.setattr(torch.jit, "load", load)
    inf = TorchScriptInferencer(checkpoint_file=samples["torchscript_two_inputs"], input_dims=[(3, 32, 32), (10,)])
    assert moves == [] and inf.device == "cpu"
    assert {p.device.type for p in inf.model.parameters()} == {"cpu"}
    # A loader that hands the module over where it was made still has it moved.
    spy = Spy()
    Engine(spy)
    assert spy.moves == [("cpu",)]


def test_device_follows_the_hardware_and_set_device_moves_module_and_later_inputs(gpu_memory):
    spy = Spy()
    gpu = Engine(spy, inference_hardware="gpu")
    assert gpu.device == "cuda" and spy.moves == [("cuda",)]
    with pytest.raises(AssertionError, match="CUDA"):  # inputs follow the device; this torch has no CUDA
        gpu.predict(np.zeros(2, np.float32))
    gpu.set_device("cpu")
    assert gpu.device == "cpu" and spy.moves[-1] == ("cpu",)
    gpu.predict(np.zeros(2, np.float32))
    assert spy.calls[-1]["args"][0].device.type == "cpu"

    assert Engine(nn.Linear(2, 2), inference_hardware="cpu").device == "cpu"
    assert Engine(nn.Linear(2, 2), inference_hardware="tpu").device == "cpu"  # anything but GPU


# ---- predict ----------------------------------------------------------------------------------------------


def test_argument_rules():
    spy = Spy()
    e = Engine(spy)
    x = np.zeros(2, np.float32)
    with pytest.raises(AssertionError) as info:
        e.predict(x, other=x)
    assert type(info.value) is AssertionError and len(info.value.args) == 1
    assert type(info.value.args[0]) is ValueError and info.value.args[0].args == (BOTH_INPUT_KINDS,)
    with pytest.raises(ValueError) as info:
        e.predict()
    assert info.value.args == (NO_INPUT,)
    with pytest.raises(ValueError, match="^Please specify the keyword"):
        e.predict(x=None)
    with pytest.raises(TypeError, match="multiple values for argument 'x'"):
        e.predict(x, x=x)
    with pytest.raises(TypeError):
        e.predict(x, x)
    assert spy.calls == []


def test_positional_inputs_share_memory_with_the_arrays():
    spy = Spy()
    e = Engine(spy)
    a, b = np.arange(6, dtype=np.float32).reshape(2, 3), np.ones((2, 1), np.int64)
    out = e.predict(a)
    (t,) = spy.calls[-1]["args"]
    assert isinstance(t, torch.Tensor) and t.data_ptr() == a.ctypes.data
    assert len(out) == 1 and out[0].ctypes.data == a.ctypes.data  # an identity gives the same memory back
    e.predict([a, b])
    assert [t.data_ptr() for t in spy.calls[-1]["args"]] == [a.ctypes.data, b.ctypes.data]
    e.predict((a, b))  # a tuple is the inputs in order, as a list
    assert [t.data_ptr() for t in spy.calls[-1]["args"]] == [a.ctypes.data, b.ctypes.data]
    e.predict({"image": a, "extra": b})  # a mapping: forward's parameters by name, arrays as tensors
    assert spy.calls[-1]["args"] == () and list(spy.calls[-1]["kwargs"]) == ["image", "extra"]
    assert [t.data_ptr() for t in spy.calls[-1]["kwargs"].values()] == [a.ctypes.data, b.ctypes.data]
    t = torch.ones(2)
    e.predict([t, 16000, np.int64(7), "mode"])  # tensors, Python numbers and other values go as they are
    assert spy.calls[-1]["args"][0] is t and spy.calls[-1]["args"][1:] == (16000, 7, "mode")
    assert type(spy.calls[-1]["args"][2]) is int  # a NumPy scalar as its Python number
    calls = len(spy.calls)
    for bad in ("text", {1}, object()):
        with pytest.raises(TypeError, match=f"got a value of type '{type(bad).__name__}'"):
            e.predict(bad)
    assert len(spy.calls) == calls


def test_keyword_inputs_reach_the_module_unchanged():
    spy = Spy()
    e = Engine(spy)
    a = np.ones(3, np.float32)
    t = torch.ones(2)
    out = e.predict(image=t, extra=a)
    assert spy.calls[-1]["kwargs"] == {"image": t, "extra": a}
    assert spy.calls[-1]["kwargs"]["extra"] is a and spy.calls[-1]["args"] == ()
    assert out[0].ctypes.data == t.data_ptr()
    e.predict(x=None, image=t)  # as LoadedModel.predict passes them
    assert list(spy.calls[-1]["kwargs"]) == ["image"]
    m = LoadedModel(lambda: e)
    m.predict(image=t)
    assert list(spy.calls[-1]["kwargs"]) == ["image"]


def test_gradient_recording_is_off_during_predict_and_restored_after():
    spy = Spy()
    e = Engine(spy)
    x = np.zeros(2, np.float32)
    assert torch.is_grad_enabled()
    e.predict(x)
    assert spy.calls[-1]["grad"] is False and torch.is_grad_enabled()
    spy.fail = True
    with pytest.raises(RuntimeError, match="forward failed"):
        e.predict(x)
    assert spy.calls[-1]["grad"] is False and torch.is_grad_enabled()
    spy.fail = False
    with torch.no_grad():
        e.predict(x)
        assert not torch.is_grad_enabled()
    assert torch.is_grad_enabled()

    # Grad mode is per thread: a thread that predicts never changes another thread's mode.
    seen = []

    def worker(disable):
        with torch.set_grad_enabled(not disable):
            for _ in range(200):
                e.predict(x)
            seen.append(torch.is_grad_enabled() == (not disable))

    threads = [threading.Thread(target=worker, args=(i % 2 == 0,)) for i in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert seen == [True] * 4 and torch.is_grad_enabled()


def test_output_conversion():
    x = np.arange(4, dtype=np.float32)
    lin = nn.Linear(4, 2)
    cases = [
        (lambda t: (t * 2, t + 1), [x * 2, x + 1]),
        (lambda t: [t], [x]),
        (lambda t: (t, (t * 3, [t - 1])), [x, x * 3, x - 1]),  # nested outputs are flattened in order
        (lambda t: lin.bias, [lin.bias.detach().numpy()]),  # a tensor that records gradients
        (lambda t: (t.numpy() * 5,), [x * 5]),  # arrays stay arrays
    ]
    for make, expected in cases:
        out = Engine(Returns(make)).predict(x)
        assert isinstance(out, list) and all(type(o) is np.ndarray for o in out)
        assert len(out) == len(expected)
        for got, want in zip(out, expected):
            np.testing.assert_array_equal(got, want)
    for make, where in [(lambda t: None, "an output of type NoneType"),
                        (lambda t: {"y": t}, "an output of type dict"),
                        (lambda t: (t, None), r"an output item \[1\] of type NoneType")]:
        with pytest.raises(TypeError, match=where):
            Engine(Returns(make)).predict(x)


def test_hooks_and_overridden_calls_are_honoured():
    x = np.ones((1, 4), np.float32)
    m = nn.Linear(4, 2)
    e = Engine(m)
    plain = e.predict(x)[0]
    handles = [m.register_forward_pre_hook(lambda mod, args: (args[0] * 2,))]
    with torch.no_grad():
        doubled = m.forward(torch.from_numpy(x * 2)).numpy()
    np.testing.assert_array_equal(e.predict(x)[0], doubled)
    handles.append(m.register_forward_hook(lambda mod, args, out: out + 100))
    assert (e.predict(x)[0] > 50).all()
    for h in handles:
        h.remove()
    np.testing.assert_array_equal(e.predict(x)[0], plain)

    calls = []
    handle = nn.modules.module.register_module_forward_hook(lambda mod, args, out: calls.append(type(mod)))
    try:
        e.predict(x)
    finally:
        handle.remove()
    assert calls == [nn.Linear]
    e.predict(x)
    assert calls == [nn.Linear]

    class OwnCall(nn.Linear):
        def __call__(self, *args):
            return torch.zeros(3)

    np.testing.assert_array_equal(Engine(OwnCall(4, 2)).predict(x)[0], np.zeros(3))


def test_failed_predictions_leave_the_engine_usable():
    e = Engine(nn.Linear(4, 2))
    with pytest.raises(RuntimeError):
        e.predict(np.ones((1, 5), np.float32))
    assert e.predict(np.ones((1, 4), np.float32))[0].shape == (1, 2)


# ---- size, data type, disposal ------------------------------------------------------------------------------


@pytest.mark.parametrize("module, expected", [
    (nn.Linear(512, 512, bias=False), 1.0),
    (nn.ReLU(), 0.0),
    # parameters (weight, bias: 2 x 4 float32) and buffers (mean, var: 2 x 4 float32; a count: 1 int64)
    (nn.BatchNorm1d(4), (8 * 4 + 8 * 4 + 8) / 1048576),
])
def test_model_size_counts_parameters_and_buffers(module, expected):
    size = Engine(module)._get_model_size()
    assert type(size) is float and size == expected


def test_input_dtype_falls_back_to_float32():
    e = Engine(nn.ReLU())
    with pytest.raises(NotImplementedError):
        e.fetch_model_input_dtype()
    assert e.inference_dtype == np.float32 and e.input_dims is None and e.static_batch_size is None
    assert Engine(nn.ReLU(), input_dims=[(3,)], static_batch_size=2).static_batch_size == 2


def test_disposal_is_idempotent_and_final():
    e = Engine(nn.ReLU())
    e._dispose_all_resources()
    e._dispose_all_resources()
    assert not hasattr(e, "model") and not hasattr(e, "device")
    for call in (lambda: e.predict(np.zeros(1, np.float32)), lambda: e.set_device("cpu"), e._get_model_size):
        with pytest.raises(AttributeError):
            call()


def test_a_self_containing_output_is_refused_not_a_crash():
    class Cyclic(nn.Module):
        def forward(self, x):
            out = [x]
            out.append(out)
            return out

    with pytest.raises(RecursionError):
        Engine(Cyclic()).predict(np.zeros((1, 4), np.float32))


class Resample(nn.Module):
    """A tensor and a Python int, as audio models take a waveform and its sample rate."""

    def forward(self, wave: torch.Tensor, rate: int) -> torch.Tensor:
        return wave * float(rate) / 1000.0


def test_torchscript_takes_a_python_number_and_benchmarks_given_inputs(tmp_path):
    path = tmp_path / "resample.pt"
    torch.jit.save(torch.jit.script(Resample()), str(path))
    model = ostrel.load(str(path), framework_type="torchscript", inference_hardware="cpu")
    assert model.input_dims is None
    wave = np.ones((1, 4), np.float32)
    expected = np.full((1, 4), 16.0, np.float32)
    for given in ([wave, 16000], (wave, np.int64(16000)), {"wave": wave, "rate": 16000}):
        assert np.array_equal(model.predict(given)[0], expected)
    # The caller's inputs need no input_dims.
    record = model.benchmark(batch_size=1, repetitions=3, x=[wave, 16000])
    assert record.batch_size == 1 and record.batch_inf_time > 0
    with pytest.raises(exc.InputDimensionsNotSpecifiedError):
        model.benchmark(batch_size=1, repetitions=3)
