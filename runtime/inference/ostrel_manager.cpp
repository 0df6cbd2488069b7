// The public entry: `load`, the `Ostrel` class behind it, the loaded-model handle and the
// package logger.
#include <pybind11/stl.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/args.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/common/logger_factory.hpp"
#include "runtime/enum_members.hpp"
#include "runtime/keyword_calls.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module
constexpr const char* kFile = "ostrel/inference/ostrel_manager.py";

using ostrel::truthy;

const py::module_& os_module() {
  static const py::module_* os = new py::module_(py::module_::import("os"));  // process lifetime
  return *os;
}

py::object inferencer(py::handle self) { return self.attr("_LoadedModel__inferencer"_id); }

// ---- LoadedModel ----------------------------------------------------------------------------------

void loaded_model_init(py::object self, py::object inferencer_initializer) {
  try {
    self.attr("_LoadedModel__inferencer"_id) = inferencer_initializer();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // interrupts and exit requests pass unchanged
    std::string message = "Failed to load the model with arguments: " + ostrel::str(inferencer_initializer) +
                          ostrel::str(py::module_::import("os").attr("linesep"_id)) +
                          "Caught Exception: " + ostrel::str(e.value());
    ostrel::raise_from(mod_attr("OstrelError"_id)(message), e.value());
  }
}

void open_in_netron(py::object self) {
  try {
    py::object netron = py::module_::import("netron");
    netron.attr("start"_id)(inferencer(self).attr("checkpoint_file"_id));
    ostrel::builtin("input")("Click any key to stop netron...");
    netron.attr("stop"_id)();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::print("Netron package could not be found. You can install netron using:" +
              ostrel::str(py::module_::import("os").attr("linesep"_id)) + "python3 -m pip install netron");
  }
}

py::str loaded_model_text(py::object self) {
  py::object inf = inferencer(self);
  return py::str("<" + ostrel::str(py::type::of(inf).attr("__name__"_id)) + " from " +
                 ostrel::str(inf.attr("_checkpoint_file"_id)) + ">");
}

// ---- the prediction forwarders, on the hot path ---------------------------------------------------
// predict and __call__ run once per inference, so they are plain vectorcall functions: no argument
// parsing layer between the caller and the inferencer's own predict.

// Forwards to inferencer.<method>(x, **others) (`x` first, by position when `by_position`, else by
// keyword), skipping the keywords that fill a parameter of the forwarder itself.
PyObject* forward(PyObject* method, PyObject* self, PyObject* x, bool by_position, PyObject* const* kwvalues,
                  PyObject* kwnames, const Py_ssize_t* skip, std::size_t n_skip) {
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  // The call's values: [inferencer slot, x, other keyword values...].
  std::vector<PyObject*> call{nullptr, x};
  std::vector<PyObject*> other_names;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    bool skipped = false;
    for (std::size_t j = 0; j < n_skip; ++j) skipped = skipped || skip[j] == i;
    if (skipped) continue;
    call.push_back(kwvalues[i]);
    other_names.push_back(PyTuple_GET_ITEM(kwnames, i));
  }
  py::object inferencer = ostrel::steal(PyObject_GetAttr(self, "_LoadedModel__inferencer"_id.ptr()));
  call[0] = inferencer.ptr();
  const std::size_t lead = by_position ? 0 : 1;  // x among the names or not
  if (by_position && other_names.empty())
    return PyObject_VectorcallMethod(method, call.data(), 2, nullptr);
  if (!by_position && other_names.empty()) {
    // The keyword names ("x",), kept for the life of the process.
    static PyObject* const x_only = ostrel::steal(PyTuple_Pack(1, "x"_id.ptr())).release().ptr();
    return PyObject_VectorcallMethod(method, call.data(), 1, x_only);
  }
  py::object call_names =
      py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(lead + other_names.size())));
  if (!call_names) return nullptr;
  if (!by_position) PyTuple_SET_ITEM(call_names.ptr(), 0, Py_NewRef("x"_id.ptr()));
  for (std::size_t i = 0; i < other_names.size(); ++i) {
    Py_INCREF(other_names[i]);
    PyTuple_SET_ITEM(call_names.ptr(), static_cast<Py_ssize_t>(lead + i), other_names[i]);
  }
  return PyObject_VectorcallMethod(method, call.data(), by_position ? 2 : 1, call_names.ptr());
}

