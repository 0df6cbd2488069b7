// The TensorRT engine layer: TamsorTRTEngineRunner owns one engine on one GPU (its own CUDA context, one
// stream, one execution context, page-locked host buffers and device buffers), TRTExecutionHandle is one
// enqueued execution, OstrelTRTProfiler collects per-layer times and TamsorTRTEngineLogger wraps
// TensorRT's logger and buffers what is reported during a call.
//
// The logger and the profiler are real Python subclasses of TensorRT's ILogger and IProfiler, so
// TensorRT's callbacks reach them; all members are C++ functions calling TensorRT and pycuda through their
// Python APIs. Module attributes are read at each use, except by a runner's disposal, which may run at
// interpreter exit.
//
// TensorRT is imported first and without a guard: on a machine without it the module's import fails with
// ModuleNotFoundError, which ostrel.frameworks.trt_inferencer answers by going without TRTInferencer. With
// TensorRT there, CUDA is touched only after its plug-ins load and a GPU is visible: a machine without a
// GPU, or whose pycuda is missing or fails to start CUDA, gets the module without its classes (one warning
// on the "tensorrt" logger says why). Every device operation of a runner runs with the runner's context
// pushed on the calling thread and popped again on every path, so several runners live side by side in
// one process.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/frameworks/engines/pushed_context.hpp"

namespace py = pybind11;
using ostrel::PushedContext;
using ostrel::raise;
using ostrel::truthy;

