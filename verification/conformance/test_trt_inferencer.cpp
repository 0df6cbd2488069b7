// tests.unit_tests.test_inferencers.test_trt_inferencer: the TensorRT back-end through the shared checks,
// plus custom data types, output devices, a five-input engine, input verification, safe prediction,
// benchmark copy times and modes, profiling and the legend. Without a usable TensorRT the class is an
// empty TestCase.
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;
using ostrel::truthy;

namespace {

const char* const kEngineKey = "/conformance/zorvik_imagenet_resnet18_PEXA.RTX3070.pkl";
const char* const kEngineName = "zorvik_imagenet_resnet18_PEXA.RTX3070.pkl";
const char* const kDecoderKey = "/models_for_platform_testing/segmentation/trt/decoder_rtx3070_fp16_bs1.pkl";

py::list one_shape(int a, int b, int c) {
  py::list dims;
  dims.append(py::make_tuple(a, b, c));
  return dims;
}

py::object first(py::object outputs) { return outputs[py::int_(0)]; }

// A TRTInferencer on the sample engine as the class builds it, optionally with profiling.
py::object build_inferencer(const py::module_& m, py::object self, bool profiling) {
  return m.attr("TRTInferencer")(self.attr("checkpoint_file"),
                                 py::arg("static_batch_size") = self.attr("try_fetch_static_batch_size"),
                                 py::arg("device") = 0, py::arg("inference_dtype") = self.attr("input_dtype"),
                                 py::arg("profiling") = profiling);
}

void copy_time_fields(const py::module_& m, py::object self, bool include_io) {
  py::object inferencer = self.attr("create_inferencer")();
  py::object record = inferencer.attr("benchmark")(inferencer.attr("static_batch_size"), py::arg("include_io") = include_io);
  const char* names[] = {"h_to_d_mean", "d_to_h_mean", "h_to_d_variance", "d_to_h_variance"};
  for (const char* name : names) expect(self, "assertIn", name, record.attr("dict")());
  for (const char* name : names)
    expect(self, include_io ? "assertIsNotNone" : "assertIsNone", record.attr("dict")()[name]);
  (void)m;
}

// The class set-up, the per-test set-up and clean-up, and the shared inferencer.
void define_fixtures(CheckClass& cls, py::module_& m) {
  cls.class_method("setUpClass", [m](py::object klass) {
    py::object base = py::module_::import("builtins").attr("super")(m.attr("TestTRTInferencer"), klass);
    base.attr("setUpClass")();
    std::string path = temp_path(kEngineName);
    if (!truthy(m.attr("Path")(path).attr("exists")())) fetch_sample(kEngineKey, path);
    klass.attr("checkpoint_file") = path;
    klass.attr("checkpoint_multi_inputs_file") = temp_path("trt_multi_input_model.pkl");
  });

  cls.method("setUp", [m](py::object self) {
    m.attr("AbstractInferencerTest").attr("setUp")(self);
    self.attr("inferencer_type") = m.attr("TRTInferencer");
    self.attr("input_dtype") = m.attr("np").attr("float32");
    self.attr("input_dims") = one_shape(3, 224, 224);
    self.attr("try_fetch_input_dimensions") = true;
    self.attr("try_fetch_static_batch_size") = true;
    self.attr("forward_pass_supported") = true;
  });

  cls.method("tearDown", [m](py::object self) {
    m.attr("AbstractInferencerTest").attr("tearDown")(self);
    if (py::hasattr(self, "_inferencer")) py::delattr(self, "_inferencer");
    py::object gc = m.attr("gc");
    gc.attr("collect")();
    gc.attr("garbage").attr("clear")();
    gc.attr("collect")();
  });

  cls.method_returning("create_inferencer", [m](py::object self) -> py::object {
    if (!py::hasattr(self, "_inferencer")) self.attr("_inferencer") = build_inferencer(m, self, false);
    return self.attr("_inferencer");
  });

}

// Construction, predictions and the checks of inputs.
void define_input_checks(CheckClass& cls, py::module_& m) {
  cls.method("test_initialize_with_custom_dtype", [m](py::object self) {
    py::object int64 = m.attr("np").attr("int64");
    py::object inferencer = m.attr("TRTInferencer")(self.attr("checkpoint_file"), py::arg("inference_dtype") = int64);
    expect(self, "assertEqual", inferencer.attr("inference_dtype"), int64);
  });

  cls.method("test_predict_with_torch_with_gpu_device_output_return_the_same_numpy_tensor", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object x = inferencer.attr("_build_dummy_inputs")(self.attr("input_dims"));
    py::object predict = inferencer.attr("predict");
    py::object hw = m.attr("InferenceHardware");
    py::object f16 = m.attr("np").attr("float16");
    auto compare = [&](py::object a, py::object b, const char* what) { expect_allclose(self, a, b, 0.0, what); };
    py::object cpu1 = first(predict(x, py::arg("output_device") = hw.attr("CPU")));
    py::object cpu2 = first(predict(x, "cpu"));
    compare(cpu1.attr("astype")(f16), cpu2.attr("astype")(f16), "the CPU output given by text");
    py::object gpu1 = first(predict(x, py::arg("output_device") = hw.attr("GPU")));
    py::object gpu2 = first(predict(x, "gpu"));
    expect(self, "assertIsInstance", gpu1, m.attr("torch").attr("Tensor"));
    expect(self, "assertIsInstance", gpu2, m.attr("torch").attr("Tensor"));
    auto host = [&](py::object t) { return t.attr("to")("cpu").attr("numpy")().attr("astype")(f16); };
    py::object gpu1_cpu = host(first(predict(x, py::arg("output_device") = hw.attr("GPU"))));
    py::object gpu2_cpu = host(first(predict(x, "gpu")));
    compare(gpu1_cpu, gpu2_cpu, "the GPU output given by text");
    compare(cpu1.attr("astype")(f16), gpu2_cpu, "the GPU output");
  });

