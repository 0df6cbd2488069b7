// Pieces that the framework back-ends' binding code shares: the module accessor, the predict-call
// prologue, the common constructor and its call of the base one, and the release of an instance's
// resources.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "bindings/names.hpp"
#include "modtree/args.hpp"
#include "modtree/classes.hpp"

namespace ostrel {

namespace py = pybind11;
using namespace literals;

// The module a back-end's binding code defines, whose attributes are read at each use so that tests may
// replace them: mod_attr("name"). bind() keeps one reference to the module for the life of the process.
class ModuleAttributes {
 public:
  void bind(const py::module_& m) { module_ = m.inc_ref(); }
  py::handle module() const { return module_; }
  py::object operator()(const char* name) const { return attr(module_, name); }
  py::object operator()(py::handle name) const { return attr(module_, name); }  // mod_attr("x"_id)

 private:
  py::handle module_;
};

// The arguments of a vectorcall of `predict(self, x=None, **kwargs)`: `x` given by position or by
// keyword (its index among the keywords in `x_keyword`, else -1), and the call's keywords. Sets a
// TypeError and returns false where Python would refuse the call.
struct PredictArgs {
  PyObject* self = nullptr;
  PyObject* x = nullptr;  // borrowed; nullptr when not given
  Py_ssize_t x_keyword = -1;
  PyObject* const* kwvalues = nullptr;  // the values of the keywords, in the order of kwnames
  PyObject* kwnames = nullptr;

  Py_ssize_t keyword_count() const { return kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames); }
  // The number of keywords other than `x`: the named inputs.
  Py_ssize_t named_input_count() const { return keyword_count() - (x_keyword >= 0 ? 1 : 0); }
  // `x` when given and not None, else nullptr.
  PyObject* given_x() const { return x == Py_None ? nullptr : x; }
};

inline bool split_predict_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PredictArgs& out) {
  static const modtree::Parameters* const parameters = new modtree::Parameters("predict", {"self", "x"}, 1, {}, false, true);
  PyObject* slots[2];
  Py_ssize_t keyword_index[2];
  if (!parameters->split(args, nargs, kwnames, slots, keyword_index)) return false;
  out.self = slots[0];
  out.x = slots[1];
  out.x_keyword = keyword_index[1];
  out.kwvalues = args + nargs;
  out.kwnames = kwnames;
  return true;
}

// The text of the refusal of a predict call that gives `x` together with keyword inputs.
inline constexpr const char* kBothInputKinds =
    "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs.";

// How a back-end refuses `x` together with keyword inputs: a ValueError with kBothInputKinds, or (the
// torch engine) an AssertionError whose single argument is that ValueError.
enum class BothInputKinds { kValueError, kAssertionOfValueError };

// split_predict_args that also refuses an `x` other than None given together with keyword inputs
// (keywords other than `x`), the way `refusal` names. Sets the error and returns false on refusal.
inline bool split_predict_inputs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PredictArgs& out,
                                 BothInputKinds refusal = BothInputKinds::kValueError) {
  if (!split_predict_args(args, nargs, kwnames, out)) return false;
  if (out.given_x() == nullptr || out.named_input_count() == 0) return true;
  if (refusal == BothInputKinds::kValueError) {
    PyErr_SetString(PyExc_ValueError, kBothInputKinds);
    return false;
  }
  PyObject* value_error = PyObject_CallOneArg(PyExc_ValueError, py::str(kBothInputKinds).ptr());
  if (value_error == nullptr) return false;
  PyObject* assertion_args = PyTuple_Pack(1, value_error);
  Py_DECREF(value_error);
  if (assertion_args == nullptr) return false;
  PyErr_SetObject(PyExc_AssertionError, assertion_args);
  Py_DECREF(assertion_args);
  return false;
}

// The named inputs of a predict call (its keywords without `x`) as a new mapping from input name to
// value, in call order: the feed of the back-ends that take inputs by name. Null with the Python error
// set on failure.
inline PyObject* named_inputs(const PredictArgs& call) {
  PyObject* feed = PyDict_New();
  if (feed == nullptr) return nullptr;
  const Py_ssize_t n = call.keyword_count();
  for (Py_ssize_t i = 0; i < n; ++i)
    if (i != call.x_keyword && PyDict_SetItem(feed, PyTuple_GET_ITEM(call.kwnames, i), call.kwvalues[i]) != 0) {
      Py_DECREF(feed);
      return nullptr;
    }
  return feed;
}

