// Reading checkpoint files, shared by the back-ends: model paths as the operating system takes them
// (str, bytes or path-like, undecodable bytes included), the refusal of files that are not regular before
// they are opened, and pickled records read through the native restricted reader (native/pickle_reader),
// which builds plain data only.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "native/model_files.hpp"
#include "native/pickle_reader.hpp"
#include "bindings/pyhelpers.hpp"

namespace ostrel {

namespace py = pybind11;

// The path as text, the way os.fsdecode gives it: bytes (and str with undecodable bytes, as os.listdir
// returns them) keep every byte through surrogate escapes.
inline py::object fs_path(py::handle path) {
  if (PyUnicode_CheckExact(path.ptr())) return py::reinterpret_borrow<py::object>(path);
  py::object given = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!given) throw py::error_already_set();
  if (PyUnicode_Check(given.ptr())) return given;
  PyObject* decoded = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(given.ptr()), PyBytes_GET_SIZE(given.ptr()));
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(decoded);
}

// The path as bytes, the way os.fsencode gives it (NUL bytes kept: the open that follows refuses them).
inline py::bytes fs_bytes(py::handle path) {
  py::object given = py::reinterpret_steal<py::object>(PyOS_FSPath(path.ptr()));
  if (!given) throw py::error_already_set();
  if (PyBytes_Check(given.ptr())) return py::reinterpret_steal<py::bytes>(given.release());
  PyObject* encoded = PyUnicode_EncodeFSDefault(given.ptr());
  if (encoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(encoded);
}

// The path for native code (os.fsencode's bytes).
inline std::filesystem::path native_path(py::handle path) { return std::filesystem::path(std::string(fs_bytes(path))); }

// The footprint of a model in MiB: its checkpoint entry (a file, or every file under a folder) and the
// `companions` it reads beside it (weights, external data), each counted once. A checkpoint that no
// longer exists is a FileNotFoundError.
inline py::object model_size_mib(py::handle checkpoint, const std::vector<std::filesystem::path>& companions = {}) {
  py::module_::import("os").attr("stat")(checkpoint);  // FileNotFoundError for a path gone since the load
  const std::uint64_t bytes = native::model_files_bytes(native_path(checkpoint), companions);
  return py::float_(static_cast<double>(bytes) / 1048576.0);
}

// True when `path` (as fs_path gives it) cannot be handed to a library that takes UTF-8 text.
inline bool undecodable_path(py::handle path) {
  PyObject* encoded = PyUnicode_AsUTF8String(PyUnicode_Check(path.ptr()) ? path.ptr() : fs_path(path).ptr());
  if (encoded == nullptr) {
    PyErr_Clear();
    return true;
  }
  Py_DECREF(encoded);
  return false;
}

// stat() of `path` (links followed) into `st`; false when it names nothing: missing, unreachable, or
// holding a NUL byte (which an open refuses).
inline bool stat_path(py::handle path, struct stat& st) {
  const py::bytes encoded = fs_bytes(path);
  const char* name = PyBytes_AS_STRING(encoded.ptr());
  if (std::strlen(name) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))) return false;
  return ::stat(name, &st) == 0;
}

// Raises OSError(EINVAL) naming the path when it exists and is neither a regular file nor (when
// `directory_ok`) a directory: a FIFO, a device or a socket, which could block or never end when opened.
// Nothing is opened; a path that does not exist is left to the caller's open.
inline void refuse_non_regular(py::handle path, bool directory_ok = false) {
  struct stat st{};
  if (!stat_path(path, st)) return;  // left to the caller's open
  if (S_ISREG(st.st_mode) || (directory_ok && S_ISDIR(st.st_mode))) return;
  py::object error = builtin("OSError")(EINVAL, "Not a regular file: a model is read only from a regular file",
                                        fs_path(path));
  PyErr_SetObject(PyExc_OSError, error.ptr());
  throw py::error_already_set();
}

// open(path, "rb") of a regular file; other files are refused (refuse_non_regular) before the open.
inline py::object open_regular(py::handle path) {
  refuse_non_regular(path);
  return builtin("open")(fs_path(path), "rb");
}

// Consecutive pickled records of an open file, each turned into Python objects. Errors:
//   EOFError("Ran out of input")      no record left
//   `forbidden(message)`              a record that names a global or a call it may not run
//   pickle.UnpicklingError(message)   a damaged or truncated record (also a file that shrank meanwhile)
class CheckpointRecords {
 public:
  CheckpointRecords(py::handle file, py::object forbidden) : forbidden_(std::move(forbidden)) {
    const int fd = file.attr("fileno")().cast<int>();
    try {
      file_.emplace(fd);
    } catch (const std::system_error& e) {
      errno = e.code().value();
      PyErr_SetFromErrno(PyExc_OSError);
      throw py::error_already_set();
    }
  }

