#include "verification/suites/runner_support.hpp"

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"

namespace ostrel::suites {

namespace {
constexpr const char* kImportError = "_import_error";  // class attribute of a stand-in: the import's error
}  // namespace

py::object import_check_class(const char* module, const char* name) {
  try {
    return modtree::import_from(module, name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt stops the runner
    // A check class of that name whose one check fails with the import's error: the run that needs the
    // class fails, naming it, and the other classes still run.
    py::object error = e.value();
    const std::string what = std::string(name) + " cannot be imported from " + module + ": " + str(error);
    py::object where = py::module_::import("types").attr("SimpleNamespace")(py::arg("__name__") = module);
    return modtree::ClassBuilder(where, name)
        .base(py::module_::import("unittest").attr("TestCase"))
        .attr("__doc__", py::str(what))
        .attr(kImportError, error)
        .def(
            "test_import",
            [what, error](py::object) {
              raise_from(builtin("ImportError")(what), error);
            },
            py::arg("self"))
        .build(false);
  }
}

bool is_unimportable(py::handle cls) { return py::hasattr(cls, kImportError); }

void add_classes(py::handle loader, py::handle suite, const std::vector<py::object>& classes) {
  for (const py::object& cls : classes) suite.attr("addTest")(loader.attr("loadTestsFromTestCase")(cls));
}

py::object registry_runner(py::module_& m, const char* name, std::vector<SuiteFiller> fillers) {
  modtree::ClassBuilder cls(m, name);
  std::vector<std::string> methods;
  for (const SuiteFiller& f : fillers) {
    methods.push_back(f.method);
    std::string suite_name = f.suite;
    auto classes = f.classes;
    cls.def(
        f.method,
        [suite_name, classes](py::object self) {
          py::dict suites = self.attr("suites");
          py::object suite = suites.attr("get")(suite_name);
          if (suite.is_none()) {
            suite = py::module_::import("unittest").attr("TestSuite")();
            suites[py::str(suite_name)] = suite;
          }
          add_classes(self.attr("test_loader"), suite, classes());
        },
        py::arg("self"));
  }
  cls.def(
      "__init__",
      // The flag reaches the text runner unchanged: any truth value serves.
      [methods](py::object self, py::object failfast) {
        py::object unittest = py::module_::import("unittest");
        self.attr("test_loader") = unittest.attr("TestLoader")();
        self.attr("test_runner") = unittest.attr("TextTestRunner")(
            py::arg("verbosity") = 3, py::arg("stream") = py::module_::import("sys").attr("stdout"),
            py::arg("failfast") = failfast);
        self.attr("suites") = py::dict();
        for (const std::string& method : methods) self.attr(method.c_str())();
      },
      py::arg("self"), py::arg("failfast") = py::bool_(false));
  cls.def(
      "run",
      [](py::object self, py::args names, py::object all_suites) {
        py::dict suites = self.attr("suites");
        py::list order;
        if (truthy(all_suites))
          for (auto item : suites) order.append(item.first);
        else
          for (py::handle n : names) order.append(n);
        py::dict results;
        for (py::handle n : order) {
          py::object suite = suites[n];  // KeyError naming the suite
          results[n] = self.attr("test_runner").attr("run")(suite);
        }
        return results;
      },
      py::arg("self"), py::arg("all_suites") = false,
      "Runs the named suites (every registered suite with all_suites=True); returns each suite's result.");
  return cls.build();
}

void run_all_as_main(py::object runner_class) {
  py::dict results = runner_class().attr("run")(py::arg("all_suites") = true);
  bool ok = true;
  for (auto item : results) ok = truthy(item.second.attr("wasSuccessful")()) && ok;
  py::module_::import("sys").attr("exit")(ok ? 0 : 1);
  throw py::error_already_set();
}

}  // namespace ostrel::suites
