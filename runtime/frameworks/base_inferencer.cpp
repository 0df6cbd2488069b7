// The abstract inferencer every framework back-end derives from: construction sequence, input
// shapes, metadata and legend, and the benchmark engine with its timed loop.
//
// BaseInferencer is a real Python class (abc.ABCMeta) whose members are C++ functions. Every
// hook is called through the instance (`self.attr(...)`), so back-ends written in C++ and Python
// subclasses override it alike. Module constants are read from the module object at each use.
#include <pybind11/stl.h>

#include <cmath>
#include <optional>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/timing.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/common/utils.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

constexpr const char* kFile = "ostrel/frameworks/base_inferencer.py";

void warn_on(py::handle self, const std::string& message) {
  ostrel::log(self.attr("_logger"_id), ostrel::kWarning, message, kFile);
}

ostrel::ModuleAttributes mod_attr;  // this module

using ostrel::truthy;

py::object builtin_range(py::object n) { return ostrel::builtin("range")(n); }

py::object builtin_super(py::object cls, py::object self) { return ostrel::builtin("super"_id)(cls, self); }

// `from ostrel.common.exceptions import <name>`.
py::object exception_class(const char* name) {
  return py::module_::import("ostrel.common.exceptions").attr(name);
}

py::object checked(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

py::object numpy() { return py::module_::import("numpy"); }

// ---- construction -------------------------------------------------------------------------------

void verify_input_dims(py::object /*self*/, py::object value) {
  if (value.is_none()) return;
  if (py::isinstance<py::tuple>(value)) value = py::list(py::make_tuple(value));
  if (!py::isinstance<py::list>(value)) raise(PyExc_AssertionError, "input_dims must be a list");
  py::list dims = value;
  if (dims.empty()) raise(PyExc_AssertionError, "input_dims is an empty list.");
  py::object first = dims[0];
  if (!py::isinstance<py::tuple>(first))
    raise(PyExc_AssertionError, "input_dims first element is not a tuple, got: " + ostrel::str(dims));
  py::tuple shape = first;
  if (shape.empty()) raise(PyExc_AssertionError, "input_dims is an list of an empty tuple.");
  if (!PyLong_Check(shape[0].ptr()))
    raise(PyExc_AssertionError,
          "input_dims must be a list of tuples of ints, representing the inputs shapes, got: " +
              ostrel::str(dims));
}

void set_input_dims(py::object self, py::object value) {
  if (py::isinstance<py::tuple>(value)) value = py::list(py::make_tuple(value));
  self.attr("_BaseInferencer__verify_input_dims"_id)(value);
  self.attr("_input_dims"_id) = value;
}

py::object get_memory(py::object self, py::object attribute, py::object warn) {
  py::object InferenceHardware = mod_attr("InferenceHardware"_id);
  if (self.attr("_inference_hardware"_id).equal(InferenceHardware.attr("GPU"_id))) {
    try {
      py::object GPUtil = mod_attr("GPUtil"_id);
      py::object gpus = GPUtil.attr("getGPUs"_id)();
      return GPUtil.attr("get_memory"_id)(gpus[py::int_(0)], attribute);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_IndexError) && !e.matches(PyExc_NameError)) throw;
    }
    try {
      return mod_attr("jtop"_id).attr("get_memory"_id)(attribute);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_NameError)) throw;
      // Raised while the NameError is handled: it becomes the context.
      py::object error =
          ostrel::builtin("OSError")("Cannot get GPU memory size because jtop could not be imported.");
      ostrel::raise_with_context(error, e.value());
    }
  }
  if (truthy(warn)) warn_on(self, "CPU memory profiling is not currently not supported");
  return py::none();
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object inference_dtype, py::object logging_verbosity) {
  py::object InferenceHardware = mod_attr("InferenceHardware"_id);
  if (inference_hardware.is_none())
    inference_hardware =
        truthy(mod_attr("GPU_PRESENT"_id)) ? InferenceHardware.attr("GPU"_id) : InferenceHardware.attr("CPU"_id);
  self.attr("_checkpoint_file"_id) = checkpoint_file;
  self.attr("_input_dims"_id) = py::none();
  self.attr("input_dims"_id) = input_dims;
  self.attr("_static_batch_size"_id) = static_batch_size;
  self.attr("_inference_hardware"_id) = inference_hardware;
  self.attr("_inference_dtype"_id) = inference_dtype;
  // The next class in the method order after BaseInferencer (ILogger for the base's own bases).
  py::object next_init = builtin_super(mod_attr("BaseInferencer"_id), self).attr("__init__"_id);
  next_init(py::arg("verbosity") = logging_verbosity);
  self.attr("_system_startpoint_memory_used"_id) = self.attr("_get_memory"_id)("used");
  self.attr("_load_model"_id)();
  self.attr("_assert_loaded_successfully"_id)();
  if (self.attr("_input_dims"_id).is_none())
    self.attr("_input_dims"_id) = self.attr("fetch_model_input_dimensions"_id)();
  if (self.attr("_inference_dtype"_id).is_none()) {
    // NotImplementedError counts as no answer (taken off the C level: back-ends that cannot tell raise it
    // on every load).
    static PyObject* const fetch_dtype = PyUnicode_InternFromString("fetch_model_input_dtype");
    py::object dtype = py::reinterpret_steal<py::object>(PyObject_CallMethodNoArgs(self.ptr(), fetch_dtype));
    if (!dtype) {
      if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) throw py::error_already_set();
      PyErr_Clear();
      dtype = py::none();
    }
    self.attr("_inference_dtype"_id) = truthy(dtype) ? dtype : numpy().attr("float32"_id);
  }
  if (self.attr("_input_dims"_id).is_none())
    warn_on(self,
            "The input dimensions for the model were not specified, and they could not be fetched "
            "automatically from " +
                ostrel::str(checkpoint_file) +
                ". Please specify the input dimensions upon benchmark() call.");
  if (self.attr("_static_batch_size"_id).is_none())
    self.attr("_static_batch_size"_id) = self.attr("fetch_model_batch_size"_id)();
}

// ---- the inputs' batch axes ---------------------------------------------------------------------

