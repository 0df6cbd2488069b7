// What other modules of the runtime need to know about the timers of ostrel.common.utils.
#pragma once

#include <pybind11/pybind11.h>

namespace ostrel::utils {

namespace py = pybind11;

// True when `obj` is a plain CPUTimer: an instance of ostrel.common.utils.CPUTimer itself (not of a
// subclass) whose start and stop are still the class's own (neither replaced on the class nor shadowed on
// the instance). Such a timer is nothing but a native::CpuTimer, so a caller may time with one of those
// directly instead of calling start()/stop() through Python; set_cpu_timer_starter then leaves the object
// as its own start() would have. False for everything else, and before ostrel.common.utils was imported.
// Needs the GIL.
bool is_cpu_timer(py::handle obj);

// Stores a mark (perf_counter seconds) in the timer's `starter` field, as CPUTimer.start() does.
// Raises (error_already_set) when the attribute cannot be set. Needs the GIL.
void set_cpu_timer_starter(py::handle timer, double starter);

}  // namespace ostrel::utils
