// Pieces that the framework back-ends' binding code shares: the module accessor, the predict-call
// prologue, the common constructor and its call of the base one, the interned attribute names of the
// fast paths, the release of an instance's resources and the translation of TensorFlow's load failures.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "modtree/classes.hpp"
#include "bindings/pyhelpers.hpp"

namespace ostrel {

namespace py = pybind11;

// The module a back-end's binding code defines, whose attributes are read at each use so that tests may
// replace them: mod_attr("name"). bind() keeps one reference to the module for the life of the process.
class ModuleAttributes {
 public:
  void bind(const py::module_& m) { module_ = m.inc_ref(); }
  py::handle module() const { return module_; }
  py::object operator()(const char* name) const { return module_.attr(name); }

 private:
  py::handle module_;
};

// The ValueError text of a predict call that gives `x` together with keyword inputs.
inline constexpr const char* kBothInputKinds =
    "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs.";

// split_predict_args that also refuses, with a ValueError, an `x` other than None given together with
// keyword inputs (keywords other than `x`).
inline bool split_predict_inputs(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PredictArgs& out) {
  if (!split_predict_args(args, nargs, kwnames, out)) return false;
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  if (out.x != nullptr && out.x != Py_None && nkw - (out.x_keyword >= 0 ? 1 : 0) > 0) {
    PyErr_SetString(PyExc_ValueError, kBothInputKinds);
    return false;
  }
  return true;
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
  builtin("super")(cls, self).attr("__init__")(
      py::arg("checkpoint_file") = checkpoint_file, py::arg("inference_hardware") = inference_hardware,
      py::arg("input_dims") = input_dims, py::arg("static_batch_size") = static_batch_size,
      py::arg("logging_verbosity") = logging_verbosity);
}

// Interns each name into its slot, once per process (a filled first slot means done): the attribute
// names a fast path looks up, kept for the life of the process.
inline void intern_names(std::initializer_list<std::pair<PyObject**, const char*>> slots) {
  if (slots.size() == 0 || *slots.begin()->first != nullptr) return;
  for (const auto& [slot, name] : slots) {
    *slot = PyUnicode_InternFromString(name);
    if (*slot == nullptr) throw py::error_already_set();
  }
}

// `self._delete_instance_resource(name)` for each name, in order.
inline void delete_instance_resources(py::handle self, std::initializer_list<const char*> names) {
  py::object remove = self.attr("_delete_instance_resource");
  for (const char* name : names) remove(name);
}

// Raises the error of a TensorFlow load failure `e` (a caught Exception), from `e`: TensorFlow's
// runtime errors and RuntimeError as ModelFrameworkRuntimeError(runtime_prefix + text), invalid
// arguments and ValueError as ModelValueError(value_prefix + text), anything else as
// FailedToLoadCheckpointError(text, or the error's class name where the text is empty). The classes are
// the attributes of `module`; `tf` is the tensorflow module.
[[noreturn]] inline void raise_tf_load_error(py::handle module, py::handle tf, const py::error_already_set& e,
                                             const std::string& runtime_prefix, const std::string& value_prefix) {
  py::object errors = tf.attr("errors");
  auto raise_as = [&](const char* cls, const std::string& prefix) {
    raise_from(module.attr(cls)(prefix + str(e.value())), e.value());
  };
  for (const char* name :
       {"OpError", "OperatorNotAllowedInGraphError", "UnknownError", "InternalError", "UnavailableError"})
    if (e.matches(errors.attr(name))) raise_as("ModelFrameworkRuntimeError", runtime_prefix);
  if (e.matches(PyExc_RuntimeError)) raise_as("ModelFrameworkRuntimeError", runtime_prefix);
  if (e.matches(errors.attr("InvalidArgumentError")) || e.matches(PyExc_ValueError))
    raise_as("ModelValueError", value_prefix);
  std::string message = str(e.value());
  if (message.empty()) message = str(py::type::of(e.value()).attr("__name__"));
  raise_from(module.attr("FailedToLoadCheckpointError")(message), e.value());
}

}  // namespace ostrel
