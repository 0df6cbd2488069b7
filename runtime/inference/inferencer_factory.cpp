// The one place that maps a framework to its back-end inferencer class. Each back-end module is
// imported inside the branch of its framework, when a model of that framework is constructed.
#include <pybind11/stl.h>

#include <string>
#include <string_view>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "bindings/pyhelpers.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module


using ostrel::truthy;

py::object member(const char* enum_name, const char* name) { return ostrel::attr(mod_attr(enum_name), name); }

// The optional extra of the package that installs the framework a back-end module runs on.
const char* extra_for(std::string_view module) {
  if (module.starts_with("onnx")) return "onnx";
  if (module.starts_with("pytorch") || module.starts_with("torchscript")) return "torch";
  if (module.starts_with("openvino")) return "openvino";
  if (module.starts_with("tensorflow") || module.starts_with("keras") || module.starts_with("tflite"))
    return "tensorflow";
  if (module.starts_with("coreml")) return "coreml";
  return nullptr;
}

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
py::object backend(const char* module, const char* cls) {
  const std::string name = std::string("ostrel.frameworks.") + module;
  // A back-end already imported is taken from sys.modules: the import machinery is walked once, on
  // the first load of its framework.
  if (PyObject* loaded = PyImport_GetModule(ostrel::interned(name).ptr()))
    return class_of(py::reinterpret_steal<py::object>(loaded), cls);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object mod;
  try {
    mod = py::module_::import(name.c_str());
  } catch (py::error_already_set& e) {
    const char* extra = extra_for(module);
    if (extra == nullptr || !e.matches(PyExc_ModuleNotFoundError)) throw;
    py::object missing = e.value().attr("name"_id);
    // Our own modules (a back-end outside this build) say what is wrong themselves.
    if (missing.is_none()) throw;
    std::string missing_name = ostrel::str(missing);
    if (missing_name == "ostrel" || missing_name.starts_with("ostrel.")) throw;
    py::object error = ostrel::builtin("ModuleNotFoundError")(
        ostrel::str(e.value()) + ": install it with pip install 'ostrel[" + extra + "]'",
        py::arg("name") = missing);
    ostrel::raise_from(error, e.value());
  }
  return class_of(mod, cls);
}

// The FrameworkType members in the order of the branches of get_inferencer_for_framework.
constexpr const char* kRows[] = {"ONNX",        "PYTORCH", "OPENVINO", "TENSORFLOW2", "KERAS",
                                 "TORCHSCRIPT", "TFLITE",  "COREML",   "TENSORRT"};

// `framework == FrameworkType.<name>.value`, the member's value read from its own attribute.
bool framework_equals(py::handle framework, const char* name) {
  return framework.equal(member("FrameworkType", name).attr("_value_"_id));
}

// The branch a framework given as a member or as a value text takes, by the member's name: nullopt where
// the enumeration's table of values cannot tell (the branches then compare the value one by one), -1 for
// a text that is no member's value.
std::optional<int> framework_row(py::handle framework) {
  std::optional<py::object> member = ostrel::member_by_value(mod_attr("FrameworkType"_id), framework);
  if (!member) return std::nullopt;
  if (member->is_none()) return -1;
  const std::string name = ostrel::str(member->attr("_name_"_id));
  for (int i = 0; i < static_cast<int>(std::size(kRows)); ++i)
    if (name == kRows[i]) return i;
  return -1;
}

std::string supported_frameworks() {
  py::list values;
  for (py::handle f : mod_attr("FrameworkType"_id)) values.append(f.attr("value"_id));
  return ostrel::str(values);
}

