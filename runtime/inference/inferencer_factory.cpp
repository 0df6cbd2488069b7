// The one place that maps a framework to its back-end inferencer class, through one table of back-ends.
// Each back-end module is imported when a model of its framework is constructed.
#include <pybind11/stl.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/enum_members.hpp"
#include "runtime/keyword_calls.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module

using ostrel::truthy;

py::object member(const char* enum_name, const char* name) { return ostrel::attr(mod_attr(enum_name), name); }

// One row per back-end, in the order the framework is tested (the first match wins). The factory's only
// knowledge of a back-end is its row.
struct Backend {
  const char* framework;  // the FrameworkType member whose value selects the row
  const char* module;     // the back-end module under ostrel.frameworks
  const char* cls;        // its inferencer class
  const char* extra;      // the package extra that installs its framework (nullptr: none)
  bool takes_dtype;       // the constructor receives inference_dtype
  const char* hardware;   // the InferenceHardware member it always runs on (nullptr: the caller's)
  bool tensorrt;          // needs a visible GPU and the CUDA stack; failing to set it up is "not supported"
};

constexpr Backend kBackends[] = {
    {"ONNX", "onnx_inferencer", "OnnxInferencer", "onnx", true, nullptr, false},
    {"PYTORCH", "pytorch_inferencer", "PytorchInferencer", "torch", false, nullptr, false},
    {"OPENVINO", "openvino_inferencer", "OpenVinoInferencer", "openvino", false, "CPU", false},
    {"TENSORFLOW2", "tensorflow_inferencer", "TF2Inferencer", "tensorflow", false, nullptr, false},
    {"KERAS", "keras_inferencer", "KerasInferencer", "tensorflow", false, nullptr, false},
    {"TORCHSCRIPT", "torchscript_inferencer", "TorchScriptInferencer", "torch", false, nullptr, false},
    {"TFLITE", "tflite_inferencer", "TFLiteInferencer", "tensorflow", false, nullptr, false},
    {"COREML", "coreml_inferencer", "CoreMLInferencer", "coreml", false, nullptr, false},
    {"TENSORRT", "trt_inferencer", "TRTInferencer", nullptr, true, "GPU", true},
};

// The class `cls` of a back-end module, as `from module import cls` takes it: a module that ended without
// the class (the TensorRT back-end without TensorRT) fails with the ImportError of that statement.
py::object class_of(py::handle mod, const char* cls) {
  py::object found = py::reinterpret_steal<py::object>(PyObject_GetAttrString(mod.ptr(), cls));
  if (found) return found;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  py::object name = ostrel::attr(mod, "__name__");
  py::object error = ostrel::builtin("ImportError")(
      "cannot import name '" + std::string(cls) + "' from '" + ostrel::str(name) + "'",
      py::arg("name") = name, py::arg("path") = py::getattr(mod, "__file__", py::none()));
  ostrel::raise(PyExc_ImportError, error);
}

// Imports a back-end module and returns its inferencer class. A framework that is not installed fails
// with the ModuleNotFoundError of its import, whose text names the extra that installs it.
py::object backend_class(const Backend& row) {
  const std::string name = std::string("ostrel.frameworks.") + row.module;
  // A back-end already imported is taken from sys.modules: the import machinery is walked once, on
  // the first load of its framework. A None there (an import blocked on purpose) is left to the import,
  // which refuses it with its own ModuleNotFoundError.
  py::object loaded = py::reinterpret_steal<py::object>(PyImport_GetModule(ostrel::interned(name).ptr()));
  if (PyErr_Occurred()) throw py::error_already_set();
  if (loaded && !loaded.is_none()) return class_of(loaded, row.cls);
  py::object mod;
  try {
    mod = py::module_::import(name.c_str());
  } catch (py::error_already_set& e) {
    if (row.extra == nullptr || !e.matches(PyExc_ModuleNotFoundError)) throw;
    py::object missing = e.value().attr("name"_id);
    // Our own modules (a back-end outside this build) say what is wrong themselves.
    if (missing.is_none()) throw;
    std::string missing_name = ostrel::str(missing);
    if (missing_name == "ostrel" || missing_name.starts_with("ostrel.")) throw;
    py::object error = ostrel::builtin("ModuleNotFoundError")(
        ostrel::str(e.value()) + ": install it with pip install 'ostrel[" + row.extra + "]'",
        py::arg("name") = missing);
    ostrel::raise_from(error, e.value());
  }
  return class_of(mod, row.cls);
}

// The row `framework` selects: the first whose member's value text it equals (read from the member's
// own attribute, so a member and its value text are interchangeable), or nullptr.
const Backend* row_for(py::handle framework) {
  for (const Backend& row : kBackends)
    if (framework.equal(member("FrameworkType", row.framework).attr("_value_"_id))) return &row;
  return nullptr;
}

std::string supported_frameworks() {
  py::list values;
  for (py::handle f : mod_attr("FrameworkType"_id)) values.append(f.attr("value"_id));
  return ostrel::str(values);
}

