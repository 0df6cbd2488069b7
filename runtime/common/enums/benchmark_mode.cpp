#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("common.enums.benchmark_mode", m) {
  py::object Enum = py::module_::import("enum").attr("Enum");
  m.attr("Enum") = Enum;
  // The common type of the back-ends' benchmark-mode enumerations; never instantiated.
  py::object BenchmarkMode = modtree::ClassBuilder(m, "BenchmarkMode").build();
  modtree::ClassBuilder(m, "TRTBenchmarkMode")
      .base(BenchmarkMode)
      .base(Enum)
      .attr("SINGLE_CONTEXT_SYNCED", py::str("single_context_synced"))
      .attr("SINGLE_CONTEXT_ASYNC", py::str("single_context_async"))
      .attr("DEFAULT", py::str("single_context_synced"))  // an alias of SINGLE_CONTEXT_SYNCED
      .build();
}