// True for a dimension an array can be made with: a non-negative integer (bool excluded).
bool concrete_dimension(py::handle dim) {
  if (PyBool_Check(dim.ptr()) || !PyIndex_Check(dim.ptr())) return false;
  Py_ssize_t size = PyNumber_AsSsize_t(dim.ptr(), nullptr);
  if (size == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return size >= 0;
}

// The inputs as the model declares them (`_declared_inputs`): a name and a full shape each, batch axis
// included, in input order; a dynamic size is a name, None or a negative number. Empty when the back-end
// does not tell.
struct DeclaredInput {
  py::object name;
  py::tuple shape;
};

std::vector<DeclaredInput> declared_inputs(py::handle self) {
  std::vector<DeclaredInput> out;
  py::object declared = self.attr("_declared_inputs"_id)();
  if (declared.is_none()) return out;
  for (py::handle entry : declared) {
    py::tuple pair = py::reinterpret_borrow<py::object>(entry);
    out.push_back({pair[0], py::tuple(pair[1])});
  }
  return out;
}

// The axis of each shape that takes the batch, or -1 for a shape that takes none (its sizes are all its
// own). The first shape's first axis is the batch axis (a fixed size 0 excepted: nothing can be batched
// there). Any other shape takes the batch on its first axis that carries the same name as that batch
// axis; else on its first axis when that axis is dynamic or has the same fixed size; else nowhere: a
// recurrent state [2, 1, 128] beside [1, 576], or a broadcast operand [5] beside [3, 4, 5], is taken as
// declared.
std::vector<int> batch_axes(const std::vector<py::tuple>& shapes) {
  std::vector<int> axes(shapes.size(), -1);
  if (shapes.empty()) return axes;
  const bool has_batch = !shapes[0].empty();
  py::object batch = has_batch ? py::object(shapes[0][0]) : py::object();
  const bool fixed_batch = has_batch && concrete_dimension(batch);
  if (has_batch && !(fixed_batch && py::int_(batch).cast<long long>() == 0)) axes[0] = 0;
  for (size_t i = 1; i < shapes.size(); ++i) {
    const py::tuple& shape = shapes[i];
    if (shape.empty()) continue;
    if (has_batch && PyUnicode_Check(batch.ptr())) {
      for (size_t d = 0; d < shape.size(); ++d)
        if (PyUnicode_Check(shape[d].ptr()) && py::object(shape[d]).equal(batch)) {
          axes[i] = static_cast<int>(d);
          break;
        }
      if (axes[i] >= 0) continue;
    }
    py::object first = shape[0];
    if (!concrete_dimension(first))
      axes[i] = 0;
    else if (axes[0] == 0 && fixed_batch && first.equal(batch))
      axes[i] = 0;
  }
  return axes;
}

py::tuple without_axis(const py::tuple& shape, int axis) {
  if (axis < 0) return shape;
  py::list sizes;
  for (size_t d = 0; d < shape.size(); ++d)
    if (static_cast<int>(d) != axis) sizes.append(shape[d]);
  return py::tuple(sizes);
}

// The declared inputs' full shapes and batch axes; both empty when the back-end declares none.
struct InputLayout {
  std::vector<py::tuple> shapes;
  std::vector<int> axes;
  bool knows(size_t i) const { return i < axes.size(); }
  // Input i's dimensions: its declared shape without its batch axis (the whole shape where it takes none).
  py::tuple dimensions(size_t i) const { return without_axis(shapes[i], axes[i]); }
};

InputLayout input_layout(const std::vector<DeclaredInput>& declared) {
  InputLayout layout;
  for (const auto& input : declared) layout.shapes.push_back(input.shape);
  layout.axes = batch_axes(layout.shapes);
  return layout;
}

InputLayout input_layout(py::handle self) { return input_layout(declared_inputs(self)); }

// `_without_batch_axes(shapes)`: each full shape without the axis that takes the batch (a shape that
// takes none stays whole): the input dimensions of a model whose shapes are `shapes`.
py::list without_batch_axes(py::object /*self*/, py::object shapes) {
  std::vector<py::tuple> full;
  for (py::handle shape : shapes) full.push_back(py::tuple(py::reinterpret_borrow<py::object>(shape)));
  std::vector<int> axes = batch_axes(full);
  py::list out;
  for (size_t i = 0; i < full.size(); ++i) out.append(without_axis(full[i], axes[i]));
  return out;
}

// `_batch_axes()`: the batch axis of each declared input (None for an input that takes no batch), or
// None when the back-end declares no inputs.
py::object declared_batch_axes(py::object self) {
  std::vector<DeclaredInput> declared = declared_inputs(self);
  if (declared.empty()) return py::none();
  py::list out;
  for (int axis : input_layout(declared).axes)
    out.append(axis < 0 ? py::object(py::none()) : py::object(py::int_(axis)));
  return out;
}

// ---- metadata, example inputs, legend -------------------------------------------------------------

// The element types of the model's inputs for its example inputs: the described ones, else the
// back-end's. A back-end that cannot tell (NotImplementedError) leaves the inferencer's own where the
// shapes are known; without them that error stands, now saying what to give.
py::object example_element_types(py::object self, const py::list& metadata, py::handle shapes) {
  if (!metadata.empty()) {
    py::list types;
    for (py::handle md : metadata) types.append(md.attr("datatype"_id));
    return types;
  }
  try {
    return self.attr("fetch_model_input_dtype"_id)();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_NotImplementedError)) throw;
    if (truthy(shapes)) return self.attr("_inference_dtype"_id);
    ostrel::raise_from(ostrel::builtin("NotImplementedError")(
                           "Input dimensions were not supplied during initialization and cannot be read from a " +
                           ostrel::str(py::type::of(self).attr("__name__"_id)) +
                           " model: please give them, load(..., input_dims=[...])."),
                       e.value());
  }
}

// The input shapes (without the batch axis) of the described inputs, for a back-end that declares no
// batch axes: a first item that is dynamic, a name, or the model's static batch size is the batch axis.
py::list described_dimensions(const py::list& metadata, py::handle fetched_batch) {
  py::list shapes;
  py::object indicators = mod_attr("DYNAMIC_BATCH_SIZE_INDICATORS"_id);
  for (py::handle md : metadata) {
    py::tuple shape = py::tuple(md.attr("shape"_id));
    if (shape.empty()) {  // a scalar input: no batch axis to drop
      shapes.append(shape);
      continue;
    }
    py::object first = shape[0];
    // A symbolic first dimension ("batch_size", as ONNX models name it) is a dynamic batch too: a
    // name can never be a size, and keeping it would make the array builder fail. A first item
    // equal to the model's static batch size is that batch axis: the example keeps the model's rank.
    if (indicators.contains(first) || PyUnicode_Check(first.ptr()) ||
        (truthy(fetched_batch) && PyLong_Check(first.ptr()) && first.equal(fetched_batch)))
      shapes.append(shape[py::slice(1, static_cast<py::ssize_t>(shape.size()), 1)]);
    else
      shapes.append(shape);
  }
  return shapes;
}

// `shape` with each size the model leaves open (a name, None, a negative number) taken from `given`,
// the caller's dimensions of that input, at the same place; a size the model declares stays as declared.
// A `given` of another rank (or none) fills nothing.
py::tuple with_given_sizes(const py::tuple& shape, py::handle given) {
  if (!py::isinstance<py::tuple>(given) && !py::isinstance<py::list>(given)) return shape;
  py::sequence sizes = py::reinterpret_borrow<py::sequence>(given);
  if (sizes.size() != shape.size()) return shape;
  py::list out;
  for (size_t d = 0; d < shape.size(); ++d) {
    int fixed = ostrel::fixed_size(shape[d].ptr());
    if (fixed < 0) throw py::error_already_set();
    out.append(fixed ? py::object(shape[d]) : py::object(sizes[d]));
  }
  return py::tuple(out);
}

// The model's input shapes (without the batch) with their open sizes filled from `dims`, the
// inferencer's input dimensions (one shape per input, in input order).
py::list filled_from(const py::list& shapes, py::handle dims) {
  py::list given = py::isinstance<py::list>(dims) ? py::reinterpret_borrow<py::list>(dims) : py::list();
  py::list out;
  for (size_t i = 0; i < shapes.size(); ++i) {
    py::tuple shape = shapes[i];
    out.append(i < given.size() ? with_given_sizes(shape, given[i]) : shape);
  }
  return out;
}