// predict / safe_predict(self, x=None, x_preprocess_function=None, x_postprocess_function=None, **kwargs):
// inferencer.<method>(x=x, **kwargs); the two function parameters are accepted and not used.
PyObject* forward_predict(PyObject* method, const modtree::Parameters& parameters, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[4];
  Py_ssize_t keyword_index[4];
  if (!parameters.split(args, nargs, kwnames, slots, keyword_index)) return nullptr;
  return forward(method, slots[0], slots[1] != nullptr ? slots[1] : Py_None, false, args + nargs, kwnames,
                 keyword_index + 1, 3);
}

const modtree::Parameters& predict_parameters(const char* fname) {
  return *new modtree::Parameters(fname, {"self", "x", "x_preprocess_function", "x_postprocess_function"}, 1,
                                 {}, false, true);
}

PyObject* loaded_predict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const modtree::Parameters& parameters = predict_parameters("predict");
  return forward_predict("predict"_id.ptr(), parameters, args, nargs, kwnames);
}

PyObject* loaded_safe_predict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const modtree::Parameters& parameters = predict_parameters("safe_predict");
  return forward_predict("safe_predict"_id.ptr(), parameters, args, nargs, kwnames);
}

// __call__(self, x, **kwargs): inferencer.predict(x, **kwargs), x by position.
PyObject* loaded_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const modtree::Parameters* const parameters =
      new modtree::Parameters("__call__", {"self", "x"}, 2, {}, false, true);
  PyObject* slots[2];
  Py_ssize_t keyword_index[2];
  if (!parameters->split(args, nargs, kwnames, slots, keyword_index)) return nullptr;
  return forward("predict"_id.ptr(), slots[0], slots[1], true, args + nargs, kwnames, keyword_index + 1, 1);
}

PyMethodDef g_predict_def = ostrel::fastcall_method<&loaded_predict>(
    "predict",
    "predict($self, /, x=None, x_preprocess_function=None, x_postprocess_function=None, **kwargs)\n--\n\n");
PyMethodDef g_safe_predict_def = ostrel::fastcall_method<&loaded_safe_predict>(
    "safe_predict",
    "safe_predict($self, /, x=None, x_preprocess_function=None, x_postprocess_function=None, "
    "**kwargs)\n--\n\n");
PyMethodDef g_call_def =
    ostrel::fastcall_method<&loaded_call>("__call__", "__call__($self, /, x, **kwargs)\n--\n\n");

// ---- Ostrel ---------------------------------------------------------------------------------------

py::list enum_values(py::handle enum_name) {
  py::list values;
  for (py::handle member : mod_attr(enum_name)) values.append(member.attr("value"_id));
  return values;
}

bool equals_a_member(py::handle value, py::handle enum_name) {
  py::object members = mod_attr(enum_name);
  // A member, or a text (the members are text: it equals one exactly when it is one of their values).
  if (std::optional<py::object> member = ostrel::member_by_value(members, value)) return !member->is_none();
  for (py::handle member : members)
    if (value.equal(member)) return true;
  return false;
}

enum class PathEntry { kNotAPath, kMissing, kRegular, kFolder, kOther };

// What `path` names, as os.path.exists and a stat see it (links followed; a path holding a NUL byte
// names nothing).
PathEntry path_entry(py::handle path) {
  if (!PyUnicode_Check(path.ptr()) && !PyBytes_Check(path.ptr()) && !PyObject_HasAttrString(path.ptr(), "__fspath__"))
    return PathEntry::kNotAPath;
  struct stat st{};
  try {
    if (!ostrel::stat_path(path, st)) return PathEntry::kMissing;
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ValueError)) return PathEntry::kMissing;  // not encodable: no such file
    throw;
  }
  return S_ISREG(st.st_mode) ? PathEntry::kRegular : S_ISDIR(st.st_mode) ? PathEntry::kFolder : PathEntry::kOther;
}