namespace {

constexpr const char* kFile = "ostrel/frameworks/engines/trt_engine.py";

constexpr const char* kModuleDoc =
    "TensorRT engine layer built on pycuda with page-locked (pinned) host buffers and one CUDA stream per\n"
    "engine. It replaced an engine layer built on cupy arrays because it measured faster: 3000 against\n"
    "2400 frames per second on MobilenetV2, a gap of about 25% put down to CUDA bottlenecks, to how the\n"
    "default stream is set up and used, and to pinned memory.";

constexpr const char* kLoggerDoc =
    "Implements TensorRT's logger interface as fixed in TensorRT 8, with two functions: it wraps the\n"
    "TensorRT logger passed to it, and it buffers whatever is logged between its enter and its exit.";

constexpr const char* kNoGpu = "A GPU is not available, therefore TensorRT models cannot be used.";
constexpr const char* kPycudaMissing =
    "problem importing package: \"pycuda\" (this will effect execution only if using pycuda)";

ostrel::ModuleAttributes mod_attr;  // this module

void log(int level, const std::string& message) { ostrel::log(mod_attr("logger"), level, message, kFile); }

std::string linesep() { return ostrel::str(mod_attr("os").attr("linesep")); }

py::object cuda() { return mod_attr("cuda"); }
py::object trt() { return mod_attr("trt"); }

// ---- TamsorTRTEngineLogger ------------------------------------------------------------------------------

void logger_init(py::object self, py::object logger_to_wrap) {
  trt().attr("ILogger").attr("__init__")(self);
  self.attr("_wrapped_trt_logger") = logger_to_wrap;
  self.attr("_captured_messages") = py::list();
  self.attr("log") = self.attr("_log");
}

void logger_log(py::object self, py::object severity, py::object msg, py::args, py::kwargs) {
  self.attr("_wrapped_trt_logger").attr("log")(severity, msg);
}

void logger_capture_log(py::object self, py::object severity, py::object msg, py::args, py::kwargs) {
  self.attr("_captured_messages").attr("append")(msg);
  self.attr("_log")(severity, msg);
}

py::object logger_enter(py::object self) {
  trt().attr("ILogger").attr("__enter__")(self);
  self.attr("clear_buffer")();
  self.attr("log") = self.attr("_capture_log");
  return self;
}

void logger_exit(py::object self, py::args args) {
  trt().attr("ILogger").attr("__exit__")(self, *args);
  self.attr("log") = self.attr("_log");
}

py::object severity_from_python_verbosity(py::object python_verbosity) {
  py::object logging = mod_attr("logging");
  py::object severity = trt().attr("Logger");
  py::dict table;
  table[logging.attr("FATAL")] = severity.attr("INTERNAL_ERROR");
  table[logging.attr("ERROR")] = severity.attr("ERROR");
  table[logging.attr("WARNING")] = severity.attr("WARNING");
  table[logging.attr("INFO")] = severity.attr("INFO");
  table[logging.attr("DEBUG")] = severity.attr("VERBOSE");
  return table.attr("get")(python_verbosity, severity.attr("VERBOSE"));
}

// True when the capture of the last block reports a failed run: its text holds "error" in any letter case
// (TensorRT's result of the enqueue says nothing reliable, its log does).
bool capture_holds_error(py::object capturer) {
  py::str text(capturer.attr("output"));
  return py::len(text) != 0 && truthy(text.attr("lower")().attr("__contains__")("error"));
}

// ---- OstrelTRTProfiler --------------------------------------------------------------------------------

void profiler_init(py::object self) {
  self.attr("_layers_times") = mod_attr("OrderedDict")();
  trt().attr("IProfiler").attr("__init__")(self);
}

py::object profiler_layers_dataframe(py::object self) {
  py::object pd;
  try {
    pd = py::module_::import("pandas");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::print("Pandas is required in order to use layers dataframe");
    return py::none();
  }
  py::object times = self.attr("_layers_times");
  py::dict columns;
  columns["Layer Name"] = py::list(times.attr("keys")());
  columns["ms"] = py::list(times.attr("values")());
  py::object df = pd.attr("DataFrame")(columns);
  py::object total = df["ms"].attr("sum")();
  df["Percentage"] = df["ms"].attr("__truediv__")(total).attr("__mul__")(100);
  return df;
}

// ---- TRTExecutionHandle ---------------------------------------------------------------------------------

void handle_init(py::object self, py::object input_consumed_event, py::object execution_started_event,
                 py::object execution_complete_event) {
  self.attr("_input_consumed_event") = input_consumed_event;
  self.attr("_execution_started_event") = execution_started_event;
  self.attr("_execution_complete_event") = execution_complete_event;
}

py::object handle_wait(py::object self) {
  py::object complete = self.attr("_execution_complete_event");
  complete.attr("synchronize")();
  return self.attr("_execution_started_event").attr("time_till")(complete);
}

// ---- TamsorTRTEngineRunner: checkpoint reading ------------------------------------------------------------

bool is_using_trt_7() {
  py::object version = mod_attr("TRT_VERSION");
  return py::isinstance<py::str>(version) && truthy(version.attr("startswith")("7"));
}

py::object trt_dtype_to_np_type(py::object trt_dtype) {
  return mod_attr("np").attr("dtype")(trt().attr("nptype")(trt_dtype));
}

py::object deserialize(py::object self, py::object runtime, py::object serialized) {
  py::object engine = py::none();
  ostrel::with_block(self.attr("log_capturer"),
             [&] { engine = runtime.attr("deserialize_cuda_engine")(serialized); });
  return engine;
}

py::tuple load_engine(py::object self, py::object filename) {
  std::string path = ostrel::str(filename);
  ostrel::OpenFile opened = ostrel::open_regular(filename);
  py::object file = *opened;
  py::object result;
  py::object runtime =
      trt().attr("Runtime")(is_using_trt_7() ? self.attr("trt_logger") : self.attr("log_capturer"));
  py::object record;
  bool native = false;
  try {
    // The restricted reader: plain data only, so a hostile record fails instead of running.
    record = ostrel::CheckpointRecords(file, mod_attr("FailedToLoadCheckpointError")).next();
  } catch (py::error_already_set& e) {
    if (!e.matches(mod_attr("pickle").attr("UnpicklingError"))) throw;
    native = true;
  }
  if (native) {
    file.attr("seek")(0);  // the whole file is the engine
    py::object engine = deserialize(self, runtime, file.attr("read")());
    log(ostrel::kDebug, path + " is a native checkpoint");
    result = py::make_tuple(engine, py::none());
  } else {
    if (!py::isinstance<py::dict>(record))
      raise(mod_attr("FailedToLoadCheckpointError"),
            "Expected a pickled dict object, but unpickled and found " + ostrel::str(py::type::of(record)) +
                ". This is not a valid TensorRT checkpoint.");
    py::object serialized = record.attr("get")("engine");
    if (serialized.is_none())
      raise(mod_attr("FailedToLoadCheckpointError"),
            "The file " + path +
                " is is a valid pickle, but there is no serialized engine inside. Please check your "
                "checkpoint. feel free to contact Tamsor's support.");
    // Named by its type only: TensorRT's own error would print the whole value.
    if (!PyBytes_Check(serialized.ptr()) && !PyByteArray_Check(serialized.ptr()))
      raise(mod_attr("FailedToLoadCheckpointError"),
            "The serialized engine in " + path + " is a " +
                ostrel::str(py::type::of(serialized).attr("__name__")) +
                ", not bytes. This is not a valid TensorRT checkpoint.");
    py::object version =
        record.attr("get")("platform_version", mod_attr("DEFAULT_PLATFORM_MAJOR_VERSION_FOR_CHECKPOINTS"));
    py::object platform_major = version.attr("split")(".")[py::int_(0)];
    py::object package_major = mod_attr("PLATFORM_MAPPINGS_TO_OSTREL_VERSIONS").attr("get")(platform_major);
    if (package_major.is_none())
      raise(mod_attr("FailedToLoadCheckpointError"),
            "The checkpoint is compatible only with a newer version of TensorRT and ostrel-gpu (but we "
            "cannot infer which one). Please upgrade ostrel-gpu in order to use it.");
    py::object installed = mod_attr("OSTREL_VERSION").attr("split")(".")[py::int_(0)];
    if (!installed.equal(package_major))
      log(ostrel::kWarning,
          "You are trying to load a TensorRT checkpoint that was tailor-made for another version or "
          "TensorRT and ostrel-gpu." +
              linesep() + "You have ostrel-gpu in version " + ostrel::str(mod_attr("OSTREL_VERSION")) +
              " installed, which is incompatible with this checkpoint." + linesep() +
              "Please install ostrel-gpu~=" + ostrel::str(package_major) + ".0");
    py::object engine = deserialize(self, runtime, serialized);
    log(ostrel::kDebug, path + " is a tamsor checkpoint");
    result = py::make_tuple(engine, package_major);
  }
  opened.close();
  return result;
}

[[noreturn]] void diagnose_failed_load(py::object self, py::object trt_ckpt_path, py::object package_major) {
  std::string sep = linesep();
  py::object pieces = py::str(self.attr("log_capturer").attr("output")).attr("split")(sep);
  for (py::handle piece : pieces) {
    std::string text = ostrel::str(piece);
    log(ostrel::kError, sep + "----------" + sep + text + sep + "----------" + sep);
    if (text.find("tag does not match") == std::string::npos) continue;
    if (!package_major.is_none()) {
      std::string major = ostrel::str(package_major);
      raise(mod_attr("FailedToLoadCheckpointError"),
            "TensorRT ERROR: Failed to load the checkpoint since it was compiled for Ostrel major version " +
                major + "." + sep + "Please install \"ostrel-gpu~=" + major +
                ".0\" and try again. Feel free to contact Tamsor's support.");
    }
    raise(mod_attr("FailedToLoadCheckpointError"),
          "The checkpoint is not compatible with the current version of TensorRT (" +
              ostrel::str(mod_attr("TRT_VERSION")) +
              "). Please use a different major version of ostrel-gpu (refer to the TensorRT error above) and "
              "try again. Feel free to contact Tamsor's support.");
  }
  raise(mod_attr("FailedToLoadCheckpointError"),
        "Failed to load the model from \"" + ostrel::str(trt_ckpt_path) +
            "\" from an unknown reason. Please refer to the comments above or contact Tamsor's support.");
}

// ---- TamsorTRTEngineRunner: profiles, bindings and buffers ------------------------------------------

bool is_dynamic(py::object, py::object shape) {
  for (py::handle d : shape)
    if (py::int_(py::reinterpret_borrow<py::object>(d)).cast<long long>() < 0) return true;
  return false;
}

void activate_profile(py::object self) {
  py::object context = self.attr("execution_context");
  py::object profile = self.attr("optimization_profile_number");
  if (is_using_trt_7()) {
    context.attr("active_optimization_profile") = profile;
    return;
  }
  py::object ok = context.attr("set_optimization_profile_async")(
      py::arg("profile_index") = profile, py::arg("stream_handle") = self.attr("stream").attr("handle"));
  if (!truthy(ok))
    raise(PyExc_RuntimeError,
          "TensorRT could not activate optimization profile " + ostrel::str(profile) + " of the engine.");
}

py::tuple get_binding_idxs(py::object, py::object engine, py::object profile_index) {
  long long bindings = engine.attr("num_bindings").cast<long long>();
  long long profiles = engine.attr("num_optimization_profiles").cast<long long>();
  long long per_profile = bindings / profiles;
  long long start = profile_index.cast<long long>() * per_profile;
  py::list inputs, outputs;
  for (long long i = start; i < start + per_profile; ++i)
    (truthy(engine.attr("binding_is_input")(i)) ? inputs : outputs).append(i);
  return py::make_tuple(inputs, outputs);
}

py::object page_locked(py::object shape, py::object element_type) {
  py::object array = cuda().attr("pagelocked_empty")(trt().attr("volume")(shape), element_type);
  return array.attr("reshape")(shape);
}

py::object element_type_of(py::object self, py::object index) {
  return trt().attr("nptype")(self.attr("engine").attr("get_binding_dtype")(index));
}

py::list get_random_inputs(py::object self, py::object engine, py::object context,
                           py::list input_binding_idxs) {
  py::list inputs;
  for (py::handle index : input_binding_idxs) {
    py::object shape = context.attr("get_binding_shape")(index);
    py::object element_type = element_type_of(self, py::reinterpret_borrow<py::object>(index));
    if (is_dynamic(self, shape)) {
      activate_profile(self);
      self.attr("stream").attr("synchronize")();
      shape = engine.attr("get_profile_shape")(self.attr("optimization_profile_number"), index)[py::int_(1)];
    }
    py::object array = page_locked(shape, element_type);
    array.attr("fill")(0);  // the warm-up runs on defined values
    inputs.append(array);
  }
  return inputs;
}

std::string shape_text(py::handle shape) {
  return ostrel::str(py::tuple(py::reinterpret_borrow<py::object>(shape)));
}

// Refuses input shapes that the active optimization profile does not cover, before anything changes.
void check_profile_range(py::object self, py::list host_inputs, py::list input_binding_idxs) {
  py::object engine = self.attr("engine");
  py::object profile = self.attr("execution_context").attr("active_optimization_profile");
  size_t n = std::min(host_inputs.size(), input_binding_idxs.size());
  for (size_t i = 0; i < n; ++i) {
    py::object index = input_binding_idxs[i];
    py::tuple shape(host_inputs[i].attr("shape"));
    py::list range = engine.attr("get_profile_shape")(profile, index);
    py::tuple low(range[0]), high(range[2]);
    bool fits = shape.size() == low.size();
    for (size_t axis = 0; fits && axis < shape.size(); ++axis) {
      long long d = shape[axis].cast<long long>();
      fits = low[axis].cast<long long>() <= d && d <= high[axis].cast<long long>();
    }
    if (!fits)
      raise(PyExc_ValueError, "Input " + std::to_string(i) + " (" +
                                  ostrel::str(engine.attr("get_binding_name")(index)) + ") has shape " +
                                  shape_text(shape) + ", outside optimization profile " +
                                  ostrel::str(profile) + " of the engine, which takes shapes from " +
                                  shape_text(low) + " to " + shape_text(high) + ".");
  }
}

py::tuple allocate_device_memory(py::object self, py::object context, py::list host_inputs,
                                 py::list input_binding_idxs, py::list output_binding_idxs) {
  PushedContext pushed(self.attr("device_context"));
  size_t n = std::min(host_inputs.size(), input_binding_idxs.size());
  for (size_t i = 0; i < n; ++i) {
    py::object index = input_binding_idxs[i];
    py::object shape = host_inputs[i].attr("shape");
    if (!truthy(context.attr("set_binding_shape")(index, shape)))
      raise(PyExc_ValueError, "TensorRT refused the shape " + shape_text(shape) + " for input binding " +
                                  ostrel::str(index) + ".");
  }
  if (!truthy(context.attr("all_binding_shapes_specified"))) raise(PyExc_AssertionError);
  py::list host_outputs, device_outputs;
  for (py::handle index : output_binding_idxs) {
    py::object shape = context.attr("get_binding_shape")(index);
    py::object host = page_locked(shape, element_type_of(self, py::reinterpret_borrow<py::object>(index)));
    host_outputs.append(host);
    device_outputs.append(cuda().attr("mem_alloc")(host.attr("nbytes")));
  }
  pushed.release();
  return py::make_tuple(host_outputs, device_outputs);
}

// ---- TamsorTRTEngineRunner: execution ---------------------------------------------------------------------

// Makes the device buffers fit `x` and copies it in. Arrays whose shapes differ from the bindings'
// re-allocate the buffers (inside the profile's range only); arrays whose element types differ are refused.
// Both happen before any copy, so nothing is ever copied past an allocation.
void copy_host_bindings_to_device(py::object self, py::list x) {
  py::object np = mod_attr("np");
  py::list input_idxs = self.attr("input_binding_idxs");
  py::object context = self.attr("execution_context");
  if (x.size() < input_idxs.size())
    raise(PyExc_ValueError, "The engine takes " + std::to_string(input_idxs.size()) + " inputs, got " +
                                std::to_string(x.size()) + ".");
  PushedContext pushed(self.attr("device_context"));
  py::list arrays;
  bool reshape = false;
  for (size_t i = 0; i < input_idxs.size(); ++i) {
    py::object index = input_idxs[i];
    py::object array = x[i];
    py::object expected = trt_dtype_to_np_type(self.attr("engine").attr("get_binding_dtype")(index));
    if (!py::isinstance(array, np.attr("ndarray")))
      raise(PyExc_TypeError, "Input " + std::to_string(i) + " must be a numpy array, got " +
                                 ostrel::str(py::type::of(array).attr("__name__")) + ".");
    if (!py::object(array.attr("dtype")).equal(expected))
      raise(PyExc_TypeError, "Input " + std::to_string(i) + " has element type " +
                                 ostrel::str(array.attr("dtype")) + ", the engine's binding takes " +
                                 ostrel::str(expected) + ".");
    arrays.append(np.attr("ascontiguousarray")(array));
    if (!py::tuple(array.attr("shape")).equal(py::tuple(context.attr("get_binding_shape")(index))))
      reshape = true;
  }
  if (reshape) {
    check_profile_range(self, arrays, input_idxs);
    py::list previous;  // binding shapes of the current buffers, restored when the new ones cannot be made
    for (py::handle index : input_idxs) previous.append(context.attr("get_binding_shape")(index));
    py::list device_inputs;
    py::tuple outputs;
    try {
      for (py::handle array : arrays) device_inputs.append(cuda().attr("mem_alloc")(array.attr("nbytes")));
      outputs = allocate_device_memory(self, context, arrays, input_idxs, self.attr("output_binding_idxs"));
    } catch (py::error_already_set&) {
      for (size_t i = 0; i < input_idxs.size(); ++i)
        context.attr("set_binding_shape")(input_idxs[i], previous[i]);
      throw;
    }
    self.attr("device_inputs") = device_inputs;
    self.attr("host_outputs") = outputs[0];
    self.attr("device_outputs") = outputs[1];
  }
  py::object copy = cuda().attr("memcpy_htod_async");
  py::object stream = self.attr("stream");
  py::list device_inputs = self.attr("device_inputs");
  for (size_t i = 0; i < input_idxs.size(); ++i)
    copy(device_inputs[i], arrays[i], py::arg("stream") = stream);
  pushed.release();
}

py::object forward_pass(py::object self, py::object synchronize, py::kwargs) {
  PushedContext pushed(self.attr("device_context"));
  py::object Event = cuda().attr("Event");
  py::object consumed = Event(), started = Event(), complete = Event();
  py::object engine = self.attr("engine");
  // One address per binding index of the engine; bindings of other profiles stay null.
  py::list bindings;
  long long count = engine.attr("num_bindings").cast<long long>();
  for (long long i = 0; i < count; ++i) bindings.append(0);
  auto place = [&](const char* idxs, const char* buffers) {
    py::list indexes = self.attr(idxs);
    py::list allocations = self.attr(buffers);
    for (size_t i = 0; i < indexes.size() && i < allocations.size(); ++i)
      bindings[indexes[i]] = py::int_(allocations[i]);
  };
  place("input_binding_idxs", "device_inputs");
  place("output_binding_idxs", "device_outputs");
  py::object stream = self.attr("stream");
  started.attr("record")(stream);
  py::object ok = self.attr("execution_context")
                      .attr("execute_async_v2")(py::arg("bindings") = bindings,
                                                py::arg("stream_handle") = stream.attr("handle"));
  complete.attr("record")(stream);
  if (!truthy(ok)) raise(PyExc_RuntimeError, "TensorRT failed to enqueue an execution of the engine.");
  py::object handle = mod_attr("TRTExecutionHandle")(py::arg("input_consumed_event") = consumed,
                                                     py::arg("execution_started_event") = started,
                                                     py::arg("execution_complete_event") = complete);
  if (truthy(synchronize)) handle.attr("wait")();
  pushed.release();
  return handle;
}

void copy_device_bindings_to_host(py::object self, py::object telemetry_dict) {
  py::object timer = mod_attr("CPUTimer")();
  timer.attr("start")();
  {
    PushedContext pushed(self.attr("device_context"));
    py::object copy = cuda().attr("memcpy_dtoh_async");
    py::object stream = self.attr("stream");
    py::list hosts = self.attr("host_outputs");
    py::list devices = self.attr("device_outputs");
    for (size_t i = 0; i < hosts.size() && i < devices.size(); ++i)
      copy(hosts[i], devices[i], py::arg("stream") = stream);
    stream.attr("synchronize")();
    pushed.release();
  }
  py::object ms = timer.attr("stop")();
  if (truthy(telemetry_dict)) telemetry_dict["d_to_h"].attr("append")(ms);
  log(ostrel::kDebug, "np.ndarray creation took " + ostrel::str(py::str("{:.2f}").format(ms)) + "ms");
}

py::list copy_device_outputs_to_torch_tensor(py::object self, py::object telemetry_dict) {
  PushedContext pushed(self.attr("device_context"));
  py::object stream = self.attr("stream");
  py::object timer =
      mod_attr("GPUTimer")(py::arg("device") = self.attr("_device_id"), py::arg("stream") = stream);
  timer.attr("start")();
  py::list outputs;
  py::list indexes = self.attr("output_binding_idxs");
  py::list devices = self.attr("device_outputs");
  py::object to_torch = mod_attr("numpy_to_torch_dtype_dict");
  std::string device = "cuda:" + ostrel::str(self.attr("_device_id"));
  for (size_t i = 0; i < devices.size(); ++i) {
    py::object index = indexes[i];
    py::object shape = self.attr("execution_context").attr("get_binding_shape")(index);
    py::object element_type = element_type_of(self, index);
    py::object torch_type = to_torch.attr("get")(element_type);
    if (torch_type.is_none()) {
      if (!truthy(mod_attr("torch_to_numpy_dtype_dict"))) {
        PyErr_SetObject(
            PyExc_RuntimeError,
            py::make_tuple("\"torch\" is not installed. Please install \"torch\" in order to use GPU "
                           "outputs. You can also use output_device=\"cpu\"",
                           element_type)
                .ptr());
        throw py::error_already_set();
      }
      PyErr_SetObject(PyExc_RuntimeError, py::make_tuple("Unsupported torch dtype:", element_type).ptr());
      throw py::error_already_set();
    }
    py::object created = mod_attr("CPUTimer")();
    created.attr("start")();
    py::object tensor = mod_attr("torch").attr("empty")(
        py::arg("size") = py::tuple(shape), py::arg("dtype") = torch_type, py::arg("device") = device);
    py::object ms = created.attr("stop")();
    log(ostrel::kDebug, "Created torch tensor in " + ostrel::str(py::str("{:.2f}").format(ms)) + "ms");
    py::object nbytes = tensor.attr("element_size")().attr("__mul__")(tensor.attr("nelement")());
    cuda().attr("memcpy_dtod_async")(py::int_(tensor.attr("data_ptr")()), py::int_(devices[i]), nbytes,
                                     stream);
    outputs.append(tensor);
  }
  stream.attr("synchronize")();
  py::object ms = timer.attr("stop")();
  pushed.release();
  if (truthy(telemetry_dict)) telemetry_dict["d_to_h"].attr("append")(ms);
  log(ostrel::kDebug, "torch.cuda.Tensor creation took " + ostrel::str(py::str("{:.2f}").format(ms)) + "ms");
  return outputs;
}

py::object run(py::object self, py::object x, py::object output_device, py::object telemetry_dict,
               py::kwargs) {
  py::object capturer = self.attr("log_capturer");
  py::object result;
  ostrel::with_block(capturer, [&] {
    py::object device = mod_attr("InferenceHardware")(output_device);
    PushedContext pushed(self.attr("device_context"));
    py::list inputs = py::list(x);
    if (truthy(telemetry_dict)) {
      py::object start = cuda().attr("Event")(), finish = cuda().attr("Event")();
      py::object stream = self.attr("stream");
      start.attr("record")(stream);
      self.attr("_copy_host_bindings_to_device")(inputs);
      finish.attr("record")(stream);
      self.attr("_forward_pass")(py::arg("synchronize") = true);
      telemetry_dict["h_to_d"].attr("append")(start.attr("time_till")(finish));
    } else {
      self.attr("_copy_host_bindings_to_device")(inputs);
      self.attr("_forward_pass")();
    }
    if (device.is(mod_attr("InferenceHardware").attr("CPU"))) {
      self.attr("_copy_device_bindings_to_host")(telemetry_dict);
      result = self.attr("host_outputs");
    } else {
      result = self.attr("_copy_device_outputs_to_torch_tensor")(telemetry_dict);
    }
    pushed.release();
  });
  if (capture_holds_error(capturer)) {
    PyErr_SetObject(
        PyExc_RuntimeError,
        py::make_tuple("A runtime error happened during inference: ", capturer.attr("output")).ptr());
    throw py::error_already_set();
  }
  capturer.attr("clear_buffer")();
  return result;
}

// ---- TamsorTRTEngineRunner: construction and release --------------------------------------------------

void construct_on_device(py::object self, py::object trt_ckpt_path, py::object optimization_profile,
                         py::object assert_cross_hardware_coherency, py::object profiling) {
  py::tuple loaded = self.attr("load_engine")(trt_ckpt_path);
  self.attr("engine") = loaded[0];
  if (loaded[0].is_none()) diagnose_failed_load(self, trt_ckpt_path, loaded[1]);
  self.attr("log_capturer").attr("clear_buffer")();
  log(ostrel::kDebug, "Successfully loaded the engine");
  log(ostrel::kDebug, "Creating a new execution context");
  py::object engine = self.attr("engine");
  py::object context = engine.attr("create_execution_context")();
  if (context.is_none())
    raise(PyExc_RuntimeError, "TensorRT could not create an execution context for the engine.");
  self.attr("execution_context") = context;
  if (truthy(profiling)) {
    log(ostrel::kWarning,
        "You have specified \"profiling=True\" thus runtime latency will be affected! Please do not use this "
        "engine for benchmarks.");
    context.attr("profiler") = mod_attr("OstrelTRTProfiler")();
  }
  self.attr("optimization_profile_number") = optimization_profile;
  activate_profile(self);
  py::tuple idxs = self.attr("get_binding_idxs")(engine, context.attr("active_optimization_profile"));
  self.attr("input_binding_idxs") = idxs[0];
  self.attr("output_binding_idxs") = idxs[1];
  py::list host_inputs = self.attr("get_random_inputs")(engine, context, idxs[0]);
  self.attr("initial_host_inputs") = host_inputs;
  py::list device_inputs;
  for (py::handle array : host_inputs) device_inputs.append(cuda().attr("mem_alloc")(array.attr("nbytes")));
  self.attr("device_inputs") = device_inputs;
  py::tuple outputs = self.attr("allocate_device_memory")(context, host_inputs, idxs[0], idxs[1]);
  self.attr("host_outputs") = outputs[0];
  self.attr("device_outputs") = outputs[1];
  auto shapes = [](py::list arrays) {
    py::list out;
    for (py::handle a : arrays) out.append(a.attr("shape"));
    return ostrel::str(out);
  };
  log(ostrel::kInfo, "\tInitialized Input Shapes: " + shapes(host_inputs));
  log(ostrel::kInfo, "\tInitialized Output Shapes: " + shapes(self.attr("host_outputs")));
  log(ostrel::kInfo, "\tRunning inference...");
  py::object cpu = mod_attr("InferenceHardware").attr("CPU");
  py::list warm = self.attr("run")(py::arg("x") = host_inputs, py::arg("output_device") = cpu);
  py::object np = mod_attr("np");
  py::object cpu_result = warm[0].attr("astype")(np.attr("float32"));
  if (truthy(assert_cross_hardware_coherency)) {
    py::list gpu = self.attr("run")(py::arg("x") = host_inputs,
                                    py::arg("output_device") = mod_attr("InferenceHardware").attr("GPU"));
    py::object gpu_result = gpu[0].attr("cpu")().attr("numpy")().attr("astype")(np.attr("float32"));
    log(ostrel::kInfo, "\tAsserting the results of the GPU and CPU...");
    try {
      np.attr("testing").attr("assert_allclose")(cpu_result, gpu_result);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_AssertionError)) throw;
      log(ostrel::kError,
          "The model did not return the same results for CPU and GPU inference. Something is wrong with the "
          "current setup.");
    }
  }
  log(ostrel::kInfo, "\nFinished initializing TamsorTRTEngineRunner");
}

