// The suite runners' shared shape: a loader, a text runner writing to standard output at verbosity 3,
// and a registry of named suites filled from check classes, with `run`.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace ostrel::suites {

namespace py = pybind11;

// `from module import name`. Where that fails (any error but an interrupt: a missing module, a missing
// back-end or framework runtime, a failing top level), a check class of that name in that module whose
// one check, `test_import`, fails with an ImportError naming the class and the module, the import's
// error as its cause: a run that holds the class fails naming it, and the other classes still run.
py::object import_check_class(const char* module, const char* name);

// True for a class that import_check_class made in place of one it could not import.
bool is_unimportable(py::handle cls);

// One filling operation of a registry runner: the method `method` registers (get-or-insert) the suite
// `suite` and adds one sub-suite per class that `classes` gives, in order.
struct SuiteFiller {
  const char* method;
  const char* suite;
  std::function<std::vector<py::object>()> classes;
};

// Builds the registry runner class `name` in `m`: (failfast=False) constructor, whose flag (any truth
// value) reaches the text runner unchanged, the filling methods called by it in order, and
// `run(*names, all_suites=False)`.
py::object registry_runner(py::module_& m, const char* name, std::vector<SuiteFiller> fillers);

// Main program of a runner module: runs every suite of a runner built with default settings and ends the
// process with status 1 when any check failed or erred, 0 otherwise.
[[noreturn]] void run_all_as_main(py::object runner_class);

// Adds the sub-suite of every class to `suite` through `loader`.
void add_classes(py::handle loader, py::handle suite, const std::vector<py::object>& classes);

}  // namespace ostrel::suites
