// tests.unit_tests.test_inferencers.test_pytorch_inferencer and ...test_torchscript_inferencer: the two
// torch back-ends through the shared checks, on a torch package checkpoint and on a TorchScript file.
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;

namespace {

void torch_knobs(py::object self, py::module_& m) {
  self.attr("input_dtype") = m.attr("np").attr("float32");
  py::list dims;
  dims.append(py::make_tuple(3, 224, 224));
  self.attr("input_dims") = dims;
  self.attr("try_fetch_input_dimensions") = false;
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_pytorch_inferencer", m) {
  framework_class(m, {"TestPytorchInferencer", "ostrel.frameworks.pytorch_inferencer", "PytorchInferencer",
                      "/resnet18.pt", "pytorch_packed_model.pt", &torch_knobs, {}})
      .build();
}

MODTREE_MODULE("unit_tests.test_inferencers.test_torchscript_inferencer", m) {
  framework_class(m, {"TestTorchScriptInferencer", "ostrel.frameworks.torchscript_inferencer",
                      "TorchScriptInferencer", "/mobilenet_v2.pth", "torchscript_model.pth", &torch_knobs, {}})
      .build();
}