// What disposal calls besides the context's own methods, taken when the classes are defined, so that
// disposal imports nothing and reads no module attribute: at interpreter exit the import system is gone
// and module dictionaries may have been emptied. Kept for the life of the process.
struct DisposalTools {
  py::object weak_ref;          // weakref.ref
  py::object weak_finalize;     // weakref.finalize
  py::object live;              // weakref.WeakSet of the runners whose context is not yet released
  py::object register_at_exit;  // atexit.register
  bool exit_handler_registered = false;
};
DisposalTools* disposal_tools = nullptr;

void dispose(py::object self, bool at_exit);

// Runners still alive when the interpreter exits are disposed of by an exit handler, registered when the
// first runner is made: it runs before the exit handlers of pycuda (registered earlier) and of logging,
// while CUDA and the interpreter still work, so each context is released and detached in order. Without
// it a runner would go only while the interpreter tears its modules down.
void track_runner(py::object self) {
  disposal_tools->live.attr("add")(self);
  if (disposal_tools->exit_handler_registered) return;
  disposal_tools->register_at_exit(py::cpp_function([] {
    for (py::handle runner : py::list(disposal_tools->live))
      dispose(py::reinterpret_borrow<py::object>(runner), true);
  }));
  disposal_tools->exit_handler_registered = true;
}

