"""TensorRT samples: engines built with the test stand-ins under platform/ (never with a real TensorRT),
some through the verification package's engine builder command line, the rest through the stand-in's
builder API where the command line cannot make the profile (an OPT batch below the MAX batch, two
profiles); plus the broken checkpoints that the back-end's error paths need."""
from __future__ import annotations

import os
import sys
from pathlib import Path

from .core import (ONNX_DOC, ONNX_IR_VERSION, ONNX_OPSET, REPO_ROOT, Sample, SampleError, expect, tensor)
from .onnx_samples import onnx_contract, save_onnx

TRT_STANDIN_PATHS = ("platform/tensorrt", "platform/pycuda", "platform/GPUtil")


def samples() -> list[Sample]:
    def engine(name, path, builder, inputs, outputs, profiles, min_layers=1, form="checkpoint", **extra):
        contract = {"loader": "tensorrt", "form": form, "inputs": inputs, "outputs": outputs,
                    "profiles": profiles, "min_layers": min_layers, **extra}
        return Sample(name, path, "trt", builder, contract, extra.pop("description", name), "trt")

    def broken(name, path, form, detected, description):
        return Sample(name, path, "trt", build_trt_broken, {"loader": "tensorrt", "form": form}, description,
                      detected)

    deep = [tensor("input", ["batch", 3, 16, 16])]
    return [
        Sample("trt_deep_chain_onnx", "trt/deep_chain.onnx", "onnx", build_onnx_deep_chain,
               onnx_contract(deep, [tensor("logits", ["batch", 10])], min_profiled_layers=22),
               "23-layer convolution chain, dynamic batch: the source of the dynamic-batch engine", "onnx"),
        engine("trt_dynamic_batch", "trt/dynamic_batch.pkl", build_trt_engine_sample,
               [["input", [-1, 3, 16, 16], "float32"]], [["logits", [-1, 10], "float32"]],
               [{"input": [[1, 3, 16, 16], [8, 3, 16, 16], [64, 3, 16, 16]]}], min_layers=22),
        engine("trt_dynamic_batch_native", "trt/dynamic_batch.engine", build_trt_engine_sample,
               [["input", [-1, 3, 16, 16], "float32"]], [["logits", [-1, 10], "float32"]],
               [{"input": [[1, 3, 16, 16], [8, 3, 16, 16], [64, 3, 16, 16]]}], min_layers=22, form="native"),
        engine("trt_static_batch", "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl", build_trt_engine_sample,
               [["input", [1, 3, 224, 224], "float32"]], [["output", [1, 3, 224, 224], "float32"]],
               [{"input": [[1, 3, 224, 224]] * 3}]),
        engine("trt_five_inputs", "trt/five_inputs.pkl", build_trt_engine_sample,
               [[n, [-1, 4], "float32"] for n in "abcde"], [["total", [-1, 4], "float32"]],
               [{n: [[1, 4], [4, 4], [4, 4]] for n in "abcde"}]),
        engine("trt_two_profiles", "trt/two_profiles.pkl", build_trt_engine_sample,
               [["x", [-1, 4], "float32"]], [["y", [-1, 4], "float32"]],
               [{"x": [[1, 4], [2, 4], [4, 4]]}, {"x": [[1, 4], [8, 4], [16, 4]]}]),
        engine("trt_int32_index", "trt/int32_index.pkl", build_trt_engine_sample,
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


def _sample(name: str) -> Sample:
    return next(s for s in samples() if s.name == name)


def build_onnx_deep_chain(sample: Sample, dest: Path) -> dict:
    return save_onnx(sample, dest, *_deep_chain_graph())


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


def standin_engine(sample: Sample, onnx_bytes: bytes, profiles) -> bytes:
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
    return standin_engine(sample, onnx_bytes, profiles)


def trt_checkpoint(blob: bytes) -> bytes:
    import pickle

    return pickle.dumps({"engine": blob, "compiler": "trt", "precision": "FP32"}, protocol=4)


def _trt_foreign(blob: bytes) -> bytes:
    import struct

    tag = struct.unpack_from("<I", blob, 8)[0]
    return blob[:8] + struct.pack("<I", tag ^ 0x00000100) + blob[12:]


def build_trt_engine_sample(sample: Sample, dest: Path) -> dict:
    blob = _trt_engine_blob(sample)
    dest.write_bytes(blob if sample.contract["form"] == "native" else trt_checkpoint(blob))
    return {"engine_bytes": len(blob)}


def build_trt_broken(sample: Sample, dest: Path) -> dict:
    import collections
    import pickle

    form = sample.contract["form"]
    if form in ("foreign", "foreign_native"):
        blob = _trt_foreign(_trt_engine_blob(_sample("trt_two_profiles")))
        dest.write_bytes(trt_checkpoint(blob) if form == "foreign" else blob)
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
        expect(sample, data == b"", "not empty")
        return {}
    if form == "missing_engine":
        expect(sample, "engine" not in pickle.loads(data), "has an engine")
        return {}
    if form == "global":
        ops = {op.name for op, _, _ in pickletools.genops(data)}
        expect(sample, bool(ops & {"GLOBAL", "STACK_GLOBAL"}), "names no global")
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
        expect(sample, engine is None and any("tag does not match" in m for m in messages),
               "the stand-in runtime accepts the engine")
        return {}
    expect(sample, engine is not None, f"the stand-in runtime refuses the engine: {messages}")
    per_profile = engine.num_bindings // engine.num_optimization_profiles
    expect(sample, engine.num_optimization_profiles == len(c["profiles"]), "optimization profiles")
    expect(sample, per_profile == len(c["inputs"]) + len(c["outputs"]), "bindings")
    for i, (name, shape, dtype) in enumerate(c["inputs"] + c["outputs"]):
        got = (engine.get_binding_name(i), list(engine.get_binding_shape(i)), trt.nptype(engine.get_binding_dtype(i)).__name__)
        expect(sample, got == (name, shape, dtype), f"binding {i} is {got}")
    expect(sample, engine.num_layers >= c["min_layers"], f"{engine.num_layers} layers")
    return {"num_layers": engine.num_layers}


VERIFIERS = {"tensorrt": verify_tensorrt}  # by the contract's loader


# --------------------------------------------------------------------------------------------------
# Example photos of the detection utilities: small scenes drawn with NumPy, stored as JPEG files in the
