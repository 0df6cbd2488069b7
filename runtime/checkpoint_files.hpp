// Reading checkpoint files, shared by the back-ends: model paths as the operating system takes them
// (str, bytes or path-like, undecodable bytes included), the refusal of files that are not regular before
// they are opened, and pickled records read through the native restricted reader (native/pickle_reader),
// which builds plain data only.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "native/archive.hpp"
#include "native/model_files.hpp"
#include "native/pickle_reader.hpp"

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
// The path is turned into a name once and opened without blocking and without being read (O_PATH: no
// device is opened for reading, a FIFO opens at once); what `fstat` says of that descriptor decides. A
// name the open fails on is looked at with `stat` (a socket cannot be opened); a path that names nothing
// is left to the caller's open.
inline void refuse_non_regular(py::handle path, bool directory_ok = false) {
  const py::bytes encoded = fs_bytes(path);
  const char* name = PyBytes_AS_STRING(encoded.ptr());
  if (std::strlen(name) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))) return;  // open refuses it
  struct stat st{};
  if (const int fd = ::open(name, O_PATH | O_CLOEXEC); fd >= 0) {
    const int looked = ::fstat(fd, &st);
    ::close(fd);
    if (looked != 0) return;
  } else if (::stat(name, &st) != 0) {
    return;  // left to the caller's open
  }
  if (S_ISREG(st.st_mode) || (directory_ok && S_ISDIR(st.st_mode))) return;
  py::object error = builtin("OSError")(EINVAL, "Not a regular file: a model is read only from a regular file",
                                        fs_path(encoded));
  PyErr_SetObject(PyExc_OSError, error.ptr());
  throw py::error_already_set();
}

// refuse_non_regular for a path that may name a folder the framework reads files from (a SavedModel, an
// unpacked package, an .mlpackage): every entry beneath the folder must be a folder or a regular file
// (links followed, folders reached through a link not entered). Nothing is opened but the folders. The
// walk ends after kMaxCheckedEntries entries (a model folder holds far fewer): a path such as "/" given by
// mistake is not walked whole.
inline constexpr std::size_t kMaxCheckedEntries = 100000;
inline void refuse_non_regular_tree(py::handle path) {
  struct stat st{};
  if (!stat_path(path, st) || !S_ISDIR(st.st_mode)) return refuse_non_regular(path);
  const py::bytes encoded = fs_bytes(path);
  std::vector<std::string> folders{std::string(PyBytes_AS_STRING(encoded.ptr()),
                                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())))};
  std::string refused;
  std::size_t seen = 0;
  {
    py::gil_scoped_release unlocked;
    while (!folders.empty() && refused.empty() && seen < kMaxCheckedEntries) {
      const std::string folder = std::move(folders.back());
      folders.pop_back();
      DIR* listing = ::opendir(folder.c_str());
      if (listing == nullptr) continue;  // left to the framework's own open
      while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (++seen > kMaxCheckedEntries) break;
        const std::string child = folder + "/" + std::string(name);
        struct stat own{}, target{};
        if (::lstat(child.c_str(), &own) != 0) continue;
        if (S_ISDIR(own.st_mode)) {
          folders.push_back(child);
          continue;
        }
        if (::stat(child.c_str(), &target) != 0) continue;  // a dangling link: the framework's open fails
        if (!S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
          refused = child;
          break;
        }
      }
      ::closedir(listing);
    }
  }
  if (!refused.empty()) refuse_non_regular(py::bytes(refused));
}

// Calls `remove()`, a Python removal of `folder` (shutil.rmtree, read from a module so tests may replace
// it). When an interrupt cuts it short, the rest of the folder is removed natively (no Python code runs
// there, so no further signal stops it) before the interrupt goes on; other errors pass unchanged.
template <typename F>
void remove_folder_to_the_end(py::handle folder, F&& remove) {
  try {
    remove();
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_Exception)) throw;
    const std::string name = fs_bytes(folder);
    {
      py::gil_scoped_release unlocked;
      try {
        native::remove_tree(name);
      } catch (const std::exception&) {  // the interrupt is the one to report
      }
    }
    throw;
  }
}

// open(path, "rb") of a regular file; other files are refused (refuse_non_regular) before the open. The
// path is turned into a name once (a path object's __fspath__ is called once), and the open takes the
// name that was checked.
inline OpenFile open_regular(py::handle path) {
  py::object name = fs_path(path);
  refuse_non_regular(name);
  return OpenFile(name, "rb");
}

// `read(source)` for a framework whose readers take a text path or a file object, not bytes: `source` is
// the path itself when it is UTF-8 (or names no regular file: the framework reports that), else the
// file, opened for reading and closed when `read` returns.
template <typename F>
py::object read_path_or_file(py::handle path, F&& read) {
  struct stat st{};
  if (!undecodable_path(path) || !stat_path(path, st) || !S_ISREG(st.st_mode))
    return read(py::reinterpret_borrow<py::object>(path));
  OpenFile file = open_regular(path);
  py::object result = read(*file);
  file.close();
  return result;
}

