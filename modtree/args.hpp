// Argument splitting for C-level calls (METH_FASTCALL | METH_KEYWORDS), with the interpreter's own
// TypeError texts for every call it would refuse.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

namespace modtree {

// The error in flight, taken off the thread: given back by restore(), dropped by the destructor.
// One spelling for interpreters with and without PyErr_GetRaisedException.
class SavedError {
 public:
  SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value_, &traceback);
    if (type != nullptr) PyErr_NormalizeException(&type, &value_, &traceback);
    if (value_ != nullptr && traceback != nullptr) PyException_SetTraceback(value_, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
#endif
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() { Py_XDECREF(value_); }

  PyObject* value() const noexcept { return value_; }  // borrowed; null when no error was set

  void restore() noexcept {
    if (value_ == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value_));
    Py_INCREF(type);
    PyErr_Restore(type, value_, PyException_GetTraceback(value_));
#endif
    value_ = nullptr;
  }

 private:
  PyObject* value_ = nullptr;
};

// The parameters of a function as the interpreter sees them: positional-or-keyword names in order
// (the first `required` of them have no default), keyword-only names (each required or not), and
// whether *args and **kwargs are accepted. Built once per function; splitting allocates nothing.
class Parameters {
 public:
  Parameters(std::string qualname, std::vector<std::string> positional, std::size_t required,
             std::vector<std::pair<std::string, bool>> keyword_only = {}, bool var_positional = false,
             bool var_keyword = false);

  std::size_t size() const { return names_.size(); }

  // Splits a vectorcall over the parameters: slots[i] receives the value of parameter i (borrowed;
  // nullptr when not given) and keyword_index[i] its position among `kwnames` (-1 when given by
  // position or not at all). Keywords naming no parameter are left to the caller when **kwargs is
  // accepted. Returns false with the interpreter's TypeError set where a Python function of this
  // signature would refuse the call (too many positional arguments, a value given twice, an
  // unexpected keyword, a missing required argument).
  bool split(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
             Py_ssize_t* keyword_index) const;

 private:
  Py_ssize_t find(PyObject* name) const;
  void missing(const std::vector<std::string>& names, bool keyword_only) const;

  std::string qualname_;
  std::vector<PyObject*> names_;  // interned, kept for the life of the process
  std::vector<std::string> texts_;
  std::size_t n_positional_;
  std::size_t required_;
  std::vector<bool> keyword_required_;
  bool var_positional_;
  bool var_keyword_;
};

}  // namespace modtree
