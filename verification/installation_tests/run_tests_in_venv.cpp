// tests.installation_tests.run_tests_in_venv: runs the end-to-end suite inside an environment the
// package was installed into, and fails when any of its checks did not succeed.
#include "bindings/errors.hpp"
#include "bindings/values.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("installation_tests.run_tests_in_venv", m) {
  m.attr("Path") = modtree::import_from("pathlib", "Path");
  m.attr("sys") = py::module_::import("sys");
  m.attr("tempfile") = py::module_::import("tempfile");
  m.def(
      "main",
      [m]() {
        py::object sys = m.attr("sys");
        // The working directory is no longer searched, so no source tree there can stand in for the
        // installed package.
        py::list path;
        for (py::handle entry : sys.attr("path"))
          if (!(py::isinstance<py::str>(entry) && ostrel::str(entry).empty())) path.append(entry);
        sys.attr("path") = path;
        py::object tmp = m.attr("tempfile").attr("TemporaryDirectory")(py::arg("prefix") = "tests_python_path_dir_");
        // The package folder: the folder of the file that carries the package's modules.
        py::object package_dir = m.attr("Path")(m.attr("__file__")).attr("resolve")().attr("parent");
        py::object link = m.attr("Path")(tmp.attr("name")).attr("joinpath")("tests");
        link.attr("symlink_to")(package_dir, py::arg("target_is_directory") = true);
        sys.attr("path").attr("insert")(0, tmp.attr("name"));
        py::object runner_cls = modtree::import_from("tests.ostrel_test_suite", "OstrelTestSuiteRunner");
        py::dict results = runner_cls().attr("run")("end_to_end_tests");
        bool ok = true;
        for (auto item : results) ok = ostrel::truthy(item.second.attr("wasSuccessful")()) && ok;
        tmp.attr("cleanup")();
        if (!ok) ostrel::raise(PyExc_Exception, "SOME TESTS FAILED AFTER INSTALLING OSTREL IN THE NEW ENV");
      },
      "Runs the end-to-end suite; raises Exception when any of its checks did not succeed.");
  if (modtree::running_as_main(m)) m.attr("main")();
}
