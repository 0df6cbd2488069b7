"""Test stand-in for the TensorRT 8 Python bindings: runtime, engines, execution contexts, optimization
profiles, logger and profiler interfaces, builder, builder configuration and ONNX parser.

Not TensorRT and not installed with ostrel: tests put platform/tensorrt on sys.path (together with the
pycuda stand-in, whose host-memory model of the CUDA driver it executes on). An engine is the parsed
ONNX graph plus its binding and profile table; executions run the graph with onnxruntime, so outputs
are real. Serialized engine layout:

    b"\x00ptrt+OS" | u32 version tag | u32 table length | table (JSON, UTF-8) | ONNX model bytes

A blob whose version tag differs from SERIALIZATION_TAG is refused with an ERROR message that contains
"version tag does not match", as an engine of another TensorRT release is. Misuse that the real
library rejects is rejected here too: messages go to the runtime's logger at ERROR severity and the
call reports failure (None or False), or a TypeError is raised for objects of the wrong kind.
"""
import enum
import json
import os
import struct
import tempfile
import threading

import numpy as np

__version__ = "8.6.1"
SERIALIZATION_TAG = 0x00080601
_MAGIC = b"\x00ptrt+OS"  # "ptrt+" is what framework detection finds in engine files
_HEADER = struct.Struct("<8sII")


class DataType(enum.IntEnum):
    FLOAT = 0
    HALF = 1
    INT8 = 2
    INT32 = 3
    BOOL = 4
    UINT8 = 5


float32 = DataType.FLOAT
float16 = DataType.HALF
int8 = DataType.INT8
int32 = DataType.INT32
bool = DataType.BOOL  # noqa: A001 - the bindings' own name
uint8 = DataType.UINT8

_NP_TYPES = {
    DataType.FLOAT: np.float32,
    DataType.HALF: np.float16,
    DataType.INT8: np.int8,
    DataType.INT32: np.int32,
    DataType.BOOL: np.bool_,
    DataType.UINT8: np.uint8,
}
# ONNX element type number -> (binding type, ONNX element type of the graph)
_ONNX_TYPES = {1: DataType.FLOAT, 10: DataType.HALF, 3: DataType.INT8, 6: DataType.INT32, 7: DataType.INT32,
               9: DataType.BOOL, 2: DataType.UINT8}
_ORT_NP = {1: np.float32, 10: np.float16, 3: np.int8, 6: np.int32, 7: np.int64, 9: np.bool_, 2: np.uint8}


def nptype(trt_type):
    return _NP_TYPES[DataType(trt_type)]


def volume(shape):
    n = 1
    for d in shape:
        n *= int(d)
    return n


class Dims(tuple):
    def __new__(cls, dims=()):
        return super().__new__(cls, (int(d) for d in dims))

    def __repr__(self):
        return "(" + ", ".join(str(d) for d in self) + ")"


class _Scoped:
    """The bindings' objects are context managers; leaving the block destroys the object."""

    _destroyed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._destroyed = True
        return False

    def _alive(self, what):
        if self._destroyed:
            raise RuntimeError(f"{what}: object was destroyed")


class ILogger:
    class Severity(enum.IntEnum):
        INTERNAL_ERROR = 0
        ERROR = 1
        WARNING = 2
        INFO = 3
        VERBOSE = 4

    INTERNAL_ERROR = Severity.INTERNAL_ERROR
    ERROR = Severity.ERROR
    WARNING = Severity.WARNING
    INFO = Severity.INFO
    VERBOSE = Severity.VERBOSE

    def __init__(self):
        self._trt_interface_ready = True

    def log(self, severity, msg):
        raise NotImplementedError("ILogger.log must be overridden")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


class Logger(ILogger):
    _LETTERS = "EEWIV"

    def __init__(self, min_severity=ILogger.Severity.WARNING):
        super().__init__()
        self.min_severity = ILogger.Severity(min_severity)

    def log(self, severity, msg):
        severity = ILogger.Severity(severity)
        if severity <= self.min_severity:
            import sys
            tag = "F" if severity == ILogger.Severity.INTERNAL_ERROR else self._LETTERS[severity]
            sys.stderr.write(f"[TRT] [{tag}] {msg}\n")
            sys.stderr.flush()


