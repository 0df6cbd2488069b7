// Standard modules bound as attributes of an ostrel module and imported on their first read.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace ostrel {

namespace py = pybind11;

// Binds standard modules that only some paths of `m` use as attributes of `m` imported on first read
// (`m.json` imports json then): a module `__getattr__` imports the one asked for and binds it, so later
// reads are plain lookups and `import ostrel` does not pay for them.
inline void lazy_module_attributes(py::module_ m, std::initializer_list<const char*> names) {
  py::set lazy;
  for (const char* name : names) lazy.add(py::str(name));
  m.attr("__getattr__") = py::cpp_function(
      [m = py::object(m), lazy](py::str name) -> py::object {
        if (!lazy.contains(name))
          throw py::attribute_error("module '" + py::str(m.attr("__name__")).cast<std::string>() +
                                    "' has no attribute '" + name.cast<std::string>() + "'");
        py::object module = py::module_::import(name.cast<std::string>().c_str());
        m.attr(name) = module;
        return module;
      },
      py::name("__getattr__"), py::arg("name"));
}

}  // namespace ostrel
