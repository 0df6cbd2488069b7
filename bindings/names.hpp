// Attribute names as interned Python strings, and attribute reads by them, for the binding code of both
// packages (ostrel and tests): `obj.attr("name"_id)`, `attr(obj, "name")`, `builtin("open")`.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ostrel {

namespace py = pybind11;

// The interned Python string of `name`, made once per process: attribute names looked up on every call
// (`obj.attr(interned("x"))`) then cost a table lookup, not a new string, its hash and its release.
// The table is read and filled under the GIL.
inline py::handle interned(std::string_view name) {
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  static auto* table = new std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>>();  // process lifetime
  auto found = table->find(name);
  if (found != table->end()) return found->second;
  PyObject* made = PyUnicode_InternFromString(std::string(name).c_str());
  if (made == nullptr) throw py::error_already_set();
  table->emplace(std::string(name), made);
  return made;
}

// A string literal as a template argument: each literal name gets a function of its own.
template <std::size_t N>
struct LiteralName {
  char text[N];
  constexpr LiteralName(const char (&s)[N]) {  // NOLINT(google-explicit-constructor): literal operator
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

namespace literals {
// `"name"_id`: the interned string of a literal attribute name, `obj.attr("name"_id)`, made on its first
// use and then read from the literal's own slot.
template <LiteralName S>
py::handle operator""_id() {
  static PyObject* const name = interned(S.text).ptr();  // process lifetime
  return name;
}
}  // namespace literals

// `obj.<name>`, the name a Python string (`"x"_id`).
inline py::object attr(py::handle obj, py::handle name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// `obj.<name>`, the name interned.
inline py::object attr(py::handle obj, const char* name) { return attr(obj, interned(name)); }

// The built-in `name` as the builtins module holds it now (a program may replace one).
inline py::object builtin(py::handle name) {
  static PyObject* const builtins = PyImport_ImportModule("builtins");  // process lifetime
  if (builtins == nullptr) throw py::error_already_set();
  return attr(builtins, name);
}
inline py::object builtin(const char* name) { return builtin(interned(name)); }

}  // namespace ostrel
