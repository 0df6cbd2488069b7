// tests.unit_tests.test_inferencers.test_openvino_inferencer and ...test_coreml_inferencer.
#include "bindings/values.hpp"
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;

MODTREE_MODULE("unit_tests.test_inferencers.test_openvino_inferencer", m) {
  m.attr("unittest") = py::module_::import("unittest");
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("FrameworkType") = modtree::import_from("ostrel", "FrameworkType");
  m.attr("OstrelError") = modtree::import_from("ostrel.common.exceptions", "OstrelError");
  CheckClass cls = framework_class(
      m, {"TestOpenVinoInferencer", "ostrel.frameworks.openvino_inferencer", "OpenVinoInferencer",
          "/resnet50_batchsize_1_mac_i5_openvino.pkl", "openvino_model_mac_batchsize_1.pkl",
          [](py::object self, py::module_& mod) {
            self.attr("input_dtype") = mod.attr("np").attr("float32");
            py::list dims;
            dims.append(py::make_tuple(3, 224, 224));
            self.attr("input_dims") = dims;
            self.attr("try_fetch_input_dimensions") = true;
            self.attr("static_batch_size") = 1;
            self.attr("test_keyword_arguments_inputs_for_inference") = true;
            py::dict named;
            named["input"] = ones_for_first_input(dims, self.attr("input_dtype"));
            self.attr("predict_keyword_arguments") = named;
          },
          [](py::object self, py::module_& mod) -> py::object {
            return mod.attr("OpenVinoInferencer")(py::arg("checkpoint_file") = self.attr("checkpoint_file"));
          }});

  cls.method("test_openvino_implicit_benchmark_with_only_batch_size_provided", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    expect(self, "assertTrue", inferencer.attr("benchmark")(py::arg("batch_size") = self.attr("static_batch_size")));
  });

  cls.method("test_that_we_error_out_when_trying_to_load_openvino_model_to_gpu", [m](py::object self) {
    expect_raises(self, m.attr("OstrelError"), [&] {
      m.attr("ostrel").attr("load")(py::arg("model_path") = self.attr("checkpoint_file"),
                                    py::arg("framework_type") = m.attr("FrameworkType").attr("OPENVINO"),
                                    py::arg("inference_hardware") = m.attr("InferenceHardware").attr("GPU"));
    });
  });

  cls.method("test_that_we_can_load_openvino_model_when_gpu_is_present", [m](py::object self) {
    py::object model = m.attr("ostrel").attr("load")(py::arg("model_path") = self.attr("checkpoint_file"),
                                                     py::arg("framework_type") = m.attr("FrameworkType").attr("OPENVINO"));
    expect(self, "assertIsNotNone", model);
    expect(self, "assertIsNotNone", model.attr("benchmark")(py::arg("batch_size") = self.attr("static_batch_size")));
  });
  cls.build();

  // As a program: this module's own check class only.
  if (modtree::running_as_main(m))
    m.attr("unittest").attr("main")(py::arg("module") = m, py::arg("defaultTest") = "TestOpenVinoInferencer");
}

MODTREE_MODULE("unit_tests.test_inferencers.test_coreml_inferencer", m) {
  m.attr("TemporaryDirectory") = modtree::import_from("tempfile", "TemporaryDirectory");
  m.attr("OutputType") = modtree::import_from("tests.unit_tests.test_inferencers.test_abstract_inferencer", "OutputType");
  CheckClass cls = framework_class(
      m, {"TestCoreMLInferencer", "ostrel.frameworks.coreml_inferencer", "CoreMLInferencer",
          "/mobilenet_v2_bs1_fp32.mlmodel", "", [](py::object self, py::module_& mod) {
            self.attr("input_dtype") = mod.attr("np").attr("float32");
            py::list dims;
            dims.append(py::make_tuple(3, 224, 224));
            self.attr("input_dims") = dims;
            self.attr("default_batch_size") = 1;
            self.attr("static_batch_size") = 1;
            self.attr("try_fetch_input_dimensions") = false;
            self.attr("try_fetch_static_batch_size") = false;
            self.attr("output_type") = mod.attr("OutputType").attr("DICT");
          }, {}});
  cls.class_method("setUpClass", [m](py::object klass) {
    py::object tmpdir = m.attr("TemporaryDirectory")(py::arg("prefix") = "ostrel_coreml_");
    klass.attr("tmpdir") = tmpdir;
    std::string path = ostrel::str(tmpdir.attr("name")) + "/mobilenet_v2_bs1_fp32.mlmodel";
    klass.attr("checkpoint_file") = path;
    fetch_sample("/mobilenet_v2_bs1_fp32.mlmodel", path);
  });
  cls.build();
}
