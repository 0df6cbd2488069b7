"""ONNX samples: small graphs written with onnx.helper (random weights from fixed seeds), a corrupt file,
and the value checks that the verifier runs on their outputs."""
from __future__ import annotations

import json
import os
from pathlib import Path

from .core import (ONNX_DOC, ONNX_IR_VERSION, ONNX_OPSET, RECIPE_VERSION, Sample, batch_variants,
                   check_output_shapes, expect, fail, input_dims, random_feeds, seed_of, tensor)


def onnx_contract(inputs, outputs, **extra):
    first = inputs[0]["shape"][0] if inputs else None
    static = first if isinstance(first, int) and first > 0 else None
    c = {
        "loader": "onnxruntime",
        "loadable": True,
        "inputs": inputs,
        "outputs": outputs,
        "input_dims": input_dims(inputs),
        "batch": "none" if not inputs else ("static" if static else "dynamic"),
        "static_batch_size": static,
    }
    c.update(extra)
    return c


def samples() -> list[Sample]:
    img = ["batch_size", 3, 224, 224]
    decoder_inputs = [
        tensor("features_1", [1, 243, 30, 40]),
        tensor("features_2", [1, 172, 60, 80]),
        tensor("features_3", [1, 102, 120, 160]),
        tensor("features_4", [1, 64, 240, 320]),
        tensor("features_5", [1, 153, 15, 20]),
    ]
    return [
        Sample("return_model_input", "return_model_input.onnx", "onnx", build_onnx_identity,
               onnx_contract([tensor("output", img)], [tensor("result", img)]),
               "identity; its one input is named 'output'; dynamic batch", "onnx", check_identity),
        Sample("onnx_identity_static_batch", "onnx/return_model_input_static_batch.onnx", "onnx",
               build_onnx_identity,
               onnx_contract([tensor("output", [1, 3, 224, 224])], [tensor("result", [1, 3, 224, 224])]),
               "identity with a static batch of 1", "onnx", check_identity),
        Sample("onnx_two_inputs", "onnx/two_inputs.onnx", "onnx", build_onnx_two_inputs,
               onnx_contract([tensor("image", ["batch", 3, 32, 32]), tensor("scale", ["batch", 1])],
                             [tensor("pooled", ["batch", 3]), tensor("doubled_scale", ["batch", 1])]),
               "two inputs, two outputs, dynamic batch", "onnx", check_two_inputs),
        Sample("onnx_mixed_batch", "onnx/mixed_batch_inputs.onnx", "onnx", build_onnx_scale_each,
               onnx_contract([tensor("a", [8, 4]), tensor("b", ["batch", 4])],
                             [tensor("a_doubled", [8, 4]), tensor("b_doubled", ["batch", 4])]),
               "first input with a fixed first axis of 8, second with a symbolic one", "onnx",
               check_doubled),
        Sample("onnx_add_1x4", "onnx/add_1x4.onnx", "onnx", build_onnx_add,
               onnx_contract([tensor("a", [1, 4]), tensor("b", [1, 4])], [tensor("sum", [1, 4])]),
               "element-wise sum of two [1,4] inputs (for benchmarks)", "onnx", check_add),
        Sample("decoder", "models_for_platform_testing/segmentation_models/onnx/decoder.onnx", "onnx",
               build_onnx_decoder,
               onnx_contract(decoder_inputs, [tensor("mask", [1, 2, 240, 320])], min_profiled_layers=22),
               "five-input segmentation decoder, static batch 1, random weights", "onnx",
               check_softmax_mask),
        Sample("onnx_symbolic_inner_dims", "onnx/symbolic_inner_dims.onnx", "onnx", build_onnx_relu,
               onnx_contract([tensor("image", ["batch", 3, "height", "width"])],
                             [tensor("features", ["batch", 3, "height", "width"])]),
               "symbolic batch, height and width", "onnx", check_relu),
        Sample("onnx_unnamed_dynamic_dim", "onnx/unnamed_dynamic_dim.onnx", "onnx", build_onnx_identity,
               onnx_contract([tensor("x", [None, 3, 224, 224])], [tensor("y", [None, 3, 224, 224])]),
               "batch axis dynamic without a name", "onnx", check_identity),
        Sample("onnx_int64_input", "onnx/int64_input.onnx", "onnx", build_onnx_add_one,
               onnx_contract([tensor("ids", ["batch", 16], "int64")],
                             [tensor("ids_plus_one", ["batch", 16], "int64")]),
               "int64 input and output", "onnx", check_add_one),
        Sample("onnx_double_input", "onnx/double_input.onnx", "onnx", build_onnx_scale_each,
               onnx_contract([tensor("x", ["batch", 4], "float64")], [tensor("x_doubled", ["batch", 4], "float64")]),
               "float64 (double) input and output", "onnx", check_doubled),
        Sample("onnx_no_input", "onnx/no_input.onnx", "onnx", build_onnx_constant,
               onnx_contract([], [tensor("constant", [1, 4])]),
               "no input; one Constant output", "onnx", check_constant),
        Sample("onnx_corrupt", "onnx/corrupt.onnx", "onnx", build_random_bytes,
               {"loader": "onnxruntime", "loadable": False, "size": 4096},
               "random bytes with an .onnx suffix; onnxruntime refuses it", None),
    ]