// Releases the runner's own context: the engine objects and buffers go while it is current, then it is
// popped (only when it is the current one) and detached, so no other context is touched and none leaks.
// At exit (`at_exit`) the context is detached at once, whatever outputs callers still hold.
void dispose(py::object self, bool at_exit) {
  try {
    if (!py::hasattr(self, "device_context")) return;
    py::object context = self.attr("device_context");
    disposal_tools->live.attr("discard")(self);
    // Host outputs are page-locked memory of this context, handed to callers without a copy: the context
    // is detached only once the last of them that a caller still holds is gone, so none is read after
    // its memory was freed.
    py::list output_refs;
    if (!at_exit && py::hasattr(self, "host_outputs"))
      for (py::handle array : self.attr("host_outputs")) output_refs.append(disposal_tools->weak_ref(array));
    {
      PushedContext pushed(context);
      for (const char* name : {"device_outputs", "host_outputs", "device_inputs", "initial_host_inputs",
                               "execution_context", "engine", "stream"})
        if (py::hasattr(self, name)) py::delattr(self, name);
      pushed.release();
    }
    py::delattr(self, "device_context");
    py::list held;
    for (py::handle ref : output_refs) {
      py::object array = ref();
      if (!array.is_none()) held.append(array);
    }
    if (held.empty()) {
      context.attr("detach")();
      return;
    }
    auto remaining = std::make_shared<std::size_t>(held.size());
    py::cpp_function release([remaining, context](py::args) {
      if (--*remaining == 0) context.attr("detach")();
    });
    for (py::handle array : held) disposal_tools->weak_finalize(array, release);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    // While the interpreter tears itself down, nothing is left to report to: disposal ends quietly.
    if (_Py_IsFinalizing()) return;
    py::object logger = mod_attr("logger");
    logger.attr("error")("Error in CUDA Cleanup: %s", e.value());
  }
}