class IProfiler:
    def __init__(self):
        self._trt_interface_ready = True

    def report_layer_time(self, layer_name, ms):
        raise NotImplementedError("IProfiler.report_layer_time must be overridden")


def _require_interface(obj, base, what):
    if not isinstance(obj, base):
        raise TypeError(f"{what}: incompatible function arguments; expected {base.__name__}, "
                        f"got {type(obj).__name__}")
    if not getattr(obj, "_trt_interface_ready", False):
        raise TypeError(f"{what}: {base.__name__}.__init__() must be called when overriding __init__")


def _log(logger, severity, msg):
    logger.log(ILogger.Severity(severity), msg)


def init_libnvinfer_plugins(logger, namespace):
    if logger is not None:
        _require_interface(logger, ILogger, "init_libnvinfer_plugins")
    return True


class _PluginRegistry:
    plugin_creator_list = ()


_PLUGIN_REGISTRY = _PluginRegistry()


def get_plugin_registry():
    return _PLUGIN_REGISTRY


def _cuda():
    try:
        from pycuda import driver
    except ImportError as e:  # no driver: the library cannot reach a GPU
        raise RuntimeError("CUDA initialization failure: no CUDA driver") from e
    return driver


def _current_context():
    return _cuda().Context.get_current()


# ---- network, parser, builder ------------------------------------------------------------------------------


class NetworkDefinitionCreationFlag(enum.IntEnum):
    EXPLICIT_BATCH = 0
    EXPLICIT_PRECISION = 1


class BuilderFlag(enum.IntEnum):
    FP16 = 0
    INT8 = 1
    DEBUG = 2


class ITensor:
    def __init__(self, name, shape, dtype, is_input):
        self.name = name
        self.shape = Dims(shape)
        self.dtype = dtype
        self.is_network_input = is_input


class ILayer:
    def __init__(self, name, kind):
        self.name = name
        self.type = kind


class INetworkDefinition(_Scoped):
    def __init__(self, flags):
        self._flags = flags
        self._inputs = []
        self._outputs = []
        self._layers = []
        self._onnx = None
        self.name = "Unnamed Network 0"

    @property
    def num_inputs(self):
        return len(self._inputs)

    @property
    def num_outputs(self):
        return len(self._outputs)

    @property
    def num_layers(self):
        return len(self._layers)

    @property
    def has_implicit_batch_dimension(self):
        return not self._flags & (1 << int(NetworkDefinitionCreationFlag.EXPLICIT_BATCH))

    def get_input(self, index):
        return self._inputs[index]

    def get_output(self, index):
        return self._outputs[index]

    def get_layer(self, index):
        return self._layers[index]


class ParserError:
    def __init__(self, node, desc):
        self._node = node
        self._desc = desc

    def node(self):
        return self._node

    def desc(self):
        return self._desc

    def __str__(self):
        return f"In node {self._node}: {self._desc}"


def _dims_of(value_info):
    dims = []
    for d in value_info.type.tensor_type.shape.dim:
        dims.append(d.dim_value if d.HasField("dim_value") else -1)
    return dims