// Whether `dim`, one size of a declared shape, is a fixed size: an integer from 0 up (bool excluded). A
// name, None or a negative number is a dynamic size, which takes any size. -1 with an error set on failure.
inline int fixed_size(PyObject* dim) {
  if (PyBool_Check(dim) || !PyLong_Check(dim)) return 0;
  int negative = PyObject_RichCompareBool(dim, py::int_(0).ptr(), Py_LT);
  return negative < 0 ? -1 : !negative;
}

// 1 when an array of shape `shape` fits the declared shape `expected` (a sequence of sizes): the same
// number of dimensions, each equal to the declared one unless that one is dynamic; 0 when it does not;
// -1 with an error set on failure.
inline int shape_fits(PyObject* shape, PyObject* expected) {
  if (PyTuple_Check(shape) && PyTuple_Check(expected)) {
    int same = PyObject_RichCompareBool(shape, expected, Py_EQ);  // the common case, at once
    if (same != 0) return same;
  }
  py::object got = py::reinterpret_steal<py::object>(PySequence_Fast(shape, "a shape"));
  py::object want = got ? py::reinterpret_steal<py::object>(PySequence_Fast(expected, "a shape")) : py::object();
  if (!want) return -1;
  const Py_ssize_t rank = PySequence_Fast_GET_SIZE(want.ptr());
  if (PySequence_Fast_GET_SIZE(got.ptr()) != rank) return 0;
  for (Py_ssize_t d = 0; d < rank; ++d) {
    PyObject* size = PySequence_Fast_ITEMS(want.ptr())[d];
    int fixed = fixed_size(size);
    if (fixed < 0) return -1;
    if (!fixed) continue;
    int equal = PyObject_RichCompareBool(PySequence_Fast_ITEMS(got.ptr())[d], size, Py_EQ);
    if (equal <= 0) return equal;
  }
  return 1;
}

// Sets `type` with a text naming the shape model input `index` (named `name`) takes, for an array of a
// shape it does not take; the declared shape `expected` shows its dynamic sizes as None. Returns false,
// for `return refuse_input_shape(...)` in a feed.
inline bool refuse_input_shape(PyObject* type, PyObject* name, Py_ssize_t index, PyObject* expected,
                               PyObject* shape) {
  py::object sizes = py::reinterpret_steal<py::object>(PySequence_List(expected));
  if (!sizes) return false;
  for (Py_ssize_t d = 0; d < PyList_GET_SIZE(sizes.ptr()); ++d) {
    int fixed = fixed_size(PyList_GET_ITEM(sizes.ptr(), d));
    if (fixed < 0) return false;
    if (!fixed) {
      Py_INCREF(Py_None);
      PyList_SetItem(sizes.ptr(), d, Py_None);
    }
  }
  py::object declared = py::reinterpret_steal<py::object>(PyList_AsTuple(sizes.ptr()));
  if (!declared) return false;
  PyErr_Format(type, "The model's input %R (index %zd) takes arrays of shape %S; got an array of shape %S.", name,
               index, declared.ptr(), shape);
  return false;
}

// The forms `x` of a predict call takes on every back-end: one value (an array, or a Python or NumPy
// scalar where an input is a scalar), a list or tuple of values in input order, or a mapping from
// input name to value.
enum class InputsForm { kOne, kSequence, kMapping };

