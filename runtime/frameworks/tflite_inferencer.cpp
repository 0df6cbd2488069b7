// The TFLite back-end: TFLiteInferencer loads a TFLite flat buffer into the LiteRT interpreter
// (ai_edge_litert, else tflite_runtime, else tensorflow.lite), feeds its input tensor, invokes it and
// returns the output tensors. The interpreter's exceptions leave the constructor unchanged.
//
// A model converted with a dynamic batch (-1 on the batch axis of its input's `shape_signature`)
// reports no static batch size; predict resizes its input tensor to the array it is given, and
// allocates the tensors again, only when that shape differs from the one allocated. A call that fails
// resizes the inputs back to the shapes of the last call that worked. A model whose placeholder shape
// cannot be allocated loads at the caller's input_dims, else unallocated until its first call. A model
// whose shapes are fixed refuses any other shape with a message naming the shape it takes.
//
// One interpreter holds one set of tensors: predict serialises its calls on a lock of the inferencer,
// so concurrent calls on one handle each get the outputs of their own inputs.
//
// On the CPU the interpreter runs one thread per physical core. The count is given to the
// interpreter's constructor: a count set after construction does not reach the XNNPACK delegate that
// the interpreter applies by default. There is no GPU delegate here: a model asked for the GPU runs on
// the CPU, with the interpreter's default thread count, and a warning says so.
//
// TFLiteInferencer is a real Python subclass of BaseInferencer whose members are C++ functions.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;

namespace {

constexpr const char* kFile = "ostrel/frameworks/tflite_inferencer.py";
constexpr const char* kNotLoaded = "The tflite model did not load successfully.";
constexpr const char* kGpuOnCpu =
    "TFLite has no GPU support in this build: the model runs on the CPU with the interpreter's default "
    "thread count.";

ostrel::ModuleAttributes mod_attr;  // this module

// An interpreter shape (an integer array) as a tuple of plain integers.
py::tuple shape_of(py::handle sizes) {
  if (PyObject_HasAttr(sizes.ptr(), "tolist"_id.ptr())) {  // a NumPy array gives its items as Python integers
    py::object items = sizes.attr("tolist"_id)();
    if (PyList_CheckExact(items.ptr())) return ostrel::steal(PyList_AsTuple(items.ptr()));
  }
  py::list out;
  for (py::handle size : sizes) out.append(py::int_(py::reinterpret_borrow<py::object>(size)));
  return py::tuple(out);
}

// The interpreter reads a model from a text path only (its first argument): a path whose bytes are not
// UTF-8 is read here and given to it as the model's content (such a folder is refused as no regular
// file, since the interpreter cannot be given its name).
py::object make_interpreter(py::handle checkpoint_file, py::dict options) {
  py::object interpreter_class = mod_attr("tf_lite"_id).attr("Interpreter"_id);
  if (!ostrel::undecodable_path(checkpoint_file)) return interpreter_class(checkpoint_file, **options);
  ostrel::OpenFile file = ostrel::open_regular(checkpoint_file);
  options["model_content"] = file->attr("read"_id)();
  file.close();
  return interpreter_class(**options);
}

// The full shape input `position` is resized to for the caller's `dims` (its shape without the batch
// axis, the batch axis keeping the size the model file holds there), or None when `dims` is no tuple of
// integers or does not fit the input's shape signature.
py::object shape_for_dims(py::handle dims, py::handle placeholder, py::handle signature, py::handle axis) {
  if (!PyTuple_Check(dims.ptr())) return py::none();
  py::list sizes;
  for (py::handle size : dims) {
    if (!PyLong_Check(size.ptr()) || PyBool_Check(size.ptr())) return py::none();
    sizes.append(size);
  }
  const size_t rank = py::len(signature);
  if (!axis.is_none() && sizes.size() + 1 == rank) {
    const auto at = py::int_(py::reinterpret_borrow<py::object>(axis)).cast<Py_ssize_t>();
    sizes.insert(at, py::reinterpret_borrow<py::tuple>(placeholder)[at]);
  }
  py::tuple shape(sizes);
  int fits = ostrel::shape_fits(shape.ptr(), signature.ptr());
  if (fits < 0) throw py::error_already_set();
  return fits ? py::object(shape) : py::object(py::none());
}

// Resizes each input to the caller's `input_dims` where they fit its shape signature and differ from the
// shape the file holds (a placeholder such as [1, 1] for a signature [-1, -1]). True when one was resized.
bool resize_to_input_dims(py::object self, py::handle interpreter, py::list allocated) {
  py::object input_dims = self.attr("_input_dims"_id);
  if (!PyList_Check(input_dims.ptr())) return false;
  py::list signatures = self.attr("_input_signatures"_id);
  py::list ids = self.attr("_input_ids"_id);
  py::object axes = self.attr("_batch_axes"_id)();
  bool resized = false;
  const size_t n = std::min(py::len(input_dims), allocated.size());
  for (size_t i = 0; i < n; ++i) {
    py::object shape = shape_for_dims(input_dims[py::int_(i)], allocated[i], signatures[i], axes[py::int_(i)]);
    if (shape.is_none() || shape.equal(allocated[i])) continue;
    interpreter.attr("resize_tensor_input"_id)(ids[i], py::list(shape));
    allocated[i] = shape;
    resized = true;
  }
  return resized;
}

bool has_dynamic_size(const py::list& signatures) {
  for (py::handle signature : signatures)
    for (py::handle size : signature)
      if (py::int_(py::reinterpret_borrow<py::object>(size)).cast<long long>() < 0) return true;
  return false;
}

// Allocates the tensors: at the caller's `input_dims` when given, else at the shapes the file holds. A
// model with dynamic sizes whose placeholder shapes cannot be allocated (the delegate refuses [1, 1] for
// an input that needs hundreds of samples) loads unallocated: the first call allocates at its own shapes.
void allocate_at_load(py::object self, py::handle interpreter) {
  py::list allocated = self.attr("_input_shapes"_id);
  if (resize_to_input_dims(self, interpreter, allocated)) {
    interpreter.attr("allocate_tensors"_id)();
    return;
  }
  try {
    interpreter.attr("allocate_tensors"_id)();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError) || !has_dynamic_size(self.attr("_input_signatures"_id))) throw;
    for (size_t i = 0; i < allocated.size(); ++i) allocated[i] = py::none();
  }
}