// The TensorRT back-end's class, with the CUDA version checked first. A missing or unloadable TensorRT
// stack (an ImportError or OSError of these steps) is "not supported here".
py::object tensorrt_class(const Backend& row) {
  try {
    py::object cuda = py::module_::import("pycuda.driver");
    py::object cuda_version = cuda.attr("get_version"_id)();
    py::object supported = mod_attr("SUPPORTED_TENSORRT_CUDA_VERSIONS"_id);
    if (!supported.contains(cuda_version)) {
      std::string text =
          "CUDA Warning: The current TensorRT version was compiled with a non-supported CUDA version " +
          ostrel::str(cuda_version) + "." + ostrel::str(mod_attr("linesep"_id)) +
          "Please install CUDA in version " + ostrel::str(supported) +
          " or install another version of nvidia-tensorrt to use the GPU properly with TensorRT.";
      ostrel::builtin("print")(ostrel::builtin("RuntimeWarning")(text));
    }
    return backend_class(row);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_OSError)) throw;
    py::object error = mod_attr("FrameworkNotSupportedError"_id)(
        "TensorRT is not supported on the current environment. Please install the following packages for "
        "tensorrt support: " +
        ostrel::str(e.value()));
    ostrel::raise_from(error, e.value());
  }
}

py::object get_inferencer_for_framework(py::object framework, py::object model_checkpoint_file_path,
                                        py::object logging_verbosity, py::object inference_hardware,
                                        py::object input_dims, py::object static_batch_size,
                                        py::object inference_dtype, py::kwargs kwargs) {
  const Backend* row = row_for(framework);
  if (row == nullptr)
    raise(mod_attr("FrameworkNotSupportedError"_id),
          "The specified framework: '" + ostrel::text(framework) +
              "' is not supported. The supported frameworks are: " + supported_frameworks());
  if (row->tensorrt && !truthy(mod_attr("GPU_PRESENT"_id)))
    raise(mod_attr("FrameworkNotSupportedError"_id),
          "TensorRT is not supported on the current environment. There are no visible GPUs.");
  py::object hardware = inference_hardware;
  if (row->hardware != nullptr) {  // refused before the back-end is imported
    hardware = member("InferenceHardware", row->hardware);
    if (truthy(inference_hardware) && !inference_hardware.equal(hardware))
      raise(mod_attr("InvalidInferenceHardware"_id), inference_hardware);
  }
  py::object cls = row->tensorrt ? tensorrt_class(*row) : backend_class(*row);
  py::dict call = ostrel::keywords({{"checkpoint_file"_id, model_checkpoint_file_path},
                                    {"inference_hardware"_id, hardware},
                                    {"input_dims"_id, input_dims},
                                    {"static_batch_size"_id, static_batch_size}});
  if (row->takes_dtype) call["inference_dtype"_id] = inference_dtype;
  call["logging_verbosity"_id] = logging_verbosity;
  // The constructor's own failures (a missing checkpoint file is an OSError too) are the model's
  // problem, not the environment's: they reach the caller unchanged, on every row.
  return ostrel::call_with(cls, call, kwargs);
}

// create_inferencer_factory: the deferred constructor, functools.partial(InferencerFactory.
// get_inferencer_for_framework, <every argument by name>), the keywords that name no parameter last.
py::object create_inferencer_factory(py::object framework, py::object model_checkpoint_file_path,
                                     py::object logging_verbosity, py::object input_dims,
                                     py::object static_batch_size, py::object inference_hardware,
                                     py::object inference_dtype, py::kwargs kwargs) {
  py::dict bound = ostrel::keywords({{"framework"_id, framework},
                                     {"model_checkpoint_file_path"_id, model_checkpoint_file_path},
                                     {"logging_verbosity"_id, logging_verbosity},
                                     {"input_dims"_id, input_dims},
                                     {"static_batch_size"_id, static_batch_size},
                                     {"inference_hardware"_id, inference_hardware},
                                     {"inference_dtype"_id, inference_dtype}});
  for (auto item : kwargs) bound[item.first] = item.second;
  py::object target = mod_attr("InferencerFactory"_id).attr("get_inferencer_for_framework"_id);
  return mod_attr("partial"_id)(target, **bound);
}

}  // namespace

MODTREE_MODULE("inference.inferencer_factory", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("partial"_id) = import_from("functools", "partial");
  m.attr("linesep"_id) = import_from("os", "linesep");
  for (const char* name : {"List", "Tuple", "Optional"}) m.attr(name) = import_from("typing", name);
  m.attr("np"_id) = py::module_::import("numpy");
  m.attr("GPU_PRESENT"_id) = import_from("ostrel", "GPU_PRESENT");
  m.attr("InferenceHardware"_id) = import_from("ostrel", "InferenceHardware");
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("FrameworkNotSupportedError"_id) =
      import_from("ostrel.common.exceptions", "FrameworkNotSupportedError");
  m.attr("InvalidInferenceHardware"_id) = import_from("ostrel.common.exceptions", "InvalidInferenceHardware");
  m.attr("SUPPORTED_TENSORRT_CUDA_VERSIONS"_id) =
      import_from("ostrel.inference.config", "SUPPORTED_TENSORRT_CUDA_VERSIONS");

  py::none none;
  modtree::ClassBuilder(m, "InferencerFactory")
      .def_static("get_inferencer_for_framework", &get_inferencer_for_framework, py::arg("framework"),
                  py::arg("model_checkpoint_file_path"), py::arg("logging_verbosity"),
                  py::arg("inference_hardware") = none, py::arg("input_dims") = none,
                  py::arg("static_batch_size") = none, py::arg("inference_dtype") = none)
      .def_static("create_inferencer_factory", &create_inferencer_factory, py::arg("framework"),
                  py::arg("model_checkpoint_file_path"), py::arg("logging_verbosity") = none,
                  py::arg("input_dims") = none, py::arg("static_batch_size") = none,
                  py::arg("inference_hardware") = none, py::arg("inference_dtype") = none)
      .build();
}