namespace detail {

// Whether `x` is one value: a Python number, anything with the buffer protocol (NumPy arrays and
// scalars), or an object that converts to an array (a framework tensor).
inline bool is_one_value(PyObject* x) {
  if (PyObject_CheckBuffer(x) || PyLong_Check(x) || PyFloat_Check(x) || PyComplex_Check(x)) return true;
  if (PyUnicode_Check(x)) return false;
  for (const char* protocol : {"__array__", "__array_interface__", "__array_struct__", "__dlpack__"}) {
    PyObject* attribute = PyObject_GetAttrString(x, protocol);
    if (attribute != nullptr) {
      Py_DECREF(attribute);
      return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
  }
  return false;
}

// Whether `x` is a collections.abc.Mapping; -1 with the error set on failure.
inline int is_mapping(PyObject* x) {
  static PyObject* mapping = nullptr;  // kept for the life of the process
  if (mapping == nullptr) {
    PyObject* abc = PyImport_ImportModule("collections.abc");
    if (abc == nullptr) return -1;
    mapping = PyObject_GetAttrString(abc, "Mapping");
    Py_DECREF(abc);
    if (mapping == nullptr) return -1;
  }
  return PyObject_IsInstance(x, mapping);
}

}  // namespace detail

// Whether `value` is a scalar: a Python number or a NumPy scalar (not a 0-d array); -1 with the error
// set on failure.
inline int is_scalar(PyObject* value) {
  if (PyLong_Check(value) || PyFloat_Check(value) || PyComplex_Check(value)) return 1;
  if (!PyObject_CheckBuffer(value)) return 0;
  // numpy.ndarray and numpy.generic, kept for the life of the process.
  static PyObject* numpy_array = nullptr;
  static PyObject* numpy_scalar = nullptr;
  if (numpy_scalar == nullptr) {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (numpy == nullptr) return -1;
    numpy_array = PyObject_GetAttrString(numpy, "ndarray");
    numpy_scalar = numpy_array == nullptr ? nullptr : PyObject_GetAttrString(numpy, "generic");
    Py_DECREF(numpy);
    if (numpy_scalar == nullptr) return -1;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == numpy_array) return 0;  // the common case, at once
  return PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(numpy_scalar)) ? 1 : 0;
}

// The form of `x` (not None). Anything that is none of the three forms is a TypeError naming the type
// of what was given; returns false with the error set then.
inline bool inputs_form(PyObject* x, InputsForm& form) {
  if (PyList_Check(x) || PyTuple_Check(x)) {
    form = InputsForm::kSequence;
    return true;
  }
  if (PyDict_Check(x)) {
    form = InputsForm::kMapping;
    return true;
  }
  if (detail::is_one_value(x)) {
    form = InputsForm::kOne;
    return true;
  }
  if (PyErr_Occurred()) return false;
  int mapping = detail::is_mapping(x);
  if (mapping < 0) return false;
  if (mapping) {
    form = InputsForm::kMapping;
    return true;
  }
  PyObject* type_name = PyType_GetName(Py_TYPE(x));
  if (type_name == nullptr) return false;
  PyErr_Format(PyExc_TypeError,
               "predict() takes one array, a list or tuple of arrays in input order, or a mapping of input "
               "names to arrays; got a value of type '%U'.",
               type_name);
  Py_DECREF(type_name);
  return false;
}

// The values of `x` in input order, as a new tuple: one value as a tuple of one, a list or tuple as
// its items, a mapping as the values of `names` (the model's input names, in input order). A mapping
// key that names no input, or an input the mapping lacks, is a KeyError naming it and the inputs.
// Null with the error set on failure.
inline PyObject* inputs_in_order(PyObject* x, InputsForm form, PyObject* names) {
  if (form == InputsForm::kOne) return PyTuple_Pack(1, x);
  if (form == InputsForm::kSequence) return PySequence_Tuple(x);
  py::object keys = py::reinterpret_steal<py::object>(PyMapping_Keys(x));
  if (!keys) return nullptr;
  py::object inputs = py::reinterpret_steal<py::object>(PySequence_Tuple(names));
  if (!inputs) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
    int known = PySequence_Contains(inputs.ptr(), PyList_GET_ITEM(keys.ptr(), i));
    if (known < 0) return nullptr;
    if (known == 0) {
      PyErr_Format(PyExc_KeyError, "The model has no input named %R; its inputs are %R.",
                   PyList_GET_ITEM(keys.ptr(), i), inputs.ptr());
      return nullptr;
    }
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(inputs.ptr());
  py::object ordered = py::reinterpret_steal<py::object>(PyTuple_New(n));
  if (!ordered) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* value = PyObject_GetItem(x, PyTuple_GET_ITEM(inputs.ptr(), i));
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
      PyErr_Clear();
      PyErr_Format(PyExc_KeyError, "No value was given for the model's input %R; its inputs are %R.",
                   PyTuple_GET_ITEM(inputs.ptr(), i), inputs.ptr());
      return nullptr;
    }
    PyTuple_SET_ITEM(ordered.ptr(), i, value);
  }
  return ordered.release().ptr();
}

