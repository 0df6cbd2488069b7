// Log records issued from C++ by the binding code of both packages (ostrel and tests) on Python loggers,
// as if from a Python module.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "bindings/names.hpp"

namespace ostrel {

namespace py = pybind11;

// The levels of Python's logging module.
enum LogLevel { kDebug = 10, kInfo = 20, kWarning = 30, kError = 40 };

// Whether `logger` takes records of `level`: a message that costs something to build is built only then.
inline bool log_enabled(py::handle logger, int level) {
  using namespace literals;
  int enabled = PyObject_IsTrue(attr(logger, "isEnabledFor"_id)(level).ptr());
  if (enabled < 0) throw py::error_already_set();
  return enabled != 0;
}

// Logs `message` on `logger` at `level` as if issued from the Python module `module_file`
// ("ostrel/inference/ostrel_manager.py"): records issued from C++ have no Python frame of their own,
// so the record's pathname, and with it %(module)s, is given explicitly. log_unchecked issues the record
// without asking the logger first, for a caller that asked log_enabled already.
inline void log_unchecked(py::handle logger, int level, const std::string& message, const char* module_file) {
  py::object record =
      logger.attr("makeRecord")(logger.attr("name"), level, module_file, 0, message, py::tuple(), py::none());
  logger.attr("handle")(record);
}

inline void log(py::handle logger, int level, const std::string& message, const char* module_file) {
  if (log_enabled(logger, level)) log_unchecked(logger, level, message, module_file);
}

}  // namespace ostrel