  cls.method("test_trt_multi_inputs_inference", [m](py::object self) {
    py::list dims;
    dims.append(py::make_tuple(243, 30, 40));
    dims.append(py::make_tuple(172, 60, 80));
    dims.append(py::make_tuple(102, 120, 160));
    dims.append(py::make_tuple(64, 240, 320));
    dims.append(py::make_tuple(153, 15, 20));
    std::string path = ostrel::str(self.attr("checkpoint_multi_inputs_file"));
    fetch_sample(kDecoderKey, path);
    py::object inferencer =
        m.attr("TRTInferencer")(py::arg("checkpoint_file") = path,
                                py::arg("inference_hardware") = m.attr("InferenceHardware").attr("GPU"),
                                py::arg("input_dims") = dims);
    expect(self, "assertEqual", inferencer.attr("input_dims"), dims);
    expect(self, "assertEqual", inferencer.attr("fetch_model_batch_size")(), 1);
    expect(self, "assertEqual", inferencer.attr("fetch_model_input_dimensions")(), dims);
    expect(self, "assertTrue", inferencer.attr("benchmark")(1));
  });

  cls.method("test_verify_inputs_dtype_mismatch", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::list dtype;
    dtype.append(m.attr("np").attr("float64"));
    py::object x = inferencer.attr("_build_dummy_inputs")(self.attr("input_dims"), py::arg("dtype") = dtype);
    expect_raises(self, m.attr("DTypeError"), [&] { inferencer.attr("verify_inputs")(x); });
  });

  cls.method("test_verify_inputs_max_batch_size", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object x = inferencer.attr("_build_dummy_inputs")(self.attr("input_dims"));
    x = inferencer.attr("_build_dummy_batch")(x, py::arg("batch_size") = py::object(inferencer.attr("max_batch_size")) + py::int_(1));
    expect_raises(self, m.attr("MaxBatchSizeExceededError"), [&] { inferencer.attr("verify_inputs")(x); });
  });

  cls.method("test_verify_inputs_shape_mismatch", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object x = inferencer.attr("_build_dummy_inputs")(one_shape(3, 225, 224));
    expect_raises(self, m.attr("InvalidInputDimensions"), [&] { inferencer.attr("verify_inputs")(x); });
  });

  cls.method("test_safe_predict", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    inferencer.attr("safe_predict")(inferencer.attr("_build_dummy_inputs")(one_shape(3, 224, 224)));
    py::object x = inferencer.attr("_build_dummy_inputs")(one_shape(3, 225, 224));
    expect_raises(self, m.attr("InvalidInputDimensions"), [&] { inferencer.attr("safe_predict")(x); });
  });

}

