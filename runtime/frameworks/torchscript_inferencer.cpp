// The back-end for TorchScript files, read straight onto the engine's device. Everything but reading
// the file is the torch engine's.
//
// A TorchScript file may carry pickled data, which loading runs: load only files you trust.
#include <pybind11/pybind11.h>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;

namespace {

py::handle g_module;
py::handle g_class;

py::object mod_attr(const char* name) { return g_module.attr(name); }

py::object load_torch_model(py::object self, py::object checkpoint_file) {
  py::object jit = mod_attr("torch").attr("jit");
  py::object model = jit.attr("load")(checkpoint_file, py::arg("map_location") = self.attr("device"));
  if (!py::isinstance(model, jit.attr("RecursiveScriptModule")))
    ostrel::raise(PyExc_Exception, py::str("Model has to be a serialized torch.nn.Module object received {}")
                                       .format(py::type::of(model)));
  return model;
}

}  // namespace

MODTREE_MODULE("frameworks.torchscript_inferencer", m) {
  g_module = m.inc_ref();
  using modtree::import_from;
  m.attr("List") = import_from("typing", "List");
  m.attr("Tuple") = import_from("typing", "Tuple");
  m.attr("torch") = py::module_::import("torch");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("TorchInferenceEngine") =
      import_from("ostrel.frameworks.engines.torch_inference_engine", "TorchInferenceEngine");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  py::none none;
  modtree::ClassBuilder cls(m, "TorchScriptInferencer");
  cls.base(m.attr("TorchInferenceEngine"));
  cls.def(
      "__init__",
      [](py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
         py::object static_batch_size, py::object logging_verbosity) {
        ostrel::builtin("super")(g_class, self)
            .attr("__init__")(py::arg("checkpoint_file") = checkpoint_file,
                              py::arg("inference_hardware") = inference_hardware,
                              py::arg("input_dims") = input_dims,
                              py::arg("static_batch_size") = static_batch_size,
                              py::arg("logging_verbosity") = logging_verbosity);
      },
      py::arg("self"), py::arg("checkpoint_file"), py::arg("inference_hardware") = none,
      py::arg("input_dims") = none, py::arg("static_batch_size") = none, py::arg("logging_verbosity") = none);
  cls.def("load_torch_model", &load_torch_model, py::arg("self"), py::arg("checkpoint_file"));
  cls.def_property("framework_type",
                   [](py::object) { return mod_attr("FrameworkType").attr("TORCHSCRIPT"); });
  g_class = cls.build().inc_ref();
}
