// tests.e2e_tests.test_ostrel_manager: the package seen from outside, through `Ostrel.load` and the
// loaded model it returns, on sample models of every framework; bad load arguments and log files.
#include <string>
#include <vector>

#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "verification/e2e_tests/e2e_support.hpp"

namespace py = pybind11;
using namespace ostrel::e2e;
using ostrel::str;
using ostrel::truthy;

namespace {

py::object kw_load(py::module_& m, py::dict kwargs) {
  return m.attr("Ostrel").attr("load")(**kwargs);
}

// A new one-element list holding one shape tuple.
py::list dims_list(int a, int b, int c) {
  py::list l;
  l.append(py::make_tuple(a, b, c));
  return l;
}

// Fetches `key` of the samples address to `local` (in the temporary folder); returns the local path.
std::string download(py::module_& m, const std::string& key, const std::string& local) {
  std::string path = temp_path(local);
  fetch(str(m.attr("s3_public_pexa_bucket")), key, path);
  return path;
}

void drive(py::object self, py::object model_path, py::object framework_type, py::object hardware,
           py::object input_dims, py::object static_batch_size) {
  self.attr("_test_load_and_benchmark_model")(py::arg("model_path") = model_path,
                                              py::arg("framework_type") = framework_type,
                                              py::arg("inference_hardware") = hardware,
                                              py::arg("input_dims") = input_dims,
                                              py::arg("static_batch_size") = static_batch_size);
}

// The level and file size of every logger the package's logging record configures: {name: (level, size)}
// (size None for a logger that has no log file).
py::dict logging_levels(py::object manager) {
  py::dict config = manager.attr("_config_dict");
  py::dict handlers = config["handlers"];
  py::dict saved;
  for (auto item : py::dict(config["loggers"])) {
    py::object handler = manager.attr("_handler_name_from_logger_name")(item.first);
    py::object size = handlers.contains(handler) ? py::object(handlers[handler]["maxBytes"]) : py::none();
    saved[item.first] = py::make_tuple(item.second["level"], size);
  }
  return saved;
}

// Configures every logger of the record again under the HOME now in force: those that existed when the
// checks began get back their level and file size, those the checks added keep theirs, and every log
// file is opened again in the log folder of that HOME.
void restore_logging(py::object manager, py::dict saved) {
  py::list names(py::dict(manager.attr("_config_dict")["loggers"]).attr("keys")());
  for (py::handle name : names) {
    py::object level = py::none(), size = py::none();
    if (saved.contains(name)) {
      py::tuple entry = saved[name];
      level = entry[0];
      size = entry[1];
    }
    manager.attr("get_and_update_logger")(name, level, size);
  }
}

}  // namespace

