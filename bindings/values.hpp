// Python values read from the binding code of both packages (ostrel and tests): their truth, membership
// and text, as the interpreter answers for them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

namespace ostrel {

namespace py = pybind11;

// Python's truth test of `value`; an error raised by its __bool__ or __len__ propagates.
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// `item in container`, as the interpreter answers it (pybind11's contains() calls a __contains__ method).
inline bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// UTF-8 of a text for messages; characters UTF-8 cannot hold (the surrogate escapes of undecodable path
// bytes) read as backslash escapes, so a message about such a path can always be made.
inline std::string utf8(const py::str& s) {
  PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace");
  if (b == nullptr) throw py::error_already_set();
  std::string out(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return out;
}

// The plain text conversion of a value, as f"{value}" gives it.
inline std::string text(py::handle value) {
  PyObject* formatted = PyObject_Format(value.ptr(), nullptr);
  if (formatted == nullptr) throw py::error_already_set();
  return utf8(py::reinterpret_steal<py::str>(formatted));
}

// `str(value)`.
inline std::string str(py::handle value) { return utf8(py::str(value)); }

}  // namespace ostrel
