// Calls with keyword mappings made in C++: the mapping in a given order, and a call with two mappings
// that fails as the interpreter does when a keyword is given twice.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "bindings/names.hpp"
#include "bindings/values.hpp"

namespace ostrel {

namespace py = pybind11;

// A keyword mapping in the given order: keywords({{"a", a}, {"b", b}}).
inline py::dict keywords(std::initializer_list<std::pair<const char*, py::handle>> items) {
  py::dict d;
  for (const auto& [name, value] : items)
    if (PyDict_SetItem(d.ptr(), interned(name).ptr(), value.ptr()) != 0) throw py::error_already_set();
  return d;
}

// The same with the names interned already: keywords({{"a"_id, a}, {"b"_id, b}}).
inline py::dict keywords(std::initializer_list<std::pair<py::handle, py::handle>> items) {
  py::dict d;
  for (const auto& [name, value] : items)
    if (PyDict_SetItem(d.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
  return d;
}

// `f(**named, **extra)`, failing like the interpreter when a keyword is given twice:
// TypeError "<name>() got multiple values for keyword argument '<k>'".
inline py::object call_with(py::handle f, const py::dict& named, const py::dict& extra) {
  py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(named.ptr()));  // never the caller's dict
  if (!merged) throw py::error_already_set();
  for (auto item : extra) {
    if (contains(merged, item.first)) {
      py::object name = py::getattr(f, "__qualname__",
                                    py::getattr(f, "__name__", py::str(py::type::of(f).attr("__name__"))));
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", name.ptr(),
                   item.first.ptr());
      throw py::error_already_set();
    }
    merged[item.first] = item.second;
  }
  PyObject* result = PyObject_Call(f.ptr(), py::tuple().ptr(), merged.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace ostrel
