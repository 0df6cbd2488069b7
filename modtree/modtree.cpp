#include "modtree/modtree.hpp"

#include "modtree/classes.hpp"
#include "modtree/entry.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace modtree {

namespace {

// Finder and loader of the submodules of one registry (importlib's meta-path protocol).
class TreeImporter {
 public:
  explicit TreeImporter(Registry* reg) : reg_(reg) {}

  // Name relative to the root, or nullptr when the name is not ours.
  const ModuleEntry* entry_for(const std::string& fullname) const {
    const std::string& root = reg_->root_name();
    if (fullname.size() <= root.size() + 1 || fullname.compare(0, root.size(), root) != 0 ||
        fullname[root.size()] != '.')
      return nullptr;
    return reg_->find(fullname.substr(root.size() + 1));
  }

  py::object find_spec(const std::string& fullname, py::object /*path*/, py::object /*target*/) {
    const ModuleEntry* e = entry_for(fullname);
    if (e == nullptr) return py::none();
    py::object ModuleSpec = py::module_::import("importlib.machinery").attr("ModuleSpec");
    py::object spec = ModuleSpec(fullname, py::cast(this, py::return_value_policy::reference),
                                 py::arg("origin") = reg_->origin(), py::arg("is_package") = e->is_package);
    spec.attr("has_location") = true;
    return spec;
  }

  py::object create_module(py::object /*spec*/) { return py::none(); }

  void exec_module(py::module_ m) {
    const ModuleEntry* e = entry_for(py::str(m.attr("__name__")).cast<std::string>());
    if (e == nullptr) throw py::import_error("module is not served by this extension");
    if (e->top) e->top(m);
    make_python_functions(m);
  }

  bool is_package(const std::string& fullname) const {
    const ModuleEntry* e = entry_for(fullname);
    if (e == nullptr) throw py::import_error("No module named " + fullname);
    return e->is_package;
  }

  // `python -m pkg.mod`: runpy executes this code object in __main__.
  py::object get_code(const std::string& fullname) const {
    const ModuleEntry* e = entry_for(fullname);
    if (e == nullptr) throw py::import_error("No module named " + fullname);
    if (e->is_package || !e->top) return py::none();
    std::string src = "__import__('importlib.util').util.find_spec(" +
                      py::repr(py::str(fullname)).cast<std::string>() + ").loader._run_main(" +
                      py::repr(py::str(fullname)).cast<std::string>() + ", globals())\n";
    py::object compile = py::module_::import("builtins").attr("compile");
    return compile(src, reg_->origin(), "exec");
  }

  py::object get_source(const std::string&) const { return py::none(); }

  // Runs the module's top level as a program, in the namespace runpy prepared for it.
  void run_main(const std::string& fullname, py::dict globals) const {
    const ModuleEntry* e = entry_for(fullname);
    if (e == nullptr || !e->top) throw py::import_error("No module named " + fullname);
    py::object name = globals.contains("__name__") ? py::object(globals["__name__"]) : py::str("__main__");
    py::module_ target =
        py::reinterpret_borrow<py::module_>(py::module_::import("types").attr("ModuleType")(name));
    target.attr("__dict__").attr("update")(globals);
    try {
      e->top(target);
    } catch (...) {
      globals.attr("update")(target.attr("__dict__"));
      throw;
    }
    globals.attr("update")(target.attr("__dict__"));
  }

 private:
  Registry* reg_;
};

std::string shared_object_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&shared_object_path), &info) != 0 && info.dli_fname != nullptr)
    return info.dli_fname;
  return {};
}

}  // namespace

Registry& Registry::instance() {
  static Registry reg;
  return reg;
}

void Registry::add(std::string relname, bool is_package, TopLevel top) {
  entries_.push_back(ModuleEntry{std::move(relname), is_package, std::move(top)});
}

const ModuleEntry* Registry::find(const std::string& relname) const {
  for (const auto& e : entries_)
    if (e.relname == relname) return &e;
  return nullptr;
}