void verify_arguments(py::object framework_type, py::object inference_hardware, py::object model_path,
                      py::object input_dims, py::object static_batch_size, py::object logging_verbosity) {
  py::list falsy_names;
  if (!truthy(model_path)) falsy_names.append("model_path");
  if (!truthy(framework_type)) falsy_names.append("framework_type");
  try {
    if (!falsy_names.empty())
      raise(mod_attr("EmptyInputValue"_id),
            "The following values are None: " + ostrel::str(falsy_names) + ". Please specify valid values.");
    // One stat answers both questions for a path given as text, bytes or a path object; anything else is
    // left to os.path.exists as given.
    const PathEntry entry = path_entry(model_path);
    if (entry == PathEntry::kMissing ||
        (entry == PathEntry::kNotAPath && !truthy(os_module().attr("path"_id).attr("exists"_id)(model_path))))
      raise(mod_attr("CheckpointFileDoesNotExistError"_id),
            "The model file does not exist at " + ostrel::text(model_path));
    if (entry != PathEntry::kRegular && entry != PathEntry::kFolder) {
      try {
        ostrel::refuse_non_regular(model_path, /*directory_ok=*/true);  // a FIFO would block the load
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        ostrel::raise_from(mod_attr("FailedToLoadCheckpointError"_id)("The model at " + ostrel::text(model_path) +
                                                                   " is not a regular file or folder"),
                           e.value());
      }
    }
    if (truthy(framework_type) && !equals_a_member(framework_type, "FrameworkType"_id))
      raise(mod_attr("FrameworkNotSupportedError"_id), "The specified framework: '" +
                                                        ostrel::text(framework_type) +
                                                        "' is not supported. The supported frameworks are: " +
                                                        ostrel::str(enum_values("FrameworkType"_id)));
    if (!input_dims.is_none() &&
        ((!py::isinstance<py::tuple>(input_dims) && !py::isinstance<py::list>(input_dims)) ||
         py::len(input_dims) == 0))
      raise(mod_attr("InvalidInputDimensions"_id),
            "The input dimensions should be either a tuple or None, received: " +
                ostrel::str(py::type::of(input_dims)));
    if (!static_batch_size.is_none() &&
        (!PyLong_Check(static_batch_size.ptr()) || static_batch_size < py::int_(1)))
      raise(mod_attr("InvalidStaticBatchSize"_id),
            "The batch size of a model should be a positive number or None (for dynamic), received: " +
                ostrel::text(static_batch_size));
    if (!equals_a_member(inference_hardware, "InferenceHardware"_id))
      raise(mod_attr("InvalidInferenceHardware"_id), "Inference Hardware " + ostrel::text(inference_hardware) +
                                                      " is not supported. The supported hardware are " +
                                                      ostrel::str(enum_values("InferenceHardware"_id)));
    if (inference_hardware.equal(mod_attr("InferenceHardware"_id).attr("GPU"_id)) &&
        !truthy(mod_attr("GPU_PRESENT"_id)))
      raise(mod_attr("InvalidInferenceHardware"_id),
            "Trying to initialize model for GPU execution, but GPU isn't available on this machine");
    py::object valid = mod_attr("VALID_LOGGING_VERBOSITY_INPUTS"_id);
    if (!logging_verbosity.is_none() &&
        !(py::isinstance<py::str>(logging_verbosity) && ostrel::contains(valid, logging_verbosity)))
      raise(mod_attr("InvalidLoggingLevel"_id),
            "Logging verbosity must be a string corresponding to standard logging levels from logging "
            "package: " +
                ostrel::str(valid));
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception))
      ostrel::log(mod_attr("ostrel_logger"_id), ostrel::kError,
                  "Failed to register the model: " + ostrel::str(e.value()), kFile);
    throw;
  }
}

py::object update_logger_level(py::object logging_verbosity) {
  py::object LoggerManager = mod_attr("LoggerManager"_id);
  if (logging_verbosity.is_none()) {
    ostrel::update_logger(LoggerManager, "Ostrel"_id, LoggerManager.attr("DEFAULT_LOGGING_LEVEL"_id));
    return py::none();
  }
  py::object level = mod_attr("logging"_id).attr("getLevelName"_id)(logging_verbosity);
  ostrel::update_logger(LoggerManager, "Ostrel"_id, level);
  return level;
}

