// `tests.test_utils.onnx_to_trt`: the ONNX-to-TensorRT engine builder. One optimization profile whose
// batch axis runs from 1 to a given maximum, written as the pickled checkpoint that the TensorRT back-end
// reads ("engine", "compiler", "precision"). TensorRT is called through its Python API.
//
// On a machine without a GPU the module defines nothing beyond its imports and logger. Run as a program
// (`python -m tests.test_utils.onnx_to_trt ONNX_FILE CHECKPOINT LEVEL MAX_BATCH`) it converts one model.
//
// A model that does not parse raises OnnxParseError (the command line turns it into exit status 1); the
// checkpoint file is written only after a successful build, through a temporary file in the same folder,
// so a failed run leaves an existing file as it was.
#include <unistd.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kFile = "tests/test_utils/onnx_to_trt.py";

constexpr const char* kBuildDoc = R"(
    A function for building a trt.ICudaEngine graph from an ONNX model.

    :param onnx_ckpt_path: Path of the ONNX model file.
    :param trt_max_batch_size: The largest batch the engine takes; its inputs accept any batch from 1 to it.
    :param quantization_level: The precision to use. Currently supported FP32 and FP16.
    :return: The built engine, or None when TensorRT could not build one.
    )";

using ostrel::truthy;

// Parses the ONNX model at `onnx_ckpt_path` into `network`; OnnxParseError with the parser's errors when
// it cannot.
void parse_onnx(py::module_& m, py::object parser, py::object onnx_ckpt_path) {
  std::string path = ostrel::str(onnx_ckpt_path);
  if (!truthy(parser.attr("parse")(ostrel::read_file(py::str(path))))) {
    std::string errors;
    long long count = parser.attr("num_errors").cast<long long>();
    for (long long i = 0; i < count; ++i) {
      std::string error = ostrel::str(parser.attr("get_error")(i));
      py::print(error);
      errors += "\n" + error;
    }
    ostrel::raise(m.attr("OnnxParseError"), "Failed to parse the ONNX model " + path + ":" + errors);
  }
}

// One optimization profile: every input takes any batch from 1 to `trt_max_batch_size`, its other
// sizes as the network declares them.
void add_batch_profile(py::object builder, py::object network, py::object config, py::object trt_max_batch_size) {
  py::list names, shapes;
  long long inputs = network.attr("num_inputs").cast<long long>();
  for (long long i = 0; i < inputs; ++i) {
    py::object tensor = network.attr("get_input")(i);
    names.append(tensor.attr("name"));
    shapes.append(tensor.attr("shape"));
  }
  py::object profile = builder.attr("create_optimization_profile")();
  for (size_t i = 0; i < names.size(); ++i) {
    py::list rest;
    py::tuple shape(shapes[i]);
    for (size_t d = 1; d < shape.size(); ++d) rest.append(shape[d]);
    py::list low, high;
    low.append(1);
    high.append(trt_max_batch_size);
    for (py::handle d : rest) {
      low.append(d);
      high.append(d);
    }
    profile.attr("set_shape")(names[i], py::arg("min") = low, py::arg("opt") = high, py::arg("max") = high);
  }
  config.attr("add_optimization_profile")(profile);
}

