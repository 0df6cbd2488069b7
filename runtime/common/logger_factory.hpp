// The package's logger update, for the other modules of this extension.
#pragma once

#include <pybind11/pybind11.h>

namespace ostrel {

// `manager.get_and_update_logger(logger_name=name, log_level=level)`.
pybind11::object update_logger(pybind11::handle manager, pybind11::handle name, pybind11::handle level);

}  // namespace ostrel
