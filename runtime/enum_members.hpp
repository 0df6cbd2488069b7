// Members of ostrel's text-valued enumerations looked up from a value, by the enumeration's own table of
// values.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "bindings/names.hpp"

namespace ostrel {

namespace py = pybind11;

// How `value` stands to a text-valued `enumeration`, read from the enumeration's own table of values: the
// member it is, or whose value text (a str exactly) it is; None for a text that is no member's value;
// nullopt where the table cannot tell (any other value), which the caller compares as Python would.
inline std::optional<py::object> member_by_value(py::handle enumeration, py::handle value) {
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(enumeration.ptr()))
    return py::reinterpret_borrow<py::object>(value);
  if (!PyUnicode_CheckExact(value.ptr())) return std::nullopt;
  using namespace literals;
  py::object by_value = attr(enumeration, "_value2member_map_"_id);
  if (!PyDict_CheckExact(by_value.ptr())) return std::nullopt;
  PyObject* member = PyDict_GetItemWithError(by_value.ptr(), value.ptr());
  if (member == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return member != nullptr ? py::reinterpret_borrow<py::object>(member) : py::object(py::none());
}

// `enumeration(value)`: a member as it is, a value text by the enumeration's own table of values, anything
// else through the enumeration's call (which raises for a value it does not know).
inline py::object enum_member(py::handle enumeration, py::handle value) {
  if (std::optional<py::object> member = member_by_value(enumeration, value); member && !member->is_none())
    return *member;
  return py::reinterpret_borrow<py::object>(enumeration)(value);
}

}  // namespace ostrel