// The precision, the workspace and the batch limit, on the config and, where the TensorRT generation
// still has them, on the builder.
void configure_build(py::module_& m, py::object builder, py::object config, py::object trt_max_batch_size,
                     py::object quantization_level) {
  py::object trt = m.attr("trt");
  if (quantization_level.equal(m.attr("QuantizationLevel").attr("FP16"))) {
    config.attr("set_flag")(trt.attr("BuilderFlag").attr("FP16"));
    try {
      builder.attr("fp16_mode") = true;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  py::int_ workspace(4294967296LL);
  config.attr("max_workspace_size") = workspace;
  try {
    builder.attr("max_workspace_size") = workspace;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  builder.attr("max_batch_size") = trt_max_batch_size;
}

// The builder, network, config and parser are entered as `with` blocks, nested in that order.
py::object build_engine(py::module_ m, py::object onnx_ckpt_path, py::object trt_max_batch_size,
                        py::object quantization_level) {
  py::object trt = m.attr("trt");
  py::object logger = trt.attr("Logger")(trt.attr("Logger").attr("INFO"));
  py::object explicit_batch = py::int_(1).attr("__lshift__")(
      py::int_(trt.attr("NetworkDefinitionCreationFlag").attr("EXPLICIT_BATCH")));
  py::object engine;
  ostrel::with_block(trt.attr("Builder")(logger), [&](py::object builder) {
    ostrel::with_block(builder.attr("create_network")(explicit_batch), [&](py::object network) {
      ostrel::with_block(builder.attr("create_builder_config")(), [&](py::object config) {
        ostrel::with_block(trt.attr("OnnxParser")(network, logger), [&](py::object parser) {
          parse_onnx(m, parser, onnx_ckpt_path);
          add_batch_profile(builder, network, config, trt_max_batch_size);
          configure_build(m, builder, config, trt_max_batch_size, quantization_level);
          engine = builder.attr("build_engine")(network, config);
        });
      });
    });
  });
  return engine ? engine : py::none();
}

py::object quantization_level_from_string(py::module_ m, py::object quantization_level) {
  py::object lowered = quantization_level.attr("lower")();
  py::object cls = m.attr("QuantizationLevel");
  const char* table[][2] = {{"fp32", "FP32"}, {"fp16", "FP16"}, {"int8", "INT8"}, {"hybrid", "HYBRID"}};
  for (auto& row : table)
    if (lowered.equal(py::str(row[0]))) return cls.attr(row[1]);
  ostrel::raise(PyExc_NotImplementedError,
                "Quantization Level: \"" + ostrel::str(lowered) + "\" is not supported");
}

void define_quantization_level(py::module_& m) {
  modtree::ClassBuilder cls(m, "QuantizationLevel");
  cls.base(ostrel::builtin("str")).base(m.attr("Enum"));
  for (auto [member, value] :
       {std::pair{"FP32", "FP32"}, {"FP16", "FP16"}, {"INT8", "INT8"}, {"HYBRID", "Hybrid"}})
    cls.attr(member, py::str(value));
  cls.def(
      "__format__",
      [](py::object self, py::object spec) { return py::str(self.attr("_value_")).format(spec); },
      py::arg("self"), py::arg("format_spec"));
  cls.def_static(
      "from_string", [m](py::object text) { return quantization_level_from_string(m, text); },
      py::arg("quantization_level"));
  cls.build();
}

// Writes `data` as one pickle record at `path` through a temporary file in the same folder, so the path
// holds either its old content or the whole new checkpoint.
void write_checkpoint(py::module_& m, const std::string& path, py::object data) {
  py::object os = m.attr("os");
  std::string temporary = path + ".partial-" + std::to_string(::getpid());
  try {
    ostrel::OpenFile file(py::str(temporary), "wb");
    m.attr("pickle").attr("dump")(data, *file);
    file.close();
    os.attr("replace")(temporary, path);
  } catch (py::error_already_set&) {
    try {
      os.attr("unlink")(temporary);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_OSError)) throw;
    }
    throw;
  }
}

// The command line over sys.argv[1:5]: ONNX input, checkpoint output, quantization level, maximum batch.
// A model that does not parse ends the process with status 1.
void onnx_to_trt_command_line(py::module_& m) {
  py::list argv = m.attr("sys").attr("argv");
  py::object from_model = argv[1];
  py::object to_model = argv[2];
  py::object level = m.attr("QuantizationLevel").attr("from_string")(argv[3]);
  py::object max_batch_size = ostrel::builtin("int")(argv[4]);
  if (!truthy(from_model))
    ostrel::raise(PyExc_ValueError, "Please specify an onnx input file as first argument");
  if (!truthy(to_model))
    ostrel::raise(PyExc_ValueError, "Please specify a trt output file as second argument");
  if (!truthy(m.attr("os").attr("path").attr("exists")(from_model)))
    ostrel::raise(PyExc_ValueError, "The input file does not exist.");
  py::print(py::str("Building engine from file {}").format(from_model));
  py::object engine;
  try {
    engine = m.attr("build_trt_engine_from_onnx_ckpt")(py::arg("onnx_ckpt_path") = from_model,
                                                       py::arg("trt_max_batch_size") = max_batch_size,
                                                       py::arg("quantization_level") = level);
  } catch (py::error_already_set& e) {
    if (!e.matches(m.attr("OnnxParseError"))) throw;
    py::print(e.value(), py::arg("file") = m.attr("sys").attr("stderr"));
    ostrel::raise(ostrel::builtin("SystemExit"), py::int_(1));
  }
  if (engine.is_none())
    ostrel::raise(PyExc_RuntimeError, "TensorRT could not build an engine from " + ostrel::str(from_model) +
                                          "; nothing was written.");
  py::object serialized = ostrel::builtin("bytes")(engine.attr("serialize")());
  py::dict engine_dict;
  engine_dict["engine"] = serialized;
  engine_dict["compiler"] = "trt";
  engine_dict["precision"] = level.attr("value");
  write_checkpoint(m, ostrel::str(to_model), engine_dict);
  py::print("Successfully converted " + ostrel::str(from_model) + " to " + ostrel::str(to_model) +
            " with max batch size " + ostrel::str(max_batch_size) + " and " +
            ostrel::str(level.attr("value")) + " quantization.");
}

}  // namespace