  py::object next() {
    try {
      const native::PickleRecord record = file_->next();
      made_.assign(record.nodes.size(), py::object());
      py::object out = object(record, record.root);
      made_.clear();
      return out;
    } catch (const native::PickleReadError& e) {
      made_.clear();
      using Cause = native::PickleReadError::Cause;
      if (e.cause() == Cause::kEndOfInput) raise(PyExc_EOFError, e.what());
      if (e.cause() == Cause::kForbidden) raise(forbidden_, e.what());
      raise(py::module_::import("pickle").attr("UnpicklingError"), e.what());
    }
  }

 private:
  // Payloads are copied out of the file without the interpreter's lock when they are large.
  void copy(std::string_view payload, char* to) const {
    if (payload.size() < (std::size_t{1} << 20)) return file_->copy(payload, to);
    py::gil_scoped_release unlocked;
    file_->copy(payload, to);
  }
  std::string text_of(std::string_view payload) const {
    std::string out(payload.size(), '\0');
    copy(payload, out.data());
    return out;
  }

  // Containers are made empty and remembered before their items, so a container that holds itself through
  // the memo comes out as such. The reader bounds the depth, so the recursion here is bounded too.
  py::object object(const native::PickleRecord& record, std::size_t index) {
    if (made_[index]) return made_[index];
    const native::PickleNode& n = record.nodes[index];
    using Kind = native::PickleNode::Kind;
    switch (n.kind) {
      case Kind::kNone:
        return made_[index] = py::none();
      case Kind::kBool:
        return made_[index] = py::bool_(n.flag);
      case Kind::kInt:
        return made_[index] = py::int_(n.integer);
      case Kind::kFloat:
        return made_[index] = py::float_(n.real);
      case Kind::kBigInt: {
        if (n.data.empty()) return made_[index] = py::int_(0);
        const std::string bytes = text_of(n.data);
        return made_[index] = builtin("int").attr("from_bytes")(py::bytes(bytes), "little",
                                                               py::arg("signed") = true);
      }
      case Kind::kBytes:
      case Kind::kByteArray: {
        // Made at its size and filled once, from the file.
        const bool mutable_bytes = n.kind == Kind::kByteArray;
        const auto size = static_cast<Py_ssize_t>(n.data.size());
        PyObject* b = mutable_bytes ? PyByteArray_FromStringAndSize(nullptr, size)
                                    : PyBytes_FromStringAndSize(nullptr, size);
        if (b == nullptr) throw py::error_already_set();
        py::object out = py::reinterpret_steal<py::object>(b);
        copy(n.data, mutable_bytes ? PyByteArray_AS_STRING(b) : PyBytes_AS_STRING(b));
        return made_[index] = out;
      }
      case Kind::kText: {
        const std::string utf8 = text_of(n.data);
        PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
        if (s == nullptr) throw py::error_already_set();
        return made_[index] = py::reinterpret_steal<py::object>(s);
      }
      case Kind::kList: {
        py::list out;
        made_[index] = out;
        for (std::size_t item : n.items) out.append(object(record, item));
        return out;
      }
      case Kind::kDict: {
        py::dict out;
        made_[index] = out;
        for (std::size_t i = 0; i + 1 < n.items.size(); i += 2)
          out[object(record, n.items[i])] = object(record, n.items[i + 1]);
        return out;
      }
      case Kind::kSet: {
        py::set out;
        made_[index] = out;
        for (std::size_t item : n.items) out.add(object(record, item));
        return out;
      }
      case Kind::kTuple:
      case Kind::kFrozenSet: {
        py::list items;
        for (std::size_t item : n.items) items.append(object(record, item));
        if (made_[index]) return made_[index];  // reached again through one of its items
        py::object out =
            n.kind == Kind::kTuple ? py::object(py::tuple(items)) : builtin("frozenset")(items);
        return made_[index] = out;
      }
      case Kind::kGlobal:
        break;
    }
    raise(PyExc_RuntimeError, "unknown pickle node");
  }

  std::optional<native::PickleFile> file_;
  py::object forbidden_;
  std::vector<py::object> made_;
};

}  // namespace ostrel
