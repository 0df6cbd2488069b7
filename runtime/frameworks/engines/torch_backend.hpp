// What the two torch back-end modules share: everything but how the checkpoint is read.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "bindings/names.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace ostrel::torch_backend {

namespace py = pybind11;
using namespace literals;

// Binds the module names both back-end modules import and builds the back-end class:
// a TorchInferenceEngine subclass with the five-setting constructor, `load_torch_model` and
// `framework_type` (the FrameworkType member named `framework_member`). `loads_onto_device` says that
// `load` reads the module straight onto the engine's device, so the engine does not move it again.
template <class LoadFn>
py::object define_backend(py::module_& m, const char* class_name, const char* framework_member, LoadFn load,
                          bool loads_onto_device = false) {
  using modtree::import_from;
  m.attr("List"_id) = import_from("typing", "List");
  m.attr("Tuple"_id) = import_from("typing", "Tuple");
  m.attr("torch"_id) = py::module_::import("torch");
  m.attr("InferenceHardware"_id) = import_from("ostrel", "InferenceHardware");
  m.attr("TorchInferenceEngine"_id) =
      import_from("ostrel.frameworks.engines.torch_inference_engine", "TorchInferenceEngine");
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  py::object engine = m.attr("TorchInferenceEngine"_id);
  py::object member = m.attr("FrameworkType"_id).attr(framework_member);
  py::none none;
  modtree::ClassBuilder cls(m, class_name);
  cls.base(engine);
  // The engine's constructor sets the engine fields and runs the base construction sequence.
  auto self_class = std::make_shared<py::object>();  // set once the class exists
  cls.def(
      "__init__",
      [self_class](py::object self, py::object checkpoint_file, py::object inference_hardware,
                   py::object input_dims, py::object static_batch_size, py::object logging_verbosity) {
        ostrel::builtin("super")(*self_class, self)
            .attr("__init__"_id)(py::arg("checkpoint_file") = checkpoint_file,
                              py::arg("inference_hardware") = inference_hardware,
                              py::arg("input_dims") = input_dims,
                              py::arg("static_batch_size") = static_batch_size,
                              py::arg("logging_verbosity") = logging_verbosity);
      },
      py::arg("self"), py::arg("checkpoint_file"), py::arg("inference_hardware") = none,
      py::arg("input_dims") = none, py::arg("static_batch_size") = none, py::arg("logging_verbosity") = none);
  cls.def("load_torch_model", load, py::arg("self"), py::arg("checkpoint_file"));
  if (loads_onto_device) cls.attr("_loads_onto_device", py::bool_(true));
  cls.def_property("framework_type", [member](py::object) { return member; });
  *self_class = cls.build();
  return *self_class;
}

}  // namespace ostrel::torch_backend
