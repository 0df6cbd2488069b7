// The ONNX Runtime back-end: OnnxInferencer runs ONNX model files through onnxruntime on the CPU or
// through its CUDA execution provider, reports the model's tensors, predicts, and profiles the
// graph per node from the runtime's trace.
//
// OnnxInferencer is a real Python subclass of BaseInferencer whose members are C++ functions. The
// runtime is called through its Python API. Module attributes (onnx_rt, NUM_OF_CPUS, GPU_PRESENT,
// the exception classes) are read at each use, so tests may replace them.
//
// predict is the hot path: it is a vectorcall C function, not a pybind11 function, and it keeps the
// input names on the instance, read again whenever the session, the input descriptions or their count
// is replaced.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/format_probe.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

constexpr const char* kFile = "ostrel/frameworks/onnx_inferencer.py";

constexpr const char* kProfilingWarning =
    "You have specified \"profiling=True\" thus runtime latency will be affected! "
    "Please do not use this engine for benchmarks.";
constexpr const char* kNoCudaProvider =
    "Failed to load onnxruntime model on the GPU - CUDAExecutionProvider not available";
constexpr const char* kProfilingRequired =
    "Please initialize the ONNXInferencer with profiling=True in order to use profiling features.";

py::handle g_types;  // ONNX tensor type name -> NumPy element type

ostrel::ModuleAttributes mod_attr;  // this module

using ostrel::truthy;

void log(py::handle self, int level, const std::string& message) {
  ostrel::log(self.attr("_logger"_id), level, message, kFile);
}

py::object hardware(const char* member) { return mod_attr("InferenceHardware"_id).attr(member); }

// ---- session set-up and loading -------------------------------------------------------------------

// The external data files an ONNX model names, as paths beside it.
std::vector<std::filesystem::path> external_data_files(const std::filesystem::path& model) {
  std::vector<std::filesystem::path> files;
  for (const std::string& location : ostrel::native::onnx_external_data_locations(model))
    files.push_back(model.parent_path() / location);
  return files;
}

void set_up_session(py::object self) {
  py::object ort = mod_attr("onnx_rt"_id);
  if (self.attr("sess_options"_id).is_none()) {
    py::object created = ort.attr("SessionOptions"_id)();
    self.attr("sess_options"_id) = created;
    created.attr("graph_optimization_level"_id) = ort.attr("GraphOptimizationLevel"_id).attr("ORT_ENABLE_ALL"_id);
  }
  py::object options = self.attr("sess_options"_id);
  if (truthy(self.attr("profiling"_id))) {
    log(self, ostrel::kWarning, kProfilingWarning);
    options.attr("enable_profiling"_id) = true;
    options.attr("use_deterministic_compute"_id) = true;
  }
  if (ostrel::log_enabled(self.attr("_logger"_id), ostrel::kDebug))
    log(self, ostrel::kDebug, "Available Providers: " + ostrel::str(ort.attr("get_available_providers"_id)()) + ".");

  self.attr("_onnxruntime_session_providers"_id) = py::list();
  py::object target = self.attr("_inference_hardware"_id);
  if (target.equal(hardware("CPU"))) {
    options.attr("intra_op_num_threads"_id) = mod_attr("NUM_OF_CPUS"_id);
    options.attr("execution_mode"_id) = ort.attr("ExecutionMode"_id).attr("ORT_SEQUENTIAL"_id);
    py::list providers;
    providers.append("CPUExecutionProvider");
    self.attr("_onnxruntime_session_providers"_id) = providers;
    if (truthy(mod_attr("GPU_PRESENT"_id)))
      log(self, ostrel::kInfo, "Ostrel utilizing the CPU although a GPU is available.");
  } else if (target.equal(hardware("GPU"))) {
    // The runtime is asked for its providers only when the machine has a GPU at all.
    if (truthy(mod_attr("GPU_PRESENT"_id)) &&
        py::list(ort.attr("get_available_providers"_id)()).contains("CUDAExecutionProvider")) {
      py::list providers;
      providers.append("CUDAExecutionProvider");
      self.attr("_onnxruntime_session_providers"_id) = providers;
    } else {
      log(self, ostrel::kError, kNoCudaProvider);
      raise(mod_attr("InvalidInferenceHardware"_id), kNoCudaProvider);
    }
  }
  if (!truthy(self.attr("_onnxruntime_session_providers"_id)))
    raise(mod_attr("InvalidInferenceHardware"_id),
          "Couldn't find an onnxruntime execution provider for inference hardware " + ostrel::text(target));

  // The path as the operating system takes it (bytes are a path, never model content); a FIFO or device is
  // refused before it is opened, and a path that is not UTF-8 is handed over as the file's content.
  py::object model = ostrel::fs_path(self.attr("_checkpoint_file"_id));
  ostrel::refuse_non_regular(model);
  if (ostrel::undecodable_path(model)) {
    model = py::module_::import("pathlib").attr("Path"_id)(model).attr("read_bytes"_id)();
  } else {
    // A FIFO or device among the external data files would block the runtime's read as well.
    for (const std::filesystem::path& file : external_data_files(ostrel::native_path(model)))
      ostrel::refuse_non_regular(py::bytes(file.native()));
  }
  // Exactly one provider: no second one for the session to fall back to.
  py::object sess =
      ort.attr("InferenceSession"_id)(model, py::arg("sess_options") = options,
                                   py::arg("providers") = self.attr("_onnxruntime_session_providers"_id));
  self.attr("sess"_id) = sess;
  py::list inputs(sess.attr("get_inputs"_id)());
  self.attr("inputs_specifications"_id) = inputs;
  self.attr("outputs_specifications"_id) = py::list(sess.attr("get_outputs"_id)());
  self.attr("inputs_count"_id) = py::int_(inputs.size());
}

