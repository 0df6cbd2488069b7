// tests.ostrel_test_suite: the full runner, with the suites "unit_tests" (the benchmark record's text
// form and every back-end's check class; TensorRT only on machines with a GPU) and "end_to_end_tests".
#include "bindings/values.hpp"
#include "verification/suites/runner_support.hpp"

namespace py = pybind11;
using namespace ostrel::suites;

namespace {

struct Member {
  const char* name;
  const char* module;
};

// The unit suite, in run order.
constexpr Member kUnitMembers[] = {
    {"TestModelBenchmarks", "tests.unit_tests.test_model_benchmarks_print"},
    {"TestOnnxInferencer", "tests.unit_tests.test_inferencers.test_onnx_inferencer"},
    {"TestOpenVinoInferencer", "tests.unit_tests.test_inferencers.test_openvino_inferencer"},
    {"TestKerasInferencer", "tests.unit_tests.test_inferencers.test_keras_inferencer"},
    {"TestTF2Inferencer", "tests.unit_tests.test_inferencers.test_tensorflow_inferencer"},
    {"TestTorchScriptInferencer", "tests.unit_tests.test_inferencers.test_torchscript_inferencer"},
    {"TestTFLiteInferencer", "tests.unit_tests.test_inferencers.test_tflite_inferencer"},
    {"TestPytorchInferencer", "tests.unit_tests.test_inferencers.test_pytorch_inferencer"},
};

}  // namespace

MODTREE_MODULE("ostrel_test_suite", m) {
  m.attr("sys") = py::module_::import("sys");
  m.attr("unittest") = py::module_::import("unittest");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel", "GPU_PRESENT");
  for (const Member& c : kUnitMembers) m.attr(c.name) = import_check_class(c.module, c.name);
  // The TensorRT checks run only on machines with a GPU; elsewhere TensorRT is absent by design, and a
  // class that cannot be imported leaves the name undefined.
  py::object trt = import_check_class("tests.unit_tests.test_inferencers.test_trt_inferencer", "TestTRTInferencer");
  if (!is_unimportable(trt) || ostrel::truthy(m.attr("GPU_PRESENT"))) m.attr("TestTRTInferencer") = trt;
  m.attr("TestOstrelE2E") = modtree::import_from("tests.e2e_tests.test_ostrel_manager", "TestOstrelE2E");

  py::object runner = registry_runner(
      m, "OstrelTestSuiteRunner",
      {
          {"_init_unit_tests_suite", "unit_tests",
           [m]() {
             std::vector<py::object> classes;
             for (const Member& c : kUnitMembers) classes.push_back(m.attr(c.name));
             if (ostrel::truthy(m.attr("GPU_PRESENT"))) classes.push_back(m.attr("TestTRTInferencer"));
             return classes;
           }},
          {"_init_end_to_end_tests_suite", "end_to_end_tests",
           [m]() { return std::vector<py::object>{m.attr("TestOstrelE2E")}; }},
      });
  if (modtree::running_as_main(m)) run_all_as_main(runner);
}