MODTREE_MODULE("test_utils.onnx_to_trt", m) {
  for (const char* name : {"os", "pickle", "sys"}) m.attr(name) = py::module_::import(name);
  m.attr("Enum") = modtree::import_from("enum", "Enum");
  m.attr("GPU_PRESENT") = modtree::import_from("ostrel", "GPU_PRESENT");
  m.attr("LoggerManager") = modtree::import_from("ostrel.common.logger_factory", "LoggerManager");
  m.attr("logger") = m.attr("LoggerManager").attr("get_and_update_logger")("onnx-to-trt-converter");
  try {
    m.attr("trt") = py::module_::import("tensorrt");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    ostrel::log(m.attr("logger"), ostrel::kWarning,
                "problem importing package: \"tensorrt\" (this will effect execution only if using tensorrt)",
                kFile);
  }
  if (!truthy(m.attr("GPU_PRESENT"))) return;
  define_quantization_level(m);
  m.attr("OnnxParseError") = ostrel::builtin("type")(
      "OnnxParseError", py::make_tuple(ostrel::builtin("ValueError")),
      py::dict(py::arg("__module__") = m.attr("__name__"),
               py::arg("__doc__") = py::str("TensorRT's ONNX parser refused the model.")));
  if (!py::hasattr(m, "trt")) ostrel::raise(PyExc_NameError, "name 'trt' is not defined");
  py::object build = modtree::python_function(
      py::cpp_function(
          [m](py::object onnx_ckpt_path, py::object trt_max_batch_size, py::object quantization_level) {
            return build_engine(m, onnx_ckpt_path, trt_max_batch_size, quantization_level);
          },
          py::name("build_trt_engine_from_onnx_ckpt"), py::arg("onnx_ckpt_path"),
          py::arg("trt_max_batch_size"),
          py::arg("quantization_level") = m.attr("QuantizationLevel").attr("FP32"), py::doc(kBuildDoc)),
      "build_trt_engine_from_onnx_ckpt");
  m.attr("build_trt_engine_from_onnx_ckpt") = build;
  if (modtree::running_as_main(m)) onnx_to_trt_command_line(m);
}