// One random batch the model takes. The shapes are the model's own: where the back-end declares its
// inputs, each without its batch axis (which then takes the batch); else the described shapes without a
// first item that is the batch; the inferencer's input dimensions fill only the sizes these leave open.
// A back-end that tells neither gives its input dimensions.
py::object example_inputs(py::object self) {
  py::list metadata = self.attr("inputs_metadata"_id);
  py::object fetched = self.attr("fetch_model_batch_size"_id)();
  py::object batch_size = truthy(fetched) ? fetched : py::int_(1);
  std::vector<DeclaredInput> declared = declared_inputs(self);
  py::object shapes = self.attr("input_dims"_id);
  if (!declared.empty()) {
    py::list full;
    for (const auto& input : declared) full.append(input.shape);
    shapes = filled_from(without_batch_axes(self, full), shapes);
  } else if (!metadata.empty()) {
    shapes = filled_from(described_dimensions(metadata, fetched), shapes);
  }
  py::object dtypes = example_element_types(self, metadata, shapes);
  if (!truthy(shapes))
    raise(PyExc_AssertionError,
          "Input dimensions were not supplied during initialization and could not be inferred");
  if (!truthy(dtypes))
    raise(PyExc_AssertionError,
          "Input data types were not supplied during initialization and could not be inferred.");
  py::object inputs =
      self.attr("_build_dummy_inputs"_id)(py::arg("input_dims") = shapes, py::arg("dtype") = dtypes);
  return self.attr("_build_dummy_batch"_id)(py::arg("dummy_input") = inputs, py::arg("batch_size") = batch_size,
                                         py::arg("dtype") = dtypes);
}

py::dict metadata_for_legend(py::object self) {
  py::object inputs, outputs;
  try {
    inputs = self.attr("_get_inputs_metadata"_id)();
    outputs = self.attr("_get_outputs_metadata"_id)();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_NotImplementedError)) throw;
    warn_on(self, "Legend will not include inputs/outputs metadata (" +
                      ostrel::str(py::type::of(self).attr("__name__"_id)) + " model).");
    inputs = py::none();
    outputs = py::none();
  }
  py::object hardware = self.attr("_inference_hardware"_id);
  py::tuple version = py::make_tuple(self.attr("framework_version"_id));
  py::object type = self.attr("framework_type"_id);
  py::object path = self.attr("_checkpoint_file"_id);
  py::dict legend;
  legend["model_path"] = path;
  legend["model_inputs"] = inputs;
  legend["model_outputs"] = outputs;
  legend["inference_hardware"] = hardware;
  py::dict framework;
  framework["type"] = type;
  framework["version"] = version;
  legend["framework"] = framework;
  py::object extra = self.attr("get_framework_specific_metadata"_id)();
  if (truthy(extra)) legend.attr("update"_id)(extra);
  return legend;
}

// ---- benchmark engine ---------------------------------------------------------------------------

py::list element_types(py::object self, py::object dtype) {
  if (dtype.is_none()) dtype = self.attr("_inference_dtype"_id);  // one type, or one per input
  if (!py::isinstance<py::list>(dtype)) return py::list(py::make_tuple(dtype));
  return dtype;
}