// Everything the rows do not take, the runtime's own error classes included (a missing file, an
// unreadable model, a refused provider), keeps the caught text as its message.
ostrel::LoadErrorTable load_errors() {
  using ostrel::classes;
  return {mod_attr.module(),
          {{classes({PyExc_RuntimeError}), "ModelFrameworkRuntimeError", "Framework runtime error: "},
           {classes({mod_attr("InvalidArgument"_id), PyExc_ValueError}), "ModelValueError",
            "Invalid argument for ONNX model: "}},
          ostrel::OtherLoadErrors::kFailedToLoadCheckpoint};
}

void load_model(py::object self) {
  ostrel::translating_load_errors([&] { set_up_session(self); }, load_errors);
}

void warn_if_runtime_compiled_for_wrong_hardware(py::object self, py::object inference_hardware) {
  bool gpu = inference_hardware.equal(hardware("GPU"));
  py::object modules = mod_attr("sys"_id).attr("modules"_id);
  if (!ostrel::contains(modules, "onnxruntime"_id))
    raise(mod_attr("ModelFrameworkNotLoadedError"_id),
          std::string(
              "Attempting to run inference on ONNX model, but the onnxruntime module is not loaded. Please "
              "reinstall onnxrutime") +
              (gpu ? "-gpu" : ""));
  // The device the runtime was built for does not change: asked once per runtime module and function.
  struct Asked {
    py::object module, get_device, device;
  };
  static Asked* asked = new Asked();  // process lifetime
  py::object device;
  try {
    py::object runtime = modules[py::str("onnxruntime")];
    py::object get_device = runtime.attr("get_device"_id);
    if (asked->device && runtime.is(asked->module) && get_device.is(asked->get_device)) {
      device = asked->device;
    } else {
      device = get_device().attr("lower"_id)();
      *asked = {runtime, get_device, device};
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AttributeError)) throw;
    ostrel::raise_with_context(
        mod_attr("ModelFrameworkRuntimeError"_id)(
            "Onnxruntime (or onnxruntime-gpu) installation seems to be broken. Please reinstall (pip "
            "install -I onnxruntime[-gpu])."),
        e.value());
  }
  if (gpu && device.equal(py::str("cpu")))
    log(self, ostrel::kInfo, "Onnxruntime compiled for CPU although the target hardware is a GPU.");
  else if (inference_hardware.equal(hardware("CPU")) && device.equal(py::str("gpu")))
    log(self, ostrel::kInfo, "Onnxruntime compiled for GPU although the target hardware is a CPU.");
}