class OnnxParser(_Scoped):
    def __init__(self, network, logger):
        if not isinstance(network, INetworkDefinition):
            raise TypeError("OnnxParser: expected an INetworkDefinition")
        _require_interface(logger, ILogger, "OnnxParser")
        self._network = network
        self._logger = logger
        self._errors = []

    @property
    def num_errors(self):
        return len(self._errors)

    def get_error(self, index):
        return self._errors[index]

    def clear_errors(self):
        self._errors = []

    def _fail(self, node, desc):
        self._errors.append(ParserError(node, desc))
        _log(self._logger, ILogger.ERROR, f"ModelImporter: {desc}")
        return False

    def parse(self, model, path=None):
        self._alive("OnnxParser.parse")
        import onnx

        if self._network.has_implicit_batch_dimension:
            return self._fail(-1, "the ONNX parser only supports networks with an explicit batch dimension")
        try:
            proto = onnx.load_from_string(bytes(model))
            onnx.checker.check_model(proto)
        except Exception as e:  # noqa: BLE001 - any unreadable model is a parse error
            return self._fail(-1, f"failed to parse the ONNX model: {e}")
        graph = proto.graph
        initializers = {i.name for i in graph.initializer}
        for i, node in enumerate(graph.node):
            if not node.name:
                node.name = f"{node.op_type}_{i}"
        network = self._network
        for vi in graph.input:
            if vi.name in initializers:
                continue
            elem = vi.type.tensor_type.elem_type
            if elem not in _ONNX_TYPES:
                return self._fail(-1, f"input {vi.name} has an element type ({elem}) that engines do not support")
            if elem == 7:
                _log(self._logger, ILogger.WARNING,
                     f"input {vi.name} is INT64 in the ONNX model; the engine takes it as INT32")
            network._inputs.append(ITensor(vi.name, _dims_of(vi), _ONNX_TYPES[elem], True))
        for vi in graph.output:
            elem = vi.type.tensor_type.elem_type
            if elem not in _ONNX_TYPES:
                return self._fail(-1, f"output {vi.name} has an element type ({elem}) that engines do not support")
            network._outputs.append(ITensor(vi.name, _dims_of(vi), _ONNX_TYPES[elem], False))
        network._layers = [ILayer(node.name, node.op_type) for node in graph.node]
        if graph.name:
            network.name = graph.name
        serialized = proto.SerializeToString()
        try:
            _ort_session(serialized)
        except Exception as e:  # noqa: BLE001
            network._inputs, network._outputs, network._layers = [], [], []
            return self._fail(-1, f"the ONNX graph cannot be executed: {e}")
        network._onnx = serialized
        return True


class IOptimizationProfile:
    def __init__(self):
        self._shapes = {}

    def set_shape(self, input, min, opt, max):  # noqa: A002 - the bindings' own names
        self._shapes[input] = (Dims(min), Dims(opt), Dims(max))

    def get_shape(self, input):  # noqa: A002
        return [Dims(s) for s in self._shapes.get(input, ((), (), ()))]



class IBuilderConfig(_Scoped):
    def __init__(self):
        self._flags = set()
        self._profiles = []
        self.max_workspace_size = 0

    def set_flag(self, flag):
        self._flags.add(BuilderFlag(flag))

    def clear_flag(self, flag):
        self._flags.discard(BuilderFlag(flag))

    def get_flag(self, flag):
        return BuilderFlag(flag) in self._flags

    def add_optimization_profile(self, profile):
        if not isinstance(profile, IOptimizationProfile):
            raise TypeError("add_optimization_profile: expected an IOptimizationProfile")
        self._profiles.append(profile)
        return len(self._profiles) - 1

    @property
    def num_optimization_profiles(self):
        return len(self._profiles)