// The name of model input `index` for messages: its declared or described name where the back-end
// tells it, else its position.
std::string input_label(py::object self, size_t index) {
  try {
    std::vector<DeclaredInput> declared = declared_inputs(self);
    if (index < declared.size()) return ostrel::str(py::repr(declared[index].name));
    py::list metadata = self.attr("inputs_metadata"_id);
    if (index < metadata.size()) return "'" + ostrel::str(metadata[index].attr("name"_id)) + "'";
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  return "#" + std::to_string(index);
}

// Refuses, before anything runs, input shapes that keep a symbolic or unknown dimension ("height",
// "?", None, -1): random inputs cannot be made for them, and the caller has to give the sizes.
void require_concrete_shapes(py::object self, const py::list& shapes) {
  for (size_t i = 0; i < shapes.size(); ++i) {
    py::object shape = shapes[i];
    if (!py::isinstance<py::tuple>(shape) && !py::isinstance<py::list>(shape)) continue;
    for (py::handle dim : shape) {
      if (concrete_dimension(dim)) continue;
      py::object error = exception_class("InputDimensionsNotSpecifiedError")();
      error.attr("args"_id) = py::make_tuple(
          "Input " + input_label(self, i) + " has the shape " + ostrel::str(py::tuple(shape)) +
          " (without the batch axis), whose dimension " + ostrel::str(py::repr(dim)) +
          " has no fixed size, so no inputs can be generated for it. Please specify the input shapes "
          "without the batch axis: ostrel.load(..., input_dims=[(3, 224, 224)]) or "
          "benchmark(input_dimensions=[(3, 224, 224)]).");
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
      throw py::error_already_set();
    }
  }
}

// Refuses an input whose element type is unknown (a sequence, an optional or another non-tensor
// input): no random values can stand for it.
void require_element_type(py::object self, size_t index, py::handle type) {
  if (!type.is_none()) return;
  raise(PyExc_ValueError,
        "Input " + input_label(self, index) +
            " is not a tensor of a known element type (a sequence or an optional input, for one), so no "
            "inputs can be generated for it. Please give its values yourself: predict([...]) or "
            "benchmark(..., x=[...]).");
}

// Whether an array of shape `shape` fits the declared shape `declared` (its open sizes take any size).
bool fits(py::handle shape, py::handle declared) {
  int fit = ostrel::shape_fits(shape.ptr(), declared.ptr());
  if (fit < 0) throw py::error_already_set();
  return fit == 1;
}

// Where the dummy input of input `i` made from `given` (a shape without the batch) takes its batch of
// one: a new axis at the input's batch axis when `given` is the input's declared shape without it, the
// whole shape as given (-1) when the input takes no batch and `given` is its declared shape, and a new
// first axis for any other shape.
int batch_insert_axis(const InputLayout& layout, size_t i, const py::tuple& given) {
  if (!layout.knows(i) || !fits(given, layout.dimensions(i))) return 0;
  return layout.axes[i];
}

// The axis along which the dummy input `shape` of input `i` is repeated to a batch, where
// batch_insert_axis placed its batch of one; -1 for an input made as given (a scalar among them).
int batch_repeat_axis(const InputLayout& layout, size_t i, const py::tuple& shape) {
  if (!layout.knows(i)) return shape.empty() ? -1 : 0;
  const int axis = layout.axes[i];
  if (axis == 0 || shape.size() != layout.shapes[i].size()) return 0;
  if (axis < 0) return fits(shape, layout.shapes[i]) ? -1 : 0;
  const bool one = py::int_(1).equal(shape[static_cast<size_t>(axis)]);
  return one && fits(without_axis(shape, axis), layout.dimensions(i)) ? axis : 0;
}

py::list build_dummy_inputs(py::object self, py::object input_dims, py::object dtype) {
  if (py::isinstance<py::tuple>(input_dims)) input_dims = py::list(py::make_tuple(input_dims));
  py::list shapes = input_dims;
  require_concrete_shapes(self, shapes);
  py::list types = element_types(self, dtype);
  if (types.size() != shapes.size()) types = types * py::int_(shapes.size());
  const InputLayout layout = input_layout(self);
  py::object random = numpy().attr("random"_id).attr("random"_id);
  py::object asarray = numpy().attr("asarray"_id);
  py::list out;
  size_t n = std::min(shapes.size(), types.size());
  for (size_t i = 0; i < n; ++i) {
    require_element_type(self, i, types[i]);
    py::tuple given = py::tuple(shapes[i]);
    const int axis = batch_insert_axis(layout, i, given);
    py::list sizes(given);
    if (axis >= 0) sizes.insert(axis, py::int_(1));
    out.append(asarray(random(py::tuple(sizes))).attr("astype"_id)(types[i]));
  }
  return out;
}

py::list build_dummy_batch(py::object self, py::list dummy_input, py::object batch_size, py::object dtype) {
  py::object chosen = truthy(dtype) ? dtype : self.attr("_inference_dtype"_id);
  py::list types = py::isinstance<py::list>(chosen) ? py::list(chosen) : py::list(py::make_tuple(chosen));
  if (types.size() == 1 && dummy_input.size() > 1) types = types * py::int_(dummy_input.size());
  const InputLayout layout = input_layout(self);
  py::object repeat = numpy().attr("repeat"_id);
  py::list out;
  size_t n = std::min(dummy_input.size(), types.size());
  for (size_t i = 0; i < n; ++i) {
    py::object input = dummy_input[i];
    const int axis = batch_repeat_axis(layout, i, py::tuple(input.attr("shape"_id)));
    if (axis < 0)
      out.append(input.attr("astype"_id)(types[i]));
    else
      out.append(repeat(input, batch_size, py::arg("axis") = axis).attr("astype"_id)(types[i]));
  }
  return out;
}

void log_shape(py::object& logger, const std::string& name, py::handle value) {
  auto child = [&](py::handle key) {
    return name.empty() ? ostrel::str(key) : name + "[" + ostrel::str(key) + "]";
  };
  if (PyDict_Check(value.ptr())) {
    for (auto item : py::reinterpret_borrow<py::dict>(value))
      log_shape(logger, child(item.first), item.second);
  } else if (PyList_Check(value.ptr())) {
    py::list l = py::reinterpret_borrow<py::list>(value);
    for (size_t i = 0; i < l.size(); ++i) log_shape(logger, child(py::int_(i)), l[i]);
  } else if (py::hasattr(value, "shape") && py::hasattr(value, "dtype")) {
    ostrel::log(logger, ostrel::kDebug,
                "    " + name + " -> " + ostrel::str(value.attr("shape"_id)) +
                    ", dtype=" + ostrel::str(value.attr("dtype"_id)),
                kFile);
  } else {
    ostrel::log(logger, ostrel::kDebug,
                "    " + name + " -> " + ostrel::str(py::type::of(value).attr("__name__"_id)), kFile);
  }
}

void log_predict_shapes(py::object self, py::object predict_args) {
  py::object logger = self.attr("_logger"_id);
  ostrel::log(logger, ostrel::kDebug, "Benchmarking the model using inputs:", kFile);
  log_shape(logger, "", predict_args);
}

// Items of a Python iterable; range objects from 0 with step 1 are counted natively.
class PyIterItems {
 public:
  explicit PyIterItems(py::handle iterable)
      : it_(py::reinterpret_steal<py::object>(PyObject_GetIter(iterable.ptr()))) {
    if (!it_) throw py::error_already_set();
  }
  std::optional<std::int64_t> next() {
    py::object item = py::reinterpret_steal<py::object>(PyIter_Next(it_.ptr()));
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return std::nullopt;
    }
    return n_++;
  }
  std::size_t ahead() const { return 0; }

 private:
  py::object it_;
  std::int64_t n_ = 0;
};

// A timer with start()/stop() that is not ours: called through Python, looked up once.
class PyTimer {
 public:
  explicit PyTimer(py::object timer) : start_(timer.attr("start"_id)), stop_(timer.attr("stop"_id)) {}
  void start() { ostrel::steal(PyObject_CallNoArgs(start_.ptr())); }
  double stop() {
    const double v = PyFloat_AsDouble(ostrel::steal(PyObject_CallNoArgs(stop_.ptr())).ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
  }

 private:
  py::object start_, stop_;
};

// The measured call: fn(**predict_args), result discarded. Nothing else happens between start and stop.
struct MeasuredCall {
  PyObject* fn;
  PyObject* args;
  PyObject* kwargs;
  int operator()() const {
    ostrel::steal(PyObject_Call(fn, args, kwargs));
    return 0;
  }
};

// An item source that lets pending signals (Ctrl-C) through between items, outside the timed part:
// a measured call that runs no Python code would otherwise never see them.
template <class Items>
struct SignalChecked {
  Items& items;
  std::optional<std::int64_t> next() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    return items.next();
  }
  std::size_t ahead() const { return items.ahead(); }
};

template <class Items>
void timed_loop(Items& plain_items, py::object timer, MeasuredCall& call, std::vector<double>& latencies) {
  SignalChecked<Items> items{plain_items};
  if (ostrel::utils::is_cpu_timer(timer)) {
    ostrel::native::CpuTimer
        native;  // same clock and unit as CPUTimer, without a Python call around the model call
    ostrel::native::run_timed_loop(items, native, call, latencies);
  } else {
    PyTimer py_timer(timer);
    ostrel::native::run_timed_loop(items, py_timer, call, latencies);
  }
}

// A count argument as a C++ integer: an integer as range() takes it (2.7 is refused, not truncated);
// one beyond what a run can count raises OverflowError naming the argument.
std::int64_t count_argument(const char* name, py::handle value) {
  py::object index = checked(PyNumber_Index(value.ptr()));
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0)
    raise(PyExc_OverflowError, std::string(name) + " is out of range: " + ostrel::str(index) +
                                   " (a run counts at most 9223372036854775807 calls)");
  return n;
}

// Recognises range(0, n, 1) so a repetition run needs no Python objects per item.
std::optional<std::int64_t> plain_range_length(py::handle iterable) {
  if (!PyRange_Check(iterable.ptr())) return std::nullopt;
  py::object start = iterable.attr("start"_id), step = iterable.attr("step"_id);
  if (!start.equal(py::int_(0)) || !step.equal(py::int_(1))) return std::nullopt;
  return count_argument("repetitions", iterable.attr("stop"_id));
}

// ---- the time-based item source -----------------------------------------------------------------

// Items per block of a time-based run: the clock is read once per block (the default `resolution` of
// `_timed_benchmark_iter`).
constexpr std::int64_t kTimedBlockItems = 100;

// This module's `_timed_benchmark_iter` as compiled at import, and time.perf_counter as it was then.
py::handle g_timed_iter_fn;
py::handle g_perf_counter;