void assert_loaded_successfully(py::object self) {
  self.attr("_OnnxInferencer__warn_if_runtime_compiled_for_wrong_hardware"_id)(self.attr("_inference_hardware"_id));
  const ostrel::ComponentCheck check(self);
  check(self.attr("sess_options"_id), "Failed to create ONNX session options");
  check(self.attr("sess"_id), "Failed to create a new ONNX inference session");
  check(self.attr("inputs_specifications"_id), "Failed to initialize / infer the ONNX input name");
  check(self.attr("inputs_count"_id), "Failed to initialize / infer the ONNX inputs count");
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object inference_dtype, py::object logging_verbosity,
          py::object profiling, py::object session_options) {
  // Set before the base constructor, which runs the loading hooks that read them.
  self.attr("sess"_id) = py::none();
  self.attr("sess_options"_id) = session_options;
  self.attr("inputs_specifications"_id) = py::none();
  self.attr("inputs_count"_id) = py::none();
  self.attr("profiling"_id) = profiling;
  py::object base_init = ostrel::builtin("super")(mod_attr("OnnxInferencer"_id), self).attr("__init__"_id);
  base_init(py::arg("checkpoint_file") = checkpoint_file, py::arg("inference_hardware") = inference_hardware,
            py::arg("input_dims") = input_dims, py::arg("static_batch_size") = static_batch_size,
            py::arg("inference_dtype") = inference_dtype, py::arg("logging_verbosity") = logging_verbosity);
}

// ---- metadata -------------------------------------------------------------------------------------

py::object ort_type_to_numpy_type(py::object /*self*/, py::object orb_type) {
  PyObject* found = PyDict_GetItemWithError(g_types.ptr(), orb_type.ptr());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    raise(PyExc_ValueError, ostrel::text(orb_type) + " not found in map");
  }
  return py::reinterpret_borrow<py::object>(found);
}

// A dimension the runtime cannot name or size comes back as None: it is reported as -1, the
// usual mark of a dynamic dimension, so every shape holds only integers and names.
py::object reported_shape(py::object shape) {
  if (!PyList_Check(shape.ptr()) && !PyTuple_Check(shape.ptr())) return shape;
  py::list out;
  for (py::handle dim : shape)
    out.append(dim.is_none() ? py::object(py::int_(-1)) : py::reinterpret_borrow<py::object>(dim));
  return out;
}

// The NumPy element type of an ONNX type name; None (unknown) for a type that has none: a sequence, an
// optional, a map, or a tensor type NumPy lacks. The runtime takes such values as they are given.
py::object element_type(py::handle to_numpy, py::handle type_name) {
  try {
    return to_numpy(type_name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_KeyError)) throw;
    return py::none();
  }
}

py::list tensors_metadata(py::object self, py::object specifications) {
  py::object TensorMetadata = mod_attr("TensorMetadata"_id);
  py::object to_numpy = self.attr("_get_ort_type_to_numpy_type"_id);
  py::list out;
  for (py::handle spec : specifications) {
    py::object name = spec.attr("name"_id);
    py::object datatype = element_type(to_numpy, spec.attr("type"_id));
    py::object shape = reported_shape(spec.attr("shape"_id));
    out.append(
        TensorMetadata(py::arg("name") = name, py::arg("datatype") = datatype, py::arg("shape") = shape));
  }
  return out;
}

py::object dimensions_from_graph(py::object self) {
  try {
    py::list shapes;
    for (py::handle spec : self.attr("inputs_specifications"_id)) shapes.append(spec.attr("shape"_id));
    return shapes;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_IndexError)) throw;
    log(self, ostrel::kWarning, "unable to get dimensions from graph): " + ostrel::str(e.value()));
    return py::none();
  }
}

py::object fetch_model_input_dimensions(py::object self) {
  py::object raw = self.attr("_get_dimensions_from_graph"_id)();
  if (raw.is_none()) return py::none();
  auto without_batch = [](py::handle shape) {
    py::tuple all = py::tuple(py::reinterpret_borrow<py::object>(shape));
    return all[py::slice(1, static_cast<py::ssize_t>(all.size()), 1)];
  };
  // Each input without the axis that takes its batch (the whole shape of an input that takes none).
  if (py::hasattr(raw[py::int_(0)], "__iter__")) return self.attr("_without_batch_axes"_id)(raw);
  py::list dims;
  dims.append(without_batch(raw));  // one flat shape
  return dims;
}