py::object tensorrt_branch(py::dict& common, py::object inference_hardware, py::object inference_dtype,
                           py::kwargs& kwargs) {
  py::object FrameworkNotSupportedError = mod_attr("FrameworkNotSupportedError"_id);
  if (!truthy(mod_attr("GPU_PRESENT"_id)))
    raise(FrameworkNotSupportedError,
          "TensorRT is not supported on the current environment. There are no visible GPUs.");
  py::object gpu = member("InferenceHardware", "GPU");
  if (truthy(inference_hardware) && !inference_hardware.equal(gpu))
    raise(mod_attr("InvalidInferenceHardware"_id), inference_hardware);
  py::object TRTInferencer;
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
    TRTInferencer = backend("trt_inferencer", "TRTInferencer");
  } catch (py::error_already_set& e) {
    // A missing or unloadable TensorRT stack is "not supported here".
    if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_OSError)) throw;
    py::object error = FrameworkNotSupportedError(
        "TensorRT is not supported on the current environment. Please install the following packages for "
        "tensorrt "
        "support: " +
        ostrel::str(e.value()));
    ostrel::raise_from(error, e.value());
  }
  // The constructor's own failures (a missing checkpoint file is an OSError too) are the model's
  // problem, not the environment's: they reach the caller unchanged.
  py::dict call = ostrel::keywords({{"checkpoint_file", common["checkpoint_file"]},
                                    {"inference_hardware", gpu},
                                    {"input_dims", common["input_dims"]},
                                    {"static_batch_size", common["static_batch_size"]},
                                    {"inference_dtype", inference_dtype},
                                    {"logging_verbosity", common["logging_verbosity"]}});
  return ostrel::call_with(TRTInferencer, call, kwargs);
}

py::object get_inferencer_for_framework(py::object framework, py::object model_checkpoint_file_path,
                                        py::object logging_verbosity, py::object inference_hardware,
                                        py::object input_dims, py::object static_batch_size,
                                        py::object inference_dtype, py::kwargs kwargs) {
  py::dict common = ostrel::keywords({{"checkpoint_file"_id, model_checkpoint_file_path},
                                      {"inference_hardware"_id, inference_hardware},
                                      {"input_dims"_id, input_dims},
                                      {"static_batch_size"_id, static_batch_size},
                                      {"logging_verbosity"_id, logging_verbosity}});
  const std::optional<int> row = framework_row(framework);
  auto is = [&](const char* name) {
    return row ? *row >= 0 && std::string_view(kRows[*row]) == name : framework_equals(framework, name);
  };

  if (is("ONNX")) {
    py::object OnnxInferencer = backend("onnx_inferencer", "OnnxInferencer");
    py::dict call = ostrel::keywords({{"checkpoint_file"_id, model_checkpoint_file_path},
                                      {"inference_hardware"_id, inference_hardware},
                                      {"input_dims"_id, input_dims},
                                      {"static_batch_size"_id, static_batch_size},
                                      {"inference_dtype"_id, inference_dtype},
                                      {"logging_verbosity"_id, logging_verbosity}});
    return ostrel::call_with(OnnxInferencer, call, kwargs);
  }
  if (is("PYTORCH"))
    return ostrel::call_with(backend("pytorch_inferencer", "PytorchInferencer"), common, kwargs);
  if (is("OPENVINO")) {
    py::object cpu = member("InferenceHardware", "CPU");
    if (truthy(inference_hardware) && !inference_hardware.equal(cpu))
      raise(mod_attr("InvalidInferenceHardware"_id), inference_hardware);
    py::object OpenVinoInferencer = backend("openvino_inferencer", "OpenVinoInferencer");
    common["inference_hardware"] = cpu;
    return ostrel::call_with(OpenVinoInferencer, common, kwargs);
  }
  if (is("TENSORFLOW2"))
    return ostrel::call_with(backend("tensorflow_inferencer", "TF2Inferencer"), common, kwargs);
  if (is("KERAS")) return ostrel::call_with(backend("keras_inferencer", "KerasInferencer"), common, kwargs);
  if (is("TORCHSCRIPT"))
    return ostrel::call_with(backend("torchscript_inferencer", "TorchScriptInferencer"), common, kwargs);
  if (is("TFLITE"))
    return ostrel::call_with(backend("tflite_inferencer", "TFLiteInferencer"), common, kwargs);
  if (is("COREML"))
    return ostrel::call_with(backend("coreml_inferencer", "CoreMLInferencer"), common, kwargs);
  if (is("TENSORRT")) return tensorrt_branch(common, inference_hardware, inference_dtype, kwargs);
  raise(mod_attr("FrameworkNotSupportedError"_id),
        "The specified framework: '" + ostrel::text(framework) +
            "' is not supported. The supported frameworks are: " + supported_frameworks());
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
  return ostrel::steal(PyObject_Call(mod_attr("partial"_id).ptr(), py::make_tuple(target).ptr(), bound.ptr()));
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
