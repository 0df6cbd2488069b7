// The back-end for TorchScript files, read straight onto the engine's device (through a file object when
// the path is not UTF-8). Everything but reading the file is the torch engine's.
//
// A TorchScript file may carry pickled data, which loading runs: load only files you trust.
#include <pybind11/pybind11.h>

#include "bindings/errors.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/frameworks/engines/torch_backend.hpp"

namespace py = pybind11;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module

py::object load_torch_model(py::object self, py::object checkpoint_file) {
  py::object jit = mod_attr("torch").attr("jit");
  py::object model = ostrel::read_path_or_file(checkpoint_file, [&](py::object source) {
    return jit.attr("load")(source, py::arg("map_location") = self.attr("device"));
  });
  if (!py::isinstance(model, jit.attr("RecursiveScriptModule")))
    ostrel::raise(PyExc_Exception, py::str("Model has to be a serialized torch.nn.Module object received {}")
                                       .format(py::type::of(model)));
  return model;
}

}  // namespace

MODTREE_MODULE("frameworks.torchscript_inferencer", m) {
  mod_attr.bind(m);
  ostrel::torch_backend::define_backend(m, "TorchScriptInferencer", "TORCHSCRIPT", &load_torch_model,
                                        /*loads_onto_device=*/true);
}