class Builder(_Scoped):
    _ATTRIBUTES = ("max_batch_size",)

    def __init__(self, logger):
        _require_interface(logger, ILogger, "Builder")
        object.__setattr__(self, "_logger", logger)
        object.__setattr__(self, "max_batch_size", 1)

    def __setattr__(self, name, value):
        if name not in self._ATTRIBUTES and not name.startswith("_"):
            raise AttributeError(f"'tensorrt.Builder' object has no attribute '{name}'")
        object.__setattr__(self, name, value)

    @property
    def platform_has_fast_fp16(self):
        return True

    def create_network(self, flags=0):
        self._alive("create_network")
        return INetworkDefinition(int(flags))

    def create_builder_config(self):
        self._alive("create_builder_config")
        return IBuilderConfig()

    def create_optimization_profile(self):
        return IOptimizationProfile()

    def _error(self, msg):
        _log(self._logger, ILogger.ERROR, msg)
        return None

    def build_serialized_network(self, network, config):
        self._alive("build_serialized_network")
        if network._onnx is None or not network._outputs:
            return self._error("Network must have at least one output")
        profiles = []
        dynamic = any(-1 in t.shape for t in network._inputs)
        if dynamic and not config._profiles:
            return self._error("Network has dynamic or shape inputs, but no optimization profile has been defined.")
        for p_index, profile in enumerate(config._profiles or [None]):
            entry = {}
            for t in network._inputs:
                if profile is None:
                    shapes = (t.shape, t.shape, t.shape)
                elif t.name not in profile._shapes:
                    if -1 in t.shape:
                        return self._error(f"Optimization profile {p_index}: dynamic input {t.name} has no shapes")
                    shapes = (t.shape, t.shape, t.shape)
                else:
                    shapes = profile._shapes[t.name]
                for which, s in zip(("min", "opt", "max"), shapes):
                    if len(s) != len(t.shape):
                        return self._error(f"Optimization profile {p_index}: {which} dimensions of {t.name} have "
                                           f"rank {len(s)}, the input has rank {len(t.shape)}")
                    for axis, (d, net) in enumerate(zip(s, t.shape)):
                        if d < 1 or (net != -1 and d != net):
                            return self._error(f"Optimization profile {p_index}: {which} dimension {axis} of "
                                               f"{t.name} is {d}, which the network ({list(t.shape)}) does not allow")
                if any(a > b for a, b in zip(shapes[0], shapes[1])) or any(a > b for a, b in zip(shapes[1], shapes[2])):
                    return self._error(f"Optimization profile {p_index}: shapes of {t.name} are not "
                                       "min <= opt <= max")
                entry[t.name] = [list(s) for s in shapes]
            profiles.append(entry)
        table = {
            "name": network.name,
            "fp16": config.get_flag(BuilderFlag.FP16),
            "inputs": [{"name": t.name, "shape": list(t.shape), "dtype": int(t.dtype)} for t in network._inputs],
            "outputs": [{"name": t.name, "shape": list(t.shape), "dtype": int(t.dtype)} for t in network._outputs],
            "profiles": profiles,
            "layers": [layer.name for layer in network._layers],
        }
        return IHostMemory(_serialize(table, network._onnx, SERIALIZATION_TAG))

    def build_engine(self, network, config):
        blob = self.build_serialized_network(network, config)
        if blob is None:
            return None
        _, table, onnx_bytes = _parse_blob(blob)
        return ICudaEngine(table, onnx_bytes, self._logger, _current_context())


class IHostMemory(bytes):
    @property
    def nbytes(self):
        return len(self)


def _serialize(table, onnx_bytes, tag):
    body = json.dumps(table).encode()
    return _HEADER.pack(_MAGIC, tag, len(body)) + body + onnx_bytes


def _parse_blob(data):
    """(tag, table, onnx bytes), or raises ValueError for data that is no serialized engine."""
    data = bytes(data)
    if len(data) < _HEADER.size:
        raise ValueError("the data is too short to be a serialized engine")
    magic, tag, length = _HEADER.unpack_from(data)
    if magic != _MAGIC:
        raise ValueError("the data is not a serialized engine (no engine header)")
    start = _HEADER.size
    if start + length > len(data):
        raise ValueError("the serialized engine is truncated")
    table = json.loads(data[start:start + length].decode())
    return tag, table, data[start + length:]


# ---- runtime, engine, execution context ----------------------------------------------------------------


_sessions = {}
_sessions_lock = threading.Lock()


def _ort_session(onnx_bytes, profile_dir=None):
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    options.log_severity_level = 3
    if profile_dir is not None:
        options.enable_profiling = True
        options.profile_file_prefix = os.path.join(profile_dir, "layers")
        options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
        return ort.InferenceSession(onnx_bytes, sess_options=options, providers=["CPUExecutionProvider"])
    key = hash(onnx_bytes)
    with _sessions_lock:
        cached = _sessions.get(key)
        if cached is not None and cached[0] == onnx_bytes:
            return cached[1]
    session = ort.InferenceSession(onnx_bytes, sess_options=options, providers=["CPUExecutionProvider"])
    with _sessions_lock:
        _sessions[key] = (onnx_bytes, session)
    return session


