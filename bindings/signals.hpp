// Signals met by native work of both packages (ostrel and tests): Ctrl-C between steps run without the
// GIL, and SIGTERM turned into an interrupt while work that leaves something behind runs.
#pragma once

#include <pybind11/pybind11.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>

namespace ostrel {

namespace py = pybind11;

// Asked between steps of native work that runs without the GIL: at most every 50 ms it takes the GIL and
// runs the pending signal handlers. True once one of them raised (KeyboardInterrupt): the work stops, and
// error() holds that error to be raised unchanged.
class SignalPoll {
 public:
  bool operator()() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + std::chrono::milliseconds(50);
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    error_.emplace();
    return true;
  }
  std::optional<py::error_already_set>& error() { return error_; }

 private:
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
  std::optional<py::error_already_set> error_;
};

// Work that leaves something behind when the process ends abruptly (an unpack into a new folder, a load
// that removes that folder at its end) runs under a TerminationAsInterrupt. SIGTERM under its default
// action would end the process at once, before that work's clean-up; while a guard is in scope it is
// handled like Ctrl-C instead: the signal is noted, the interpreter is told of a SIGINT (so Python code and
// SignalPoll end the work with KeyboardInterrupt, on the main thread), and check() raises KeyboardInterrupt
// on the guarded thread once one came. When the last guard ends, the caller's disposition is back and a
// SIGTERM that came meanwhile is raised again, ending the process as its sender asked. A SIGTERM that
// anything else handles (a Python handler, SIG_IGN, a library's handler) is left to it: no guard installs.
class TerminationAsInterrupt {
 public:
  TerminationAsInterrupt() {  // with the GIL
    const bool main_thread = on_main_thread();
    std::lock_guard<std::mutex> lock(state().mutex);
    State& s = state();
    if (s.depth == 0) {
      struct sigaction current{};
      if (::sigaction(SIGTERM, nullptr, &current) != 0) return;
      if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) return;
      struct sigaction handler{};
      handler.sa_handler = &TerminationAsInterrupt::on_terminate;
      sigemptyset(&handler.sa_mask);
      handler.sa_flags = 0;  // no SA_RESTART: a blocking call returns, and Python looks at its signals
      s.requested.store(false);
      if (::sigaction(SIGTERM, &handler, &s.saved) != 0) return;
    }
    ++s.depth;
    active_ = true;
    main_thread_ = main_thread;
    if (main_thread_) s.main_thread_guards.fetch_add(1);
  }
  TerminationAsInterrupt(const TerminationAsInterrupt&) = delete;
  TerminationAsInterrupt& operator=(const TerminationAsInterrupt&) = delete;

  ~TerminationAsInterrupt() {  // no Python: safe while an exception unwinds
    if (!active_) return;
    std::unique_lock<std::mutex> lock(state().mutex);
    State& s = state();
    if (main_thread_) s.main_thread_guards.fetch_sub(1);
    if (--s.depth > 0) return;
    ::sigaction(SIGTERM, &s.saved, nullptr);
    const bool requested = s.requested.exchange(false);
    lock.unlock();
    if (requested) ::raise(SIGTERM);
  }

  // Raises KeyboardInterrupt when a SIGTERM came while the guard was in scope (call with the GIL).
  void check() const {
    if (!active_ || !state().requested.load()) return;
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
  }

 private:
  struct State {
    std::mutex mutex;
    int depth = 0;
    struct sigaction saved {};
    std::atomic<bool> requested{false};
    std::atomic<int> main_thread_guards{0};
  };
  static State& state() {
    static State* s = new State();  // process lifetime: read by the signal handler
    return *s;
  }
  static bool on_main_thread() {
    py::object main = py::module_::import("threading").attr("main_thread")();
    return py::int_(main.attr("ident")).cast<unsigned long>() == PyThread_get_thread_ident();
  }
  static void on_terminate(int) {  // async-signal-safe: atomics and Python's own signal entry
    State& s = state();
    s.requested.store(true);
    if (s.main_thread_guards.load() > 0) PyErr_SetInterruptEx(SIGINT);
  }

  bool active_ = false;
  bool main_thread_ = false;
};

}  // namespace ostrel