// Benchmarks, profiling and the legend.
void define_benchmark_checks(CheckClass& cls, py::module_& m) {
  cls.method("test_predict_benchmark_contains_trt_specific_fields_with_include_io",
             [m](py::object self) mutable { copy_time_fields(m, self, true); });
  cls.method("test_predict_benchmark_contains_trt_specific_fields_without_include_io",
             [m](py::object self) mutable { copy_time_fields(m, self, false); });

  cls.method("test_create_inferencer_with_profiling", [m](py::object self) mutable {
    {
      py::object inferencer = build_inferencer(m, self, true);
      expect(self, "assertTrue", inferencer.attr("benchmark")(py::arg("batch_size") = 1));
      inferencer.attr("get_layers_profile_dataframe")();
      py::print(inferencer.attr("get_bottlenecks")(20));
    }
    py::object load = m.attr("ostrel").attr("load");
    py::object model = load(py::arg("model_path") = self.attr("checkpoint_file"), py::arg("framework_type") = "trt",
                            py::arg("profiling") = true);
    expect(self, "assertTrue", model.attr("benchmark")(1));
    py::object bottlenecks = model.attr("get_bottlenecks")(22);
    expect(self, "assertIsInstance", model.attr("get_layers_profile_dataframe")(), m.attr("pd").attr("DataFrame"));
    expect(self, "assertEqual", py::len(bottlenecks), 22);
    py::object builtins = py::module_::import("builtins");
    expect(self, "assertIsInstance", bottlenecks["Layer Name"].attr("values")[py::int_(0)], builtins.attr("str"));
    expect(self, "assertIsInstance", bottlenecks["ms"].attr("values")[py::int_(0)], builtins.attr("float"));
    expect(self, "assertIsInstance", bottlenecks["Percentage"].attr("values")[py::int_(0)], builtins.attr("float"));
    model = load(py::arg("model_path") = self.attr("checkpoint_file"), py::arg("framework_type") = "trt",
                 py::arg("profiling") = false);
    expect_raises(self, PyExc_AssertionError, [&] { model.attr("get_layers_profile_dataframe")(); });
  });

  cls.method("test_benchmark_method_single_context_async", [m](py::object self) {
    py::object nvtx;
    try {
      nvtx = py::module_::import("nvtx");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      py::print("nvtx is not installed - skipping test");
      return;
    }
    py::object inferencer = self.attr("create_inferencer")();
    py::object modes = m.attr("TRTBenchmarkMode");
    auto run = [&](const char* range, const char* mode) {
      py::object record;
      ostrel::with_block(nvtx.attr("annotate")(range), [&] {
        record = inferencer.attr("benchmark")(py::arg("batch_size") = 64, py::arg("benchmark_mode") = modes.attr(mode));
      });
      expect(self, "assertTrue", record);
      py::print(record);
      return record;
    };
    py::object synced = run("Benchmark Mode: SINGLE_CONTEXT_SYNCED", "SINGLE_CONTEXT_SYNCED");
    py::object async = run("Benchmark Mode: SINGLE_CONTEXT_ASYNC", "SINGLE_CONTEXT_ASYNC");
    expect(self, "assertGreaterEqual", async.attr("throughput"), py::object(synced.attr("throughput")) * py::float_(1.1));
  });

  cls.method("test_get_model_legend", [](py::object self) {
    py::object legend = self.attr("create_inferencer")().attr("legend");
    expect(self, "assertTrue", legend);
    expect(self, "assertNotIn", "layers_dataframe", legend);
  });

  cls.method("test_get_model_legend_with_profiling", [m](py::object self) mutable {
    expect(self, "assertIn", "layers_dataframe", build_inferencer(m, self, true).attr("legend"));
  });
}

void define_checks(py::module_& m) {
  CheckClass cls(m, "TestTRTInferencer");
  cls.base_of(m.attr("AbstractInferencerTest"));
  define_fixtures(cls, m);
  define_input_checks(cls, m);
  define_benchmark_checks(cls, m);
  cls.build();
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_trt_inferencer", m) {
  m.attr("gc") = py::module_::import("gc");
  m.attr("Path") = modtree::import_from("pathlib", "Path");
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("urlretrieve") = modtree::import_from("urllib.request", "urlretrieve");
  m.attr("np") = py::module_::import("numpy");
  m.attr("pd") = py::module_::import("pandas");
  m.attr("torch") = py::module_::import("torch");
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("InferenceHardware") = modtree::import_from("ostrel", "InferenceHardware");
  m.attr("TRTBenchmarkMode") = modtree::import_from("ostrel", "TRTBenchmarkMode");
  for (const char* name : {"DTypeError", "MaxBatchSizeExceededError", "InvalidInputDimensions"})
    m.attr(name) = modtree::import_from("ostrel.common.exceptions", name);

  // `from ostrel.frameworks.trt_inferencer import TRTInferencer`, guarded: the back-end defines no
  // TRTInferencer where its engine runner cannot load.
  bool usable = false;
  try {
    py::module_ backend = py::module_::import("ostrel.frameworks.trt_inferencer");
    usable = py::hasattr(backend, "TRTInferencer");
    if (usable) m.attr("TRTInferencer") = backend.attr("TRTInferencer");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ImportError)) throw;
  }
  if (!usable) {
    CheckClass(m, "TestTRTInferencer").base_of(m.attr("TestCase")).build();
    return;
  }
  m.attr("BaseInferencer") = modtree::import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("AbstractInferencerTest") =
      modtree::import_from("tests.unit_tests.test_inferencers.test_abstract_inferencer", "AbstractInferencerTest");
  load_own_tests(m, {"TestTRTInferencer"});
  define_checks(m);
}