namespace {

// The names the checks read from the module, and the sample models' address.
void import_names(py::module_& m) {
  m.attr("os") = py::module_::import("os");
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("urlretrieve") = modtree::import_from("urllib.request", "urlretrieve");
  m.attr("urlcleanup") = modtree::import_from("urllib.request", "urlcleanup");
  m.attr("np") = py::module_::import("numpy");
  m.attr("ModelBenchmarks") =
      modtree::import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");
  m.attr("FilesDataInterface") =
      modtree::import_from("ostrel.common.data_interface.files_data_interface", "FilesDataInterface");
  m.attr("FrameworkType") = modtree::import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("InferenceHardware") = modtree::import_from("ostrel.common.enums.inference_hardware", "InferenceHardware");
  for (const char* name : {"EmptyInputValue", "InvalidInputDimensions", "FrameworkNotSupportedError",
                           "CheckpointFileDoesNotExistError", "InvalidStaticBatchSize", "InvalidLoggingLevel"})
    m.attr(name) = modtree::import_from("ostrel.common.exceptions", name);
  m.attr("LoggerManager") = modtree::import_from("ostrel.common.logger_factory", "LoggerManager");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel.inference.config", "GPU_PRESENT");
  m.attr("Ostrel") = modtree::import_from("ostrel.inference.ostrel_manager", "Ostrel");
  m.attr("LoadedModel") = modtree::import_from("ostrel.inference.ostrel_manager", "LoadedModel");
  // The sample models: the generated tree (file://) unless OSTREL_SAMPLES_URL names another address.
  {
    std::string base = str(modtree::import_from("tests.test_utils.downloads_helpers", "sample_base_url")());
    while (!base.empty() && base.back() == '/') base.pop_back();
    m.attr("s3_public_pexa_bucket") = base;
  }
}

// Class set-up and tear-down: HOME on a scratch folder and the logging configuration restored.
void define_set_up(CheckClass& cls, py::module_ m) {
  cls.def_classmethod(
      "setUpClass",
      [m](py::object klass) mutable {
        py::print("Preparing the models for tests, downloading...");
        klass.attr("onnx_dummy_input_dims") = py::make_tuple(3, 224, 224);
        std::string onnx = download(m, "/return_model_input.onnx", "return_model_input.onnx");
        klass.attr("onnx_filename") = onnx;
        // The logging checks empty and remove the per-user log folder: the class runs with HOME on a
        // folder of its own, so the user's real log folder is never touched.
        py::object os = m.attr("os");
        // One scratch folder per process: log handlers set up while the class runs keep writing there.
        if (!py::hasattr(klass, "_home_dir"))
          klass.attr("_home_dir") =
              py::module_::import("tempfile").attr("TemporaryDirectory")(py::arg("prefix") = "ostrel_e2e_home_");
        py::object home = klass.attr("_home_dir");
        klass.attr("_saved_logging") = logging_levels(m.attr("LoggerManager"));
        klass.attr("_saved_home") = os.attr("environ").attr("get")("HOME");
        os.attr("environ")["HOME"] = home.attr("name");
        py::print("The models were configured successfully.");
      },
      py::arg("cls"));

  cls.def_classmethod(
      "tearDownClass",
      [m](py::object klass) mutable {
        m.attr("urlcleanup")();
        py::object os = m.attr("os");
        if (py::hasattr(klass, "_saved_home")) {
          // HOME goes back, and with it the package's log files: the scratch folder goes when the
          // process ends, and lines logged after the checks belong where they went before.
          py::object saved = klass.attr("_saved_home");
          if (saved.is_none())
            os.attr("environ").attr("pop")("HOME", py::none());
          else
            os.attr("environ")["HOME"] = saved;
          py::delattr(klass, "_saved_home");
          restore_logging(m.attr("LoggerManager"), klass.attr("_saved_logging"));
          py::delattr(klass, "_saved_logging");
        }
      },
      py::arg("cls"));

  // Benchmarks given neither a duration nor a repetition count time their loop for 5 s in each check,
  // whatever suite ran before in the same process.
  cls.def(
      "setUp", [](py::object self) { ostrel::conformance::shorten_benchmarks(self, py::float_(5.0)); }, py::arg("self"));
}

// The shared body of the load, predict and benchmark checks.
void define_load_helper(CheckClass& cls, py::module_ m) {
  cls.def(
      "_test_load_and_benchmark_model",
      [m](py::object self, py::object model_path, py::object framework_type, py::object inference_hardware,
          py::object input_dims, py::object static_batch_size, py::object benchmark_repititions,
          py::object num_warmup_calls) mutable {
        py::object model = m.attr("Ostrel").attr("load")(py::arg("framework_type") = framework_type,
                                                          py::arg("inference_hardware") = inference_hardware,
                                                          py::arg("model_path") = model_path);
        py::print("Loaded for test: ", model);
        if (!static_batch_size.is_none()) {
          expect(self, "assertEqual", model.attr("static_batch_size"), static_batch_size);
        } else if (framework_type.equal(m.attr("FrameworkType").attr("TENSORRT"))) {
          static_batch_size = model.attr("static_batch_size");
        } else {
          static_batch_size = py::int_(1);
        }
        py::object shape = py::isinstance<py::list>(input_dims) ? input_dims[py::int_(0)] : input_dims;
        py::object batch;
        try {
          batch = model.attr("example_inputs");
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_NotImplementedError)) throw;
          py::list full;
          full.append(static_batch_size);
          for (py::handle d : shape) full.append(d);
          py::object np = m.attr("np");
          batch = np.attr("random").attr("uniform")(py::arg("size") = full).attr("astype")(np.attr("float32"));
        }
        py::object out = model.attr("predict")(py::arg("x") = batch);
        expect(self, "assertIsInstance", out, ostrel::builtin("list"));
        expect(self, "assertIsInstance", out[py::int_(0)], m.attr("np").attr("ndarray"));
        py::list allowed;
        allowed.append(static_batch_size);
        allowed.append(1000);
        expect(self, "assertTrue", allowed.contains(py::len(out[py::int_(0)])));
        py::object result = model.attr("benchmark")(
            py::arg("batch_size") = static_batch_size, py::arg("input_dims") = shape,
            py::arg("repetitions") = benchmark_repititions, py::arg("warmup_calls") = num_warmup_calls);
        expect(self, "assertIsInstance", result, m.attr("ModelBenchmarks"));
      },
      py::arg("self"), py::arg("model_path"), py::arg("framework_type"), py::arg("inference_hardware"),
      py::arg("input_dims"), py::arg("static_batch_size"), py::arg("benchmark_repititions") = 5,
      py::arg("num_warmup_calls") = 1,
      "Loads a model through `Ostrel.load`, predicts on one batch and runs a short benchmark.");
}

