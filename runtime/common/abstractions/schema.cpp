// The common base of the package's data records.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("common.abstractions.schema", m) {
  py::object BaseModel = modtree::import_from("pydantic", "BaseModel");
  m.attr("BaseModel") = BaseModel;
  modtree::ClassBuilder(m, "Schema")
      .base(BaseModel)
      // Validators are built on a record class's first use, not when the class is made at import.
      .attr("model_config", py::dict(py::arg("defer_build") = true))
      // pydantic 2 deprecates `dict()` with a warning on every call; records keep it as the
      // field-name/value mapping in declaration order.
      .def(
          "dict", [](py::object self) { return self.attr("model_dump")(); }, py::arg("self"))
      .build();
}