py::list fetch_model_input_dtype(py::object self) {
  py::object to_numpy = self.attr("_get_ort_type_to_numpy_type"_id);
  py::list types;
  for (py::handle spec : self.attr("inputs_specifications"_id))
    types.append(element_type(to_numpy, spec.attr("type"_id)));
  return types;
}

// The inputs as the model declares them: name and full shape, an unknown size reported as -1.
py::object declared_inputs(py::object self) {
  py::object specs = self.attr("inputs_specifications"_id);
  if (specs.is_none()) return py::none();
  py::list out;
  for (py::handle spec : specs) {
    py::object shape = spec.attr("shape"_id);
    if (!PyList_Check(shape.ptr()) && !PyTuple_Check(shape.ptr())) return py::none();
    out.append(py::make_tuple(spec.attr("name"_id), py::tuple(reported_shape(shape))));
  }
  return out;
}

// The first input's first axis when it is a positive integer; a dynamic batch (a name, 0, -1, or
// shapes that cannot be read) answers None.
py::object fetch_model_batch_size(py::object self) {
  py::object raw = self.attr("_get_dimensions_from_graph"_id)();
  py::object answer = self.attr("_is_batch_size_static"_id)(raw);
  if (!truthy(answer)) return py::none();
  return answer;
}

// ---- prediction -----------------------------------------------------------------------------------

// The name of input `i`: `self.inputs_specifications[i].name`.
py::object input_name(PyObject* specs, Py_ssize_t i) {
  py::object index = ostrel::steal(PyLong_FromSsize_t(i));
  py::object spec = ostrel::steal(PyObject_GetItem(specs, index.ptr()));
  return ostrel::steal(PyObject_GetAttr(spec.ptr(), "name"_id.ptr()));
}

// The input names in model order, `inputs_count` of them, for the instance's current session and
// descriptions. Reading a description's name from the runtime costs more than the rest of a call, so
// the names are kept on the instance with the session, the descriptions and the count they were read
// for, and read again as soon as any of the three is replaced.
py::object input_names(PyObject* self, PyObject* sess, PyObject* specs, PyObject* count_obj) {
  py::object dict = ostrel::steal(PyObject_GenericGetDict(self, nullptr));
  PyObject* cached =
      PyDict_GetItemWithError(dict.ptr(), "_OnnxInferencer__input_names"_id.ptr());  // borrowed
  if (cached == nullptr && PyErr_Occurred()) throw py::error_already_set();
  if (cached != nullptr && PyTuple_CheckExact(cached) && PyTuple_GET_SIZE(cached) == 4 &&
      PyTuple_GET_ITEM(cached, 0) == sess && PyTuple_GET_ITEM(cached, 1) == specs &&
      PyTuple_GET_ITEM(cached, 2) == count_obj && PyTuple_CheckExact(PyTuple_GET_ITEM(cached, 3)))
    return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(cached, 3));
  Py_ssize_t count = PyNumber_AsSsize_t(count_obj, PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  py::object names = ostrel::steal(PyTuple_New(std::max<Py_ssize_t>(count, 0)));
  for (Py_ssize_t i = 0; i < count; ++i)
    PyTuple_SET_ITEM(names.ptr(), i, input_name(specs, i).release().ptr());
  py::object entry = ostrel::steal(PyTuple_Pack(4, sess, specs, count_obj, names.ptr()));
  if (PyObject_SetAttr(self, "_OnnxInferencer__input_names"_id.ptr(), entry.ptr()) != 0)
    throw py::error_already_set();
  return names;
}

