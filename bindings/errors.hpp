// Python errors raised from the binding code of both packages (ostrel and tests), and the boundary where
// a C++ failure becomes a Python error: C-level functions made from C++ bodies, and the translation of
// native failures that leave a pybind11 function.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <utility>

#include "modtree/args.hpp"
#include "modtree/entry.hpp"

namespace ostrel {

namespace py = pybind11;

// The boundary between C++ and the interpreter (see modtree/entry.hpp).
using modtree::fastcall_method;
using modtree::guarded;
using modtree::noargs_method;
using modtree::raise_from;
using modtree::set_error_in_flight;
using modtree::set_native_error;

// Registers the translation of native failures that leave a pybind11 function of this extension: the
// same mapping as the C-level entry points (modtree/entry.hpp). The translator is local to the calling
// extension (each package's shared object registers its own, once, from its root), so it never handles
// another extension's exceptions and no other extension's translator handles ours.
inline void register_native_errors() {
  static bool done = false;
  if (done) return;
  done = true;
  py::register_local_exception_translator([](std::exception_ptr p) {
    if (!p) return;
    try {
      std::rethrow_exception(p);
    } catch (py::error_already_set&) {
      throw;  // pybind11's own handling
    } catch (py::builtin_exception&) {
      throw;
    } catch (const std::exception& e) {
      set_native_error(e);
    }
  });
}

// Raises the Python exception class `cls` with the given arguments (none: raised bare, as `raise Cls`).
[[noreturn]] inline void raise(py::handle cls, py::object message = py::object()) {
  if (message)
    PyErr_SetObject(cls.ptr(), message.ptr());
  else
    PyErr_SetNone(cls.ptr());
  throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle cls, const std::string& message) { raise(cls, py::str(message)); }

// Raises `exc` with `context` as its __context__ only (an error met while handling another one, no
// explicit cause). The error is restored as is, so no exception handled by a Python caller replaces
// the context.
[[noreturn]] inline void raise_with_context(py::object exc, py::handle context) {
  PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(context).release().ptr());
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr()));
  Py_INCREF(type);
  PyErr_Restore(type, exc.release().ptr(), nullptr);
  throw py::error_already_set();
}

// Calls `obj.<name>()` (name: a str object) and ignores its failure; an error in flight when it is
// called stays in flight. For clean-ups that must not replace the error that led to them.
inline void call_quietly(PyObject* obj, PyObject* name) {
  modtree::SavedError in_flight;
  PyObject* r = PyObject_CallMethodNoArgs(obj, name);
  if (r == nullptr) PyErr_Clear();
  Py_XDECREF(r);
  in_flight.restore();
}

// Holds a Python lock (threading.Lock or RLock) for its lifetime: acquired by the constructor, released
// by the destructor, which keeps an error in flight as it is.
class HeldLock {
 public:
  explicit HeldLock(py::object lock) : lock_(std::move(lock)) {
    static PyObject* const acquire = PyUnicode_InternFromString("acquire");  // process lifetime
    py::object done = py::reinterpret_steal<py::object>(PyObject_CallMethodNoArgs(lock_.ptr(), acquire));
    if (!done) throw py::error_already_set();
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() {
    static PyObject* const release = PyUnicode_InternFromString("release");  // process lifetime
    call_quietly(lock_.ptr(), release);
  }

 private:
  py::object lock_;
};

}  // namespace ostrel
