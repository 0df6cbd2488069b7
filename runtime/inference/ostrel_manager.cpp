// The public entry: `load`, the `Ostrel` class behind it, the loaded-model handle and the
// package logger.
#include <pybind11/stl.h>

#include <string>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;
using ostrel::raise;

namespace {

py::handle g_module;
constexpr const char* kFile = "ostrel/inference/ostrel_manager.py";

py::object mod_attr(const char* name) { return g_module.attr(name); }

bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::object inferencer(py::handle self) { return self.attr("_LoadedModel__inferencer"); }

// ---- LoadedModel ----------------------------------------------------------------------------------

void loaded_model_init(py::object self, py::object inferencer_initializer) {
  try {
    self.attr("_LoadedModel__inferencer") = inferencer_initializer();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // interrupts and exit requests pass unchanged
    std::string message = "Failed to load the model with arguments: " + ostrel::str(inferencer_initializer) +
                          ostrel::str(py::module_::import("os").attr("linesep")) +
                          "Caught Exception: " + ostrel::str(e.value());
    ostrel::raise_from(mod_attr("OstrelError")(message), e.value());
  }
}

void open_in_netron(py::object self) {
  try {
    py::object netron = py::module_::import("netron");
    netron.attr("start")(inferencer(self).attr("checkpoint_file"));
    ostrel::builtin("input")("Click any key to stop netron...");
    netron.attr("stop")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    py::print("Netron package could not be found. You can install netron using:" +
              ostrel::str(py::module_::import("os").attr("linesep")) + "python3 -m pip install netron");
  }
}

py::str loaded_model_text(py::object self) {
  py::object inf = inferencer(self);
  return py::str("<" + ostrel::str(py::type::of(inf).attr("__name__")) + " from " +
                 ostrel::str(inf.attr("_checkpoint_file")) + ">");
}

// ---- Ostrel ---------------------------------------------------------------------------------------

py::list enum_values(const char* enum_name) {
  py::list values;
  for (py::handle member : mod_attr(enum_name)) values.append(member.attr("value"));
  return values;
}

bool equals_a_member(py::handle value, const char* enum_name) {
  for (py::handle member : mod_attr(enum_name))
    if (value.equal(member)) return true;
  return false;
}

void verify_arguments(py::object framework_type, py::object inference_hardware, py::object model_path,
                      py::object input_dims, py::object static_batch_size, py::object logging_verbosity) {
  py::list falsy_names;
  if (!truthy(model_path)) falsy_names.append("model_path");
  if (!truthy(framework_type)) falsy_names.append("framework_type");
  try {
    if (!falsy_names.empty())
      raise(mod_attr("EmptyInputValue"),
            "The following values are None: " + ostrel::str(falsy_names) + ". Please specify valid values.");
    if (!truthy(py::module_::import("os").attr("path").attr("exists")(model_path)))
      raise(mod_attr("CheckpointFileDoesNotExistError"), "The model file does not exist at " + ostrel::text(model_path));
    if (truthy(framework_type) && !equals_a_member(framework_type, "FrameworkType"))
      raise(mod_attr("FrameworkNotSupportedError"), "The specified framework: '" + ostrel::text(framework_type) +
                                                        "' is not supported. The supported frameworks are: " +
                                                        ostrel::str(enum_values("FrameworkType")));
    if (!input_dims.is_none() &&
        ((!py::isinstance<py::tuple>(input_dims) && !py::isinstance<py::list>(input_dims)) || py::len(input_dims) == 0))
      raise(mod_attr("InvalidInputDimensions"), "The input dimensions should be either a tuple or None, received: " +
                                                    ostrel::str(py::type::of(input_dims)));
    if (!static_batch_size.is_none() &&
        (!PyLong_Check(static_batch_size.ptr()) || static_batch_size < py::int_(1)))
      raise(mod_attr("InvalidStaticBatchSize"),
            "The batch size of a model should be a positive number or None (for dynamic), received: " +
                ostrel::text(static_batch_size));
    if (!equals_a_member(inference_hardware, "InferenceHardware"))
      raise(mod_attr("InvalidInferenceHardware"), "Inference Hardware " + ostrel::text(inference_hardware) +
                                                      " is not supported. The supported hardware are " +
                                                      ostrel::str(enum_values("InferenceHardware")));
    if (inference_hardware.equal(mod_attr("InferenceHardware").attr("GPU")) && !truthy(mod_attr("GPU_PRESENT")))
      raise(mod_attr("InvalidInferenceHardware"),
            "Trying to initialize model for GPU execution, but GPU isn't available on this machine");
    py::object valid = mod_attr("VALID_LOGGING_VERBOSITY_INPUTS");
    if (!logging_verbosity.is_none() && !(py::isinstance<py::str>(logging_verbosity) && valid.contains(logging_verbosity)))
      raise(mod_attr("InvalidLoggingLevel"),
            "Logging verbosity must be a string corresponding to standard logging levels from logging package: " +
                ostrel::str(valid));
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception))
      ostrel::log(mod_attr("ostrel_logger"), ostrel::kError, "Failed to register the model: " + ostrel::str(e.value()), kFile);
    throw;
  }
}

