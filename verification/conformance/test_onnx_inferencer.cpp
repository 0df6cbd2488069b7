// tests.unit_tests.test_inferencers.test_onnx_inferencer: the ONNX Runtime back-end through the shared
// checks, plus construction with caller session options, a five-input model and per-layer profiling.
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;
using ostrel::truthy;

namespace {

py::list decoder_dims() {
  py::list dims;
  dims.append(py::make_tuple(243, 30, 40));
  dims.append(py::make_tuple(172, 60, 80));
  dims.append(py::make_tuple(102, 120, 160));
  dims.append(py::make_tuple(64, 240, 320));
  dims.append(py::make_tuple(153, 15, 20));
  return dims;
}

const char* const kDecoderKey = "/models_for_platform_testing/segmentation_models/onnx/decoder.onnx";

// The first value of each column of a layer table has the expected type.
void expect_layer_table_types(py::handle self, py::handle table) {
  py::object builtins = py::module_::import("builtins");
  expect(self, "assertIsInstance", table["Layer Name"].attr("values")[py::int_(0)], builtins.attr("str"));
  expect(self, "assertIsInstance", table["ms"].attr("values")[py::int_(0)], builtins.attr("float"));
  expect(self, "assertIsInstance", table["Percentage"].attr("values")[py::int_(0)], builtins.attr("float"));
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_onnx_inferencer", m) {
  m.attr("pd") = py::module_::import("pandas");
  m.attr("torch") = py::module_::import("torch");
  m.attr("uuid4") = modtree::import_from("uuid", "uuid4");
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel", "GPU_PRESENT");

  FrameworkChecks spec{"TestOnnxInferencer",
                       "ostrel.frameworks.onnx_inferencer",
                       "OnnxInferencer",
                       "/return_model_input.onnx",
                       "return_model_input.onnx",
                       [](py::object self, py::module_& mod) {
                         self.attr("input_dtype") = mod.attr("np").attr("float32");
                         py::list dims;
                         dims.append(py::make_tuple(3, 224, 224));
                         self.attr("input_dims") = dims;
                         self.attr("test_keyword_arguments_inputs_for_inference") = true;
                         py::dict named;
                         named["output"] = ones_for_first_input(dims, self.attr("input_dtype"));
                         self.attr("predict_keyword_arguments") = named;
                       },
                       [](py::object self, py::module_& mod) -> py::object {
                         py::object inferencer = mod.attr("OnnxInferencer")(
                             py::arg("checkpoint_file") = self.attr("checkpoint_file"),
                             py::arg("inference_hardware") = mod.attr("InferenceHardware").attr("CPU"),
                             py::arg("input_dims") = self.attr("input_dims"));
                         expect(self, "assertTrue", inferencer.attr("inputs_metadata"));
                         expect(self, "assertTrue", inferencer.attr("outputs_metadata"));
                         return inferencer;
                       }};
  CheckClass cls = framework_class(m, spec);

  cls.class_method("setUpClass", [](py::object klass) {
    std::string single = temp_path("return_model_input.onnx");
    std::string multi = temp_path("multi_input.onnx");
    klass.attr("checkpoint_file") = single;
    klass.attr("checkpoint_multi_inputs_file") = multi;
    fetch_sample("/return_model_input.onnx", single);
    fetch_sample(kDecoderKey, multi);
  });

  cls.method("test_initialize_with_session_options", [m](py::object self) {
    py::object ort = py::module_::import("onnxruntime");
    py::object options = ort.attr("SessionOptions")();
    options.attr("inter_op_num_threads") = 3;
    py::object inferencer = m.attr("OnnxInferencer")(py::arg("checkpoint_file") = self.attr("checkpoint_multi_inputs_file"),
                                                     py::arg("inference_hardware") = "cpu",
                                                     py::arg("session_options") = options);
    expect(self, "assertTrue", inferencer.attr("benchmark")(1, py::arg("duration_sec") = 1));
    expect(self, "assertEqual", options.attr("inter_op_num_threads"), 3);
  });

  cls.method("test_onnx_multi_inputs_inference", [m](py::object self) {
    py::list dims = decoder_dims();
    std::string path = ostrel::str(self.attr("checkpoint_multi_inputs_file"));
    fetch_sample(kDecoderKey, path);
    py::object inferencer =
        m.attr("OnnxInferencer")(py::arg("checkpoint_file") = path,
                                 py::arg("inference_hardware") = m.attr("InferenceHardware").attr("CPU"),
                                 py::arg("input_dims") = dims);
    expect(self, "assertEqual", inferencer.attr("input_dims"), dims);
    expect(self, "assertTrue", inferencer.attr("benchmark")(1));
  });

  cls.method("test_create_inferencer_with_profiling", [m](py::object self) {
    py::object path = self.attr("checkpoint_multi_inputs_file");
    py::object load = m.attr("ostrel").attr("load");
    py::object model = load(py::arg("model_path") = path, py::arg("framework_type") = "onnx", py::arg("profiling") = false);
    expect_raises(self, PyExc_AssertionError, [&] { model.attr("get_layers_profile_dataframe")(); });

    py::object inferencer =
        m.attr("OnnxInferencer")(path, py::arg("static_batch_size") = self.attr("try_fetch_static_batch_size"),
                                 py::arg("inference_hardware") = "cpu", py::arg("profiling") = true);
    inferencer.attr("get_layers_profile_dataframe")();
    py::print(inferencer.attr("get_bottlenecks")(20));

    model = load(py::arg("model_path") = path, py::arg("framework_type") = "onnx",
                 py::arg("inference_hardware") = "cpu", py::arg("profiling") = true);
    py::object bottlenecks = model.attr("get_bottlenecks")(22);
    py::object table = model.attr("get_layers_profile_dataframe")();
    expect(self, "assertIsInstance", table, m.attr("pd").attr("DataFrame"));
    expect(self, "assertEqual", py::len(bottlenecks), 22);
    expect_layer_table_types(self, bottlenecks);

    if (truthy(m.attr("GPU_PRESENT"))) {
      model = load(py::arg("model_path") = path, py::arg("framework_type") = "onnx",
                   py::arg("inference_hardware") = "gpu", py::arg("profiling") = true);
      bottlenecks = model.attr("get_bottlenecks")(123);
      py::print(bottlenecks);
      expect(self, "assertIsInstance", model.attr("get_layers_profile_dataframe")(), m.attr("pd").attr("DataFrame"));
      expect(self, "assertEqual", py::len(bottlenecks), 123);
    }
  });

  cls.build();
}