# --------------------------------------------------------------------------------------------------
# Builders: each writes one file to dest (a temporary path next to the final one).

def build_random_bytes(sample: Sample, dest: Path) -> dict:
    import random

    rng = random.Random(seed_of(sample))
    dest.write_bytes(bytes(rng.getrandbits(8) for _ in range(sample.contract["size"])))
    return {}


def _np_dtype_to_onnx(dtype: str):
    from onnx import TensorProto

    return {"float32": TensorProto.FLOAT, "float64": TensorProto.DOUBLE, "int64": TensorProto.INT64}[dtype]


def _value_info(t: dict):
    from onnx import helper

    return helper.make_tensor_value_info(t["name"], _np_dtype_to_onnx(t["dtype"]), t["shape"])


def save_onnx(sample: Sample, dest: Path, nodes, initializers=()) -> dict:
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
    return save_onnx(sample, dest, [helper.make_node("Identity", [c["inputs"][0]["name"]],
                                                     [c["outputs"][0]["name"]], name="identity")])


def build_onnx_relu(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    c = sample.contract
    return save_onnx(sample, dest, [helper.make_node("Relu", [c["inputs"][0]["name"]],
                                                     [c["outputs"][0]["name"]], name="relu")])


def build_onnx_add(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    return save_onnx(sample, dest, [helper.make_node("Add", ["a", "b"], ["sum"], name="add")])


def initializer(name, array):
    from onnx import numpy_helper

    return numpy_helper.from_array(array, name)


def build_onnx_scale_each(sample: Sample, dest: Path) -> dict:
    """Every input times two, one output per input."""
    import numpy as np
    from onnx import helper

    nodes, inits = [], []
    for i, (inp, out) in enumerate(zip(sample.contract["inputs"], sample.contract["outputs"])):
        inits.append(initializer(f"two_{i}", np.array(2, dtype=inp["dtype"])))
        nodes.append(helper.make_node("Mul", [inp["name"], f"two_{i}"], [out["name"]], name=f"double_{i}"))
    return save_onnx(sample, dest, nodes, inits)


def build_onnx_add_one(sample: Sample, dest: Path) -> dict:
    import numpy as np
    from onnx import helper

    node = helper.make_node("Add", ["ids", "one"], ["ids_plus_one"], name="add_one")
    return save_onnx(sample, dest, [node], [initializer("one", np.array(1, dtype=np.int64))])


def build_onnx_two_inputs(sample: Sample, dest: Path) -> dict:
    from onnx import helper

    nodes = [
        helper.make_node("GlobalAveragePool", ["image"], ["gap"], name="pool"),
        helper.make_node("Flatten", ["gap"], ["flat"], name="flatten", axis=1),
        helper.make_node("Mul", ["flat", "scale"], ["pooled"], name="scale_pooled"),
        helper.make_node("Add", ["scale", "scale"], ["doubled_scale"], name="double_scale"),
    ]
    return save_onnx(sample, dest, nodes)


def build_onnx_constant(sample: Sample, dest: Path) -> dict:
    import numpy as np
    from onnx import helper

    value = initializer("value", np.arange(1, 5, dtype=np.float32).reshape(1, 4))
    node = helper.make_node("Constant", [], ["constant"], name="constant", value=value)
    return save_onnx(sample, dest, [node])


def build_onnx_decoder(sample: Sample, dest: Path) -> dict:
    """A small FPN-like segmentation decoder over five feature maps.

    Starting from the coarsest map (15x20), each level projects the running map, upsamples it by two,
    adds a lateral projection of the skip input of that resolution, and refines the sum with two 3x3
    convolutions and a residual. A squeeze-and-excitation gate sits at the top and each level adds an
    auxiliary 1x1 head, so the optimised CPU graph keeps well over 22 distinct nodes.
    """
    import numpy as np
    from onnx import helper

    rng = np.random.default_rng(seed_of(sample))
    nodes, inits = [], []

    def conv(name, x, cin, cout, k=1, relu=False):
        w = (rng.standard_normal((cout, cin, k, k)) * np.sqrt(2.0 / (cin * k * k))).astype(np.float32)
        b = (rng.standard_normal(cout) * 0.01).astype(np.float32)
        inits.extend([initializer(f"{name}.weight", w), initializer(f"{name}.bias", b)])
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

    inits.append(initializer("up2", np.array([1, 1, 2, 2], dtype=np.float32)))
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
        inits.append(initializer(f"aux{i}_scale", np.array([1, 1, factor, factor], dtype=np.float32)))
        a = node("Resize", f"aux{i}_upsample", [a, "", f"aux{i}_scale"], mode="nearest")
        logits = node("Add", f"aux{i}_sum", [logits, a])
    logits = node("Add", "aux_last_sum", [logits, aux[-1]])
    inits.append(initializer("aux_weight", np.array(0.2, dtype=np.float32)))
    logits = node("Mul", "logits", [logits, "aux_weight"])
    nodes.append(helper.make_node("Softmax", [logits], ["mask"], name="mask_softmax", axis=1))
    return save_onnx(sample, dest, nodes, inits)


# --------------------------------------------------------------------------------------------------
# Verification: load the written file with onnxruntime and check the declared contract.

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
        fail(sample, "onnxruntime loaded a file that must be refused")

    import onnx

    onnx.checker.check_model(onnx.load(str(path)), full_check=True)
    sess = ort.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    for kind, got, want in (("input", sess.get_inputs(), c["inputs"]),
                            ("output", sess.get_outputs(), c["outputs"])):
        got_sig = [(x.name, list(x.shape), x.type) for x in got]
        want_sig = [(t["name"], t["shape"], f"tensor({_ORT_TYPE[t['dtype']]})") for t in want]
        if got_sig != want_sig:
            fail(sample, f"{kind}s are {got_sig}, expected {want_sig}")
    first = sess.get_inputs()[0].shape[0] if sess.get_inputs() else None
    static = first if isinstance(first, int) and first > 0 else None
    if static != c["static_batch_size"]:
        fail(sample, f"static batch size {static}, expected {c['static_batch_size']}")

    rng = np.random.default_rng(0)
    names = [t["name"] for t in c["inputs"]]
    feeds = None
    for batch, inner in batch_variants(sample):
        feeds = random_feeds(sample, rng, batch, inner)
        outputs = sess.run(None, dict(zip(names, feeds)))
        again = sess.run(None, dict(zip(names, feeds)))
        if not all(np.array_equal(a, b) for a, b in zip(outputs, again)):
            fail(sample, "two runs on the same inputs differ")
        check_output_shapes(sample, outputs, [f.shape for f in feeds])
        if sample.check:
            sample.check(sample, feeds, outputs)
    if c["batch"] == "static":
        wrong = random_feeds(sample, rng, c["static_batch_size"] + 1, 16, force_batch=True)
        try:
            sess.run(None, dict(zip(names, wrong)))
        except Exception:
            pass
        else:
            fail(sample, f"accepts batch {c['static_batch_size'] + 1} although its batch is static")

    facts = {"onnxruntime": ort.__version__, "onnx": onnx.__version__}
    if "min_profiled_layers" in c:
        layers, kernels = _count_profiled_layers(path, dict(zip(names, feeds)))
        if kernels < c["min_profiled_layers"]:
            fail(sample, f"the CPU profile shows {kernels} distinct layers, expected at least "
                         f"{c['min_profiled_layers']}")
        facts.update(profiled_layer_names=layers, profiled_layers=kernels)
    return facts


_ORT_TYPE = {"float32": "float", "float64": "double", "int64": "int64"}


# Value checks of single samples: (sample, input arrays, output arrays) -> None, raising on a mismatch.


def check_identity(sample, feeds, outputs):
    import numpy as np

    expect(sample, np.array_equal(outputs[0], feeds[0]), "output differs from input")


def check_relu(sample, feeds, outputs):
    import numpy as np

    expect(sample, np.array_equal(outputs[0], np.maximum(feeds[0], 0)), "not max(x, 0)")


def check_add(sample, feeds, outputs):
    import numpy as np

    expect(sample, np.allclose(outputs[0], feeds[0] + feeds[1]), "not a + b")


def check_add_one(sample, feeds, outputs):
    import numpy as np

    expect(sample, np.array_equal(outputs[0], feeds[0] + 1), "not ids + 1")


def check_doubled(sample, feeds, outputs):
    import numpy as np

    expect(sample, all(np.array_equal(o, f * 2) for f, o in zip(feeds, outputs)), "not 2 * x")


def check_two_inputs(sample, feeds, outputs):
    import numpy as np

    image, scale = feeds
    expect(sample, np.allclose(outputs[0], image.mean(axis=(2, 3)) * scale, atol=1e-6), "pooled")
    expect(sample, np.array_equal(outputs[1], scale * 2), "doubled_scale")


def check_constant(sample, feeds, outputs):
    import numpy as np

    expect(sample, np.array_equal(outputs[0], np.array([[1, 2, 3, 4]], dtype=np.float32)), "constant")


def check_softmax_mask(sample, feeds, outputs):
    import numpy as np

    mask = outputs[0]
    expect(sample, bool(np.all(np.isfinite(mask))) and np.allclose(mask.sum(axis=1), 1, atol=1e-5),
           "mask is not a softmax over the class axis")
    expect(sample, float(mask.std()) > 1e-4, "mask is constant")


VERIFIERS = {"onnxruntime": verify_onnxruntime}  # by the contract's loader