void runner_del(py::object self) { dispose(std::move(self), _Py_IsFinalizing() != 0); }

void runner_init(py::object self, py::object trt_ckpt_path, py::object device, py::object inference_dtype,
                 py::object optimization_profile, py::object assert_cross_hardware_coherency,
                 py::object verbosity, py::object profiling) {
  py::object level = verbosity.is_none() ? mod_attr("DEFAULT_TRT_LOGGING_VERBOSITY") : verbosity;
  py::object logger = mod_attr("LoggerManager").attr("get_and_update_logger")("tensorrt", level);
  py::object severity =
      mod_attr("TamsorTRTEngineLogger").attr("get_trt_severity_from_python_verbosity")(logger.attr("level"));
  self.attr("trt_logger") = trt().attr("Logger")(severity);
  if (is_using_trt_7())
    self.attr("log_capturer") = mod_attr("CaptureWrites")(mod_attr("sys").attr("__stderr__"));
  else
    self.attr("log_capturer") = mod_attr("TamsorTRTEngineLogger")(self.attr("trt_logger"));
  py::module_::import("pycuda.autoprimaryctx");
  py::module_::import("pycuda.driver");
  self.attr("_inference_dtype") = inference_dtype;
  self.attr("_device_id") = device;
  // The new context is current from here; it is popped again when construction ends, whatever the outcome,
  // and every later operation of the runner pushes it for its own span.
  py::object context = cuda().attr("Device")(device).attr("make_context")();
  self.attr("device_context") = context;
  track_runner(self);
  try {
    self.attr("stream") = cuda().attr("Stream")();
    construct_on_device(self, trt_ckpt_path, optimization_profile, assert_cross_hardware_coherency,
                        profiling);
  } catch (py::error_already_set&) {
    try {
      PushedContext::pop_own(context);
    } catch (py::error_already_set& pop_error) {
      pop_error.discard_as_unraisable("popping the TensorRT runner's CUDA context");
    }
    throw;
  }
  PushedContext::pop_own(context);
}

