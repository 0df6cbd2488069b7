// tests.ostrel_installation_test_suite: the installation runner, with the suite "installation_tests".
#include "verification/suites/runner_support.hpp"

namespace py = pybind11;
using namespace ostrel::suites;

MODTREE_MODULE("ostrel_installation_test_suite", m) {
  m.attr("sys") = py::module_::import("sys");
  m.attr("unittest") = py::module_::import("unittest");
  m.attr("TestOstrelInstallation") =
      modtree::import_from("tests.installation_tests.test_ostrel_installation", "TestOstrelInstallation");
  py::object runner = registry_runner(
      m, "OstrelInstallationTestSuiteRunner",
      {{"_init_installation_tests_suite", "installation_tests",
        [m]() { return std::vector<py::object>{m.attr("TestOstrelInstallation")}; }}});
  if (modtree::running_as_main(m)) run_all_as_main(runner);
}
