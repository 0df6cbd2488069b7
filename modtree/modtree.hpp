// Module machinery shared by our packages: one extension file serves a whole package tree.
//
// Every Python module of a package is a C++ "top level" registered here under its dotted
// name relative to the package root. The root's PyInit returns a module definition (multi-phase
// initialisation, so the module gets the name it is imported under); its exec step enters the
// package in sys.modules, installs a meta-path finder that serves the registered submodules from
// the same shared object, and runs the root's top level. Submodule top levels run on first import.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

namespace modtree {

namespace py = pybind11;

// A module's top level: fills the (already created and registered) module object.
// When the module is run with `python -m`, `m` is `__main__` and its `__name__` is "__main__".
using TopLevel = std::function<void(py::module_& m)>;

struct ModuleEntry {
  std::string relname;  // "" for the root, else "common.exceptions"
  bool is_package = false;
  TopLevel top;  // empty for packages that define nothing
};

// The registry of one package. Each extension links its own copy of this library
// (hidden visibility), so each shared object has its own registry.
class Registry {
 public:
  static Registry& instance();

  void add(std::string relname, bool is_package, TopLevel top);
  const ModuleEntry* find(const std::string& relname) const;
  const std::vector<ModuleEntry>& entries() const { return entries_; }

  // Body of PyInit_<root>: the module definition for multi-phase initialisation.
  PyObject* root_def(const char* name);
  // Runs the root: enters it in sys.modules, installs the finder, runs the root's top level.
  // 0, or -1 with an exception set.
  int exec_root(PyObject* module);

  const std::string& root_name() const { return root_; }
  const std::string& origin() const { return origin_; }

 private:
  std::vector<ModuleEntry> entries_;
  std::string root_;
  std::string origin_;
};

// Static registration helper: `static modtree::Registrar reg("common.utils", false, &top);`
struct Registrar {
  Registrar(const char* relname, bool is_package, TopLevel top) {
    Registry::instance().add(relname, is_package, std::move(top));
  }
};

// True when the module is executing as a program (`python -m`).
inline bool running_as_main(py::module_& m) {
  return py::str(m.attr("__name__")).cast<std::string>() == "__main__";
}

// Imports `name` (absolute) and returns attribute `attr` of it, like `from name import attr`.
py::object import_from(const char* name, const char* attr);

}  // namespace modtree

#define MODTREE_CONCAT_(a, b) a##b
#define MODTREE_CONCAT(a, b) MODTREE_CONCAT_(a, b)

// Defines the top level of a plain module: MODTREE_MODULE("common.utils", m) { ... }
#define MODTREE_MODULE(relname, var)                                             \
  static void MODTREE_CONCAT(modtree_top_, __LINE__)(::pybind11::module_ & var); \
  static ::modtree::Registrar MODTREE_CONCAT(modtree_reg_, __LINE__)(            \
      relname, false, &MODTREE_CONCAT(modtree_top_, __LINE__));                  \
  static void MODTREE_CONCAT(modtree_top_, __LINE__)(::pybind11::module_ & var)

// Defines the top level of a package module.
#define MODTREE_PACKAGE(relname, var)                                            \
  static void MODTREE_CONCAT(modtree_top_, __LINE__)(::pybind11::module_ & var); \
  static ::modtree::Registrar MODTREE_CONCAT(modtree_reg_, __LINE__)(            \
      relname, true, &MODTREE_CONCAT(modtree_top_, __LINE__));                   \
  static void MODTREE_CONCAT(modtree_top_, __LINE__)(::pybind11::module_ & var)

// Declares packages that define nothing: MODTREE_EMPTY_PACKAGES("common", "common.enums");
#define MODTREE_EMPTY_PACKAGE(relname) \
  static ::modtree::Registrar MODTREE_CONCAT(modtree_reg_, __LINE__)(relname, true, ::modtree::TopLevel{})

// Exports PyInit_<name> for the package whose root top level is registered as "".
#define MODTREE_ROOT(name)                                                                      \
  extern "C" __attribute__((visibility("default"))) PyObject* MODTREE_CONCAT(PyInit_, name)() { \
    return ::modtree::Registry::instance().root_def(#name);                                     \
  }