// Scalars in `feed` (Python or NumPy numbers) become arrays of their inputs' element types (the runtime
// takes arrays only).
void scalars_as_arrays(PyObject* self, PyObject* feed) {
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  bool any = false;
  while (!any && PyDict_Next(feed, &pos, &key, &value)) {
    int scalar = ostrel::is_scalar(value);
    if (scalar < 0) throw py::error_already_set();
    any = scalar == 1;
  }
  if (!any) return;
  py::handle inferencer(self);
  py::dict items = py::reinterpret_borrow<py::dict>(feed);
  py::dict types;
  for (py::handle spec : inferencer.attr("inputs_specifications"_id))
    types[spec.attr("name"_id)] = spec.attr("type"_id);
  py::object asarray = mod_attr("np"_id).attr("asarray"_id);
  for (auto item : py::dict(items)) {
    int scalar = ostrel::is_scalar(item.second.ptr());
    if (scalar < 0) throw py::error_already_set();
    if (scalar == 0 || !types.contains(item.first)) continue;
    py::object dtype = inferencer.attr("_get_ort_type_to_numpy_type"_id)(types[item.first]);
    items[item.first] = asarray(item.second, py::arg("dtype") = dtype);
  }
}

// The feed of a positional `x`: a list or tuple feeds the inputs in model order (inputs_count of
// them), a mapping by its names, one value the first input.
py::object feed_positional(PyObject* self, PyObject* sess, PyObject* x) {
  ostrel::InputsForm form;
  if (!ostrel::inputs_form(x, form)) throw py::error_already_set();
  if (form == ostrel::InputsForm::kMapping) return ostrel::steal(ostrel::inputs_by_name(x, form, nullptr));
  py::object specs = ostrel::steal(PyObject_GetAttr(self, "inputs_specifications"_id.ptr()));
  py::object count = ostrel::steal(PyObject_GetAttr(self, "inputs_count"_id.ptr()));
  py::object names = input_names(self, sess, specs.ptr(), count.ptr());
  if (form == ostrel::InputsForm::kOne && PyTuple_GET_SIZE(names.ptr()) == 0) {
    // No input counted: the first description's name still takes the value.
    py::object first = input_name(specs.ptr(), 0);
    names = ostrel::steal(PyTuple_Pack(1, first.ptr()));
  }
  return ostrel::steal(ostrel::inputs_by_name(x, form, names.ptr()));
}