// Loading with defaults and bad arguments, and benchmarks at several batch sizes.
void define_load_checks(CheckClass& cls, py::module_ m) {
  method(cls, "test_load_model_without_explicit_inference_hardware_chooses_default", "onnx", [m](py::object self) mutable {
    py::object model = m.attr("Ostrel").attr("load")(self.attr("onnx_filename"), m.attr("FrameworkType").attr("ONNX"));
    expect(self, "assertIsInstance", model, m.attr("LoadedModel"));
    py::object result = model.attr("benchmark")(py::arg("batch_size") = 1, py::arg("input_dims") = dims_list(3, 224, 224));
    expect(self, "assertIsInstance", result, m.attr("ModelBenchmarks"));
  });

  method(cls, "test_load_with_invalid_params_raises_indicative_exceptions", "onnx", [m](py::object self) mutable {
    py::object onnx = self.attr("onnx_filename");
    py::object ft = m.attr("FrameworkType"), hw = m.attr("InferenceHardware");
    auto block = [&](const char* cls_name, py::dict kwargs) {
      py::object expected = std::string(cls_name) == "Exception" ? ostrel::builtin("Exception") : m.attr(cls_name);
      expect_raises(self, expected, [&] { kw_load(m, kwargs); });
    };
    using py::arg;
    block("EmptyInputValue", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("GPU"),
                                      arg("model_path") = py::list()));
    block("InvalidInputDimensions", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("CPU"),
                                             arg("model_path") = onnx, arg("input_dims") = py::tuple()));
    block("InvalidStaticBatchSize", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("CPU"),
                                             arg("model_path") = onnx, arg("static_batch_size") = -2));
    block("InvalidStaticBatchSize", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("CPU"),
                                             arg("model_path") = onnx, arg("static_batch_size") = "N"));
    block("EmptyInputValue", py::dict(arg("framework_type") = "", arg("inference_hardware") = hw.attr("GPU"),
                                      arg("model_path") = onnx));
    block("FrameworkNotSupportedError", py::dict(arg("framework_type") = 2, arg("inference_hardware") = hw.attr("GPU"),
                                                 arg("model_path") = onnx));
    block("FrameworkNotSupportedError", py::dict(arg("framework_type") = "test_framework",
                                                 arg("inference_hardware") = hw.attr("GPU"), arg("model_path") = onnx));
    block("EmptyInputValue", py::dict(arg("framework_type") = py::dict(), arg("model_path") = onnx));
    block("InvalidInputDimensions", py::dict(arg("framework_type") = "onnx", arg("model_path") = onnx, arg("input_dims") = 1));
    py::dict mapping_dims;
    mapping_dims["a"] = 3;
    mapping_dims["b"] = 224;
    mapping_dims["c"] = 244;
    block("InvalidInputDimensions", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("CPU"),
                                             arg("model_path") = onnx, arg("input_dims") = mapping_dims));
    block("InvalidInputDimensions", py::dict(arg("framework_type") = ft.attr("ONNX"), arg("inference_hardware") = hw.attr("CPU"),
                                             arg("model_path") = onnx, arg("input_dims") = 100));
    block("CheckpointFileDoesNotExistError", py::dict(arg("framework_type") = ft.attr("ONNX"),
                                                      arg("inference_hardware") = hw.attr("CPU"),
                                                      arg("model_path") = "nonexisting file name"));
    if (truthy(m.attr("GPU_PRESENT")))
      block("Exception", py::dict(arg("framework_type") = ft.attr("TENSORRT"), arg("inference_hardware") = hw.attr("GPU"),
                                  arg("model_path") = onnx));
  });

  method(cls, "test_benchmark_cpu_loaded_onnx_model_latencies_for_different_batch_sizes", "onnx", [m](py::object self) mutable {
    py::object model = m.attr("Ostrel").attr("load")(py::arg("framework_type") = m.attr("FrameworkType").attr("ONNX"),
                                                      py::arg("inference_hardware") = m.attr("InferenceHardware").attr("CPU"),
                                                      py::arg("model_path") = self.attr("onnx_filename"));
    py::object previous = py::int_(0);
    for (int batch_size : {1, 5, 8}) {
      py::object result = model.attr("benchmark")(py::arg("input_dims") = dims_list(3, 224, 224),
                                                  py::arg("batch_size") = batch_size);
      py::object latency = result.attr("sample_inf_time");
      if (previous.equal(py::int_(0))) {
        previous = latency;
      } else {
        py::object added = latency - previous;
        py::print("Batch size " + std::to_string(batch_size) + " added " +
                  str(py::str("{:.2f}").format(added)) + " latency on CPU");
        previous = latency;
      }
      py::print("Batch size " + std::to_string(batch_size) + " results: " + str(result));
      expect(self, "assertIsInstance", result, m.attr("ModelBenchmarks"));
      expect(self, "assertTrue", result);
    }
  });
}