// The feed by input name of `x`: a mapping as a new dict of its items (keys and values as given), one
// value under the first name, a list or tuple item by item under `names` (the model's input names, in
// input order). A sequence of fewer values than inputs is an IndexError; values past the inputs are
// left out. Null with the error set on failure.
inline PyObject* inputs_by_name(PyObject* x, InputsForm form, PyObject* names) {
  if (form == InputsForm::kMapping) {
    PyObject* feed = PyDict_New();
    if (feed != nullptr && PyDict_Merge(feed, x, 1) != 0) Py_CLEAR(feed);
    return feed;
  }
  py::object feed = py::reinterpret_steal<py::object>(PyDict_New());
  if (!feed) return nullptr;
  if (PyTuple_CheckExact(names) && (form == InputsForm::kOne || PyList_CheckExact(x) || PyTuple_CheckExact(x))) {
    // The hot path: no new references.
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    if (form == InputsForm::kOne) {
      if (count == 0) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
      }
      return PyDict_SetItem(feed.ptr(), PyTuple_GET_ITEM(names, 0), x) == 0 ? feed.release().ptr() : nullptr;
    }
    if (PySequence_Fast_GET_SIZE(x) < count) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return nullptr;
    }
    PyObject** items = PySequence_Fast_ITEMS(x);
    for (Py_ssize_t i = 0; i < count; ++i)
      if (PyDict_SetItem(feed.ptr(), PyTuple_GET_ITEM(names, i), items[i]) != 0) return nullptr;
    return feed.release().ptr();
  }
  const Py_ssize_t count = PySequence_Size(names);
  if (count < 0) return nullptr;
  if (form == InputsForm::kOne) {
    py::object name = py::reinterpret_steal<py::object>(PySequence_GetItem(names, 0));
    if (!name || PyDict_SetItem(feed.ptr(), name.ptr(), x) != 0) return nullptr;
    return feed.release().ptr();
  }
  py::object items = py::reinterpret_steal<py::object>(PySequence_Fast(x, "inputs"));
  if (!items) return nullptr;
  if (PySequence_Fast_GET_SIZE(items.ptr()) < count) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    py::object name = py::reinterpret_steal<py::object>(PySequence_GetItem(names, i));
    if (!name || PyDict_SetItem(feed.ptr(), name.ptr(), PySequence_Fast_GET_ITEM(items.ptr(), i)) != 0)
      return nullptr;
  }
  return feed.release().ptr();
}

// Defines the constructor the file back-ends share: __init__(self, checkpoint_file,
// inference_hardware=None, input_dims=None, static_batch_size=None, logging_verbosity=None).
template <typename F>
void def_checkpoint_init(modtree::ClassBuilder& cls, F&& init) {
  py::none none;
  cls.def("__init__", std::forward<F>(init), py::arg("self"), py::arg("checkpoint_file"),
          py::arg("inference_hardware") = none, py::arg("input_dims") = none,
          py::arg("static_batch_size") = none, py::arg("logging_verbosity") = none);
}

// super(cls, self).__init__(...) with the common constructor's arguments, by keyword.
inline void init_base(py::handle cls, py::handle self, py::handle checkpoint_file,
                      py::handle inference_hardware, py::handle input_dims, py::handle static_batch_size,
                      py::handle logging_verbosity) {
  builtin("super"_id)(cls, self)
      .attr("__init__"_id)(py::arg("checkpoint_file") = checkpoint_file,
                           py::arg("inference_hardware") = inference_hardware,
                           py::arg("input_dims") = input_dims, py::arg("static_batch_size") = static_batch_size,
                           py::arg("logging_verbosity") = logging_verbosity);
}

// `self._assert_checkpoint_component(value, message)` for the components a back-end checks after
// loading: `ComponentCheck check(self); check(self.attr("model"_id), "...");` (the method is read once,
// through the instance, so a subclass's own check runs).
class ComponentCheck {
 public:
  explicit ComponentCheck(py::handle self);
  void operator()(py::handle value, const char* message) const;

 private:
  py::object check_;  // the bound method
};

// `self._delete_instance_resource(name)` for each name, in order (defined with the base inferencer).
void delete_instance_resources(py::handle self, std::initializer_list<const char*> names);

// The owner of a new reference that a C-API call returns: `steal(PyObject_GetAttr(o, name))`. A null
// result (the call failed and set the Python error) throws that error, so a body run under the entry
// guard (fastcall_method, guarded) reads straight on, and the reference goes when the owner does.
inline py::object steal(PyObject* o) {
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

}  // namespace ostrel
