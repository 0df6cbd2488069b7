// tests.unit_tests.test_inferencers.test_onnx_inferencer: the ONNX Runtime back-end through the shared
// checks, plus construction with caller session options, a five-input model and per-layer profiling.
#include "bindings/names.hpp"
#include "bindings/values.hpp"
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

// The photographs of the detection check, by their known labels.
const char* const kPhotos[][2] = {
    {"cat", "/conformance/photos/cat.jpg"},
    {"person,potted plant", "/conformance/photos/person.jpg"},
    {"dog", "/conformance/photos/dog.jpg"},
};

void detect(py::module_& m, py::object self, py::object inference_hardware) {
  const int inference_image_size = 320;
  py::object model = self.attr("_load_detection_model")(inference_hardware);
  py::object uuid4 = m.attr("uuid4");
  for (const auto& photo : kPhotos) {
    py::set known_labels;
    for (auto label : py::str(photo[0]).attr("split")(",")) known_labels.add(label);
    std::string prefix = "test-" + ostrel::str(uuid4()).substr(0, 8);
    py::object path = m.attr("download_temporary_test_file")(samples_base_url() + photo[1], prefix);
    py::object loaded_image = m.attr("sample_loader")(path);
    py::object model_input = m.attr("pre_process_image")(loaded_image, py::arg("model_image_size") = inference_image_size,
                                                         py::arg("batch_size") = 1);
    py::list all_outputs;
    all_outputs.append(model.attr("predict")(model_input));
    for (auto outputs : all_outputs) {
      py::object model_output = outputs[py::int_(-1)];
      py::object predictions = m.attr("non_max_suppression")(m.attr("torch").attr("from_numpy")(model_output));
      py::object detections = predictions[py::int_(0)];
      if (detections.is_none()) fail(self, std::string("the detector kept no box on the photograph ") + photo[1]);
      py::tuple drawn = m.attr("plot_images")(model_input, detections, py::arg("paths") = py::none(),
                                              py::arg("fname") = "output_image.jpg",
                                              py::arg("names") = m.attr("COCO_DETECTION_CLASSES_DICT"),
                                              py::arg("max_size") = 1200, py::arg("max_subplots") = 16);
      py::object labels = drawn[1];
      py::print("All labels:", labels);
      for (auto label : labels)
        expect(self, "assertIn", label, known_labels,
               std::string("label found on the photograph of \"") + photo[0] + "\"");
    }
  }
}

// test_detection_yolov5(self, inference_hardware="cpu"): a plain function, as the loader expects of a check.
py::object check_function_with_hardware(py::module_& m) {
  py::dict scope;
  scope["_check"] = py::cpp_function([m](py::object self, py::object hardware) mutable { detect(m, self, hardware); },
                                     py::arg("self"), py::arg("inference_hardware"));
  ostrel::builtin("exec")(ostrel::builtin("compile")(
                              "def test_detection_yolov5(self, inference_hardware=\"cpu\"):\n"
                              "    return _check(self, inference_hardware)\n",
                              py::str(m.attr("__name__")), "exec"),
                          scope);
  py::object fn = scope["test_detection_yolov5"];
  fn.attr("__qualname__") = "TestOnnxInferencer.test_detection_yolov5";
  fn.attr("__module__") = m.attr("__name__");
  return fn;
}

// The names the checks look up in their module.
void import_names(py::module_& m) {
  m.attr("pd") = py::module_::import("pandas");
  m.attr("torch") = py::module_::import("torch");
  m.attr("uuid4") = modtree::import_from("uuid", "uuid4");
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel", "GPU_PRESENT");
  for (const char* name :
       {"sample_loader", "pre_process_image", "non_max_suppression", "plot_images", "COCO_DETECTION_CLASSES_DICT"})
    m.attr(name) = modtree::import_from("tests.test_utils.coco_utils", name);
  m.attr("download_temporary_test_file") =
      modtree::import_from("tests.test_utils.downloads_helpers", "download_temporary_test_file");
}

// The checks of this back-end beyond the shared ones.
void define_onnx_checks(CheckClass& cls, py::module_& m) {
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

  cls.def(
      "_load_detection_model",
      [m](py::object, py::object inference_hardware) {
        py::object path = m.attr("download_temporary_test_file")(
            py::arg("file_url") = samples_base_url() + "/yolov5m.onnx", py::arg("temp_file_prefix") = "test-detection-");
        return m.attr("OnnxInferencer")(py::arg("checkpoint_file") = path,
                                        py::arg("inference_hardware") = inference_hardware);
      },
      py::arg("self"), py::arg("inference_hardware"), "A new detection model on the given hardware.");

  cls.attr("test_detection_yolov5",
           check_function_with_hardware(m));

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
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_onnx_inferencer", m) {
  import_names(m);
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

  define_onnx_checks(cls, m);
  cls.build();
}