// predict(self, /, x=None, **kwargs): one `self.sess.run(None, feed)` over the input mapping built
// from `x` (one value, a list or tuple in model order, or a mapping by input name) or from the keyword
// arguments. The session and the descriptions are those of the instance at the call.
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) throw py::error_already_set();
  PyObject* self = call.self;
  PyObject* x = call.given_x();
  py::object sess = ostrel::steal(PyObject_GetAttr(self, "sess"_id.ptr()));
  py::object feed;
  if (x != nullptr) {
    feed = feed_positional(self, sess.ptr(), x);
    scalars_as_arrays(self, feed.ptr());
  } else {
    feed = ostrel::steal(ostrel::named_inputs(call));
  }
  // A spare slot in front lets the callee prepend a bound self without copying the arguments.
  PyObject* run_args[4] = {nullptr, sess.ptr(), Py_None, feed.ptr()};
  // The runtime's own errors (a missing input, a wrong element type or shape) reach the caller unchanged.
  return ostrel::steal(
      PyObject_VectorcallMethod("run"_id.ptr(), run_args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyMethodDef g_predict_def =
    ostrel::fastcall_method<&predict>("predict", "predict($self, /, x=None, **kwargs)\n--\n\n");

// ---- profiling ------------------------------------------------------------------------------------

py::object get_layers_profile_dataframe(py::object self) {
  if (!truthy(self.attr("profiling"_id))) raise(PyExc_AssertionError, kProfilingRequired);
  py::object pd;
  try {
    pd = py::module_::import("pandas");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::print("Pandas is required in order to use profiling");
    return py::none();
  }
  log(self, ostrel::kInfo, "Running warmup benchmark before profiling");
  py::object batch_size = self.attr("fetch_model_batch_size"_id)();
  if (!truthy(batch_size)) batch_size = py::int_(1);
  py::object benchmark = mod_attr("BaseInferencer"_id).attr("benchmark"_id);
  auto run_benchmark = [&] {
    benchmark(self, py::arg("batch_size") = batch_size, py::arg("repetitions") = 1,
              py::arg("warmup_calls") = 1);
  };
  run_benchmark();
  // The trace of the session so far (creation and warm-up) is ended and never read.
  self.attr("sess"_id).attr("end_profiling"_id)();
  log(self, ostrel::kInfo, "Reloading the model for profiling...");
  self.attr("_load_model"_id)();
  self.attr("_assert_loaded_successfully"_id)();
  log(self, ostrel::kInfo, "Profiling using ONNXRuntime with batch size " + ostrel::text(batch_size));
  run_benchmark();
  py::object path = self.attr("sess"_id).attr("end_profiling"_id)();
  if (!truthy(path))
    raise(PyExc_RuntimeError,
          "Benchmark was already done on this session. Please re-initialize a new session to profile again.");

  py::object text = ostrel::read_file(path, "r");
  // The profiled session's first call (the benchmark's warm-up) carries one-off first-run costs: only
  // the node events of the last run, the timed one, make the table.
  py::list all_events = mod_attr("json"_id).attr("loads"_id)(text);
  auto less = [](py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
  };
  py::object last_run = py::none();
  for (py::handle event : all_events) {
    if (!py::isinstance<py::dict>(event)) continue;
    py::dict e = py::reinterpret_borrow<py::dict>(event);
    if (!e.contains("cat") || !e.contains("name") || !e.contains("ts")) continue;
    if (py::str(e["cat"]).equal(py::str("Session")) && py::str(e["name"]).equal(py::str("model_run")) &&
        (last_run.is_none() || less(last_run, e["ts"])))
      last_run = e["ts"];
  }
  py::list kept;
  for (py::handle event : all_events) {
    if (!last_run.is_none() && py::isinstance<py::dict>(event)) {
      py::dict e = py::reinterpret_borrow<py::dict>(event);
      if (e.contains("ts") && less(e["ts"], last_run)) continue;
    }
    kept.append(event);
  }
  py::object events = pd.attr("DataFrame"_id)(kept);
  py::object nodes = events.attr("loc"_id)[events["cat"].attr("__eq__"_id)("Node")];
  py::dict columns;
  columns["Layer Name"] = nodes["name"];
  columns["ms"] = nodes["dur"].attr("__truediv__"_id)(1000);
  py::object layers = pd.attr("DataFrame"_id)(columns);
  py::object table = layers.attr("groupby"_id)("Layer Name").attr("sum"_id)().attr("reset_index"_id)();
  py::object total = table["ms"].attr("sum"_id)();
  table["Percentage"] = table["ms"].attr("__truediv__"_id)(total).attr("__mul__"_id)(100);
  py::object sorted = table.attr("sort_values"_id)("Percentage", py::arg("ascending") = false);
  self.attr("_layers_profile"_id) = sorted;  // the run get_bottlenecks reads
  return sorted;
}

// The slowest layers of the table last returned by get_layers_profile_dataframe (profiled now when
// there is none yet).
py::object get_bottlenecks(py::object self, py::object num_layers) {
  py::object table = py::getattr(self, "_layers_profile", py::none());
  if (table.is_none()) table = self.attr("get_layers_profile_dataframe"_id)();
  return table.attr("nlargest"_id)(num_layers, "ms");
}

// ---- footprint --------------------------------------------------------------------------------------

// The footprint of the model: the ".onnx" file and the external data files its tensors name.
py::object model_size(py::object self) {
  py::object checkpoint = self.attr("_checkpoint_file"_id);
  return ostrel::model_size_mib(checkpoint, external_data_files(ostrel::native_path(checkpoint)));
}

// ---- module import ----------------------------------------------------------------------------------

// onnxruntime, or, when its first import fails for want of a library, a second attempt after cupy
// has loaded its CUDA libraries. Without cupy the original failure of onnxruntime is the one raised.
py::object import_onnxruntime(py::module_& m) {
  try {
    return py::module_::import("onnxruntime");
  } catch (py::error_already_set& first) {
    if (!first.matches(PyExc_OSError) && !first.matches(PyExc_ImportError)) throw;
    try {
      m.attr("cp"_id) = py::module_::import("cupy");
    } catch (py::error_already_set& cupy_error) {
      if (!cupy_error.matches(PyExc_Exception)) throw;
      first.value().attr("add_note"_id)("cupy could not be imported either: " + ostrel::str(cupy_error.value()));
      throw first;
    }
    return py::module_::import("onnxruntime");
  }
}

py::object numpy_types() {
  py::object np = py::module_::import("numpy");
  py::dict types;
  const char* table[][2] = {
      {"tensor(int64)", "int64"},           {"tensor(int32)", "int32"},   {"tensor(float)", "float32"},
      {"tensor(float16)", "float16"},       {"tensor(uint8)", "uint8"},   {"tensor(int8)", "int8"},
      {"tensor(double)", "float64"},        {"tensor(int16)", "int16"},   {"tensor(uint16)", "uint16"},
      {"tensor(uint32)", "uint32"},         {"tensor(uint64)", "uint64"}, {"tensor(complex64)", "complex64"},
      {"tensor(complex128)", "complex128"}, {"tensor(string)", "str_"},
  };
  for (auto& row : table) types[py::str(row[0])] = np.attr(row[1]);
  types["tensor(bool)"] = ostrel::builtin("bool");
  return types;
}

constexpr const char* kBottlenecksDoc =
    "Gets the n most time-consuming layers in the graph from the proling data.";

}  // namespace

MODTREE_MODULE("frameworks.onnx_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("json"_id) = py::module_::import("json");
  m.attr("sys"_id) = py::module_::import("sys");
  for (const char* name : {"Union", "List", "Tuple"}) m.attr(name) = import_from("typing", name);
  m.attr("np"_id) = py::module_::import("numpy");
  for (const char* name : {"InferenceHardware", "NUM_OF_CPUS", "GPU_PRESENT"})
    m.attr(name) = import_from("ostrel", name);
  m.attr("TensorMetadata"_id) = import_from("ostrel.common.data_classes.tensor_metadata", "TensorMetadata");
  for (const char* name : {"ModelValueError", "FailedToLoadCheckpointError", "InvalidInferenceHardware"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("onnx_rt"_id) = import_onnxruntime(m);
  m.attr("InvalidArgument"_id) = import_from("onnxruntime.capi.onnxruntime_pybind11_state", "InvalidArgument");
  m.attr("BaseInferencer"_id) = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  for (const char* name : {"ModelFrameworkNotLoadedError", "ModelFrameworkRuntimeError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  if (!g_types) g_types = numpy_types().release();

  py::none none;
  modtree::ClassBuilder cls(m, "OnnxInferencer");
  cls.base(m.attr("BaseInferencer"_id));
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.def(
      "__init__", &init, py::arg("self"), py::arg("checkpoint_file"), py::arg("inference_hardware") = none,
      py::arg("input_dims") = none, py::arg("static_batch_size") = none, py::arg("inference_dtype") = none,
      py::arg("logging_verbosity") = none, py::arg("profiling") = false, py::arg("session_options") = none);
  cls.def(
      "_get_inputs_metadata",
      [](py::object self) { return tensors_metadata(self, self.attr("inputs_specifications"_id)); },
      py::arg("self"));
  cls.def(
      "_get_outputs_metadata",
      [](py::object self) { return tensors_metadata(self, self.attr("outputs_specifications"_id)); },
      py::arg("self"));
  cls.def("_get_dimensions_from_graph", &dimensions_from_graph, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("_declared_inputs", &declared_inputs, py::arg("self"));
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def("get_layers_profile_dataframe", &get_layers_profile_dataframe, py::arg("self"));
  cls.def(
      "get_bottlenecks",
      &get_bottlenecks, py::doc(kBottlenecksDoc), py::arg("self"), py::arg("num_layers") = 10);
  cls.def(
      "_dispose_all_resources",
      [](py::object self) {
        ostrel::delete_instance_resources(self, {"sess", "sess_options", "inputs_specifications", "inputs_count",
                                                 "_OnnxInferencer__input_names", "_layers_profile"});
      },
      py::arg("self"));
  cls.def("_OnnxInferencer__warn_if_runtime_compiled_for_wrong_hardware",
          &warn_if_runtime_compiled_for_wrong_hardware, py::arg("self"), py::arg("inference_hardware"));
  cls.def("_get_model_size", &model_size, py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType"_id).attr("ONNX"_id); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("onnx_rt"_id).attr("__version__"_id); });
  cls.def("_get_ort_type_to_numpy_type", &ort_type_to_numpy_type, py::arg("self"), py::arg("orb_type"));
  cls.build();
}
