// The back-end for torch package checkpoints: a torch.package archive whose package
// "tamsor_user_model" holds the pickled module under the resource "model.pkl". Everything but reading
// the archive is the torch engine's.
//
// Reading an archive unpickles it, which runs code stored in the archive: load only checkpoints you trust.
#include <pybind11/pybind11.h>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;

namespace {

py::handle g_module;
py::handle g_class;

py::object mod_attr(const char* name) { return g_module.attr(name); }

py::object load_torch_model(py::object /*self*/, py::object checkpoint_file) {
  py::object importer = mod_attr("package").attr("PackageImporter")(checkpoint_file);
  py::object model = importer.attr("load_pickle")("tamsor_user_model", "model.pkl");
  if (!py::isinstance(model, mod_attr("torch").attr("nn").attr("Module")))
    ostrel::raise(
        PyExc_Exception,
        py::str("Model has to be a torch.nn.Module object received {}").format(py::type::of(model)));
  return model;
}

}  // namespace

MODTREE_MODULE("frameworks.pytorch_inferencer", m) {
  g_module = m.inc_ref();
  using modtree::import_from;
  m.attr("List") = import_from("typing", "List");
  m.attr("Tuple") = import_from("typing", "Tuple");
  m.attr("torch") = py::module_::import("torch");
  m.attr("package") = import_from("torch", "package");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("TorchInferenceEngine") =
      import_from("ostrel.frameworks.engines.torch_inference_engine", "TorchInferenceEngine");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  py::none none;
  modtree::ClassBuilder cls(m, "PytorchInferencer");
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
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("PYTORCH"); });
  g_class = cls.build().inc_ref();
}