py::object load(py::object model_path, py::object framework_type, py::object inference_hardware,
                py::object static_batch_size, py::object input_dims, py::object inference_dtype,
                py::object logging_verbosity, py::kwargs kwargs) {
  py::object FrameworkType = mod_attr("FrameworkType"_id);
  py::object InferenceHardware = mod_attr("InferenceHardware"_id);
  // A path given as bytes is a path, as os functions take it, never model content.
  if (PyBytes_Check(model_path.ptr())) model_path = ostrel::fs_path(model_path);
  if (framework_type.is_none()) {
    py::print("Detecting framework...");
    py::object detected;
    try {
      detected = mod_attr("FrameworkDetector"_id).attr("detect_framework"_id)(model_path);
    } catch (const py::error_already_set& e) {
      if (!e.matches(PyExc_OSError)) throw;
      // The file exists but cannot be read: the detection error names the reason and keeps it as its cause.
      py::object error = mod_attr("ModelFrameworkDetectionError"_id)();
      error.attr("args"_id) = py::make_tuple(py::str(error) + py::str(" The model file could not be read: ") +
                                          py::str(e.value()));
      ostrel::raise_from(error, e.value());
    }
    if (!truthy(detected))
      raise(mod_attr("ModelFrameworkDetectionError"_id));  // its constructor supplies the message
    framework_type = detected;
  }
  if (inference_hardware.is_none())
    inference_hardware =
        truthy(mod_attr("GPU_PRESENT"_id)) && !framework_type.equal(FrameworkType.attr("OPENVINO"_id))
            ? InferenceHardware.attr("GPU"_id)
            : InferenceHardware.attr("CPU"_id);
  py::object Ostrel = mod_attr("Ostrel"_id);
  Ostrel.attr("_Ostrel__verify_arguments_for_model_loading"_id)(
      py::arg("model_path") = model_path, py::arg("framework_type") = framework_type,
      py::arg("inference_hardware") = inference_hardware, py::arg("static_batch_size") = static_batch_size,
      py::arg("input_dims") = input_dims, py::arg("logging_verbosity") = logging_verbosity);
  py::object level = Ostrel.attr("_update_ostrel_logger_and_get_logging_level_int"_id)(logging_verbosity);
  inference_hardware = ostrel::enum_member(InferenceHardware, inference_hardware);
  // "<path> to the <HARDWARE>", made only for a logger that takes the info records.
  auto where = [&] {
    return ostrel::text(model_path) + " to the " +
           py::str(inference_hardware.attr("value"_id)).attr("upper"_id)().cast<std::string>();
  };
  py::object logger = mod_attr("ostrel_logger"_id);
  if (ostrel::log_enabled(logger, ostrel::kInfo))
    ostrel::log_unchecked(logger, ostrel::kInfo, "Loading model " + where(), kFile);
  py::dict call = ostrel::keywords({{"framework"_id, framework_type},
                                    {"model_checkpoint_file_path"_id, model_path},
                                    {"logging_verbosity"_id, level},
                                    {"input_dims"_id, input_dims},
                                    {"static_batch_size"_id, static_batch_size},
                                    {"inference_hardware"_id, inference_hardware},
                                    {"inference_dtype"_id, inference_dtype}});
  py::object deferred =
      ostrel::call_with(mod_attr("InferencerFactory"_id).attr("create_inferencer_factory"_id), call, kwargs);
  py::object handle = mod_attr("LoadedModel"_id)(py::arg("inferencer_initializer") = deferred);
  if (ostrel::log_enabled(logger, ostrel::kInfo))
    ostrel::log_unchecked(logger, ostrel::kInfo, "Successfully loaded " + where() + ".", kFile);
  return handle;
}

}  // namespace

