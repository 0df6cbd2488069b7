// Placeholder of the plotter.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("ostrel_tool.ostrel_tool_plotter", m) {
  modtree::ClassBuilder(m, "ToolPlotter")
      .def("__init__", [](py::object, py::args) {}, py::arg("self"))
      .def("execute", [](py::object) { throw py::value_error("not available yet"); }, py::arg("self"))
      .build();
}