py::object runner_layers_dataframe(py::object self) {
  return self.attr("execution_context").attr("profiler").attr("layers_dataframe");
}

// ---- module start-up ----------------------------------------------------------------------------------

void define_classes(py::module_& m) {
  py::none none;
  if (disposal_tools == nullptr) {
    py::module_ weakref = py::module_::import("weakref");
    disposal_tools = new DisposalTools{weakref.attr("ref"), weakref.attr("finalize"), weakref.attr("WeakSet")(),
                                       py::module_::import("atexit").attr("register")};
  }
  {
    modtree::ClassBuilder cls(m, "TRTExecutionHandle");
    cls.def("__init__", &handle_init, py::arg("self"), py::kw_only(), py::arg("input_consumed_event"),
            py::arg("execution_started_event"), py::arg("execution_complete_event"));
    cls.def("wait", &handle_wait, py::arg("self"));
    cls.def(
        "_wait_for_input_buffer_reuse", [](py::object) { raise(PyExc_NotImplementedError); },
        py::arg("self"));
    cls.build();
  }
  {
    py::object cpu = m.attr("InferenceHardware").attr("CPU");
    modtree::ClassBuilder cls(m, "TamsorTRTEngineRunner");
    cls.def("__init__", &runner_init, py::arg("self"), py::arg("trt_ckpt_path"), py::arg("device") = 0,
            py::arg("inference_dtype") = none, py::arg("optimization_profile") = 0,
            py::arg("assert_cross_hardware_coherency") = false, py::arg("verbosity") = none,
            py::arg("profiling") = false);
    cls.def("_copy_host_bindings_to_device", &copy_host_bindings_to_device, py::arg("self"), py::arg("x"));
    cls.def("_copy_device_outputs_to_torch_tensor", &copy_device_outputs_to_torch_tensor, py::arg("self"),
            py::arg("telemetry_dict") = none);
    cls.def("_copy_device_bindings_to_host", &copy_device_bindings_to_host, py::arg("self"),
            py::arg("telemetry_dict") = none);
    cls.def("_forward_pass", &forward_pass, py::arg("self"), py::kw_only(), py::arg("synchronize") = true);
    cls.def("run", &run, py::arg("self"), py::arg("x"),
            py::arg_v("output_device", cpu, "InferenceHardware.CPU"), py::arg("telemetry_dict") = none);
    cls.def("is_dynamic", &is_dynamic, py::arg("self"), py::arg("shape"));
    cls.def("allocate_device_memory", &allocate_device_memory, py::arg("self"), py::arg("context"),
            py::arg("host_inputs"), py::arg("input_binding_idxs"), py::arg("output_binding_idxs"));
    cls.def("get_binding_idxs", &get_binding_idxs, py::arg("self"), py::arg("engine"),
            py::arg("profile_index"));
    cls.def("load_engine", &load_engine, py::arg("self"), py::arg("filename"));
    cls.def("get_random_inputs", &get_random_inputs, py::arg("self"), py::arg("engine"), py::arg("context"),
            py::arg("input_binding_idxs"));
    cls.def_property("layers_dataframe", &runner_layers_dataframe);
    cls.def("__del__", &runner_del, py::arg("self"));
    cls.def_static("is_using_trt_7", &is_using_trt_7);
    cls.def_static("trt_dtype_to_np_type", &trt_dtype_to_np_type, py::arg("trt_dtype"));
    cls.build();
  }
  {
    modtree::ClassBuilder cls(m, "TamsorTRTEngineLogger");
    cls.base(m.attr("trt").attr("ILogger"));
    cls.doc(kLoggerDoc);
    cls.def("__init__", &logger_init, py::arg("self"), py::arg("logger_to_wrap"));
    cls.def("__enter__", &logger_enter, py::arg("self"));
    cls.def("__exit__", &logger_exit, py::arg("self"));
    cls.def_property(
        "output", [](py::object self) { return py::str("").attr("join")(self.attr("_captured_messages")); });
    cls.def("_capture_log", &logger_capture_log, py::arg("self"), py::arg("severity"), py::arg("msg"));
    cls.def("_log", &logger_log, py::arg("self"), py::arg("severity"), py::arg("msg"));
    cls.def_static("get_trt_severity_from_python_verbosity", &severity_from_python_verbosity,
                   py::arg("python_verbosity"));
    cls.def(
        "clear_buffer",
        [](py::object self) {
          self.attr("_captured_messages") = py::list();
        },
        py::arg("self"));
    cls.build();
  }
  {
    modtree::ClassBuilder cls(m, "OstrelTRTProfiler");
    cls.base(m.attr("trt").attr("IProfiler"));
    cls.def("__init__", &profiler_init, py::arg("self"));
    cls.def_property("layers_dataframe", &profiler_layers_dataframe);
    cls.def(
        "report_layer_time",
        [](py::object self, py::object layer_name, py::object ms) {
          self.attr("_layers_times")[layer_name] = ms;
        },
        py::arg("self"), py::arg("layer_name"), py::arg("ms"));
    cls.build();
  }
}