MODTREE_MODULE("inference.ostrel_manager", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("os"_id) = py::module_::import("os");
  m.attr("logging"_id) = py::module_::import("logging");
  m.attr("np"_id) = py::module_::import("numpy");
  m.attr("GPU_PRESENT"_id) = import_from("ostrel.inference.config", "GPU_PRESENT");
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("InferenceHardware"_id) = import_from("ostrel.common.enums.inference_hardware", "InferenceHardware");
  for (const char* name : {"OstrelError", "EmptyInputValue", "CheckpointFileDoesNotExistError",
                           "FrameworkNotSupportedError", "InvalidInputDimensions", "InvalidStaticBatchSize",
                           "InvalidInferenceHardware", "InvalidLoggingLevel", "ModelFrameworkDetectionError",
                           "FailedToLoadCheckpointError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("LoggerManager"_id) = import_from("ostrel.common.logger_factory", "LoggerManager");
  m.attr("VALID_LOGGING_VERBOSITY_INPUTS"_id) =
      import_from("ostrel.common.logger_factory", "VALID_LOGGING_VERBOSITY_INPUTS");
  m.attr("FrameworkDetector"_id) = import_from("ostrel.common.framework_detection", "FrameworkDetector");
  m.attr("InferencerFactory"_id) = import_from("ostrel.inference.inferencer_factory", "InferencerFactory");
  py::object base = py::module_::import("ostrel.frameworks.base_inferencer");
  m.attr("BaseInferencer"_id) = base.attr("BaseInferencer"_id);
  m.attr("BENCHMARK_WARMUP_CALLS"_id) = base.attr("BENCHMARK_WARMUP_CALLS"_id);

  m.attr("ostrel_logger"_id) =
      m.attr("LoggerManager"_id)
          .attr("get_and_update_logger"_id)(py::arg("logger_name") = "Ostrel",
                                         py::arg("log_level") = m.attr("logging"_id).attr("DEBUG"_id));

  py::none none;
  modtree::ClassBuilder(m, "LoadedModel")
      .def("__init__", &loaded_model_init, py::arg("self"), py::arg("inferencer_initializer"))
      .attr("__call__", modtree::raw_method(&g_call_def, m))
      .def("open_in_netron", &open_in_netron, py::arg("self"))
      .def_property_rw(
          "static_batch_size", [](py::object self) { return inferencer(self).attr("static_batch_size"_id); },
          [](py::object self, py::object value) { inferencer(self).attr("static_batch_size"_id) = value; })
      .def_property_rw(
          "input_dims", [](py::object self) { return inferencer(self).attr("input_dims"_id); },
          [](py::object self, py::object value) { inferencer(self).attr("input_dims"_id) = value; })
      .def_property("example_inputs", [](py::object self) { return inferencer(self).attr("example_inputs"_id); })
      .def_property("legend", [](py::object self) { return inferencer(self).attr("legend"_id); })
      .attr("predict", modtree::raw_method(&g_predict_def, m))
      .attr("safe_predict", modtree::raw_method(&g_safe_predict_def, m))
      .def(
          "benchmark",
          [](py::object self, py::object batch_size, py::object input_dims, py::object duration_sec,
             py::object repetitions, py::object warmup_calls, py::object include_io, py::object dtype,
             py::kwargs kwargs) {
            py::dict call = ostrel::keywords({{"batch_size", batch_size},
                                              {"repetitions", repetitions},
                                              {"duration_sec", duration_sec},
                                              {"input_dimensions", input_dims},
                                              {"warmup_calls", warmup_calls},
                                              {"include_io", include_io},
                                              {"dtype", dtype}});
            return ostrel::call_with(inferencer(self).attr("benchmark"_id), call, kwargs);
          },
          py::arg("self"), py::arg("batch_size"), py::arg("input_dims") = none,
          py::arg("duration_sec") = none, py::arg("repetitions") = none,
          py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"_id), py::arg("include_io") = true,
          py::arg("dtype") = none)
      .def(
          "get_layers_profile_dataframe",
          [](py::object self) { return inferencer(self).attr("get_layers_profile_dataframe"_id)(); },
          py::arg("self"))
      .def(
          "get_bottlenecks",
          [](py::object self, py::object num_layers) {
            return inferencer(self).attr("get_bottlenecks"_id)(py::arg("num_layers") = num_layers);
          },
          py::arg("self"), py::arg("num_layers"))
      .def("__str__", &loaded_model_text, py::arg("self"))
      .def("__repr__", &loaded_model_text, py::arg("self"))
      .build();

  modtree::ClassBuilder(m, "Ostrel")
      .def_static("_Ostrel__verify_arguments_for_model_loading", &verify_arguments, py::arg("framework_type"),
                  py::arg("inference_hardware"), py::arg("model_path"), py::arg("input_dims"),
                  py::arg("static_batch_size"), py::arg("logging_verbosity"))
      .def_static("load", &load, py::arg("model_path"), py::arg("framework_type") = none,
                  py::arg("inference_hardware") = none, py::arg("static_batch_size") = none,
                  py::arg("input_dims") = none, py::arg("inference_dtype") = none,
                  py::arg("logging_verbosity") = none)
      .def_static("_update_ostrel_logger_and_get_logging_level_int", &update_logger_level,
                  py::arg("logging_verbosity"))
      .build();
  m.attr("load"_id) = m.attr("Ostrel"_id).attr("load"_id);
}
