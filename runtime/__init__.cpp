// The package root: the import-time start-up of ostrel.
#include <pybind11/stl.h>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kFile = "ostrel/__init__.py";

void startup(py::module_& m) {
  using modtree::import_from;
  // The machine probe.
  m.attr("NUM_OF_CPUS") = import_from("ostrel.inference.config", "NUM_OF_CPUS");
  m.attr("NUM_OF_GPUS") = import_from("ostrel.inference.config", "NUM_OF_GPUS");
  m.attr("GPU_PRESENT") = import_from("ostrel.inference.config", "GPU_PRESENT");
  // The version.
  m.attr("ostrel_version") = import_from("ostrel.version", "version");
  // TensorRT preload, GPU machines only.
  if (py::bool_(m.attr("GPU_PRESENT"))) {
    try {
      m.attr("trt") = py::module_::import("tensorrt");
    } catch (py::error_already_set&) {
      py::print(
          "GPU initialization: TensorRT is not installed. CUDA will not be initialized for the current "
          "Ostrel "
          "session.");
    }
  }
  // The enumerations.
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("InferenceHardware") = import_from("ostrel.common.enums.inference_hardware", "InferenceHardware");
  m.attr("BenchmarkMode") = import_from("ostrel.common.enums.benchmark_mode", "BenchmarkMode");
  m.attr("TRTBenchmarkMode") = import_from("ostrel.common.enums.benchmark_mode", "TRTBenchmarkMode");
  // The public entry and the package logger. Until the inference core is part of this build the
  // start-up ends its import part here; the rest of the tree stays importable.
  if (modtree::Registry::instance().find("inference.ostrel_manager") == nullptr) {
    m.attr("__version__") = m.attr("ostrel_version");
    m.attr("__all__") = py::cast(std::vector<std::string>{
        "FrameworkType", "InferenceHardware", "BenchmarkMode", "TRTBenchmarkMode", "__version__"});
    return;
  }
  py::object manager = py::module_::import("ostrel.inference.ostrel_manager");
  m.attr("Ostrel") = manager.attr("Ostrel");
  m.attr("load") = manager.attr("load");
  m.attr("ostrel_logger") = manager.attr("ostrel_logger");
  // The start-up line.
  ostrel::log(m.attr("ostrel_logger"), ostrel::kInfo,
              py::str("Ostrel was successfully imported with {} CPUS and {} GPUS.")
                  .format(m.attr("NUM_OF_CPUS"), m.attr("NUM_OF_GPUS"))
                  .cast<std::string>(),
              kFile);
  // The version and the public names.
  m.attr("__version__") = m.attr("ostrel_version");
  m.attr("__all__") =
      py::cast(std::vector<std::string>{"Ostrel", "load", "FrameworkType", "InferenceHardware",
                                        "BenchmarkMode", "TRTBenchmarkMode", "__version__"});
}

}  // namespace

MODTREE_PACKAGE("", m) {
  ostrel::register_native_errors();
  startup(m);
}
MODTREE_ROOT(ostrel)