class Runtime(_Scoped):
    def __init__(self, logger):
        _require_interface(logger, ILogger, "Runtime")
        self._logger = logger

    def deserialize_cuda_engine(self, serialized_engine):
        self._alive("deserialize_cuda_engine")
        try:
            tag, table, onnx_bytes = _parse_blob(serialized_engine)
        except ValueError as e:
            _log(self._logger, ILogger.ERROR, f"1: [runtime] deserialization failed: {e}")
            return None
        if tag != SERIALIZATION_TAG:
            _log(self._logger, ILogger.ERROR,
                 f"1: [runtime] deserialization failed: version tag does not match (the engine carries "
                 f"0x{tag:08x}, this runtime reads 0x{SERIALIZATION_TAG:08x}); the engine was built by "
                 "another TensorRT release")
            return None
        ctx = _current_context()
        if ctx is None:
            _log(self._logger, ILogger.ERROR, "1: [runtime] deserialization failed: no current CUDA context")
            return None
        return ICudaEngine(table, onnx_bytes, self._logger, ctx)


class ICudaEngine(_Scoped):
    def __init__(self, table, onnx_bytes, logger, cuda_context):
        self._table = table
        self._onnx = onnx_bytes
        self._logger = logger
        self._cuda_context = cuda_context
        base = []
        for t in table["inputs"]:
            base.append((t["name"], Dims(t["shape"]), DataType(t["dtype"]), True))
        for t in table["outputs"]:
            base.append((t["name"], Dims(t["shape"]), DataType(t["dtype"]), False))
        self._per_profile = len(base)
        self._bindings = []
        for p in range(len(table["profiles"])):
            for name, shape, dtype, is_input in base:
                self._bindings.append((name if p == 0 else f"{name} [profile {p}]", shape, dtype, is_input))
        self._shape_cache = {}

    def __repr__(self):
        return f"<stand-in ICudaEngine {self.name!r}>"

    # engine facts
    @property
    def name(self):
        return self._table["name"]

    @property
    def num_bindings(self):
        return len(self._bindings)

    @property
    def num_optimization_profiles(self):
        return len(self._table["profiles"])

    @property
    def num_layers(self):
        return len(self._table["layers"])

    @property
    def max_batch_size(self):
        return 1  # explicit-batch engines

    @property
    def has_implicit_batch_dimension(self):
        return False

    @property
    def device_memory_size(self):
        total = 0
        profile = self._table["profiles"][0]
        for t in self._table["inputs"]:
            total += volume(profile[t["name"]][2]) * np.dtype(nptype(t["dtype"])).itemsize
        return (total + len(self._onnx) + 255) // 256 * 256

    def _binding(self, index):
        if isinstance(index, str):
            for i, b in enumerate(self._bindings):
                if b[0] == index:
                    return i, b
            raise IndexError(f"no binding named {index!r}")
        index = int(index)
        if not 0 <= index < len(self._bindings):
            raise IndexError(f"binding index {index} out of range [0, {len(self._bindings)})")
        return index, self._bindings[index]

    def binding_is_input(self, index):
        return self._binding(index)[1][3]

    def get_binding_name(self, index):
        return self._binding(index)[1][0]

    def get_binding_index(self, name):
        try:
            return self._binding(str(name))[0]
        except IndexError:
            return -1

    def get_binding_shape(self, index):
        return Dims(self._binding(index)[1][1])

    def get_binding_dtype(self, index):
        return self._binding(index)[1][2]

    def get_profile_shape(self, profile_index, binding):
        index, (name, _, _, is_input) = self._binding(binding)
        if not is_input:
            raise IndexError(f"binding {index} is not an input")
        if not 0 <= profile_index < self.num_optimization_profiles:
            raise IndexError(f"profile index {profile_index} out of range")
        if index // self._per_profile != profile_index:
            raise IndexError(f"binding {index} does not belong to profile {profile_index}")
        base_name = self._bindings[index % self._per_profile][0]
        return [Dims(s) for s in self._table["profiles"][profile_index][base_name]]

    def serialize(self):
        return IHostMemory(_serialize(self._table, self._onnx, SERIALIZATION_TAG))

    def create_execution_context(self):
        self._alive("create_execution_context")
        if self._cuda_context is not None and _current_context() is not self._cuda_context:
            _log(self._logger, ILogger.ERROR,
                 "1: [executionContext] the engine's CUDA context is not current (context mismatch)")
            return None
        return IExecutionContext(self)

    def _output_shapes(self, input_shapes):
        """Output shapes for concrete input shapes, found by running the graph once per new shape set."""
        key = tuple(input_shapes)
        cached = self._shape_cache.get(key)
        if cached is None:
            session = _ort_session(self._onnx)
            feeds = {}
            for info, shape in zip(session.get_inputs(), input_shapes):
                feeds[info.name] = np.zeros(shape, dtype=_ort_np(info.type))
            cached = [Dims(o.shape) for o in session.run(None, feeds)]
            self._shape_cache[key] = cached
        return cached