py::object import_from(const char* name, const char* attr) {
  py::module_ mod = py::module_::import(name);
  // An attribute the module has; a missing one is looked for as a submodule, as `from x import y` does.
  // Any other error of the lookup (a module __getattr__ that fails, an interrupt) passes unchanged.
  if (PyObject* value = PyObject_GetAttrString(mod.ptr(), attr)) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  const std::string sub = std::string(name) + "." + attr;
  py::object submodule;
  try {
    submodule = py::module_::import(sub.c_str());
  } catch (py::error_already_set& e) {
    // Only the absence of that very submodule means "no such name"; an error raised while importing it
    // (its own missing dependency, a failing top level, Ctrl-C) is the caller's to see unchanged.
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    py::object missing = py::getattr(e.value(), "name", py::none());
    if (missing.is_none() || py::str(missing).cast<std::string>() != sub) throw;
    raise_from(py::reinterpret_borrow<py::object>(PyExc_ImportError)(
                   "cannot import name '" + std::string(attr) + "' from '" + name + "'", py::arg("name") = name,
                   py::arg("path") = py::getattr(mod, "__file__", py::none())),
               e.value());
  }
  if (PyObject* value = PyObject_GetAttrString(mod.ptr(), attr)) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return submodule;
}

int Registry::exec_root(PyObject* raw) {
  PyObject* modules = PyImport_GetModuleDict();
  try {
    py::module_ m = py::reinterpret_borrow<py::module_>(raw);
    // The name the interpreter loads us under (a vendored copy may live inside another package).
    root_ = py::str(m.attr("__name__")).cast<std::string>();
    origin_ = shared_object_path();
    // A package: submodules are found through our finder, never on a search path.
    m.attr("__path__") = py::list();
    m.attr("__file__") = origin_;
    // The import system enters the module before running it; a loader driven by hand may not, and
    // start-up code imports names from the partly initialised root.
    if (PyDict_GetItemString(modules, root_.c_str()) != raw &&
        PyDict_SetItemString(modules, root_.c_str(), raw) != 0)
      throw py::error_already_set();

    // One finder per process and package; a repeated import replaces the earlier one.
    py::list meta_path = py::module_::import("sys").attr("meta_path");
    // Leaked on purpose: these outlive the interpreter's finalisation.
    static py::module_* scope = nullptr;
    if (scope == nullptr) {
      scope =
          new py::module_(py::reinterpret_steal<py::module_>(PyModule_New((root_ + "._modtree").c_str())));
      py::class_<TreeImporter>(*scope, "TreeImporter", py::module_local())
          .def("find_spec", &TreeImporter::find_spec, py::arg("fullname"), py::arg("path") = py::none(),
               py::arg("target") = py::none())
          .def("create_module", &TreeImporter::create_module)
          .def("exec_module", &TreeImporter::exec_module)
          .def("is_package", &TreeImporter::is_package)
          .def("get_code", &TreeImporter::get_code)
          .def("get_source", &TreeImporter::get_source)
          .def("_run_main", &TreeImporter::run_main);
    }
    static TreeImporter* importer = new TreeImporter(this);
    py::object finder = py::cast(importer, py::return_value_policy::reference);
    for (size_t i = 0; i < meta_path.size(); ++i) {
      if (meta_path[i].ptr() == finder.ptr()) {
        meta_path.attr("pop")(i);
        break;
      }
    }
    meta_path.attr("insert")(0, finder);

    const ModuleEntry* root = find("");
    if (root != nullptr && root->top) root->top(m);
    make_python_functions(py::reinterpret_borrow<py::module_>(m));
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, e.what());
  }
  // Start-up failed: the package leaves the module table again, the exception stays set.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!root_.empty() && PyDict_GetItemString(modules, root_.c_str()) == raw)
    PyDict_DelItemString(modules, root_.c_str());
  PyErr_Restore(type, value, tb);
  return -1;
}

namespace {

int exec_root_slot(PyObject* module) { return Registry::instance().exec_root(module); }

PyModuleDef_Slot g_root_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_root_slot)},
#if PY_VERSION_HEX >= 0x030C0000
                                   // The registry and the finder are process-wide.
                                   {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
                                   {0, nullptr}};

}  // namespace

PyObject* Registry::root_def(const char* name) {
  // Multi-phase initialisation: the interpreter creates the module from its spec (so under the name it
  // is imported as) and then runs the exec slot.
  static PyModuleDef def = [name] {
    PyModuleDef d{PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
    d.m_name = name;
    d.m_slots = g_root_slots;
    return d;
  }();
  return PyModuleDef_Init(&def);
}

}  // namespace modtree
