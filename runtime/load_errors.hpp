// The translation of the errors a back-end's framework raises while loading a model: one table per
// back-end says which caught classes become which ostrel error, with which message, and what becomes
// of the rest. Every back-end raises its translated error from the caught one (`raise ... from e`).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/values.hpp"

namespace ostrel {

namespace py = pybind11;

// One row: a caught error that is an instance of one of `caught` becomes `raised` (the name of an
// exception class among the back-end module's attributes) with the message `prefix` followed by the
// caught error's text, or `prefix` alone when `with_text` is false.
struct LoadErrorRule {
  std::vector<py::object> caught;
  const char* raised;
  std::string prefix;
  bool with_text = true;
};

// What becomes of an Exception no row takes: it passes unchanged, or becomes
// FailedToLoadCheckpointError with its text (its class name where the text is empty), or a bare
// OstrelError.
enum class OtherLoadErrors { kPassThrough, kFailedToLoadCheckpoint, kBareOstrelError };

struct LoadErrorTable {
  py::handle module;  // the back-end module, whose attributes name the raised classes
  std::vector<LoadErrorRule> rules;
  OtherLoadErrors others;
};

// Raises the translation of `e` by `table`: the first row that takes it decides. What is not an
// Exception (an interrupt, an exit request) always passes unchanged.
[[noreturn]] inline void raise_load_error(const py::error_already_set& e, const LoadErrorTable& table) {
  if (!e.matches(PyExc_Exception)) throw py::error_already_set(e);
  for (const LoadErrorRule& rule : table.rules)
    for (const py::object& cls : rule.caught)
      if (e.matches(cls)) {
        std::string message = rule.with_text ? rule.prefix + str(e.value()) : rule.prefix;
        raise_from(table.module.attr(rule.raised)(message), e.value());
      }
  switch (table.others) {
    case OtherLoadErrors::kPassThrough:
      break;
    case OtherLoadErrors::kFailedToLoadCheckpoint: {
      std::string message = str(e.value());
      if (message.empty()) message = str(py::type::of(e.value()).attr("__name__"));
      raise_from(table.module.attr("FailedToLoadCheckpointError")(message), e.value());
    }
    case OtherLoadErrors::kBareOstrelError:
      raise_from(table.module.attr("OstrelError")(), e.value());
  }
  throw py::error_already_set(e);
}

// Runs `load` and raises the translation of the error it raises by `table()` (made only on failure).
template <class Load, class Table>
void translating_load_errors(Load&& load, Table&& table) {
  try {
    load();
  } catch (py::error_already_set& e) {
    raise_load_error(e, table());
  }
}

// The classes a row takes, from Python classes: classes({PyExc_RuntimeError, ...}).
inline std::vector<py::object> classes(std::initializer_list<py::handle> items) {
  std::vector<py::object> out;
  for (py::handle item : items) out.push_back(py::reinterpret_borrow<py::object>(item));
  return out;
}

// The rows of the TensorFlow back-ends (SavedModel and Keras): TensorFlow's runtime errors and
// RuntimeError are framework runtime errors, its invalid arguments and ValueError invalid values, each
// with the back-end's prefix.
inline std::vector<LoadErrorRule> tensorflow_load_rules(py::handle tf, const std::string& runtime_prefix,
                                                        const std::string& value_prefix) {
  py::object errors = tf.attr("errors");
  std::vector<py::object> runtime;
  for (const char* name :
       {"OpError", "OperatorNotAllowedInGraphError", "UnknownError", "InternalError", "UnavailableError"})
    runtime.push_back(errors.attr(name));
  runtime.push_back(py::reinterpret_borrow<py::object>(PyExc_RuntimeError));
  return {{runtime, "ModelFrameworkRuntimeError", runtime_prefix},
          {classes({errors.attr("InvalidArgumentError"), PyExc_ValueError}), "ModelValueError", value_prefix}};
}

}  // namespace ostrel