def _ort_np(type_text):
    return {"tensor(float)": np.float32, "tensor(float16)": np.float16, "tensor(int8)": np.int8,
            "tensor(int32)": np.int32, "tensor(int64)": np.int64, "tensor(bool)": np.bool_,
            "tensor(uint8)": np.uint8}[type_text]


class IExecutionContext(_Scoped):
    def __init__(self, engine):
        self.engine = engine
        self._profile = 0
        self._shapes = {}
        self._profiler = None
        self.name = ""
        self.debug_sync = False

    def _error(self, msg):
        _log(self.engine._logger, ILogger.ERROR, msg)
        return False

    def _profile_indexes(self, profile=None):
        per = self.engine._per_profile
        start = (self._profile if profile is None else profile) * per
        return range(start, start + per)

    @property
    def active_optimization_profile(self):
        return self._profile

    @active_optimization_profile.setter
    def active_optimization_profile(self, index):
        if not 0 <= int(index) < self.engine.num_optimization_profiles:
            raise ValueError(f"profile index {index} out of range")
        self._profile = int(index)

    def set_optimization_profile_async(self, profile_index, stream_handle):
        if not 0 <= int(profile_index) < self.engine.num_optimization_profiles:
            return self._error(f"3: [executionContext] profile index {profile_index} out of range")
        _cuda().stream_from_handle(stream_handle)
        self._profile = int(profile_index)
        return True

    @property
    def profiler(self):
        return self._profiler

    @profiler.setter
    def profiler(self, value):
        if value is not None:
            _require_interface(value, IProfiler, "IExecutionContext.profiler")
        self._profiler = value

    def _input_shape(self, index):
        shape = self._shapes.get(index)
        return shape if shape is not None else self.engine.get_binding_shape(index)

    @property
    def all_binding_shapes_specified(self):
        return all(-1 not in self._input_shape(i) for i in self._profile_indexes()
                   if self.engine.binding_is_input(i))

    def get_binding_shape(self, index):
        index, (_, shape, _, is_input) = self.engine._binding(index)
        if is_input:
            return Dims(self._input_shape(index))
        profile = index // self.engine._per_profile
        inputs = [i for i in self._profile_indexes(profile) if self.engine.binding_is_input(i)]
        shapes = [self._input_shape(i) for i in inputs]
        if any(-1 in s for s in shapes):
            return Dims(shape)
        outputs = [i for i in self._profile_indexes(profile) if not self.engine.binding_is_input(i)]
        return self.engine._output_shapes(shapes)[outputs.index(index)]

    def set_binding_shape(self, index, shape):
        try:
            index, (name, net_shape, _, is_input) = self.engine._binding(index)
        except IndexError as e:
            return self._error(f"3: [executionContext] {e}")
        if not is_input:
            return self._error(f"3: [executionContext] binding {index} ({name}) is not an input")
        if index not in self._profile_indexes():
            return self._error(f"3: [executionContext] binding {index} ({name}) does not belong to the active "
                               f"optimization profile {self._profile}")
        shape = Dims(shape)
        if len(shape) != len(net_shape):
            return self._error(f"3: [executionContext] {name}: dimensions {list(shape)} have rank {len(shape)}, "
                               f"the binding has rank {len(net_shape)}")
        lo, _, hi = self.engine.get_profile_shape(self._profile, index)
        for axis, d in enumerate(shape):
            if net_shape[axis] != -1 and d != net_shape[axis]:
                return self._error(f"3: [executionContext] {name}: dimension {axis} is {d}, the binding has "
                                   f"{net_shape[axis]}")
            if not lo[axis] <= d <= hi[axis]:
                return self._error(f"3: [executionContext] {name}: dimension {axis} is {d}, outside the "
                                   f"optimization profile's range [{lo[axis]}, {hi[axis]}]")
        self._shapes[index] = shape
        return True

    def execute_v2(self, bindings):
        cuda = _cuda()
        ctx = cuda.Context.get_current()
        if ctx is None:
            return self._error("1: [executionContext] no current CUDA context")
        if not self.execute_async_v2(bindings, 0):
            return False
        cuda.Context.synchronize()
        return True

    def execute_async_v2(self, bindings, stream_handle):
        self._alive("execute_async_v2")
        engine = self.engine
        cuda = _cuda()
        current = cuda.Context.get_current()
        if current is None:
            return self._error("1: [executionContext] enqueue failed: no current CUDA context")
        if engine._cuda_context is not None and current is not engine._cuda_context:
            return self._error("1: [executionContext] enqueue failed: the current CUDA context is not the "
                               "engine's (context mismatch)")
        try:
            stream = cuda.stream_from_handle(stream_handle)
            if stream._context is not current:
                raise cuda.LogicError("the stream belongs to another CUDA context")
        except Exception as e:  # noqa: BLE001
            return self._error(f"1: [executionContext] enqueue failed: {e}")
        bindings = list(bindings)
        if len(bindings) != engine.num_bindings:
            return self._error(f"3: [executionContext] enqueue failed: {len(bindings)} binding addresses given, "
                               f"the engine has {engine.num_bindings} bindings")
        if not self.all_binding_shapes_specified:
            return self._error("3: [executionContext] enqueue failed: not all input dimensions are specified")
        inputs, outputs = [], []
        try:
            for i in self._profile_indexes():
                shape = self.get_binding_shape(i)
                dtype = nptype(engine.get_binding_dtype(i))
                nbytes = volume(shape) * np.dtype(dtype).itemsize
                if int(bindings[i]) == 0:
                    raise ValueError(f"binding {i} ({engine.get_binding_name(i)}) has a null address")
                view = cuda.device_view(int(bindings[i]), nbytes, f"binding {i} ({engine.get_binding_name(i)})")
                (inputs if engine.binding_is_input(i) else outputs).append((view, shape, dtype))
        except Exception as e:  # noqa: BLE001
            return self._error(f"1: [executionContext] enqueue failed: {e}")
        profiler = self._profiler

        def execute():
            try:
                self._run(inputs, outputs, profiler)
            except Exception as e:  # noqa: BLE001 - a failed kernel is reported, not raised, by the runtime
                _log(engine._logger, ILogger.ERROR, f"1: [executionContext] execution failed: {e}")

        cuda.enqueue(stream, execute)
        return True

    def _run(self, inputs, outputs, profiler):
        engine = self.engine
        profile_dir = tempfile.mkdtemp(prefix="trt-layers-") if profiler is not None else None
        try:
            session = _ort_session(engine._onnx, profile_dir)
            feeds = {}
            for info, (view, shape, dtype) in zip(session.get_inputs(), inputs):
                array = np.frombuffer(view.tobytes(), dtype=dtype).reshape(shape)
                feeds[info.name] = array.astype(_ort_np(info.type), copy=False)
            results = session.run(None, feeds)
            for result, (view, shape, dtype) in zip(results, outputs):
                if tuple(result.shape) != tuple(shape):
                    raise ValueError(f"output shape {list(result.shape)} differs from the binding's {list(shape)}")
                view[:] = np.ascontiguousarray(result.astype(dtype, copy=False)).reshape(-1).view(np.uint8)
            if profiler is not None:
                trace = session.end_profiling()
                times = _layer_times(trace)
                for layer in engine._table["layers"]:
                    profiler.report_layer_time(layer, times.get(layer, 0.0))
        finally:
            if profile_dir is not None:
                import shutil
                shutil.rmtree(profile_dir, ignore_errors=True)


def _layer_times(trace_path):
    with open(trace_path) as f:
        events = json.load(f)
    times = {}
    for event in events:
        if event.get("cat") == "Node" and event.get("name", "").endswith("_kernel_time"):
            name = event["name"][: -len("_kernel_time")]
            times[name] = times.get(name, 0.0) + event.get("dur", 0) / 1000.0
    return times