// The item source benchmark() hands to `_benchmark_loop` for a time-based run: the items of
// `_timed_benchmark_iter(duration, resolution)`, with the duration and the resolution kept as fields.
// The base loop recognises it by its type and runs the same rule natively (the clock read in C++, no
// generator step per item); iterated from Python it is that generator itself, made on first use.
class TimedItems {
 public:
  TimedItems(py::object duration, double seconds, std::int64_t resolution)
      : duration_(std::move(duration)), seconds_(seconds), resolution_(resolution) {}

  // The generator Python iterates; empty once the native loop has run the items.
  py::object iter() {
    if (!generator_) {
      generator_ = taken_ ? py::iter(py::tuple())
                          : py::reinterpret_borrow<py::object>(g_timed_iter_fn)(duration_, resolution_);
    }
    return generator_;
  }

  py::object next() {
    PyObject* item = PyIter_Next(iter().ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      throw py::stop_iteration();
    }
    return py::reinterpret_steal<py::object>(item);
  }

  // The (duration, resolution) of a source Python has not started, once: the native loop takes the
  // items over, and the source is spent afterwards.
  std::optional<std::pair<double, std::int64_t>> take() {
    if (taken_ || generator_) return std::nullopt;
    taken_ = true;
    return std::make_pair(seconds_, resolution_);
  }

 private:
  py::object duration_;  // as the caller gave it: the generator compares the clock with this object
  double seconds_;
  std::int64_t resolution_;
  bool taken_ = false;
  py::object generator_;
};

// The source of a time-based run of `duration_sec`: our own item object while the module's
// `_timed_benchmark_iter` is the one compiled here and the duration a plain number, else what the
// module's function makes.
py::object timed_item_source(py::object duration_sec) {
  py::object source = mod_attr("_timed_benchmark_iter"_id);
  const bool number = PyFloat_Check(duration_sec.ptr()) || PyLong_Check(duration_sec.ptr());
  if (source.is(g_timed_iter_fn) && number) {
    const double seconds = PyFloat_AsDouble(duration_sec.ptr());
    if (!(seconds == -1.0 && PyErr_Occurred()))
      return py::cast(TimedItems(duration_sec, seconds, kTimedBlockItems));
    PyErr_Clear();
  }
  return source(duration_sec);
}

// Whether the module reads the clock the native duration source stands for: a replaced `time` or
// time.perf_counter is honoured by letting the generator run instead.
bool module_clock_untouched() {
  py::object real_time = py::module_::import("time");
  return mod_attr("time"_id).is(real_time) && py::object(real_time.attr("perf_counter"_id)).is(g_perf_counter);
}

// The (duration, resolution) of a time-based source of our own that Python has not started, with the
// module's clock untouched; nothing for any other source, which is iterated as it is.
std::optional<std::pair<double, std::int64_t>> own_timed_iter(py::handle iterable) {
  if (!py::isinstance<TimedItems>(iterable) || !module_clock_untouched()) return std::nullopt;
  return iterable.cast<TimedItems&>().take();
}

// Latency slots reserved before a run; the buffer grows while it runs, so a huge repetition count
// costs memory only for the calls actually made.
constexpr std::size_t kInitialLatencySlots = 4096;

py::tuple benchmark_loop(py::object self, py::object benchmark_iter, py::object include_io,
                         py::object /*benchmark_mode*/, py::kwargs predict_args) {
  std::vector<double> latencies;
  py::object timer = self.attr("_get_timer"_id)();
  py::object fn = truthy(include_io) ? self.attr("predict"_id) : self.attr("_forward_pass"_id);
  py::tuple no_args;
  py::dict kwargs = py::dict(predict_args);
  MeasuredCall call{fn.ptr(), no_args.ptr(), kwargs.ptr()};
  try {
    if (auto n = plain_range_length(benchmark_iter)) {
      ostrel::native::RepetitionItems items(*n);
      latencies.reserve(std::min(items.ahead(), kInitialLatencySlots));
      timed_loop(items, timer, call, latencies);
    } else if (auto timed = own_timed_iter(benchmark_iter)) {
      ostrel::native::DurationItems items(timed->first, timed->second);
      latencies.reserve(kInitialLatencySlots);
      timed_loop(items, timer, call, latencies);
    } else {
      PyIterItems items(benchmark_iter);
      latencies.reserve(kInitialLatencySlots);
      timed_loop(items, timer, call, latencies);
    }
  } catch (py::error_already_set& e) {
    if (e.matches(exception_class("ForwardPassNotImplemented")))
      warn_on(self, "Forward pass only measurement is not available for this inferencer yet.");
    throw;
  }
  if (latencies.empty()) {
    // NumPy's own answer for an empty run: not-a-number, with its runtime warning.
    py::object arr = numpy().attr("array"_id)(py::list(), py::arg("dtype") = "float64");
    return py::make_tuple(numpy().attr("mean"_id)(arr), numpy().attr("var"_id)(arr));
  }
  ostrel::native::MeanVariance mv = ostrel::native::mean_and_variance(latencies);
  // NumPy float64 values, as numpy.mean and numpy.var give them.
  py::object float64 = numpy().attr("float64"_id);
  return py::make_tuple(float64(mv.mean), float64(mv.variance));
}

// ---- benchmark() --------------------------------------------------------------------------------

// The arguments of one benchmark() call, as the caller gave them.
struct BenchmarkRequest {
  py::object batch_size;
  py::object input_dimensions;
  py::object duration_sec;
  py::object repetitions;
  py::object warmup_calls;
  py::object dtype;
  py::object include_io;
  py::object telemetry_dict;
  py::object benchmark_mode;
  py::kwargs predict_args;  // the caller's own inputs, if any
};

// How long a run lasts, settled before anything runs.
struct RunPlan {
  std::int64_t warmup_calls;
  bool time_based;
  py::object duration_sec;  // the duration a time-based run is given (the caller's or the default)
  py::object repetitions;   // the count a repetition run is given
};

// The input shapes of a run: the call's own, else the inferencer's; a run without any is refused.
py::object benchmark_shapes(py::object self, const BenchmarkRequest& request) {
  py::object shapes = truthy(request.input_dimensions) ? request.input_dimensions : self.attr("_input_dims"_id);
  if (py::isinstance<py::tuple>(shapes)) shapes = py::list(py::make_tuple(shapes));
  if (!truthy(shapes)) raise(exception_class("InputDimensionsNotSpecifiedError"));
  return shapes;
}

// The run length is settled and checked before anything runs: warm-up counts and repetition counts a
// run cannot count, and durations that are not a positive number of seconds, are refused. A duration
// wins over a repetition count (which is then not read); without either the run lasts
// BENCHMARK_DURATION.
RunPlan plan_run(const BenchmarkRequest& request) {
  RunPlan plan{count_argument("warmup_calls", request.warmup_calls), false, request.duration_sec,
               request.repetitions};
  std::optional<double> seconds;
  std::optional<std::int64_t> count;
  double default_seconds = 0.0;
  if (truthy(plan.duration_sec)) {
    seconds = py::float_(plan.duration_sec).cast<double>();
  } else if (truthy(plan.repetitions)) {
    count = count_argument("repetitions", plan.repetitions);
    if (*count < 0)
      raise(PyExc_ValueError, "repetitions must not be negative, got " + std::to_string(*count));
  } else {
    plan.duration_sec = mod_attr("BENCHMARK_DURATION"_id);
    default_seconds = py::float_(plan.duration_sec).cast<double>();
    if (!(default_seconds > 0.0))
      raise(PyExc_ValueError, "BENCHMARK_DURATION must be a positive number of seconds, got " +
                                  ostrel::str(py::repr(plan.duration_sec)));
  }
  const ostrel::native::RunLength run = ostrel::native::resolve_run_length(seconds, count, default_seconds);
  if (run.time_based && !(run.duration_sec > 0.0))
    raise(PyExc_ValueError, "duration_sec must be a positive number of seconds, got " +
                                ostrel::str(py::repr(plan.duration_sec)));
  plan.time_based = run.time_based;
  return plan;
}

