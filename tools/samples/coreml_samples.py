"""Core ML samples: small neural networks written with coremltools' NeuralNetworkBuilder (exact-rank
shapes, random weights). Reading them needs coremltools only; predicting needs Apple's Core ML runtime."""
from __future__ import annotations

from pathlib import Path

from .core import Sample, SampleError, fail, input_dims, seed_of, tensor

_COREML_TYPES = {"float32": "FLOAT32", "float64": "DOUBLE", "int32": "INT32", "float16": "FLOAT16"}


def _coreml_contract(inputs, outputs, net, spec_version=4):
    return {"loader": "coremltools", "loadable": True, "inputs": inputs, "outputs": outputs, "net": net,
            "spec_version": spec_version, "input_dims": input_dims(inputs), "batch": "static",
            "static_batch_size": 1}


def samples() -> list[Sample]:
    vec = [1, 16]
    return [
        Sample("coreml_mobilenet_v2", "mobilenet_v2_bs1_fp32.mlmodel", "coreml", build_coreml,
               _coreml_contract([tensor("input", [1, 3, 224, 224])], [tensor("probabilities", [1, 10])],
                                "conv_classifier"),
               "conv (same, stride 2), relu, conv (valid, stride 4), relu, flatten, inner product, softmax; "
               "carries the converter's metadata", "coreml"),
        Sample("coreml_int32_input", "coreml/int32_input.mlmodel", "coreml", build_coreml,
               _coreml_contract([tensor("ids", vec, "int32")], [tensor("scores", [1, 4])], "dense"),
               "one int32 input, inner product", "coreml",
               by_structure=True),
        Sample("coreml_double_input", "coreml/double_input.mlmodel", "coreml", build_coreml,
               _coreml_contract([tensor("x", vec, "float64")], [tensor("y", [1, 4], "float64")], "dense"),
               "one double input, inner product, double output", "coreml",
               by_structure=True),
        Sample("coreml_two_inputs", "coreml/two_inputs.mlmodel", "coreml", build_coreml,
               _coreml_contract([tensor("features", vec), tensor("offsets", vec, "int32")], [tensor("scores", [1, 4])],
                                "add_dense"),
               "float32 and int32 inputs: add, relu, inner product", "coreml",
               by_structure=True),
        Sample("coreml_float16_input", "coreml/float16_input.mlmodel", "coreml", build_coreml,
               _coreml_contract([tensor("half", vec, "float16"), tensor("x", vec)], [tensor("sum", vec)], "add",
                                spec_version=7),
               "a float16 input (an element type outside the back-end's table) before a float32 one", "coreml",
               by_structure=True),
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
    rng = np.random.default_rng(seed_of(sample))
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
    if sample.marker_match == "coreml":
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
        fail(sample, f"a {spec.WhichOneof('Type')} model of version {spec.specificationVersion}, expected a "
                     f"neuralNetwork of version {c['spec_version']}")
    if list(model.input_description) != [t["name"] for t in c["inputs"]]:
        fail(sample, f"inputs are {list(model.input_description)}")
    array_type = FeatureTypes_pb2.ArrayFeatureType.ArrayDataType
    for kind, features, want in (("input", spec.description.input, c["inputs"]),
                                 ("output", spec.description.output, c["outputs"])):
        got = [(f.name, list(f.type.multiArrayType.shape), array_type.Name(f.type.multiArrayType.dataType))
               for f in features]
        expected = [(t["name"], t["shape"], _COREML_TYPES[t["dtype"]]) for t in want]
        if got != expected:
            fail(sample, f"{kind}s are {got}, expected {expected}")
    return {"coremltools": ct.__version__}


VERIFIERS = {"coremltools": verify_coreml}  # by the contract's loader
