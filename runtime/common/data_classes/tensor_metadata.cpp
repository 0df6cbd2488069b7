// Name, element type and shape of one model input or output.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

MODTREE_MODULE("common.data_classes.tensor_metadata", m) {
  py::object typing = py::module_::import("typing");
  py::object builtins = py::module_::import("builtins");
  py::object pydantic = py::module_::import("pydantic");
  m.attr("Tuple") = typing.attr("Tuple");
  m.attr("Union") = typing.attr("Union");
  py::object np = py::module_::import("numpy");
  m.attr("np") = np;
  py::object Schema = modtree::import_from("ostrel.common.abstractions.schema", "Schema");
  m.attr("Schema") = Schema;

  py::object int_or_str =
      modtree::typing_subscript("Union", py::make_tuple(builtins.attr("int"), builtins.attr("str")));
  // A dimension that reads as an integer is stored as one ("3" -> 3); other texts stay symbolic.
  py::object dim = modtree::typing_subscript(
      "Annotated",
      py::make_tuple(int_or_str, pydantic.attr("Field")(py::arg("union_mode") = "left_to_right")));
  modtree::ClassBuilder(m, "TensorMetadata")
      .base(Schema)
      .attr("model_config", pydantic.attr("ConfigDict")(py::arg("arbitrary_types_allowed") = true))
      .field("name", builtins.attr("str"))
      // None: an element type the model does not give (a sequence or an optional input, for one).
      .field("datatype", modtree::typing_subscript("Union", py::make_tuple(np.attr("dtype"), builtins.attr("type"),
                                                                           py::type::of(py::none()))))
      .field("shape", modtree::typing_subscript("Tuple", py::make_tuple(dim, py::ellipsis())))
      .build();
}
