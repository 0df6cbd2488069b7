// Placeholder of the benchmarker.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("ostrel_tool.ostrel_tool_benchmarker", m) {
  modtree::ClassBuilder(m, "ToolBenchmarker")
      .def("__init__", [](py::object, py::args) {}, py::arg("self"))
      .def("execute", [](py::object) { throw py::value_error("not available yet"); }, py::arg("self"))
      .build();
}