// Dtype tables between the element types TensorRT bindings report and torch's; empty without torch.
void define_dtype_tables(py::module_& m) {
  m.attr("numpy_to_torch_dtype_dict") = py::dict();
  m.attr("torch_to_numpy_dtype_dict") = py::dict();
  py::object torch;
  try {
    torch = py::module_::import("torch");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    return;
  }
  m.attr("torch") = torch;
  py::object np = m.attr("np");
  const char* pairs[][2] = {{"bool_", "bool"},          {"uint8", "uint8"},          {"int8", "int8"},
                            {"int16", "int16"},         {"int32", "int32"},          {"int64", "int64"},
                            {"float16", "float16"},     {"float32", "float32"},      {"float64", "float64"},
                            {"complex64", "complex64"}, {"complex128", "complex128"}};
  py::dict forward, backward;
  for (auto& pair : pairs) forward[np.attr(pair[0])] = torch.attr(pair[1]);
  for (auto item : forward) backward[item.second] = item.first;
  m.attr("numpy_to_torch_dtype_dict") = forward;
  m.attr("torch_to_numpy_dtype_dict") = backward;
}

// TensorRT, its plug-ins and a visible GPU; false (after its warning) when the module ends without classes.
bool tensorrt_available(py::module_& m) {
  try {
    m.attr("trt") = py::module_::import("tensorrt");
    m.attr("trt").attr("init_libnvinfer_plugins")(py::none(), "");
    m.attr("trt").attr("get_plugin_registry")();
    if (!truthy(m.attr("GPU_PRESENT"))) raise(PyExc_AssertionError, kNoGpu);
    return true;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_OSError) || e.matches(PyExc_ImportError)) {
      py::object name = py::getattr(e.value(), "name", py::none());
      log(ostrel::kWarning, "Skipping TensorRT import, missing backend package: " +
                                (name.is_none() ? ostrel::str(e.value()) : ostrel::str(name)));
      return false;
    }
    if (e.matches(PyExc_AssertionError)) {
      log(ostrel::kWarning, "Skipping TensorRT Loading: no visible GPU: " + ostrel::str(e.value()));
      return false;
    }
    throw;
  }
}

