// Files opened from the binding code of both packages (ostrel and tests): the one scope for an open
// file, and the read of a whole file through it.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "bindings/names.hpp"
#include "modtree/args.hpp"

namespace ostrel {

namespace py = pybind11;

// A file open for the life of this object: `OpenFile f(path, "rb"); data = f->attr("read")(); f.close();`.
// close() closes at once and lets its error reach the caller; a scope left by an error closes the file
// on the way out and drops an error of that close, so the error that ended the scope is the one
// reported.
class OpenFile {
 public:
  OpenFile(py::handle path, const char* mode) : file_(builtin("open")(path, mode)) {}
  OpenFile(py::handle path, py::handle mode) : file_(builtin("open")(path, mode)) {}
  explicit OpenFile(py::object file) : file_(std::move(file)) {}  // already open (os.fdopen, for one)
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (!file_) return;
    modtree::SavedError in_flight;  // a Python error set when the scope ends stays the one reported
    try {
      file_.attr("close")();
    } catch (py::error_already_set&) {  // the error in flight is the one to report
    }
    in_flight.restore();
  }
  const py::object& operator*() const { return file_; }
  const py::object* operator->() const { return &file_; }
  void close() {
    py::object file = std::move(file_);
    file.attr("close")();
  }

 private:
  py::object file_;
};

// The whole content of the file at `path` read in `mode` ("rb": bytes, "r": text).
inline py::object read_file(py::handle path, const char* mode = "rb") {
  OpenFile f(path, mode);
  py::object data = f->attr("read")();
  f.close();
  return data;
}

}  // namespace ostrel