void set_up_interpreter(py::object self) {
  // A FIFO would block the interpreter; a folder is the interpreter's to refuse. The path is read once, so
  // the interpreter is given the name that was checked.
  py::object checkpoint = ostrel::fs_path(self.attr("_checkpoint_file"_id));
  ostrel::refuse_non_regular(checkpoint, /*directory_ok=*/true);
  py::object hardware = self.attr("_inference_hardware"_id);
  py::dict options;
  if (hardware.equal(mod_attr("InferenceHardware"_id).attr("CPU"_id))) {
    options["num_threads"] = mod_attr("NUM_OF_CPUS"_id);
  } else if (hardware.equal(mod_attr("InferenceHardware"_id).attr("GPU"_id))) {
    ostrel::log(self.attr("_logger"_id), ostrel::kWarning, kGpuOnCpu, kFile);
  }
  py::object interpreter = make_interpreter(checkpoint, options);
  self.attr("tflite_interpreter"_id) = interpreter;
  // The details as the file holds them, read before any resizing.
  py::list inputs(interpreter.attr("get_input_details"_id)());
  py::list outputs(interpreter.attr("get_output_details"_id)());
  self.attr("_input_details"_id) = inputs;
  self.attr("_output_details"_id) = outputs;
  py::list input_ids, output_ids;
  for (py::handle d : inputs) input_ids.append(d["index"_id]);
  for (py::handle d : outputs) output_ids.append(d["index"_id]);
  self.attr("_input_ids"_id) = input_ids;
  self.attr("_output_ids"_id) = output_ids;
  py::list allocated, signatures;
  for (py::handle d : inputs) {
    py::tuple shape = shape_of(d["shape"_id]);
    allocated.append(shape);
    signatures.append(ostrel::contains(d, "shape_signature"_id) ? shape_of(d["shape_signature"_id]) : shape);
  }
  self.attr("_input_shapes"_id) = allocated;
  self.attr("_input_signatures"_id) = signatures;
  allocate_at_load(self, interpreter);
}

