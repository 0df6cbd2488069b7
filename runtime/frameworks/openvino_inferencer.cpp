// The OpenVINO back-end: OpenVinoInferencer loads an OpenVINO model (a ".xml" with its ".bin", or a
// pickled or zipped checkpoint unpacked first) with the OpenVINO runtime's `Core`, compiles it for the
// CPU, reports its input names, shapes and element types, predicts with an exact-shape check and
// benchmarks through the base benchmark.
//
// OpenVinoInferencer is a real Python subclass of BaseInferencer whose members are C++ functions; the
// runtime is called through its Python API. Module attributes (Core, format_map, the exception classes,
// the checkpoint functions) are read at each use, so tests may replace them.
//
// Unpacked checkpoints live in a fresh folder of the temporary directory. After a successful load the
// folder holding the XML is removed (only when it lies inside that unpack folder); after a failed load
// the whole unpack folder goes.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;
using ostrel::raise;
using ostrel::truthy;

namespace {

constexpr const char* kFile = "ostrel/frameworks/openvino_inferencer.py";

ostrel::ModuleAttributes mod_attr;  // this module

void log(py::handle self, int level, const std::string& message) {
  ostrel::log(self.attr("_logger"), level, message, kFile);
}

// ---- unpack folders ---------------------------------------------------------------------------------

// The unpack folder that holds `folder`: the entry of the temporary directory, named like the unpackers
// name their folders, on the way down to it. None when `folder` lies anywhere else.
py::object unpack_root_of(py::object folder) {
  py::object os_path = mod_attr("os").attr("path");
  py::object tmp = os_path.attr("realpath")(mod_attr("tempfile").attr("gettempdir")());
  py::object real = os_path.attr("realpath")(folder);
  py::list both;
  both.append(tmp);
  both.append(real);
  if (real.equal(tmp) || !os_path.attr("commonpath")(both).equal(tmp)) return py::none();
  std::string rel = py::str(os_path.attr("relpath")(real, tmp));
  std::string first = rel.substr(0, rel.find('/'));
  if (first.rfind("unpickle_", 0) != 0 && first.rfind("checkpoints_", 0) != 0) return py::none();
  return os_path.attr("join")(tmp, py::str(first));
}

// True when `path` is `root` or lies inside it (both already real paths or resolved here).
bool inside(py::object path, py::object root) {
  py::object os_path = mod_attr("os").attr("path");
  py::object real = os_path.attr("realpath")(path);
  py::list both;
  both.append(root);
  both.append(real);
  return real.equal(root) || os_path.attr("commonpath")(both).equal(root);
}

// After a successful load: removes the folder that holds the unpacked XML, provided it is the unpack
// folder or lies inside it. A failure is logged; the loaded model stays.
void remove_xml_folder(py::object self, py::object xml_path) {
  py::object folder = mod_attr("os").attr("path").attr("dirname")(xml_path);
  py::object root = unpack_root_of(folder);
  if (root.is_none() || !inside(folder, root)) {
    log(self, ostrel::kWarning,
        "Not removing " + ostrel::str(folder) +
            ": it is not inside a folder made for unpacking the checkpoint.");
    return;
  }
  try {
    mod_attr("shutil").attr("rmtree")(folder);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log(self, ostrel::kWarning,
        "Failed to remove the unpacked checkpoint folder " + ostrel::str(folder) + ": " +
            ostrel::str(e.value()));
  }
}

// After a failed load: removes the whole unpack folder of `xml_path` (nothing outside it).
void remove_unpack_folder(py::object self, py::object xml_path) {
  py::object root = unpack_root_of(mod_attr("os").attr("path").attr("dirname")(xml_path));
  if (root.is_none()) return;
  try {
    mod_attr("shutil").attr("rmtree")(root);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log(self, ostrel::kWarning,
        "Failed to remove the unpacked checkpoint folder " + ostrel::str(root) + ": " +
            ostrel::str(e.value()));
  }
}

// ---- loading ----------------------------------------------------------------------------------------

py::tuple deserialize_file_if_needed(py::object checkpoint_file) {
  py::object types = mod_attr("OpenVinoCheckpointTypes");
  py::dict unpackers;
  unpackers[types.attr("ZIP")] = mod_attr("unzip_openvino_checkpoint_file");
  unpackers[types.attr("PICKLE")] = mod_attr("unpickle_openvino_checkpoint_files");
  bool needed = false;
  py::object xml_type = types.attr("XML");
  if (!py::object(checkpoint_file[py::str("type")]).equal(xml_type)) {
    py::object unpack = unpackers[checkpoint_file[py::str("type")]];
    checkpoint_file[py::str("checkpoint_path")] = unpack(checkpoint_file[py::str("checkpoint_path")]);
    checkpoint_file[py::str("type")] = types.attr("XML");
    needed = true;
  }
  return py::make_tuple(checkpoint_file, needed);
}

// The weights beside `xml_path`: its final ".xml" replaced by ".bin". A file named the older way, with
// every ".xml" of the path replaced, is taken only when the first is missing and it exists.
std::string weights_path(const std::string& xml) {
  std::string legacy = xml;
  for (std::size_t at = legacy.find(".xml"); at != std::string::npos; at = legacy.find(".xml", at + 4))
    legacy.replace(at, 4, ".bin");
  if (xml.size() < 4 || xml.compare(xml.size() - 4, 4, ".xml") != 0) return legacy;
  std::string weights = xml.substr(0, xml.size() - 4) + ".bin";
  if (weights == legacy) return weights;
  py::object exists = mod_attr("os").attr("path").attr("exists");
  if (!truthy(exists(weights)) && truthy(exists(legacy))) return legacy;
  return weights;
}

py::tuple input_shape(py::handle input) {
  py::list dims;
  for (py::handle d : input.attr("get_partial_shape")())
    dims.append(truthy(d.attr("is_static")) ? py::object(d.attr("get_length")()) : py::object(py::int_(-1)));
  return py::tuple(dims);
}

py::object load_engine(py::object self, py::object xml_path) {
  py::object core = mod_attr("Core")();
  ostrel::refuse_non_regular(xml_path);  // a FIFO named like a model would block the read
  std::string xml = py::str(xml_path);
  py::object network =
      core.attr("read_model")(py::arg("model") = xml_path, py::arg("weights") = weights_path(xml));
  py::object compiled = core.attr("compile_model")(network, "CPU");
  py::list names, shapes;
  for (py::handle input : compiled.attr("inputs")) {
    names.append(input.attr("get_any_name")());
    shapes.append(input_shape(input));
  }
  self.attr("input_names") = names;
  self.attr("expected_input_shapes") = shapes;
  return compiled;
}

void load_model(py::object self) {
  try {
    py::object pointer =
        mod_attr("OpenVinoCheckpointPointer")
            .attr("get_openvino_checkpoint_pointer_from_path")(self.attr("_checkpoint_file"));
    py::tuple resolved = self.attr("deserialize_file_if_needed")(pointer);
    py::object checkpoint = resolved[0];
    bool needed = truthy(resolved[1]);
    py::object xml_path = checkpoint[py::str("checkpoint_path")];
    try {
      self.attr("model") = self.attr("load_engine")(xml_path);
    } catch (py::error_already_set&) {
      if (needed) remove_unpack_folder(self, xml_path);
      throw;
    }
    if (needed) remove_xml_folder(self, xml_path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // interrupts and exit requests pass unchanged
    std::string message = ostrel::str(e.value());
    if (e.matches(PyExc_RuntimeError))
      ostrel::raise_from(mod_attr("ModelFrameworkRuntimeError")("Framework runtime error: " + message),
                         e.value());
    if (e.matches(PyExc_ValueError))
      ostrel::raise_from(mod_attr("ModelValueError")("Invalid value for OpenVINO model: " + message),
                         e.value());
    if (message.empty()) message = ostrel::str(py::type::of(e.value()).attr("__name__"));
    ostrel::raise_from(mod_attr("FailedToLoadCheckpointError")(message), e.value());
  }
}

void assert_loaded_successfully(py::object self) {
  py::object check = self.attr("_assert_checkpoint_component");
  check(self.attr("model"), "Failed to load the OpenVino model.");
  check(self.attr("input_names"),
        "The model inputs names could not be inferred from the OpenVino checkpoint.");
  check(self.attr("expected_input_shapes"), "Failed to infer the Openvino input shapes from the checkpoint.");
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  // Set before the base constructor, which runs the loading hooks that fill them.
  self.attr("input_names") = py::none();
  self.attr("model") = py::none();
  self.attr("expected_input_shapes") = py::none();
  ostrel::init_base(mod_attr("OpenVinoInferencer"), self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
  log(self, ostrel::kDebug,
      "Loaded the model " + ostrel::str(checkpoint_file) +
          " successfully. Input shape: " + ostrel::str(self.attr("expected_input_shapes")));
}

// ---- shapes, batch and element types ----------------------------------------------------------------

py::object dimensions_from_graph(py::object self) {
  if (!truthy(self.attr("model"))) return py::none();
  return self.attr("expected_input_shapes");
}

py::object fetch_model_input_dimensions(py::object self) {
  py::object graph = self.attr("_get_dimensions_from_graph")();
  if (graph.is_none()) return py::none();
  py::list dims;
  for (py::handle shape : graph) {
    py::tuple all = py::tuple(py::reinterpret_borrow<py::object>(shape));
    dims.append(all[py::slice(1, static_cast<py::ssize_t>(all.size()), 1)]);
  }
  return dims;
}

py::object fetch_model_batch_size(py::object self) {
  py::object batch = self.attr("_is_batch_size_static")(self.attr("_get_dimensions_from_graph")());
  if (!truthy(batch)) return py::none();
  return batch;
}

// The precision name of an element type, as the table names it ("f32" -> "FP32").
py::str precision_name(py::handle element_type) {
  std::string name = py::str(element_type.attr("get_type_name")());
  static const std::pair<const char*, const char*> names[] = {
      {"f32", "FP32"}, {"f16", "FP16"}, {"f64", "FP64"},     {"bf16", "BF16"}, {"i8", "I8"},
      {"i16", "I16"},  {"i32", "I32"},  {"i64", "I64"},      {"u8", "U8"},     {"u16", "U16"},
      {"u32", "U32"},  {"u64", "U64"},  {"boolean", "BOOL"}, {"u1", "BIN"}};
  for (const auto& [type, precision] : names)
    if (name == type) return py::str(precision);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return py::str(name);
}

py::list fetch_model_input_dtype(py::object self) {
  py::object table = mod_attr("format_map");
  py::list types;
  for (py::handle input : self.attr("model").attr("inputs"))
    types.append(table[precision_name(input.attr("get_element_type")())]);
  return types;
}

// ---- benchmark --------------------------------------------------------------------------------------

py::object benchmark(py::object self, py::object batch_size, py::object input_dimensions,
                     py::object duration_sec, py::object repetitions, py::object warmup_calls,
                     py::object include_io, py::object dtype, py::kwargs kwargs) {
  if (batch_size.is_none() && truthy(self.attr("expected_input_shapes")))
    batch_size = self.attr("fetch_model_batch_size")();
  if (input_dimensions.is_none()) input_dimensions = self.attr("input_dims");
  py::dict named = ostrel::keywords({{"batch_size", batch_size},
                                     {"input_dimensions", input_dimensions},
                                     {"repetitions", repetitions},
                                     {"duration_sec", duration_sec},
                                     {"warmup_calls", warmup_calls},
                                     {"include_io", include_io},
                                     {"dtype", dtype}});
  py::object base = ostrel::builtin("super")(mod_attr("OpenVinoInferencer"), self).attr("benchmark");
  return ostrel::call_with(base, named, kwargs);
}

// ---- prediction -------------------------------------------------------------------------------------

PyObject* s_model;
PyObject* s_input_names;
PyObject* s_expected_input_shapes;
PyObject* s_shape;
PyObject* s_values;
PyObject* g_ndarray;

// Builds the feed mapping from `x` (one array, or a sequence of arrays in input order), checking every
// shape exactly against the network's before anything runs.
bool feed_positional(PyObject* self, PyObject* x, PyObject* feed) {
  py::object names = py::reinterpret_steal<py::object>(PyObject_GetAttr(self, s_input_names));
  if (!names) return false;
  py::object shapes = py::reinterpret_steal<py::object>(PyObject_GetAttr(self, s_expected_input_shapes));
  if (!shapes) return false;
  py::object arrays;
  int is_array = PyObject_IsInstance(x, g_ndarray);
  if (is_array < 0) return false;
  if (is_array) {
    arrays = py::reinterpret_steal<py::object>(PyList_New(1));
    if (!arrays) return false;
    Py_INCREF(x);
    PyList_SET_ITEM(arrays.ptr(), 0, x);
  } else {
    arrays = py::reinterpret_borrow<py::object>(x);
  }
  py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(arrays.ptr()));
  if (!it) return false;
  Py_ssize_t i = 0;
  for (;; ++i) {
    py::object array = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
    if (!array) {
      if (PyErr_Occurred()) return false;
      break;
    }
    py::object index = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(i));
    if (!index) return false;
    py::object expected = py::reinterpret_steal<py::object>(PyObject_GetItem(shapes.ptr(), index.ptr()));
    if (!expected) return false;
    py::object shape = py::reinterpret_steal<py::object>(PyObject_GetAttr(array.ptr(), s_shape));
    if (!shape) return false;
    int same = PyObject_RichCompareBool(shape.ptr(), expected.ptr(), Py_EQ);
    if (same < 0) return false;
    if (!same) {
      PyErr_Format(PyExc_AssertionError,
                   "OpenVino's model expects input shape at index %zd: %S, received: %S.", i, expected.ptr(),
                   shape.ptr());
      return false;
    }
    py::object name = py::reinterpret_steal<py::object>(PyObject_GetItem(names.ptr(), index.ptr()));
    if (!name || PyDict_SetItem(feed, name.ptr(), array.ptr()) != 0) return false;
  }
  return true;
}

// predict(self, /, x=None, **kwargs): with `x`, a list of the output arrays in the runtime's order;
// with keyword inputs only, the runtime's own result mapping.
PyObject* predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) return nullptr;
  PyObject* self = call.self;
  PyObject* x = call.x;
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  bool positional_input = x != nullptr && x != Py_None;
  py::object feed = py::reinterpret_steal<py::object>(PyDict_New());
  if (!feed) return nullptr;
  if (positional_input) {
    if (!feed_positional(self, x, feed.ptr())) return nullptr;
  } else {
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (i != call.x_keyword &&
          PyDict_SetItem(feed.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0)
        return nullptr;
  }
  py::object model = py::reinterpret_steal<py::object>(PyObject_GetAttr(self, s_model));
  if (!model) return nullptr;
  py::object result = py::reinterpret_steal<py::object>(PyObject_CallOneArg(model.ptr(), feed.ptr()));
  if (!result || !positional_input) return result.release().ptr();
  py::object values = py::reinterpret_steal<py::object>(PyObject_CallMethodNoArgs(result.ptr(), s_values));
  if (!values) return nullptr;
  return PySequence_List(values.ptr());
}

