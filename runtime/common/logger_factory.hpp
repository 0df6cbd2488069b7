// The package's logger update, for the other modules of this extension.
#pragma once

#include <pybind11/pybind11.h>

namespace ostrel {

// `manager.get_and_update_logger(name, log_level=level)`: run here directly while `manager` is the
// LoggerManager this module made, with its methods unchanged; through the class's own method otherwise.
pybind11::object update_logger(pybind11::handle manager, pybind11::handle name, pybind11::handle level);

}  // namespace ostrel
