// The TensorRT runner's CUDA context made current for a scope: shared by the engine module and the
// inferencer, which both run work that must belong to the runner's context.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace ostrel {

namespace py = pybind11;

// The runner's CUDA context pushed on the calling thread for the lifetime of this object. Popping takes the
// context off only when it is the current one, so a stack that someone else unbalanced is never made worse.
class PushedContext {
 public:
  explicit PushedContext(py::object context) : context_(std::move(context)) { context_.attr("push")(); }
  PushedContext(const PushedContext&) = delete;
  PushedContext& operator=(const PushedContext&) = delete;
  ~PushedContext() {
    if (!context_) return;
    try {
      pop_own(context_);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("popping the TensorRT runner's CUDA context");
    }
  }
  // Pops now, letting an error of the pop reach the caller.
  void release() {
    py::object context = std::move(context_);
    pop_own(context);
  }

  // Through the context's own class (pycuda's Context), so no module attribute is read: disposal at
  // interpreter exit runs after module dictionaries may have been emptied.
  static bool is_current(py::handle context) {
    return context.attr("__class__").attr("get_current")().is(context);
  }
  static void pop_own(py::handle context) {
    if (is_current(context)) context.attr("__class__").attr("pop")();
  }

 private:
  py::object context_;
};

}  // namespace ostrel
