// The back-end for torch package checkpoints: a torch.package archive whose package
// "tamsor_user_model" holds the pickled module under the resource "model.pkl" (read through a file
// object when the path is not UTF-8). Everything but reading the archive is the torch engine's.
//
// Reading an archive unpickles it, which runs code stored in the archive: load only checkpoints you trust.
#include <pybind11/pybind11.h>

#include "bindings/errors.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/frameworks/engines/torch_backend.hpp"

namespace py = pybind11;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module

py::object load_torch_model(py::object /*self*/, py::object checkpoint_file) {
  py::object model = ostrel::read_path_or_file(checkpoint_file, [](py::object source) {
    py::object importer = mod_attr("package").attr("PackageImporter")(source);
    return importer.attr("load_pickle")("tamsor_user_model", "model.pkl");
  });
  if (!py::isinstance(model, mod_attr("torch").attr("nn").attr("Module")))
    ostrel::raise(
        PyExc_Exception,
        py::str("Model has to be a torch.nn.Module object received {}").format(py::type::of(model)));
  return model;
}

}  // namespace

MODTREE_MODULE("frameworks.pytorch_inferencer", m) {
  mod_attr.bind(m);
  m.attr("package") = modtree::import_from("torch", "package");
  ostrel::torch_backend::define_backend(m, "PytorchInferencer", "PYTORCH", &load_torch_model);
}
