// Shared construction of the text-valued enumerations.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

#include "modtree/classes.hpp"

namespace ostrel::enums {

namespace py = pybind11;

// A `(str, Enum)` class whose members format as their value text and whose `from_string`
// looks a member up by the lower-cased text.
inline py::object make_text_enum(py::module_& m, const char* name, const char* doc, const char* arg_name,
                                 const std::vector<std::pair<const char*, const char*>>& members) {
  py::object Enum = py::module_::import("enum").attr("Enum");
  modtree::ClassBuilder cls(m, name);
  cls.base(py::module_::import("builtins").attr("str")).base(Enum).doc(doc);
  for (const auto& [member, value] : members) cls.attr(member, py::str(value));
  // On 3.11 format() of a mixed-in enum member gives "Class.MEMBER"; messages want the value.
  cls.def(
      "__format__",
      [](py::object self, py::object spec) {
        // format(value, format_spec): the format applies to the value text ("{:>6}" pads it).
        PyObject* out = PyObject_Format(self.attr("_value_").ptr(), spec.ptr());
        if (out == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(out);
      },
      py::arg("self"), py::arg("format_spec"));
  std::string owner = py::str(m.attr("__name__")).cast<std::string>() + "." + name;
  cls.def_static(
      "from_string",
      [owner](py::object text) {
        py::object lowered = text.attr("lower")();
        std::string mod = owner.substr(0, owner.rfind('.'));
        std::string cls_name = owner.substr(owner.rfind('.') + 1);
        return py::module_::import(mod.c_str()).attr(cls_name.c_str())(lowered);
      },
      py::arg(arg_name));
  return cls.build();
}

}  // namespace ostrel::enums
