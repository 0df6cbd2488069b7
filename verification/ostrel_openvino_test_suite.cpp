// tests.ostrel_openvino_test_suite: the OpenVINO runner, an OpenVINO unit suite and the OpenVINO
// end-to-end checks, held in two fields.
#include "bindings/values.hpp"
#include "verification/suites/runner_support.hpp"

namespace py = pybind11;
using namespace ostrel::suites;

MODTREE_MODULE("ostrel_openvino_test_suite", m) {
  m.attr("sys") = py::module_::import("sys");
  m.attr("unittest") = py::module_::import("unittest");
  m.attr("TestOpenVinoInferencer") =
      import_check_class("tests.unit_tests.test_inferencers.test_openvino_inferencer", "TestOpenVinoInferencer");
  m.attr("TestModelBenchmarks") = import_check_class("tests.unit_tests.test_model_benchmarks_print", "TestModelBenchmarks");

  modtree::ClassBuilder cls(m, "OstrelOpenVinoTestSuiteRunner");
  cls.def(
      "__init__",
      [](py::object self) {
        py::object unittest = py::module_::import("unittest");
        self.attr("test_loader") = unittest.attr("TestLoader")();
        self.attr("unit_tests_suite") = unittest.attr("TestSuite")();
        self.attr("_add_modules_to_unit_tests_suite")();
        self.attr("end_to_end_tests_suite") = unittest.attr("TestSuite")();
        self.attr("_add_modules_to_end_to_end_tests_suite")();
        self.attr("test_runner") = unittest.attr("TextTestRunner")(
            py::arg("verbosity") = 3, py::arg("stream") = py::module_::import("sys").attr("stdout"));
      },
      py::arg("self"));
  cls.def(
      "_add_modules_to_unit_tests_suite",
      [m](py::object self) {
        add_classes(self.attr("test_loader"), self.attr("unit_tests_suite"),
                    {m.attr("TestModelBenchmarks"), m.attr("TestOpenVinoInferencer")});
      },
      py::arg("self"));
  cls.def(
      "_add_modules_to_end_to_end_tests_suite",
      [](py::object self) {
        // Imported here, not when the module loads.
        py::object e2e = modtree::import_from("tests.e2e_tests.test_ostrel_manager", "TestOstrelE2E");
        py::object loader = self.attr("test_loader");
        py::object suite = self.attr("end_to_end_tests_suite");
        for (py::handle name : loader.attr("getTestCaseNames")(e2e))
          if (ostrel::str(name).rfind("test_load_and_predict_openvino_model", 0) == 0) suite.attr("addTest")(e2e(name));
      },
      py::arg("self"));
  cls.build();
}
