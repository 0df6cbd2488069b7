// The machine probe: Jetson board, GPU count, TensorRT and CUDA versions and physical CPU cores, taken
// once at the first import and published as module constants.
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/cpu_info.hpp"
#include "runtime/lazy_modules.hpp"

namespace py = pybind11;

namespace {

using ostrel::truthy;

// CPU count of this machine: logical CPUs, or physical cores with `logical` false. Where the core
// topology cannot be read the physical count falls back to the logical one, so it is always a number.
int cpu_count(bool logical) {
  py::gil_scoped_release release;
  return logical ? ostrel::native::logical_cpu_count() : ostrel::native::physical_cpu_count();
}

// Jetson probe; true when it ran to its end, whatever ok() answered. `running_on_jetson` and `gpus` are set
// when the client answers ok(). A failure anywhere in it (package missing, client failing to start,
// statistics unreadable) is absorbed and reported as false.
bool probe_jetson(py::module_ m, bool& running_on_jetson, int& gpus) {
  try {
    py::object jtop = modtree::import_from("jtop", "jtop");
    ostrel::with_block(jtop(), [&](py::object jetson) {
      if (!truthy(jetson.attr("ok")())) return;
      py::object stats = jetson.attr("stats");
      py::object text = m.attr("json").attr("dumps")(stats, py::arg("indent") = 4, py::arg("sort_keys") = true,
                                           py::arg("default") = modtree::ClassBuilder::builtin("str"));
      py::print(py::str("Jetson stats: ") + py::str(text));
      running_on_jetson = true;
      gpus = 1;
    });
    return true;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
  return false;
}

int count_gputil_gpus() {
  try {
    py::object gputil = py::module_::import("GPUtil");
    return static_cast<int>(py::len(gputil.attr("getGPUs")()));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  } catch (const std::exception&) {
  }
  return 0;
}

// `read()` of an optional package; a package that is missing (import or name failure) gives None, any
// other failure propagates.
template <typename Read>
py::object optional_package_value(Read&& read) {
  try {
    return read();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ImportError) || e.matches(PyExc_NameError)) return py::none();
    throw;
  }
}

PyObject* g_config_class = nullptr;  // the Config class made by this module (strong reference)

bool exact_int(py::handle h) { return PyLong_CheckExact(h.ptr()); }

bool validated_already(py::handle cpus, py::handle trt_version, py::handle cuda_version) {
  if (!exact_int(cpus)) return false;
  if (!trt_version.is_none() && !PyUnicode_CheckExact(trt_version.ptr())) return false;
  if (cuda_version.is_none()) return true;
  if (!PyTuple_CheckExact(cuda_version.ptr()) || PyTuple_GET_SIZE(cuda_version.ptr()) != 3) return false;
  for (py::handle part : py::reinterpret_borrow<py::tuple>(cuda_version))
    if (!exact_int(part)) return false;
  return true;
}

py::object get_hardware_information(py::module_ m) {
  int gpus = 0;
  bool running_on_jetson = false;
  if (!probe_jetson(m, running_on_jetson, gpus)) gpus = count_gputil_gpus();

  py::object trt_version =
      optional_package_value([] { return py::object(py::module_::import("tensorrt").attr("__version__")); });
  py::object cuda_version = optional_package_value(
      [] { return py::object(py::module_::import("pycuda.driver").attr("get_version")()); });

  py::object cpus = m.attr("cpu_count")(py::arg("logical") = false);
  py::object config = m.attr("Config");
  py::dict values(py::arg("number_of_cpus") = cpus, py::arg("number_of_gpus") = gpus,
                  py::arg("running_on_jetson") = running_on_jetson, py::arg("trt_version") = trt_version,
                  py::arg("cuda_version") = cuda_version);
  // Values that already have their field's exact type pass validation unchanged: the record is then
  // assembled directly, which spares building the validator (and pydantic's plugin discovery) at
  // import. Anything else goes through validation.
  if (config.ptr() == g_config_class && validated_already(cpus, trt_version, cuda_version))
    return config.attr("model_construct")(**values);
  return config(**values);
}

py::object make_config_class(py::module_& m) {
  using modtree::typing_subscript;
  py::object schema = m.attr("Schema");
  py::object int_t = modtree::ClassBuilder::builtin("int");
  py::object bool_t = modtree::ClassBuilder::builtin("bool");
  py::object str_t = modtree::ClassBuilder::builtin("str");
  py::object triple = typing_subscript("Tuple", py::make_tuple(int_t, int_t, int_t));

  py::set supported;
  for (int minor = 1; minor <= 7; ++minor) supported.add(py::make_tuple(11, minor, 0));

  return modtree::ClassBuilder(m, "Config")
      .base(schema)
      .metaclass(py::type::of(schema))
      .field("number_of_cpus", int_t, py::int_(0))
      .field("number_of_gpus", int_t, py::int_(0))
      .field("running_on_jetson", bool_t, py::bool_(false))
      .field("supported_tensorrt_cuda_versions", typing_subscript("Set", triple), supported)
      .field("trt_version", typing_subscript("Optional", str_t), py::none())
      .field("cuda_version", typing_subscript("Optional", triple), py::none())
      .attr("gpu_present",
            // Built as a named function, so the getter carries a text signature like the methods do.
            py::module_::import("builtins")
                .attr("property")(modtree::python_function(
                    py::cpp_function(
                        [](py::object self) -> bool {
                          return py::object(self.attr("number_of_gpus")) > py::int_(0);
                        },
                        py::name("gpu_present"), py::arg("self"), "Whether the machine has a GPU."),
                    "gpu_present", "Config.gpu_present")))
      .build();
}

}  // namespace

MODTREE_MODULE("inference.config", m) {
  ostrel::lazy_module_attributes(m, {"json"});
  py::module_ typing = py::module_::import("typing");
  for (const char* name : {"Optional", "Set", "Tuple"}) m.attr(name) = typing.attr(name);
  m.attr("cpu_count") = modtree::python_function(
      py::cpp_function(&cpu_count, py::name("cpu_count"), py::arg("logical") = true,
                       "Number of CPUs of this machine: logical CPUs, or physical cores when `logical` is false."),
      "cpu_count");
  m.attr("Schema") = modtree::import_from("ostrel.common.abstractions.schema", "Schema");

  g_config_class = make_config_class(m).release().ptr();
  m.def(
      "get_hardware_information", [m]() { return get_hardware_information(m); },
      "Probes the machine: Jetson board, GPU count, TensorRT and CUDA versions and physical CPU cores.");

  py::object config = m.attr("get_hardware_information")();
  m.attr("_config") = config;
  m.attr("NUM_OF_CPUS") = config.attr("number_of_cpus");
  m.attr("NUM_OF_GPUS") = config.attr("number_of_gpus");
  m.attr("RUNNING_ON_JETSON") = config.attr("running_on_jetson");
  m.attr("GPU_PRESENT") = config.attr("gpu_present");
  m.attr("SUPPORTED_TENSORRT_CUDA_VERSIONS") = config.attr("supported_tensorrt_cuda_versions");
  m.attr("TRT_VERSION") = config.attr("trt_version");
  m.attr("CUDA_VERSION") = config.attr("cuda_version");
}
