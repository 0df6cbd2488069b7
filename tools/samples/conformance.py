"""Samples of the package's conformance checks: TensorRT engines of the TensorRT check class (built over
the stand-ins), and a small detector with three photographs for the ONNX detection check."""
from __future__ import annotations

from pathlib import Path

from .core import ONNX_DOC, ONNX_IR_VERSION, ONNX_OPSET, Sample, fail, seed_of, tensor
from .onnx_samples import onnx_contract, save_onnx
from .tensorrt_samples import standin_engine, trt_checkpoint

DECODER_FEATURES = [("features_1", [243, 30, 40]), ("features_2", [172, 60, 80]), ("features_3", [102, 120, 160]),
                    ("features_4", [64, 240, 320]), ("features_5", [153, 15, 20])]


def trt_samples() -> list[Sample]:
    def engine(name, path, inputs, outputs, profiles, min_layers, description):
        contract = {"loader": "tensorrt", "form": "checkpoint", "inputs": inputs, "outputs": outputs,
                    "profiles": profiles, "min_layers": min_layers}
        return Sample(name, path, "trt", build_conformance_trt_engine, contract, description, "trt")

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
    blob = standin_engine(sample, _conformance_trt_onnx(sample), sample.contract["profiles"])
    dest.write_bytes(trt_checkpoint(blob))
    return {"engine_bytes": len(blob)}


# The detection check: a small detector and three photographs for the ONNX detection check. The detector's
# one candidate box is computed from the image: its class follows the dominant colour (red: person,
# green: cat, blue: dog) and its box the colour balance, in the candidate layout of non-maximum suppression
# (centre x, centre y, width, height, objectness, 80 class scores).

DETECTION_PHOTOS = {"cat": (40, 220, 60), "person": (230, 50, 40), "dog": (50, 60, 230)}  # RGB of the subject


def detection_samples() -> list[Sample]:
    return [
        Sample("conformance_detector", "yolov5m.onnx", "onnx", build_conformance_detector,
               onnx_contract([tensor("images", [1, 3, 320, 320])], [tensor("output", [1, 1, 85])]),
               "one-candidate detector whose class follows the image's dominant colour", "onnx"),
    ] + [
        Sample(f"conformance_photo_{label}", f"conformance/photos/{label}.jpg", "image", build_conformance_photo,
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
    return save_onnx(sample, dest, nodes, inits)


def build_conformance_photo(sample: Sample, dest: Path) -> dict:
    import cv2
    import numpy as np

    label = sample.name.rsplit("_", 1)[1]
    h, w = sample.contract["height"], sample.contract["width"]
    rng = np.random.default_rng(seed_of(sample))
    img = rng.integers(0, 40, (h, w, 3), dtype=np.uint8)  # dim noise, blue-green-red
    r, g, b = DETECTION_PHOTOS[label]
    yy, xx = np.mgrid[0:h, 0:w]
    subject = ((yy - h / 2) / (h * 0.45)) ** 2 + ((xx - w / 2) / (w * 0.45)) ** 2 <= 1
    img[subject] = (b, g, r)
    ok, data = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, 90])
    if not ok:
        fail(sample, "JPEG encoding failed")
    dest.write_bytes(data.tobytes())
    return {}