// The keyword arguments of every predict call of the run: the caller's inputs, else one random batch
// of the run's shapes and element types.
py::dict benchmark_inputs(py::object self, const BenchmarkRequest& request, py::object shapes) {
  if (!request.predict_args.empty()) return py::dict(request.predict_args);
  py::object element_type = truthy(request.dtype) ? request.dtype : self.attr("_inference_dtype"_id);
  py::object inputs =
      self.attr("_build_dummy_inputs"_id)(py::arg("input_dims") = shapes, py::arg("dtype") = element_type);
  py::dict predict_args;
  predict_args["x"] = self.attr("_build_dummy_batch"_id)(py::arg("dummy_input") = inputs,
                                                      py::arg("batch_size") = request.batch_size,
                                                      py::arg("dtype") = element_type);
  return predict_args;
}

// Untimed calls before the run; each output must be a valid one. No output outlives the warm-up.
void run_warm_up(py::object self, std::int64_t calls, const py::dict& predict_args) {
  py::object predict = self.attr("predict"_id);
  ostrel::native::warm_up(calls, [&] {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    py::object out = predict(**predict_args);
    if (!truthy(out))
      raise(PyExc_AssertionError,
            "The model output is not valid. The benchmark can not run in an accurate way, Output: " +
                ostrel::str(out));
  });
}

// The timed run through the `_benchmark_loop` hook: its (mean, variance) in milliseconds.
std::pair<py::object, py::object> timed_run(py::object self, const BenchmarkRequest& request,
                                            const RunPlan& plan, const py::dict& predict_args) {
  py::object items =
      plan.time_based ? timed_item_source(plan.duration_sec) : builtin_range(plan.repetitions);
  py::tuple stats = self.attr("_benchmark_loop"_id)(
      py::arg("benchmark_iter") = items, py::arg("include_io") = request.include_io,
      py::arg("benchmark_mode") = request.benchmark_mode, **predict_args);
  if (stats.size() != 2) throw py::value_error("_benchmark_loop must return (mean, variance)");
  return {stats[0], stats[1]};
}

// The ModelBenchmarks record of a run whose batches took `mean` milliseconds (with `variance`).
py::object benchmark_record(py::object self, const BenchmarkRequest& request, py::object mean,
                            py::object variance) {
  py::object batch_size = request.batch_size;
  py::dict fields;
  fields["batch_size"] = batch_size;
  fields["batch_inf_time"] = mean;
  fields["batch_inf_time_variance"] = variance;
  fields["sample_inf_time"] = checked(PyNumber_TrueDivide(mean.ptr(), batch_size.ptr()));
  fields["model_memory_used"] = self.attr("_model_memory_size"_id);
  fields["system_startpoint_memory_used"] = self.attr("_system_startpoint_memory_used"_id);
  fields["post_inference_memory_used"] = self.attr("_get_memory"_id)("used");
  fields["total_memory_size"] = self.attr("_get_memory"_id)("total");
  // NumPy float64 arithmetic: a mean of zero gives an infinite throughput, not ZeroDivisionError.
  py::object per_batch = checked(PyNumber_TrueDivide(numpy().attr("float64"_id)(1000.0).ptr(), mean.ptr()));
  fields["throughput"] = checked(PyNumber_Multiply(per_batch.ptr(), batch_size.ptr()));
  fields["include_io"] = request.include_io;
  fields["inference_hardware"] = py::str(ostrel::text(self.attr("_inference_hardware"_id))).attr("upper"_id)();
  fields["framework_version"] = self.attr("framework_version"_id);
  fields["framework_type"] = self.attr("framework_type"_id);
  py::object time_mod = py::module_::import("time");
  fields["date"] = time_mod.attr("strftime"_id)("%H:%M:%S__%m-%d-%Y");
  fields["ctime"] = py::int_(time_mod.attr("time"_id)());
  return mod_attr("ModelBenchmarks"_id)(**fields);
}

// Checks the request, prepares the inputs, warms up, runs the timed loop and returns the record.
py::object run_benchmark(py::object self, const BenchmarkRequest& request) {
  py::object record;
  {
    // The caller's own inputs need no shapes.
    py::object shapes = request.predict_args.empty() ? benchmark_shapes(self, request) : py::object(py::none());
    const RunPlan plan = plan_run(request);
    py::dict predict_args = benchmark_inputs(self, request, shapes);
    self.attr("_log_predict_shapes"_id)(predict_args);
    run_warm_up(self, plan.warmup_calls, predict_args);
    if (!request.telemetry_dict.is_none()) predict_args["telemetry_dict"] = request.telemetry_dict;
    auto [mean, variance] = timed_run(self, request, plan, predict_args);
    record = benchmark_record(self, request, mean, variance);
  }  // the inputs and the item source are released before collecting
  py::module_::import("gc").attr("collect"_id)();
  return record;
}

py::object benchmark(py::object self, py::object batch_size, py::object input_dimensions,
                     py::object duration_sec, py::object repetitions, py::object warmup_calls,
                     py::object dtype, py::object include_io, py::object telemetry_dict,
                     py::object benchmark_mode, py::kwargs predict_args) {
  return run_benchmark(self, {batch_size, input_dimensions, duration_sec, repetitions, warmup_calls, dtype,
                              include_io, telemetry_dict, benchmark_mode, predict_args});
}

// ---- the module ---------------------------------------------------------------------------------

