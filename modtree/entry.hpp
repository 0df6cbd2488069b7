// The boundary between C++ and the interpreter: what a C++ exception becomes in Python, and the one
// way C-level functions (the functions of a PyMethodDef) are made, so that no C++ exception ever
// leaves one.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <system_error>
#include <type_traits>

namespace modtree {

namespace py = pybind11;

// Raises `exc` (an exception instance) with `cause` as its explicit cause and its context, as
// `raise exc from cause` inside the handler of `cause` does.
[[noreturn]] inline void raise_from(py::object exc, py::handle cause) {
  PyException_SetContext(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
  PyException_SetCause(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

// Sets the Python error a native failure stands for: a system error is the OSError of its errno (the
// constructor picks FileNotFoundError, PermissionError, ...), out of memory is MemoryError, an index
// out of range IndexError, an arithmetic overflow OverflowError, the other logic and range errors
// ValueError, anything else RuntimeError with its text (pybind11's own mapping, with system errors
// added).
inline void set_native_error(const std::exception& e) noexcept {
  if (const auto* sys = dynamic_cast<const std::system_error*>(&e)) {
    if (sys->code().category() == std::generic_category() || sys->code().category() == std::system_category()) {
      PyObject* args = Py_BuildValue("(is)", sys->code().value(), sys->code().message().c_str());
      if (args != nullptr) {
        PyErr_SetObject(PyExc_OSError, args);
        Py_DECREF(args);
      }
      return;
    }
  }
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr)
    PyErr_NoMemory();
  else if (dynamic_cast<const std::out_of_range*>(&e) != nullptr)
    PyErr_SetString(PyExc_IndexError, e.what());
  else if (dynamic_cast<const std::overflow_error*>(&e) != nullptr)
    PyErr_SetString(PyExc_OverflowError, e.what());
  else if (dynamic_cast<const std::invalid_argument*>(&e) != nullptr ||
           dynamic_cast<const std::length_error*>(&e) != nullptr ||
           dynamic_cast<const std::domain_error*>(&e) != nullptr ||
           dynamic_cast<const std::range_error*>(&e) != nullptr)
    PyErr_SetString(PyExc_ValueError, e.what());
  else
    PyErr_SetString(PyExc_RuntimeError, e.what());
}

// Sets the Python error of the exception in flight (call inside a catch block): a Python error is
// restored, pybind11's own exceptions set their class, a native failure maps through set_native_error.
inline void set_error_in_flight() noexcept {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    set_native_error(e);
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// Runs `body` and returns its result (a new reference, or null with the Python error set); an
// exception leaving it becomes the Python error it stands for and the result is null. A body may also
// return a py::object, whose reference is handed over.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    if constexpr (std::is_convertible_v<decltype(body()), PyObject*>)
      return body();
    else
      return py::object(body()).release().ptr();
  } catch (...) {
    set_error_in_flight();
  }
  return nullptr;
}

// The C-level functions made from C++ bodies. `Body` is a function (not a lambda object: its address
// names the C function made for it) returning PyObject* or py::object:
//   fastcall:  Body(self, args, nargs, kwnames)   -> METH_FASTCALL | METH_KEYWORDS
//   noargs:    Body(self)                          -> METH_NOARGS
template <auto Body>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] { return Body(self, args, nargs, kwnames); });
}

template <auto Body>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return Body(self); });
}

// The method records of those functions: `static PyMethodDef def = fastcall_method<&body>("name", doc);`
template <auto Body>
PyMethodDef fastcall_method(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Body>)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <auto Body>
PyMethodDef noargs_method(const char* name, const char* doc) {
  return {name, &noargs_entry<Body>, METH_NOARGS, doc};
}

}  // namespace modtree