py::object update_logger_level(py::object logging_verbosity) {
  py::object LoggerManager = mod_attr("LoggerManager");
  if (logging_verbosity.is_none()) {
    LoggerManager.attr("get_and_update_logger")("Ostrel", py::arg("log_level") = LoggerManager.attr("DEFAULT_LOGGING_LEVEL"));
    return py::none();
  }
  py::object level = py::module_::import("logging").attr("getLevelName")(logging_verbosity);
  LoggerManager.attr("get_and_update_logger")("Ostrel", py::arg("log_level") = level);
  return level;
}

py::object load(py::object model_path, py::object framework_type, py::object inference_hardware,
                py::object static_batch_size, py::object input_dims, py::object inference_dtype,
                py::object logging_verbosity, py::kwargs kwargs) {
  py::object FrameworkType = mod_attr("FrameworkType");
  py::object InferenceHardware = mod_attr("InferenceHardware");
  if (framework_type.is_none()) {
    py::print("Detecting framework...");
    py::object detected = mod_attr("FrameworkDetector").attr("detect_framework")(model_path);
    if (!truthy(detected)) raise(mod_attr("ModelFrameworkDetectionError"));  // its constructor supplies the message
    framework_type = detected;
  }
  if (inference_hardware.is_none())
    inference_hardware = truthy(mod_attr("GPU_PRESENT")) && !framework_type.equal(FrameworkType.attr("OPENVINO"))
                             ? InferenceHardware.attr("GPU")
                             : InferenceHardware.attr("CPU");
  py::object Ostrel = mod_attr("Ostrel");
  Ostrel.attr("_Ostrel__verify_arguments_for_model_loading")(
      py::arg("model_path") = model_path, py::arg("framework_type") = framework_type,
      py::arg("inference_hardware") = inference_hardware, py::arg("static_batch_size") = static_batch_size,
      py::arg("input_dims") = input_dims, py::arg("logging_verbosity") = logging_verbosity);
  py::object level = Ostrel.attr("_update_ostrel_logger_and_get_logging_level_int")(logging_verbosity);
  inference_hardware = InferenceHardware(inference_hardware);
  std::string where = ostrel::text(model_path) + " to the " + py::str(inference_hardware.attr("value")).attr("upper")().cast<std::string>();
  py::object logger = mod_attr("ostrel_logger");
  ostrel::log(logger, ostrel::kInfo, "Loading model " + where, kFile);
  py::dict call;
  call["framework"] = framework_type;
  call["model_checkpoint_file_path"] = model_path;
  call["logging_verbosity"] = level;
  call["input_dims"] = input_dims;
  call["static_batch_size"] = static_batch_size;
  call["inference_hardware"] = inference_hardware;
  call["inference_dtype"] = inference_dtype;
  py::object deferred = mod_attr("InferencerFactory").attr("create_inferencer_factory")(**call, **kwargs);
  py::object handle = mod_attr("LoadedModel")(py::arg("inferencer_initializer") = deferred);
  ostrel::log(logger, ostrel::kInfo, "Successfully loaded " + where + ".", kFile);
  return handle;
}

}  // namespace