PyMethodDef g_predict_def = {"predict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&predict)),
                             METH_FASTCALL | METH_KEYWORDS, "predict($self, /, x=None, **kwargs)\n--\n\n"};

// The runtime's table from a precision name to the NumPy element type.
py::dict precision_table() {
  py::object np = py::module_::import("numpy");
  py::dict table;
  const char* rows[][2] = {{"FP32", "float32"}, {"I32", "int32"},  {"FP16", "float16"}, {"I16", "int16"},
                           {"U16", "uint16"},   {"U32", "uint32"}, {"I8", "int8"},      {"U8", "uint8"},
                           {"BOOL", "uint8"},   {"BIN", "int8"},   {"I64", "int64"},    {"U64", "uint64"},
                           {"FP64", "float64"}};
  for (auto& row : rows) table[py::str(row[0])] = np.attr(row[1]);
  return table;
}

}  // namespace

MODTREE_MODULE("frameworks.openvino_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  for (const char* name : {"os", "shutil", "tempfile", "ctypes", "sys"})
    m.attr(name) = py::module_::import(name);
  for (const char* name : {"List", "Tuple", "Optional"}) m.attr(name) = import_from("typing", name);
  m.attr("np") = py::module_::import("numpy");
  py::object openvino;
  try {
    openvino = py::module_::import("openvino");
  } catch (py::error_already_set& e) {
    // Without the runtime there is no back-end: the import fails, naming the extra that installs it.
    if (e.matches(PyExc_ImportError))
      e.value().attr("add_note")("The OpenVINO back-end needs the runtime: pip install 'ostrel[openvino]'");
    throw;
  }
  m.attr("format_map") = precision_table();

  py::object version = m.attr("sys").attr("version_info");
  std::string lib =
      "libpython" + ostrel::str(version.attr("major")) + "." + ostrel::str(version.attr("minor")) + "m.so";
  m.attr("_python_lib_name") = py::str(lib);
  try {
    m.attr("ctypes").attr("CDLL")(m.attr("_python_lib_name"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }

  m.attr("Core") = openvino.attr("Core");
  m.attr("CompiledModel") = openvino.attr("CompiledModel");
  m.attr("get_openvino_version") = openvino.attr("get_version");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("ModelBenchmarks") =
      import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");
  for (const char* name : {"ModelFrameworkRuntimeError", "ModelValueError", "FailedToLoadCheckpointError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("BENCHMARK_WARMUP_CALLS") =
      import_from("ostrel.frameworks.base_inferencer", "BENCHMARK_WARMUP_CALLS");
  for (const char* name : {"OpenVinoCheckpointPointer", "OpenVinoCheckpointTypes",
                           "unzip_openvino_checkpoint_file", "unpickle_openvino_checkpoint_files"})
    m.attr(name) = import_from("ostrel.frameworks.engines.engine_utils.openvino_checkpoint", name);
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  ostrel::intern_names({{&s_model, "model"},
                        {&s_input_names, "input_names"},
                        {&s_expected_input_shapes, "expected_input_shapes"},
                        {&s_shape, "shape"},
                        {&s_values, "values"}});
  if (g_ndarray == nullptr)
      g_ndarray = py::object(m.attr("np").attr("ndarray")).release().ptr();

  py::none none;
  modtree::ClassBuilder cls(m, "OpenVinoInferencer");
  cls.base(m.attr("BaseInferencer"));
  cls.def("__init__", &init, py::arg("self"), py::arg("checkpoint_file"),
          py::arg("inference_hardware") = m.attr("InferenceHardware").attr("CPU"),
          py::arg("input_dims") = none, py::arg("static_batch_size") = none,
          py::arg("logging_verbosity") = none);
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.def_static("deserialize_file_if_needed", &deserialize_file_if_needed, py::arg("checkpoint_file"));
  cls.def("_get_dimensions_from_graph", &dimensions_from_graph, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def("load_engine", &load_engine, py::arg("self"), py::arg("xml_path"));
  cls.def("benchmark", &benchmark, py::arg("self"), py::arg("batch_size") = none,
          py::arg("input_dimensions") = none, py::arg("duration_sec") = none, py::arg("repetitions") = none,
          py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"), py::arg("include_io") = true,
          py::arg("dtype") = none);
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources", [](py::object self) { ostrel::delete_instance_resources(self, {"model"}); },
      py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("OPENVINO"); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("get_openvino_version")(); });
  cls.build();
}
