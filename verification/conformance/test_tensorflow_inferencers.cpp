// tests.unit_tests.test_inferencers.test_tensorflow_inferencer, ...test_keras_inferencer and
// ...test_tflite_inferencer: the TensorFlow 2, Keras and TFLite back-ends through the shared checks.
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;
using ostrel::truthy;

namespace {

// float32 inputs of (224, 224, 3), with the named input under `input_name` when given.
void image_knobs(py::object self, py::module_& m, const char* input_name) {
  self.attr("input_dtype") = m.attr("np").attr("float32");
  py::list dims;
  dims.append(py::make_tuple(224, 224, 3));
  self.attr("input_dims") = dims;
  self.attr("try_fetch_input_dimensions") = true;
  self.attr("test_keyword_arguments_inputs_for_inference") = true;
  py::dict named;
  named[input_name] = ones_for_first_input(dims, self.attr("input_dtype"));
  self.attr("predict_keyword_arguments") = named;
}

void expect_list_of_shapes(py::handle self, py::handle dims) {
  expect(self, "assertIsInstance", dims, ostrel::builtin("list"));
  expect(self, "assertIsInstance", dims[py::int_(0)], ostrel::builtin("tuple"));
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_tensorflow_inferencer", m) {
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("ModelFrameworkRuntimeError") = modtree::import_from("ostrel.common.exceptions", "ModelFrameworkRuntimeError");
  CheckClass cls = framework_class(
      m, {"TestTF2Inferencer", "ostrel.frameworks.tensorflow_inferencer", "TF2Inferencer", "/mobilenet_v2.zip",
          "tf_model.zip", [](py::object self, py::module_& mod) { image_knobs(self, mod, "inputs"); }, {}});

  cls.method("test_get_input_dims_without_default_signature_raises_framework_runtime_error", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    expect_list_of_shapes(self, inferencer.attr("fetch_model_input_dimensions")());
    py::object loaded = inferencer.attr("model");
    loaded.attr("signatures").attr("_signatures").attr("pop")("serving_default");
    expect_raises(self, m.attr("ModelFrameworkRuntimeError"),
                  [&] { inferencer.attr("fetch_model_input_dimensions")(); });
  });

  cls.method("test_gpu_load", [m](py::object self) {
    if (!truthy(m.attr("ostrel").attr("GPU_PRESENT"))) return;
    py::object inferencer =
        m.attr("TF2Inferencer")(py::arg("checkpoint_file") = self.attr("checkpoint_file"),
                                py::arg("inference_hardware") = m.attr("InferenceHardware").attr("GPU"),
                                py::arg("input_dims") = self.attr("input_dims"));
    expect_list_of_shapes(self, inferencer.attr("fetch_model_input_dimensions")());
    py::print(inferencer.attr("benchmark")(1, py::arg("duration_sec") = 5));
  });
  cls.build();
}

MODTREE_MODULE("unit_tests.test_inferencers.test_keras_inferencer", m) {
  framework_class(m, {"TestKerasInferencer", "ostrel.frameworks.keras_inferencer", "KerasInferencer",
                      "/mobilenetv2.keras.h5", "keras_mobilenetv2.h5",
                      [](py::object self, py::module_& mod) { image_knobs(self, mod, "input_2"); }, {}})
      .build();
}

MODTREE_MODULE("unit_tests.test_inferencers.test_tflite_inferencer", m) {
  framework_class(m, {"TestTFLiteInferencer", "ostrel.frameworks.tflite_inferencer", "TFLiteInferencer",
                      "/mobilenet_v2_1.0_224.tflite", "tflite_model.tflite",
                      [](py::object self, py::module_& mod) {
                        self.attr("default_batch_size") = 1;
                        self.attr("static_batch_size") = 1;
                        image_knobs(self, mod, "input");
                      },
                      {}})
      .build();
}