MODTREE_MODULE("inference.ostrel_manager", m) {
  g_module = m.inc_ref();
  using modtree::import_from;
  m.attr("os") = py::module_::import("os");
  m.attr("logging") = py::module_::import("logging");
  m.attr("np") = py::module_::import("numpy");
  m.attr("GPU_PRESENT") = import_from("ostrel.inference.config", "GPU_PRESENT");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("InferenceHardware") = import_from("ostrel.common.enums.inference_hardware", "InferenceHardware");
  for (const char* name : {"OstrelError", "EmptyInputValue", "CheckpointFileDoesNotExistError",
                           "FrameworkNotSupportedError", "InvalidInputDimensions", "InvalidStaticBatchSize",
                           "InvalidInferenceHardware", "InvalidLoggingLevel", "ModelFrameworkDetectionError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("LoggerManager") = import_from("ostrel.common.logger_factory", "LoggerManager");
  m.attr("VALID_LOGGING_VERBOSITY_INPUTS") = import_from("ostrel.common.logger_factory", "VALID_LOGGING_VERBOSITY_INPUTS");
  m.attr("FrameworkDetector") = import_from("ostrel.common.framework_detection", "FrameworkDetector");
  m.attr("InferencerFactory") = import_from("ostrel.inference.inferencer_factory", "InferencerFactory");
  py::object base = py::module_::import("ostrel.frameworks.base_inferencer");
  m.attr("BaseInferencer") = base.attr("BaseInferencer");
  m.attr("BENCHMARK_WARMUP_CALLS") = base.attr("BENCHMARK_WARMUP_CALLS");

  m.attr("ostrel_logger") = m.attr("LoggerManager").attr("get_and_update_logger")(
      py::arg("logger_name") = "Ostrel", py::arg("log_level") = m.attr("logging").attr("DEBUG"));

  py::none none;
  modtree::ClassBuilder(m, "LoadedModel")
      .def("__init__", &loaded_model_init, py::arg("self"), py::arg("inferencer_initializer"))
      .def(
          "__call__", [](py::object self, py::object x, py::kwargs kwargs) { return inferencer(self).attr("predict")(x, **kwargs); },
          py::arg("self"), py::arg("x"))
      .def("open_in_netron", &open_in_netron, py::arg("self"))
      .def_property_rw(
          "static_batch_size", [](py::object self) { return inferencer(self).attr("static_batch_size"); },
          [](py::object self, py::object value) { inferencer(self).attr("static_batch_size") = value; })
      .def_property_rw(
          "input_dims", [](py::object self) { return inferencer(self).attr("input_dims"); },
          [](py::object self, py::object value) { inferencer(self).attr("input_dims") = value; })
      .def_property("example_inputs", [](py::object self) { return inferencer(self).attr("example_inputs"); })
      .def_property("legend", [](py::object self) { return inferencer(self).attr("legend"); })
      .def(
          "predict",
          [](py::object self, py::object x, py::object, py::object, py::kwargs kwargs) {
            return inferencer(self).attr("predict")(py::arg("x") = x, **kwargs);
          },
          py::arg("self"), py::arg("x") = none, py::arg("x_preprocess_function") = none,
          py::arg("x_postprocess_function") = none)
      .def(
          "safe_predict",
          [](py::object self, py::object x, py::object, py::object, py::kwargs kwargs) {
            return inferencer(self).attr("safe_predict")(py::arg("x") = x, **kwargs);
          },
          py::arg("self"), py::arg("x") = none, py::arg("x_preprocess_function") = none,
          py::arg("x_postprocess_function") = none)
      .def(
          "benchmark",
          [](py::object self, py::object batch_size, py::object input_dims, py::object duration_sec,
             py::object repetitions, py::object warmup_calls, py::object include_io, py::object dtype,
             py::kwargs kwargs) {
            py::dict call;
            call["batch_size"] = batch_size;
            call["repetitions"] = repetitions;
            call["duration_sec"] = duration_sec;
            call["input_dimensions"] = input_dims;
            call["warmup_calls"] = warmup_calls;
            call["include_io"] = include_io;
            call["dtype"] = dtype;
            return inferencer(self).attr("benchmark")(**call, **kwargs);
          },
          py::arg("self"), py::arg("batch_size"), py::arg("input_dims") = none, py::arg("duration_sec") = none,
          py::arg("repetitions") = none, py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"),
          py::arg("include_io") = true, py::arg("dtype") = none)
      .def(
          "get_layers_profile_dataframe",
          [](py::object self) { return inferencer(self).attr("get_layers_profile_dataframe")(); }, py::arg("self"))
      .def(
          "get_bottlenecks",
          [](py::object self, py::object num_layers) {
            return inferencer(self).attr("get_bottlenecks")(py::arg("num_layers") = num_layers);
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
  m.attr("load") = m.attr("Ostrel").attr("load");
}