// The names this module's code and its users read from it.
void import_names(py::module_& m) {
  using modtree::import_from;
  m.attr("gc"_id) = py::module_::import("gc");
  m.attr("time"_id) = py::module_::import("time");
  m.attr("pathlib"_id) = py::module_::import("pathlib");
  m.attr("np"_id) = py::module_::import("numpy");
  m.attr("ABC"_id) = import_from("abc", "ABC");
  m.attr("InferenceHardware"_id) = import_from("ostrel", "InferenceHardware");
  m.attr("BenchmarkMode"_id) = import_from("ostrel", "BenchmarkMode");
  m.attr("ModelBenchmarks"_id) =
      import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");
  m.attr("TensorMetadata"_id) = import_from("ostrel.common.data_classes.tensor_metadata", "TensorMetadata");
  for (const char* name :
       {"InputDimensionsNotSpecifiedError", "FailedToLoadCheckpointError", "ForwardPassNotImplemented"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("ILogger"_id) = import_from("ostrel.common.logger_factory", "ILogger");
  m.attr("get_timer"_id) = import_from("ostrel.common.utils", "get_timer");
  m.attr("cached_property"_id) = import_from("ostrel.common.utils", "cached_property");
  m.attr("GPUtil"_id) = import_from("ostrel.common.utils", "GPUtilWrapper");
  m.attr("jtop"_id) = import_from("ostrel.common.utils", "jtopWrapper");
  m.attr("GPU_PRESENT"_id) = import_from("ostrel.inference.config", "GPU_PRESENT");
}

// The module constants (read from the module at each use, so callers may change them).
void define_constants(py::module_& m) {
  m.attr("BENCHMARK_DURATION"_id) = 60.0;
  m.attr("BENCHMARK_WARMUP_CALLS"_id) = 100;
  py::list indicators;
  for (py::object v : {py::object(py::int_(-1)), py::object(py::int_(0)), py::object(py::str("N")),
                       py::object(py::none()), py::object(py::bool_(false))})
    indicators.append(v);
  m.attr("DYNAMIC_BATCH_SIZE_INDICATORS"_id) = indicators;
}

// A cached_property of this module whose getter is `fn`.
py::object cached(const char* name, py::object (*fn)(py::object)) {
  return mod_attr("cached_property"_id)(py::cpp_function(fn, py::name(name), py::arg("self")));
}

[[noreturn]] py::object not_implemented(py::object) { raise(PyExc_NotImplementedError); }

py::object class_name(py::handle self) { return py::type::of(self).attr("__name__"_id); }

// What every back-end provides (abstract) or may replace: loading, disposal, prediction, model facts.
void def_backend_hooks(modtree::ClassBuilder& cls) {
  py::none none;
  cls.def_abstract("_assert_loaded_successfully", &not_implemented, py::arg("self"));
  cls.def_abstract("_load_model", &not_implemented, py::arg("self"));
  cls.def_abstract(
      "_dispose_all_resources",
      [](py::object self) -> py::object {
        raise(PyExc_NotImplementedError,
              "Please implement a __dispose_all_resources method for " + ostrel::str(class_name(self)));
      },
      py::arg("self"));
  cls.def_abstract(
      "predict", [](py::object, py::object, py::kwargs) -> py::object { raise(PyExc_NotImplementedError); },
      py::arg("self"), py::arg("x") = none);
  cls.def(
      "_forward_pass",
      [](py::object, py::object, py::kwargs) -> py::object {
        raise(exception_class("ForwardPassNotImplemented"));
      },
      py::arg("self"), py::arg("x"));
  cls.def_abstract_property("framework_type", &not_implemented);
  cls.def_abstract_property("framework_version", &not_implemented);
  cls.def(
      "fetch_model_input_dimensions", [](py::object) { return py::none(); }, py::arg("self"));
  cls.def(
      "fetch_model_input_dtype", [](py::object) { return py::none(); }, py::arg("self"));
  cls.def(
      "fetch_model_batch_size", [](py::object) { return py::none(); }, py::arg("self"));
  // The inputs as the model declares them, [(name, full shape), ...], where the back-end reads them;
  // they place the batch in example and dummy inputs and fix the batch sizes a benchmark may use.
  cls.def(
      "_declared_inputs", [](py::object) { return py::none(); }, py::arg("self"));
}

void assert_checkpoint_component(py::object, py::object value, py::object error_message) {
  if (!truthy(value)) raise(exception_class("FailedToLoadCheckpointError"), error_message);
}

void delete_instance_resource(py::object self, py::str attribute_name) {
  if (py::hasattr(self, attribute_name)) py::delattr(self, attribute_name);
}

// Construction, the checks it offers back-ends, and disposal.
void def_construction(modtree::ClassBuilder& cls) {
  py::none none;
  cls.def("__init__", &init, py::arg("self"), py::arg("checkpoint_file"),
          py::arg("inference_hardware") = none, py::arg("input_dims") = none,
          py::arg("static_batch_size") = none, py::arg("inference_dtype") = none,
          py::arg("logging_verbosity") = none);
  cls.def("_assert_checkpoint_component", &assert_checkpoint_component, py::arg("self"), py::arg("value"),
          py::arg("error_message"));
  cls.def("_delete_instance_resource", &delete_instance_resource, py::arg("self"), py::arg("attribute_name"));
  cls.def("_BaseInferencer__verify_input_dims", &verify_input_dims, py::arg("self"), py::arg("value"));
  cls.def(
      "__del__", [](py::object self) { self.attr("_dispose_all_resources"_id)(); }, py::arg("self"));
}

// The settings of an inferencer, the batch size rule and the call shorthand.
void def_properties(modtree::ClassBuilder& cls) {
  cls.def_property("checkpoint_file", [](py::object self) { return self.attr("_checkpoint_file"_id); });
  cls.def_property("inference_dtype", [](py::object self) { return self.attr("_inference_dtype"_id); });
  cls.def_property("inference_hardware", [](py::object self) { return self.attr("_inference_hardware"_id); });
  cls.def_property_rw(
      "static_batch_size", [](py::object self) { return self.attr("_static_batch_size"_id); },
      [](py::object self, py::object value) { self.attr("_static_batch_size"_id) = value; });
  cls.def_property_rw(
      "input_dims", [](py::object self) { return self.attr("_input_dims"_id); }, &set_input_dims);
  cls.def("_without_batch_axes", &without_batch_axes, py::arg("self"), py::arg("shapes"));
  cls.def("_batch_axes", &declared_batch_axes, py::arg("self"));
  cls.def_static(
      "_is_batch_size_static",
      [](py::object dimensions) -> py::object {
        if (dimensions.is_none() || !PyList_CheckExact(dimensions.ptr())) return py::bool_(false);
        py::list dims = dimensions;
        if (dims.empty()) raise(PyExc_IndexError, "list index out of range");
        py::object first = dims[0];
        if (py::hasattr(first, "__iter__")) {
          py::sequence shape = first;
          // A first input without any axis (a scalar) has no batch: dynamic, so that such a model loads.
          if (py::len(shape) == 0) return py::bool_(false);
          first = shape[0];
        }
        if (PyLong_Check(first.ptr()) && first > py::int_(0)) return first;
        return py::bool_(false);
      },
      py::arg("dimensions"));
  cls.def(
      "__call__",
      [](py::object self, py::object x, py::kwargs kwargs) { return self.attr("predict"_id)(x, **kwargs); },
      py::arg("self"), py::arg("x"));
}

// Metadata of the model's tensors, example inputs, the legend and layer profiles.
void def_metadata(modtree::ClassBuilder& cls) {
  cls.attr("inputs_metadata", cached("inputs_metadata", [](py::object self) -> py::object {
             return self.attr("_get_inputs_metadata"_id)();
           }));
  cls.attr("outputs_metadata", cached("outputs_metadata", [](py::object self) -> py::object {
             return self.attr("_get_outputs_metadata"_id)();
           }));
  cls.def(
      "_get_inputs_metadata", [](py::object) { return py::list(); }, py::arg("self"));
  cls.def(
      "_get_outputs_metadata", [](py::object) { return py::list(); }, py::arg("self"));
  cls.def_property("example_inputs", &example_inputs);
  cls.def(
      "get_framework_specific_metadata", [](py::object) { return py::dict(); }, py::arg("self"));
  cls.def("_get_metadata_for_legend", &metadata_for_legend, py::arg("self"));
  cls.def(
      "_print_legend",
      [](py::object self) {
        py::module_::import("pprint").attr("pprint"_id)(self.attr("_get_metadata_for_legend"_id)(),
                                                     py::arg("indent") = 2);
      },
      py::arg("self"));
  cls.def_property("legend", [](py::object self) { return self.attr("_get_metadata_for_legend"_id)(); });
  cls.def(
      "get_bottlenecks",
      [](py::object self, py::object num_layers) {
        return self.attr("get_layers_profile_dataframe"_id)().attr("nlargest"_id)(num_layers, "ms");
      },
      py::arg("self"), py::arg("num_layers") = 10);
  cls.def(
      "get_layers_profile_dataframe",
      [](py::object self) -> py::object {
        raise(PyExc_NotImplementedError,
              "get_layers_profile_dataframe is not implemented for " + ostrel::str(class_name(self)));
      },
      py::arg("self"));
}

// The declared types of benchmark's parameters and result.
modtree::Declared benchmark_types(py::module_& m) {
  using modtree::typing_subscript;
  py::object int_type = modtree::ClassBuilder::builtin("int");
  py::object float_type = modtree::ClassBuilder::builtin("float");
  py::object shape = typing_subscript("Tuple", py::make_tuple(int_type, py::ellipsis()));
  py::object text_keyed =
      py::make_tuple(modtree::ClassBuilder::builtin("str"), modtree::import_from("typing", "Any"));
  return {{"batch_size", int_type},
          {"input_dimensions", typing_subscript("List", shape)},
          {"duration_sec", typing_subscript("Optional", float_type)},
          {"repetitions", typing_subscript("Optional", int_type)},
          {"warmup_calls", int_type},
          {"dtype", m.attr("np").attr("dtype")},
          {"telemetry_dict", typing_subscript("Optional", typing_subscript("Dict", text_keyed))},
          {"benchmark_mode", typing_subscript("Optional", m.attr("BenchmarkMode"))},
          {"return", m.attr("ModelBenchmarks")}};
}

// Timing: the benchmark and its loop, dummy inputs, the timer, timed predictions, memory figures.
void def_benchmark(modtree::ClassBuilder& cls, py::module_& m) {
  py::none none;
  // The default of warmup_calls is bound now, from the module constant as it stands at class creation.
  cls.def("benchmark", &benchmark, py::arg("self"), py::arg("batch_size") = none,
          py::arg("input_dimensions") = none, py::arg("duration_sec") = none, py::arg("repetitions") = none,
          py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"_id), py::arg("dtype") = none,
          py::arg("include_io") = true, py::arg("telemetry_dict") = none, py::arg("benchmark_mode") = none);
  cls.annotate("benchmark", benchmark_types(m));
  cls.def("_benchmark_loop", &benchmark_loop, py::arg("self"), py::kw_only(), py::arg("benchmark_iter"),
          py::arg("include_io") = true, py::arg("benchmark_mode") = none);
  cls.def("_log_predict_shapes", &log_predict_shapes, py::arg("self"), py::arg("predict_args"));
  cls.def("_build_dummy_inputs", &build_dummy_inputs, py::arg("self"), py::arg("input_dims"),
          py::arg("dtype") = none);
  cls.def("_build_dummy_batch", &build_dummy_batch, py::arg("self"), py::arg("dummy_input"),
          py::arg("batch_size"), py::arg("dtype") = none);
  cls.def(
      "_get_timer", [](py::object self) { return mod_attr("get_timer"_id)(self.attr("_inference_hardware"_id)); },
      py::arg("self"));
  cls.def(
      "timed_predict",
      [](py::object self, py::object x) {
        py::object timer = self.attr("_get_timer"_id)();
        timer.attr("start"_id)();
        py::object out = self.attr("predict"_id)(x);
        py::object ms = timer.attr("stop"_id)();
        return py::make_tuple(out, ms);
      },
      py::arg("self"), py::arg("x"));
  cls.def("_get_memory", &get_memory, py::arg("self"), py::arg("attribute") = "used",
          py::arg("warn") = false);
  cls.attr("_model_memory_size", cached("_model_memory_size", [](py::object self) -> py::object {
             return self.attr("_get_model_size"_id)();
           }));
  cls.def(
      "_get_model_size",
      [](py::object self) { return ostrel::model_size_mib(self.attr("_checkpoint_file"_id)); },
      py::arg("self"));
}

void define_base_inferencer(py::module_& m) {
  modtree::ClassBuilder cls(m, "BaseInferencer");
  cls.base(m.attr("ILogger"_id)).base(m.attr("ABC"_id));
  cls.attr("_dynamic_batch_size_indicators", m.attr("DYNAMIC_BATCH_SIZE_INDICATORS"_id));
  def_backend_hooks(cls);
  def_construction(cls);
  def_properties(cls);
  def_metadata(cls);
  def_benchmark(cls, m);
  cls.build();
}

// The time-based item source is a real generator, so it is written as one: a Python generator
// function compiled at import, with this module's namespace as its globals.
constexpr const char* kTimedIterSource = R"(
def _timed_benchmark_iter(benchmark_duration_sec: float, resolution: int = 100):
    iter_base = 0
    start_time = time.perf_counter()
    # A positive duration runs its first block however short it is.
    while (iter_base == 0 and benchmark_duration_sec > 0) or (
        time.perf_counter() - start_time < benchmark_duration_sec
    ):
        yield from range(iter_base, iter_base + resolution)
        iter_base += resolution
)";

// `_timed_benchmark_iter`, and the item object of our own that benchmark() uses in its place.
void define_timed_source(py::module_& m) {
  py::object builtins = py::module_::import("builtins");
  builtins.attr("exec"_id)(builtins.attr("compile"_id)(kTimedIterSource, m.attr("__file__"_id), "exec"),
                        m.attr("__dict__"_id));
  // Kept for the life of the process: item objects made from an earlier import still call theirs.
  g_timed_iter_fn = py::object(m.attr("_timed_benchmark_iter"_id)).release();
  if (!g_perf_counter)
    g_perf_counter = py::object(py::module_::import("time").attr("perf_counter"_id)).release();

  static py::handle items_type;  // one class per process: a repeated import shares it
  if (!items_type) {
    items_type = py::class_<TimedItems>(m, "_TimedBenchmarkItems", py::module_local())
                     .def("__iter__", &TimedItems::iter)
                     .def("__next__", &TimedItems::next)
                     .release();
  }
  m.attr("_TimedBenchmarkItems"_id) = items_type;
}

}  // namespace

ostrel::ComponentCheck::ComponentCheck(py::handle self) : check_(self.attr("_assert_checkpoint_component"_id)) {}

void ostrel::ComponentCheck::operator()(py::handle value, const char* message) const { check_(value, message); }

void ostrel::delete_instance_resources(py::handle self, std::initializer_list<const char*> names) {
  py::object remove = self.attr("_delete_instance_resource"_id);
  for (const char* name : names) remove(name);
}

MODTREE_MODULE("frameworks.base_inferencer", m) {
  mod_attr.bind(m);
  import_names(m);
  define_constants(m);
  define_base_inferencer(m);
  define_timed_source(m);
}