// No rows: the interpreter's exceptions (a ValueError for a file that is no model among them) and the
// runtime's own leave the constructor unchanged.
ostrel::LoadErrorTable load_errors() { return {mod_attr.module(), {}, ostrel::OtherLoadErrors::kPassThrough}; }

void load_model(py::object self) { ostrel::translating_load_errors([&] { set_up_interpreter(self); }, load_errors); }

void assert_loaded_successfully(py::object self) {
  const ostrel::ComponentCheck check(self);
  for (py::handle name : {"tflite_interpreter"_id, "_input_details"_id, "_output_details"_id, "_input_ids"_id,
                          "_output_ids"_id})
    check(ostrel::attr(self, name), kNotLoaded);
  check(py::bool_(py::len(self.attr("_input_ids"_id)) == 1),
        "The tflite model has multiple inputs, which is not currently supported");
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  for (py::handle name : {"tflite_interpreter"_id, "_input_details"_id, "_output_details"_id, "_input_ids"_id,
                          "_output_ids"_id, "_input_shapes"_id, "_input_signatures"_id})
    if (PyObject_SetAttr(self.ptr(), name.ptr(), Py_None) != 0) throw py::error_already_set();
  self.attr("_lock"_id) = mod_attr("threading"_id).attr("Lock"_id)();
  ostrel::init_base(mod_attr("TFLiteInferencer"_id), self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
}

// The batch the model file fixes; None for a dynamic batch (-1 in the shape signature) and for a
// scalar input, which has no batch axis.
py::object fetch_model_batch_size(py::object self) {
  py::object detail = self.attr("_input_details"_id)[py::int_(0)];
  py::tuple shape = shape_of(detail["shape"_id]);
  py::tuple signature =
      ostrel::contains(detail, "shape_signature"_id) ? shape_of(detail["shape_signature"_id]) : shape;
  if (shape.empty() || signature.empty() || py::int_(signature[0]).cast<long>() < 0) return py::none();
  return shape[0];
}

// Each input's allocated shape without the axis that takes its batch, in plain integers.
py::object fetch_model_input_dimensions(py::object self) {
  py::list shapes;
  for (py::handle d : self.attr("_input_details"_id)) shapes.append(shape_of(d["shape"_id]));
  return self.attr("_without_batch_axes"_id)(shapes);
}

// The inputs as the model file declares them: name and shape signature, -1 for a dynamic size.
py::object declared_inputs(py::object self) {
  py::object details = self.attr("_input_details"_id);
  py::object signatures = self.attr("_input_signatures"_id);
  if (details.is_none() || signatures.is_none()) return py::none();
  py::list out;
  for (size_t i = 0; i < py::len(details); ++i)
    out.append(py::make_tuple(details[py::int_(i)][py::str("name")], signatures[py::int_(i)]));
  return out;
}

py::list fetch_model_input_dtype(py::object self) {
  py::list types;
  for (py::handle d : self.attr("_input_details"_id)) types.append(d["dtype"_id]);
  return types;
}

// ---- prediction -----------------------------------------------------------------------------------

// Makes input `position` take an array of `value`'s shape: nothing when the allocated shape is that
// shape already (or the value is no array); a resize and a new allocation when the shape signature
// allows it; a ValueError naming the shape the model takes otherwise. `_input_shapes` follows the resize
// at once, so a failed allocation is known to restore_inputs.
void fit_input(PyObject* self, PyObject* interpreter, Py_ssize_t position, PyObject* id, PyObject* value) {
  PyObject* got = PyObject_GetAttr(value, "shape"_id.ptr());
  if (got == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return;  // no array: the interpreter answers for it
  }
  py::object shape = ostrel::steal(got);
  py::object allocated = ostrel::steal(PyObject_GetAttr(self, "_input_shapes"_id.ptr()));
  PyObject* current = PyList_GetItem(allocated.ptr(), position);
  if (current == nullptr) throw py::error_already_set();
  int same = PyObject_RichCompareBool(current, shape.ptr(), Py_EQ);
  if (same < 0) throw py::error_already_set();
  if (same == 1) return;
  py::tuple wanted(shape);
  py::object signature = py::handle(self).attr("_input_signatures"_id)[py::int_(position)];
  int fits = ostrel::shape_fits(wanted.ptr(), signature.ptr());
  if (fits < 0) throw py::error_already_set();
  if (!fits) {
    py::object detail = py::handle(self).attr("_input_details"_id)[py::int_(position)];
    ostrel::refuse_input_shape(PyExc_ValueError, py::object(detail[py::str("name")]).ptr(), position,
                               signature.ptr(), wanted.ptr());
    throw py::error_already_set();
  }
  py::handle target(interpreter);
  target.attr("resize_tensor_input"_id)(py::handle(id), py::list(wanted));
  PyList_SetItem(allocated.ptr(), position, wanted.release().ptr());
  target.attr("allocate_tensors"_id)();
}

// After a failed call: every input the call resized goes back to the shape it had before the call
// (`before`, a copy of `_input_shapes`) and the tensors are allocated again, so the next call finds the
// handle as the last call that worked left it (the interpreter keeps a shape it could not allocate). An
// input that had no allocated shape, or one whose restoration fails, is marked None: the next call
// resizes it and allocates.
void restore_inputs(PyObject* self, PyObject* interpreter, PyObject* input_ids, const py::list& before) {
  py::list now = ostrel::steal(PyObject_GetAttr(self, "_input_shapes"_id.ptr()));
  std::vector<size_t> changed;
  for (size_t i = 0; i < before.size() && i < now.size(); ++i)
    if (!py::object(now[i]).equal(before[i])) changed.push_back(i);
  if (changed.empty()) return;
  try {
    bool resized = false;
    for (size_t i : changed) {
      now[i] = py::none();
      if (py::object(before[i]).is_none()) continue;
      py::object id = ostrel::steal(PySequence_GetItem(input_ids, static_cast<Py_ssize_t>(i)));
      py::handle(interpreter).attr("resize_tensor_input"_id)(id, py::list(before[i]));
      resized = true;
    }
    if (resized) py::handle(interpreter).attr("allocate_tensors"_id)();
    for (size_t i : changed) now[i] = before[i];
  } catch (py::error_already_set& e) {
    for (size_t i : changed) now[i] = py::none();
    if (!e.matches(PyExc_Exception)) throw;  // an interrupt meanwhile goes on
  }
}

void set_tensor(PyObject* interpreter, PyObject* id, PyObject* value) {
  PyObject* call_args[4] = {nullptr, interpreter, id, value};
  ostrel::steal(PyObject_VectorcallMethod("set_tensor"_id.ptr(), call_args + 1,
                                          3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `value` (a Python or NumPy number) as a 0-d array of the element type of input `position`.
py::object scalar_as_array(PyObject* self, Py_ssize_t position, PyObject* value) {
  py::object detail = py::handle(self).attr("_input_details"_id)[py::int_(position)];
  return py::module_::import("numpy").attr("asarray"_id)(py::handle(value), py::arg("dtype") = detail[py::str("dtype")]);
}

// Sets input `position` from `value`: a number becomes a 0-d array of the input's element type (the
// interpreter takes arrays), the input is fitted to the array's shape, then set.
void set_input(PyObject* self, PyObject* interpreter, Py_ssize_t position, PyObject* id, PyObject* value) {
  int scalar = ostrel::is_scalar(value);
  if (scalar < 0) throw py::error_already_set();
  py::object as_array;
  if (scalar == 1) {
    as_array = scalar_as_array(self, position, value);
    value = as_array.ptr();
  }
  fit_input(self, interpreter, position, id, value);
  set_tensor(interpreter, id, value);
}

// Sets input `position` from `named` (a dict from input name to value); throws when it is missing or
// the interpreter refuses it.
void set_named_input(PyObject* self, PyObject* interpreter, PyObject* details, Py_ssize_t position, PyObject* named) {
  py::object detail = ostrel::steal(PySequence_GetItem(details, position));
  py::object name = ostrel::steal(PyObject_GetItem(detail.ptr(), "name"_id.ptr()));
  py::object index = ostrel::steal(PyObject_GetItem(detail.ptr(), "index"_id.ptr()));
  PyObject* value = PyDict_GetItemWithError(named, name.ptr());
  if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
  if (value == nullptr || value == Py_None) {
    PyErr_Format(PyExc_RuntimeError,
                 "You have used explicit inputs by passing keyword arguments. The keyword argument (input) '%S' is "
                 "missing.",
                 name.ptr());
    throw py::error_already_set();
  }
  set_input(self, interpreter, position, index.ptr(), value);
}

// Sets every input from `named`; an input the interpreter refuses (or a missing one) becomes a
// ValueError naming the input's id and the inputs the model takes, raised from the refusal.
void set_named_inputs(PyObject* self, PyObject* interpreter, PyObject* input_ids, PyObject* named) {
  py::object details = ostrel::steal(PyObject_GetAttr(self, "_input_details"_id.ptr()));
  Py_ssize_t count = PyObject_Length(input_ids);
  if (count < 0) throw py::error_already_set();
  for (Py_ssize_t i = 0; i < count; ++i) {
    try {
      set_named_input(self, interpreter, details.ptr(), i, named);
    } catch (...) {
      ostrel::set_error_in_flight();
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
      py::error_already_set cause;  // the error in flight
      py::object id = ostrel::steal(PySequence_GetItem(input_ids, i));
      ostrel::raise_from(py::reinterpret_borrow<py::object>(PyExc_ValueError)(
                             "Failed to set the TFLite input with id=" + ostrel::str(id) +
                             ". Supported inputs are: " + ostrel::str(details)),
                         cause.value());
    }
  }
}

// Every output tensor of the last invocation, in output order.
py::object output_tensors(PyObject* self, PyObject* interpreter) {
  py::object output_ids = ostrel::steal(PyObject_GetAttr(self, "_output_ids"_id.ptr()));
  py::object ids = ostrel::steal(PySequence_Fast(output_ids.ptr(), "output ids"));
  Py_ssize_t n = PySequence_Fast_GET_SIZE(ids.ptr());
  py::object out = ostrel::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* call_args[3] = {nullptr, interpreter, PySequence_Fast_ITEMS(ids.ptr())[i]};
    py::object tensor = ostrel::steal(
        PyObject_VectorcallMethod("get_tensor"_id.ptr(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  nullptr));
    PyList_SET_ITEM(out.ptr(), i, tensor.release().ptr());
  }
  return out;
}

// Sets the input tensors from `x` (one array, a list or tuple of arrays in input order, or a mapping by
// input name) or from the keyword arguments by input name, and invokes. Runs under the inferencer's lock.
void run_locked(const ostrel::PredictArgs& call, PyObject* interpreter, PyObject* input_ids) {
  PyObject* self = call.self;
  PyObject* x = call.given_x();
  ostrel::InputsForm form = ostrel::InputsForm::kMapping;
  if (x != nullptr && !ostrel::inputs_form(x, form)) throw py::error_already_set();
  if (form != ostrel::InputsForm::kMapping) {
    py::object items = ostrel::steal(ostrel::inputs_in_order(x, form, nullptr));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) {
      py::object id = ostrel::steal(PySequence_GetItem(input_ids, i));
      set_input(self, interpreter, i, id.ptr(), PyTuple_GET_ITEM(items.ptr(), i));
    }
  } else {
    py::object named =
        ostrel::steal(x != nullptr ? ostrel::inputs_by_name(x, form, nullptr) : ostrel::named_inputs(call));
    set_named_inputs(self, interpreter, input_ids, named.ptr());
  }
  ostrel::steal(PyObject_CallMethodNoArgs(interpreter, "invoke"_id.ptr()));
}

// run_locked, then the outputs; a call that fails leaves the input shapes as they were before it.
py::object predict_locked(const ostrel::PredictArgs& call) {
  PyObject* self = call.self;
  py::object interpreter = ostrel::steal(PyObject_GetAttr(self, "tflite_interpreter"_id.ptr()));
  py::object input_ids = ostrel::steal(PyObject_GetAttr(self, "_input_ids"_id.ptr()));
  py::object shapes = ostrel::steal(PyObject_GetAttr(self, "_input_shapes"_id.ptr()));
  py::list before = ostrel::steal(PySequence_List(shapes.ptr()));
  try {
    run_locked(call, interpreter.ptr(), input_ids.ptr());
    return output_tensors(self, interpreter.ptr());
  } catch (...) {
    ostrel::set_error_in_flight();
    py::error_already_set failure;  // the call's own error, reported whatever the restoration meets
    restore_inputs(self, interpreter.ptr(), input_ids.ptr(), before);
    throw failure;
  }
}


// predict(self, /, x=None, **kwargs): one call at a time on the interpreter (acquiring the lock lets
// other threads run while it waits).
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) throw py::error_already_set();
  py::object lock = ostrel::steal(PyObject_GetAttr(call.self, "_lock"_id.ptr()));
  const ostrel::HeldLock hold(lock);
  return predict_locked(call);
}

PyMethodDef g_predict_def =
    ostrel::fastcall_method<&predict>("predict", "predict($self, /, x=None, **kwargs)\n--\n\n");

// The interpreter package: LiteRT, else the standalone TFLite runtime, else TensorFlow's own. The
// distribution it came from gives the version that benchmarks report.
py::object import_interpreter(py::module_& m) {
  const char* candidates[][2] = {{"ai_edge_litert.interpreter", "ai-edge-litert"},
                                 {"tflite_runtime.interpreter", "tflite-runtime"}};
  for (auto& [module, distribution] : candidates) {
    try {
      py::object found = py::module_::import(module);
      m.attr("_interpreter_distribution"_id) = distribution;
      return found;
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
    }
  }
  py::object found = py::module_::import("tensorflow").attr("lite"_id);
  m.attr("_interpreter_distribution"_id) = "tensorflow-cpu";
  return found;
}

// The installed version of the interpreter's package, "unknown" where the package metadata has none.
py::object interpreter_version() {
  py::object metadata = py::module_::import("importlib.metadata");
  py::object distribution = mod_attr("_interpreter_distribution"_id);
  std::string name = py::str(distribution);
  std::vector<std::string> names = {name};
  if (name == "tensorflow-cpu") names.push_back("tensorflow");
  for (const auto& candidate : names) {
    try {
      return metadata.attr("version"_id)(candidate);
    } catch (py::error_already_set& e) {
      if (!e.matches(metadata.attr("PackageNotFoundError"_id))) throw;
    }
  }
  return py::str("unknown");
}

}  // namespace

MODTREE_MODULE("frameworks.tflite_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("tf_lite"_id) = import_interpreter(m);
  m.attr("threading"_id) = py::module_::import("threading");
  for (const char* name : {"InferenceHardware", "NUM_OF_CPUS"}) m.attr(name) = import_from("ostrel", name);
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("BaseInferencer"_id) = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");

  modtree::ClassBuilder cls(m, "TFLiteInferencer");
  cls.base(m.attr("BaseInferencer"_id));
  ostrel::def_checkpoint_init(cls, &init);
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources",
      [](py::object self) {
        ostrel::delete_instance_resources(
            self, {"tflite_interpreter", "_input_details", "_output_details", "_input_ids", "_output_ids",
                   "_input_shapes", "_input_signatures"});
      },
      py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def("_declared_inputs", &declared_inputs, py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType"_id).attr("TFLITE"_id); });
  cls.def_property("framework_version", [](py::object) { return interpreter_version(); });
  cls.build();
}