// pycuda with its automatic CUDA set-up; false (after its warning) when pycuda is missing or cannot start
// CUDA on this machine.
bool pycuda_available(py::module_& m) {
  try {
    m.attr("cuda") = py::module_::import("pycuda.driver");
    m.attr("pycuda") = py::module_::import("pycuda");
    py::module_::import("pycuda.gpuarray");
    py::module_::import("pycuda.autoinit");
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    if (e.matches(PyExc_ImportError))
      log(ostrel::kWarning, kPycudaMissing);
    else
      log(ostrel::kWarning, "Skipping TensorRT Loading: CUDA could not be initialised through pycuda: " +
                                ostrel::str(e.value()));
    return false;
  }
}

}  // namespace

MODTREE_MODULE("frameworks.engines.trt_engine", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("__doc__") = kModuleDoc;
  for (const char* name : {"logging", "os", "pickle", "sys"}) m.attr(name) = py::module_::import(name);
  m.attr("OrderedDict") = import_from("collections", "OrderedDict");
  for (const char* name : {"Tuple", "List", "Optional", "Dict", "Any"})
    m.attr(name) = import_from("typing", name);
  m.attr("np") = py::module_::import("numpy");
  m.attr("tensorrt") = py::module_::import("tensorrt");
  m.attr("OSTREL_VERSION") = import_from("ostrel", "__version__");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("FailedToLoadCheckpointError") =
      import_from("ostrel.common.exceptions", "FailedToLoadCheckpointError");
  m.attr("LoggerManager") = import_from("ostrel.common.logger_factory", "LoggerManager");
  for (const char* name : {"CaptureWrites", "GPUTimer", "CPUTimer"})
    m.attr(name) = import_from("ostrel.common.utils", name);
  m.attr("TRT_VERSION") = import_from("ostrel.inference.config", "TRT_VERSION");
  m.attr("GPU_PRESENT") = import_from("ostrel.inference.config", "GPU_PRESENT");
  m.attr("DEFAULT_TRT_LOGGING_VERBOSITY") = m.attr("logging").attr("WARNING");
  m.attr("logger") = m.attr("LoggerManager")
                         .attr("get_and_update_logger")(
                             "tensorrt", py::arg("log_level") = m.attr("DEFAULT_TRT_LOGGING_VERBOSITY"));
  m.attr("DEFAULT_PLATFORM_MAJOR_VERSION_FOR_CHECKPOINTS") = "3";
  m.attr("DEFAULT_OSTREL_MAJOR_VERSION_FOR_CHECKPOINTS") = "3";
  py::dict mappings;
  mappings[m.attr("DEFAULT_PLATFORM_MAJOR_VERSION_FOR_CHECKPOINTS")] =
      m.attr("DEFAULT_OSTREL_MAJOR_VERSION_FOR_CHECKPOINTS");
  mappings["3"] = "3";
  mappings["4"] = "3";
  m.attr("PLATFORM_MAPPINGS_TO_OSTREL_VERSIONS") = mappings;

  if (!tensorrt_available(m)) return;
  if (!pycuda_available(m)) return;
  define_dtype_tables(m);
  define_classes(m);
}