// Consecutive pickled records of an open file, each turned into Python objects. Errors:
//   EOFError("Ran out of input")      no record left
//   `refused(message)`                a record the reader will not build: one that names a global or a
//                                     call it may not run, goes beyond the reader's bounds (depth, hashing)
//                                     or holds text that is not UTF-8
//   pickle.UnpicklingError(message)   a damaged or truncated record (also a file that shrank meanwhile)
// No message quotes what a record holds as it stands: a global's name shows escaped (ASCII only) and cut
// short.
class CheckpointRecords {
 public:
  CheckpointRecords(py::handle file, py::object refused) : refused_(std::move(refused)) {
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
      return objects(file_->next());
    } catch (const native::PickleReadError& e) {
      using Cause = native::PickleReadError::Cause;
      if (e.cause() == Cause::kEndOfInput) raise(PyExc_EOFError, e.what());
      if (e.cause() == Cause::kForbidden || e.cause() == Cause::kLimit) raise(refused_, e.what());
      raise(py::module_::import("pickle").attr("UnpicklingError"), e.what());
    }
  }

 private:
  using Kind = native::PickleNode::Kind;

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

  static bool mutable_container(Kind kind) {
    return kind == Kind::kList || kind == Kind::kDict || kind == Kind::kSet;
  }

  // The objects of the nodes reachable from the root, made without recursion, so no thread's stack
  // bounds the depth a record may have. Lists, dicts and sets are made empty first; then the other
  // objects in node order (a tuple or frozenset is made from items that exist before it, so its items
  // are made by then, the mutable ones still empty); then the mutable containers are filled. A
  // container that holds itself through the memo comes out as such, as from the standard unpickler.
  py::object objects(const native::PickleRecord& record) {
    const std::vector<native::PickleNode>& nodes = record.nodes;
    std::vector<bool> reachable(nodes.size(), false);
    std::vector<std::size_t> todo{record.root};
    reachable[record.root] = true;
    while (!todo.empty()) {
      const std::size_t node = todo.back();
      todo.pop_back();
      for (std::size_t item : nodes[node].items)
        if (!reachable[item]) {
          reachable[item] = true;
          todo.push_back(item);
        }
    }
    std::vector<py::object> made(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (reachable[i] && mutable_container(nodes[i].kind)) made[i] = empty_container(nodes[i].kind);
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (reachable[i] && !mutable_container(nodes[i].kind)) made[i] = object(nodes[i], made);
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (reachable[i] && mutable_container(nodes[i].kind)) fill(nodes[i], made[i], made);
    return made[record.root];
  }

  static py::object empty_container(Kind kind) {
    if (kind == Kind::kList) return py::list();
    if (kind == Kind::kDict) return py::dict();
    return py::set();
  }

  void fill(const native::PickleNode& n, py::handle out, const std::vector<py::object>& made) const {
    if (n.kind == Kind::kList) {
      for (std::size_t item : n.items)
        if (PyList_Append(out.ptr(), made[item].ptr()) != 0) throw py::error_already_set();
    } else if (n.kind == Kind::kDict) {
      for (std::size_t i = 0; i + 1 < n.items.size(); i += 2)
        if (PyDict_SetItem(out.ptr(), made[n.items[i]].ptr(), made[n.items[i + 1]].ptr()) != 0)
          throw py::error_already_set();
    } else {
      for (std::size_t item : n.items)
        if (PySet_Add(out.ptr(), made[item].ptr()) != 0) throw py::error_already_set();
    }
  }

  // The object of an item of a tuple or frozenset: made before it, as the reader builds them.
  static const py::object& earlier(const std::vector<py::object>& made, std::size_t item) {
    if (!made[item]) raise(PyExc_RuntimeError, "pickle record refers to an object made after it");
    return made[item];
  }

  // A scalar, a tuple or a frozenset, whose items are in `made` already.
  py::object object(const native::PickleNode& n, const std::vector<py::object>& made) const {
    switch (n.kind) {
      case Kind::kNone:
        return py::none();
      case Kind::kBool:
        return py::bool_(n.flag);
      case Kind::kInt:
        return py::int_(n.integer);
      case Kind::kFloat:
        return py::float_(n.real);
      case Kind::kBigInt: {
        if (n.data.empty()) return py::int_(0);
        const std::string bytes = text_of(n.data);
        return builtin("int").attr("from_bytes")(py::bytes(bytes), "little", py::arg("signed") = true);
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
        return out;
      }
      case Kind::kText: {
        const std::string utf8 = text_of(n.data);
        PyObject* s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
        if (s == nullptr) {
          if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
          PyErr_Clear();
          raise(refused_, "pickle record holds text that is not valid UTF-8");
        }
        return py::reinterpret_steal<py::object>(s);
      }
      case Kind::kTuple: {
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n.items.size()));
        if (t == nullptr) throw py::error_already_set();
        py::object out = py::reinterpret_steal<py::object>(t);
        for (std::size_t i = 0; i < n.items.size(); ++i)
          PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), earlier(made, n.items[i]).inc_ref().ptr());
        return out;
      }
      case Kind::kFrozenSet: {
        py::list items;
        for (std::size_t item : n.items) items.append(earlier(made, item));
        PyObject* f = PyFrozenSet_New(items.ptr());
        if (f == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(f);
      }
      case Kind::kList:
      case Kind::kDict:
      case Kind::kSet:
      case Kind::kGlobal:
        break;
    }
    raise(PyExc_RuntimeError, "unknown pickle node");
  }

  std::optional<native::PickleFile> file_;
  py::object refused_;
};

}  // namespace ostrel