// Load and predict on every framework's sample model.
void define_framework_checks(CheckClass& cls, py::module_ m) {
  method(cls, "test_load_and_predict_onnx_model", "onnx", [m](py::object self) mutable {
    drive(self, self.attr("onnx_filename"), py::str("onnx"), m.attr("InferenceHardware").attr("CPU"),
          self.attr("onnx_dummy_input_dims"), py::none());
  });

  struct OpenVinoSample {
    const char* check;
    const char* key;
    const char* local;
    int batch;
  };
  for (const OpenVinoSample& s : {
           OpenVinoSample{"test_load_and_predict_openvino_model_from_pickled_checkpoint_batchsize_1",
                          "/resnet50_batchsize_1_mac_i5_openvino.pkl", "openvino_model_mac_batchsize_1.pkl", 1},
           OpenVinoSample{"test_load_and_predict_openvino_model_from_pickled_checkpoint_batchsize_16",
                          "/cpu_optimized_models/resnext_101_32x4d_optimized_batch%3D16.pkl",
                          "test_openvino_resnext_101_32x4d_optimized_batch_16.pkl", 16},
           OpenVinoSample{"test_load_and_predict_openvino_model_from_zipped_resnet_50_batchsize_64",
                          "/cpu_optimized_models/resnet50_batch%3D64.zip", "test_openvino_resnet50_batch64.zip", 64},
       }) {
    std::string key = s.key, local = s.local;
    int batch = s.batch;
    method(cls, s.check, "openvino", [m, key, local, batch](py::object self) mutable {
      self.attr("openvino_dummy_input_dims") = dims_list(3, 224, 224);
      self.attr("openvino_filename") = download(m, key, local);
      drive(self, self.attr("openvino_filename"), py::str("openvino"), py::str("cpu"),
            self.attr("openvino_dummy_input_dims"), py::int_(batch));
    });
  }

  method(cls, "test_load_and_predict_trt_model", "trt", [m](py::object self) mutable {
    if (!truthy(m.attr("GPU_PRESENT"))) {
      py::print("Skipping TensorRT load test, no GPU found");
      return;
    }
    self.attr("trt_dummy_input_dims") = dims_list(3, 224, 224);
    self.attr("trt_filename") = download(m, "/zorvik_imagenet_resnet18_PEXA.RTX3070.pkl", "mobilenet_v2_trt_8_0.pkl");
    drive(self, self.attr("trt_filename"), py::str("trt"), m.attr("InferenceHardware").attr("GPU"),
          self.attr("trt_dummy_input_dims"), py::none());
  });

  method(cls, "test_load_and_predict_tf2_models_from_zip_file", "tf2", [m](py::object self) mutable {
    for (const char* name : {"mobilenet_v2", "efficientnet_b0", "mobilenet_v2", "resnet50"}) {
      std::string stem = name;
      self.attr("tf2_filename") = download(m, "/" + stem + ".zip", "test_" + stem + ".zip");
      self.attr("tf2_dummy_input_dims") = dims_list(224, 224, 3);
      drive(self, self.attr("tf2_filename"), py::str("tf2"), m.attr("InferenceHardware").attr("CPU"),
            self.attr("tf2_dummy_input_dims"), py::none());
    }
  });

  method(cls, "test_load_and_predict_tf2_models_from_tar_file", "tf2", [m](py::object self) mutable {
    std::string path = download(m, "/mobilenet_v2.tar.gz", "test_mobilenet_v2.tar.gz");
    drive(self, py::str(path), py::str("tf2"), m.attr("InferenceHardware").attr("CPU"), dims_list(224, 224, 3), py::none());
  });

  method(cls, "test_load_and_predict_tf2_zip_local_model", "tf2", [m](py::object self) mutable {
    std::string archive = download(m, "/mobilenet_v2.zip", "test_extracted_model_loading.zip");
    self.attr("tf2_dummy_input_dims") = dims_list(224, 224, 3);
    py::object folder =
        m.attr("FilesDataInterface").attr("extract_and_ensure_folder_structure")(py::arg("source_path") = archive);
    drive(self, folder, py::str("tf2"), m.attr("InferenceHardware").attr("CPU"), self.attr("tf2_dummy_input_dims"),
          py::none());
  });

  method(cls, "test_load_and_predict_tf2_tar_local_model", "tf2", [m](py::object self) mutable {
    std::string archive = download(m, "/mobilenet_v2.tar.gz", "test_extracted_model_loading.tar.gz");
    py::object folder =
        m.attr("FilesDataInterface").attr("extract_and_ensure_folder_structure")(py::arg("source_path") = archive);
    drive(self, folder, py::str("tf2"), m.attr("InferenceHardware").attr("CPU"), dims_list(224, 224, 3), py::none());
  });

  method(cls, "test_load_and_predict_keras_model", "keras", [m](py::object self) mutable {
    self.attr("keras_filename") = download(m, "/mobilenetv2.keras.h5", "keras_mobilenetv2.h5");
    self.attr("keras_dummy_input_dims") = dims_list(224, 224, 3);
    drive(self, self.attr("keras_filename"), py::str("keras"), m.attr("InferenceHardware").attr("CPU"),
          self.attr("keras_dummy_input_dims"), py::none());
  });

  method(cls, "test_load_and_predict_torchscript_model", "torchscript", [m](py::object self) mutable {
    self.attr("torchscript_filename") = download(m, "/mobilenet_v2.pth", "torchscript_mobilenet_v2.pth");
    self.attr("torchscript_dummy_input_dims") = dims_list(3, 224, 224);
    drive(self, self.attr("torchscript_filename"), py::str("torchscript"), m.attr("InferenceHardware").attr("CPU"),
          self.attr("torchscript_dummy_input_dims"), py::none());
  });
}

