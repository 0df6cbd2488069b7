"""Stand-in for coremltools' compiled proxy to Apple's Core ML runtime (coremltools.libcoremlpython).

Apple's runtime exists on macOS only; coremltools elsewhere reads and writes models but cannot predict.
This module takes the place of the missing proxy, for tests only (see coreml_standin.install): it
evaluates neural-network models with NumPy from their protobuf description, the layers our samples use and no
others, and answers like the runtime does:

- every input the model describes is required ("Required input feature not passed to neural network.");
- a multi-array input must have the described shape (or one of its enumerated shapes, or fit its ranges);
- outputs come back as NumPy arrays of each output description's element type;
- a model it cannot run fails when it is loaded, with RuntimeError, which coremltools turns into a
  warning at load and raises again at predict, as it does for the real runtime.

Every proxy created records the model path and the compute units asked for in `loads`.
"""
import numpy as np

# (path, compute units name) of every proxy created, oldest first.
loads = []

_SPEC_VERSION = 9  # newest model format version the stand-in reads

# Core ML array data type codes.
_FLOAT32, _DOUBLE, _INT32, _FLOAT16, _INT8 = 65568, 65600, 131104, 65552, 131080
_OUTPUT_TYPES = {_FLOAT32: np.float32, _DOUBLE: np.float64, _INT32: np.int32, _FLOAT16: np.float16,
                 _INT8: np.int8}


def _nserror(description):
    # The runtime's errors reach Python as RuntimeError carrying the NSError's description.
    return RuntimeError("{\n    NSLocalizedDescription = \"%s\";\n}" % description)


def _shape_text(shape):
    return "(" + " x ".join(str(d) for d in shape) + ")"


def _weights(params, shape):
    if len(params.floatValue):
        w = np.asarray(params.floatValue, dtype=np.float32)
    elif params.float16Value:
        w = np.frombuffer(params.float16Value, dtype=np.float16).astype(np.float32)
    else:
        raise _nserror("Weights in a form the stand-in does not read (raw or quantized).")
    if w.size != int(np.prod(shape)):
        raise _nserror(f"Weights hold {w.size} values, the layer needs {int(np.prod(shape))}.")
    return w.reshape(shape)


