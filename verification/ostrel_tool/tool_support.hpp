// Helpers shared by the modules of the benchmark tool.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "modtree/modtree.hpp"

namespace ostrel_tool {

namespace py = pybind11;

// Full name of a module of the tool, under whatever name the package was loaded as.
inline std::string tool_module(const char* name) {
  return modtree::Registry::instance().root_name() + ".ostrel_tool." + name;
}

// `from <tool module> import <name>`.
inline py::object tool_import(const char* module, const char* name) {
  return modtree::import_from(tool_module(module).c_str(), name);
}

// Imports a package the tool's "regression" and "plot" need (pandas, tabulate, plotly), which the
// `tool` extra installs; when it is missing, the ModuleNotFoundError says how to install it.
inline py::object tool_dependency(const char* name) {
  try {
    return py::module_::import(name);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    py::object cause = e.value();
    py::object error = ostrel::builtin("ModuleNotFoundError")(
        py::str(cause).cast<std::string>() + ": the benchmark tool needs it for this command; install it with "
        "pip install 'ostrel[tool]'",
        py::arg("name") = cause.attr("name"));
    ostrel::raise_from(error, cause);
  }
}

// Columns of the results CSV that hold versions or names: pandas reads them as text, so a version
// "3.10" never becomes the number 3.1.
inline py::dict text_columns() {
  py::object str = ostrel::builtin("str");
  py::dict d;
  for (const char* c : {"Ostrel Version", "Framework Version", "Model", "Framework", "Repetitions"})
    d[c] = str;
  return d;
}

// A path or text as it can be shown in a log: bytes of a name that are not UTF-8 (os.listdir hands
// them out as surrogate escapes) become replacement characters instead of failing the conversion.
inline std::string display_text(py::handle value) {
  py::object text = py::str(value);
  return py::str(text.attr("encode")("utf-8", "surrogateescape").attr("decode")("utf-8", "replace"))
      .cast<std::string>();
}

// Raises the OSError of an errno (FileNotFoundError, IsADirectoryError, ...) with `message`.
[[noreturn]] inline void raise_os_error(int code, const std::string& message) {
  py::object exc = ostrel::builtin("OSError")(code, message);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

}  // namespace ostrel_tool