// Log files and logging verbosity.
void define_logging_checks(CheckClass& cls, py::module_ m) {
  auto read_log = [m](py::object log_dir) mutable {
    return ostrel::read_file(py::str(log_dir) + py::str("/Ostrel.log"), "r");
  };

  for (const char* level : {"DEBUG", "WARNING"}) {
    const bool expect_info = std::string(level) == "DEBUG";
    const char* name = expect_info ? "test_that_we_log_info_level_when_passing_debug_verbosity"
                                   : "test_that_we_dont_log_info_level_when_passing_warning_verbosity";
    std::string lvl = level;
    method(cls, name, "onnx", [m, lvl, expect_info, read_log](py::object self) mutable {
      py::object log_dir = self.attr("_clean_log_directory")();
      m.attr("Ostrel").attr("load")(py::arg("model_path") = self.attr("onnx_filename"),
                                    py::arg("framework_type") = m.attr("FrameworkType").attr("ONNX"),
                                    py::arg("logging_verbosity") = lvl);
      expect(self, expect_info ? "assertIn" : "assertNotIn", py::str("- INFO -"), read_log(log_dir));
    });
  }

  method(cls, "test_that_we_create_log_directory_if_it_doesnt_exist", "onnx", [m](py::object self) mutable {
    py::object os = m.attr("os");
    py::object log_dir = self.attr("_clean_log_directory")();
    os.attr("rmdir")(log_dir);
    expect(self, "assertFalse", os.attr("path").attr("exists")(log_dir));
    m.attr("Ostrel").attr("load")(py::arg("model_path") = self.attr("onnx_filename"),
                                  py::arg("framework_type") = m.attr("FrameworkType").attr("ONNX"),
                                  py::arg("logging_verbosity") = "INFO");
    expect(self, "assertTrue", os.attr("path").attr("exists")(log_dir));
  });

  method(cls, "test_that_we_get_expected_error_when_passing_invalid_verbosity", "onnx", [m](py::object self) mutable {
    expect_raises(self, m.attr("InvalidLoggingLevel"), [&] {
      m.attr("Ostrel").attr("load")(py::arg("model_path") = self.attr("onnx_filename"),
                                    py::arg("framework_type") = m.attr("FrameworkType").attr("ONNX"),
                                    py::arg("logging_verbosity") = "ABC");
    });
  });

  cls.def(
      "_clean_log_directory",
      [m](py::object self) mutable -> py::object {
        (void)self;
        py::object os = m.attr("os");
        py::object log_dir = m.attr("LoggerManager").attr("_get_existing_log_dir_path")();
        for (py::handle entry : os.attr("listdir")(log_dir)) os.attr("remove")(log_dir + py::str("/") + entry);
        return log_dir;
      },
      py::arg("self"), "Empties the log directory and returns its path.");
}

}  // namespace

MODTREE_MODULE("e2e_tests.test_ostrel_manager", m) {
  import_names(m);

  CheckClass cls(m, "TestOstrelE2E");
  cls.base(m.attr("TestCase"));
  define_set_up(cls, m);
  define_load_helper(cls, m);
  define_load_checks(cls, m);
  define_framework_checks(cls, m);
  define_logging_checks(cls, m);
  cls.build();
}