def _pads(size, kernel, stride, dilation, layer):
    """(start, end) padding per spatial axis."""
    which = layer.WhichOneof("ConvolutionPaddingType")
    if which == "same":
        heavy_top_left = layer.same.asymmetryMode == 1
        pads = []
        for n, k, s, d in zip(size, kernel, stride, dilation):
            out = -(-n // s)
            total = max((out - 1) * s + (k - 1) * d + 1 - n, 0)
            start = total - total // 2 if heavy_top_left else total // 2
            pads.append((start, total - start))
        return pads
    amounts = list(layer.valid.paddingAmounts.borderAmounts) if which == "valid" else []
    if not amounts:
        return [(0, 0), (0, 0)]
    return [(a.startEdgeSize, a.endEdgeSize) for a in amounts]


def _convolution(x, p):
    if p.isDeconvolution:
        raise _nserror("Deconvolution is not evaluated by the stand-in.")
    if x.ndim < 3:
        raise _nserror(f"Convolution input must have rank 3 or more, got {x.ndim}.")
    lead = x.shape[:-3]
    x = x.reshape((-1,) + x.shape[-3:])
    groups = p.nGroups or 1
    kernel = list(p.kernelSize) or [3, 3]
    stride = list(p.stride) or [1, 1]
    dilation = list(p.dilationFactor) or [1, 1]
    out_c, in_c = p.outputChannels, p.kernelChannels * groups
    if x.shape[1] != in_c:
        raise _nserror(f"Convolution expects {in_c} input channels, got {x.shape[1]}.")
    w = _weights(p.weights, (out_c, p.kernelChannels, kernel[0], kernel[1]))
    pads = _pads(x.shape[2:], kernel, stride, dilation, p)
    x = np.pad(x, [(0, 0), (0, 0)] + pads)
    oh = (x.shape[2] - (kernel[0] - 1) * dilation[0] - 1) // stride[0] + 1
    ow = (x.shape[3] - (kernel[1] - 1) * dilation[1] - 1) // stride[1] + 1
    if oh <= 0 or ow <= 0:
        raise _nserror("Convolution kernel is larger than its padded input.")
    out = np.zeros((x.shape[0], out_c, oh, ow), dtype=np.float32)
    per_in, per_out = in_c // groups, out_c // groups
    for g in range(groups):
        xs = x[:, g * per_in:(g + 1) * per_in]
        ws = w[g * per_out:(g + 1) * per_out]
        for i in range(kernel[0]):
            for j in range(kernel[1]):
                top, left = i * dilation[0], j * dilation[1]
                patch = xs[:, :, top:top + (oh - 1) * stride[0] + 1:stride[0],
                           left:left + (ow - 1) * stride[1] + 1:stride[1]]
                out[:, g * per_out:(g + 1) * per_out] += np.einsum("bchw,oc->bohw", patch, ws[:, :, i, j])
    if p.hasBias:
        out += _weights(p.bias, (out_c,))[None, :, None, None]
    return out.reshape(lead + out.shape[1:])


def _inner_product(x, p):
    w = _weights(p.weights, (p.outputChannels, p.inputChannels))
    b = _weights(p.bias, (p.outputChannels,)) if p.hasBias else 0
    shape = x.shape
    if x.ndim <= 3:
        rows, cols, out_shape = int(np.prod(shape[:-1])), shape[-1], shape[:-1] + (p.outputChannels,)
    elif x.ndim == 4:
        rows, cols, out_shape = shape[0], int(np.prod(shape[1:])), (shape[0], p.outputChannels, 1, 1)
    elif x.ndim == 5:
        rows, cols = shape[0] * shape[1], int(np.prod(shape[2:]))
        out_shape = (shape[0], shape[1], p.outputChannels, 1, 1)
    else:
        raise _nserror(f"Inner product input must have rank 1 to 5, got {x.ndim}.")
    if cols != p.inputChannels:
        raise _nserror(f"Inner product expects {p.inputChannels} input channels, got {cols}.")
    return (x.reshape(rows, cols) @ w.T + b).astype(np.float32).reshape(out_shape)


def _activation(x, p):
    kind = p.WhichOneof("NonlinearityType")
    if kind == "ReLU":
        return np.maximum(x, 0)
    if kind == "leakyReLU":
        return np.where(x >= 0, x, x * np.float32(p.leakyReLU.alpha))
    if kind == "tanh":
        return np.tanh(x)
    if kind == "sigmoid":
        return 1 / (1 + np.exp(-x))
    if kind == "linear":
        return x * np.float32(p.linear.alpha) + np.float32(p.linear.beta)
    raise _nserror(f"Activation {kind} is not evaluated by the stand-in.")


def _softmax(x, axis):
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


def _flatten_to_2d(x, axis):
    axis = axis if axis >= 0 else axis + x.ndim
    return x.reshape(int(np.prod(x.shape[:axis])), int(np.prod(x.shape[axis:])))


def _run_layer(layer, inputs):
    kind = layer.WhichOneof("layer")
    if kind == "convolution":
        return _convolution(inputs[0], layer.convolution)
    if kind == "innerProduct":
        return _inner_product(inputs[0], layer.innerProduct)
    if kind == "activation":
        return _activation(inputs[0], layer.activation)
    if kind == "add":
        if len(inputs) == 1:
            return inputs[0] + np.float32(layer.add.alpha)
        total = inputs[0]
        for other in inputs[1:]:
            total = total + other
        return total
    if kind == "softmax":
        return _softmax(inputs[0], -3)
    if kind == "softmaxND":
        return _softmax(inputs[0], layer.softmaxND.axis)
    if kind == "flattenTo2D":
        return _flatten_to_2d(inputs[0], layer.flattenTo2D.axis)
    if kind == "reshapeStatic":
        return inputs[0].reshape(tuple(layer.reshapeStatic.targetShape))
    raise _nserror(f"Layer '{layer.name}' of type {kind} is not evaluated by the stand-in.")


def _shape_accepted(given, array_type):
    if array_type.HasField("enumeratedShapes"):
        return any(tuple(s.shape) == given for s in array_type.enumeratedShapes.shapes)
    if array_type.HasField("shapeRange"):
        ranges = array_type.shapeRange.sizeRanges
        return len(ranges) == len(given) and all(
            r.lowerBound <= n and (r.upperBound < 0 or n <= r.upperBound) for r, n in zip(ranges, given))
    declared = tuple(array_type.shape)
    return not declared or declared == given


class _MLModelProxy:
    """The model as the runtime holds it: created by coremltools' MLModel for each model it loads."""

    def __init__(self, path, compute_units, function_name="", optimization_hints=None, asset=None):
        from coremltools.models.utils import load_spec

        spec = load_spec(path)
        if spec.specificationVersion > _SPEC_VERSION:
            raise _nserror(f"Model format version {spec.specificationVersion} is newer than {_SPEC_VERSION}.")
        kind = spec.WhichOneof("Type")
        if kind != "neuralNetwork":
            raise _nserror(f"The stand-in evaluates neural networks only, not {kind} models.")
        self._spec = spec
        self.compute_units = compute_units
        loads.append((str(path), compute_units))

    @staticmethod
    def maximum_supported_specification_version():
        return _SPEC_VERSION

    def predict(self, data, state=None):
        description = self._spec.description
        blobs = {}
        for feature in description.input:
            if feature.name not in data:
                raise _nserror("Required input feature not passed to neural network.")
            value = np.asarray(data[feature.name])
            if feature.type.WhichOneof("Type") != "multiArrayType":
                raise _nserror(f"Input {feature.name}: only multi-array inputs are evaluated by the stand-in.")
            if value.dtype.kind not in "biuf":
                raise _nserror(f"Input {feature.name}: cannot convert a {value.dtype} array to a multi-array.")
            array_type = feature.type.multiArrayType
            if not _shape_accepted(value.shape, array_type):
                raise _nserror(f"MultiArray shape {_shape_text(value.shape)} does not match the shape "
                               f"{_shape_text(array_type.shape)} specified in the model description")
            blobs[feature.name] = value.astype(np.float32)  # the CPU computes in float32
        for layer in self._spec.neuralNetwork.layers:
            missing = [name for name in layer.input if name not in blobs]
            if missing:
                raise _nserror(f"Layer '{layer.name}' reads {missing[0]}, which no earlier layer produced.")
            blobs[layer.output[0]] = np.asarray(_run_layer(layer, [blobs[n] for n in layer.input]),
                                                dtype=np.float32)
        outputs = {}
        for feature in description.output:
            if feature.name not in blobs:
                raise _nserror(f"Output {feature.name} is produced by no layer.")
            code = feature.type.multiArrayType.dataType
            outputs[feature.name] = blobs[feature.name].astype(_OUTPUT_TYPES.get(code, np.float32))
        return outputs

    def batchPredict(self, batch):
        return [self.predict(data) for data in batch]
