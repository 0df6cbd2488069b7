// Small helpers shared by the binding code of both packages (ostrel and tests): raising and
// translating errors, argument splitting, logging from C++.
#pragma once

#include <pybind11/pybind11.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "modtree/args.hpp"
#include "modtree/entry.hpp"

namespace ostrel {

namespace py = pybind11;

// Python's truth test of `value`; an error raised by its __bool__ or __len__ propagates.
inline bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// The boundary between C++ and the interpreter (see modtree/entry.hpp).
using modtree::fastcall_method;
using modtree::guarded;
using modtree::noargs_method;
using modtree::set_error_in_flight;
using modtree::set_native_error;

// Registers the translation of native failures that leave a pybind11 function of this extension: the
// same mapping as the C-level entry points (modtree/entry.hpp). The translator is local to the calling extension (each package's
// shared object registers its own, once, from its root), so it never handles another extension's
// exceptions and no other extension's translator handles ours.
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

// Runs `body` as the block of `with manager as target:` (body takes the target, or nothing) with the
// statement's exit semantics, whatever leaves the block: __exit__ always runs once, with the Python
// exception's type, value and traceback when one is in flight, with the Python form of a C++ exception
// (set_native_error's mapping), or with three Nones on success. When __exit__ returns true the exception
// is suppressed, as Python does; otherwise it propagates (a C++ exception as its Python form).
template <class Body>
void with_block(py::handle manager, Body&& body) {
  py::object type = py::type::of(manager);
  py::object exit = type.attr("__exit__");  // looked up before __enter__, as the interpreter does
  py::object target = type.attr("__enter__")(manager);
  auto leave_with = [&](py::error_already_set& e) {
    auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : py::object(py::none()); };
    if (!truthy(exit(manager, or_none(e.type()), or_none(e.value()), or_none(e.trace())))) throw e;
  };
  try {
    if constexpr (std::is_invocable_v<Body, py::object>)
      body(target);
    else
      body();
  } catch (py::error_already_set& e) {
    leave_with(e);
    return;
  } catch (...) {
    set_error_in_flight();
    py::error_already_set e;
    leave_with(e);
    return;
  }
  exit(manager, py::none(), py::none(), py::none());
}

// The splitter of every hand-written fast call: see modtree::Parameters.
using modtree::Parameters;

// Raises the Python exception class `cls` with the given arguments (none: raised bare, as `raise Cls`).
[[noreturn]] inline void raise(py::handle cls, py::object message = py::object()) {
  if (message)
    PyErr_SetObject(cls.ptr(), message.ptr());
  else
    PyErr_SetNone(cls.ptr());
  throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle cls, const std::string& message) { raise(cls, py::str(message)); }

using modtree::raise_from;

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

// UTF-8 of a text for messages; characters UTF-8 cannot hold (the surrogate escapes of undecodable path
// bytes) read as backslash escapes, so a message about such a path can always be made.
inline std::string utf8(const py::str& s) {
  PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "backslashreplace");
  if (b == nullptr) throw py::error_already_set();
  std::string out(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
  Py_DECREF(b);
  return out;
}

// The interned Python string of `name`, made once per process: attribute names looked up on every call
// (`obj.attr(interned("x"))`) then cost a table lookup, not a new string, its hash and its release.
// The table is read and filled under the GIL.
inline py::handle interned(std::string_view name) {
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  static auto* table = new std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>>();  // process lifetime
  auto found = table->find(name);
  if (found != table->end()) return found->second;
  PyObject* made = PyUnicode_InternFromString(std::string(name).c_str());
  if (made == nullptr) throw py::error_already_set();
  table->emplace(std::string(name), made);
  return made;
}

// A string literal as a template argument: each literal name gets a function of its own.
template <std::size_t N>
struct LiteralName {
  char text[N];
  constexpr LiteralName(const char (&s)[N]) {  // NOLINT(google-explicit-constructor): literal operator
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

namespace literals {
// `"name"_id`: the interned string of a literal attribute name, `obj.attr("name"_id)`, made on its first
// use and then read from the literal's own slot.
template <LiteralName S>
py::handle operator""_id() {
  static PyObject* const name = interned(S.text).ptr();  // process lifetime
  return name;
}
}  // namespace literals

// `obj.<name>`, the name a Python string (`"x"_id`).
inline py::object attr(py::handle obj, py::handle name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(value);
}

// `obj.<name>`, the name interned.
inline py::object attr(py::handle obj, const char* name) { return attr(obj, interned(name)); }

// The plain text conversion of a value, as f"{value}" gives it.
inline std::string text(py::handle value) {
  PyObject* formatted = PyObject_Format(value.ptr(), nullptr);
  if (formatted == nullptr) throw py::error_already_set();
  return utf8(py::reinterpret_steal<py::str>(formatted));
}

// `str(value)`.
inline std::string str(py::handle value) { return utf8(py::str(value)); }

// The built-in `name` as the builtins module holds it now (a program may replace one).
inline py::object builtin(py::handle name) {
  static PyObject* const builtins = PyImport_ImportModule("builtins");  // process lifetime
  if (builtins == nullptr) throw py::error_already_set();
  return attr(builtins, name);
}
inline py::object builtin(const char* name) { return builtin(interned(name)); }

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

// Binds standard modules that only some paths of `m` use as attributes of `m` imported on first read
// (`m.json` imports json then): a module `__getattr__` imports the one asked for and binds it, so later
// reads are plain lookups and `import ostrel` does not pay for them.
inline void lazy_module_attributes(py::module_ m, std::initializer_list<const char*> names) {
  py::set lazy;
  for (const char* name : names) lazy.add(py::str(name));
  m.attr("__getattr__") = py::cpp_function(
      [m = py::object(m), lazy](py::str name) -> py::object {
        if (!lazy.contains(name))
          throw py::attribute_error("module '" + py::str(m.attr("__name__")).cast<std::string>() +
                                    "' has no attribute '" + name.cast<std::string>() + "'");
        py::object module = py::module_::import(name.cast<std::string>().c_str());
        m.attr(name) = module;
        return module;
      },
      py::name("__getattr__"), py::arg("name"));
}

// `from ostrel.common.exceptions import <name>`.
inline py::object exception_class(const char* name) {
  return py::module_::import("ostrel.common.exceptions").attr(name);
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

// Whether `logger` takes records of `level`: a message that costs something to build is built only then.
inline bool log_enabled(py::handle logger, int level) {
  using namespace literals;
  int enabled = PyObject_IsTrue(attr(logger, "isEnabledFor"_id)(level).ptr());
  if (enabled < 0) throw py::error_already_set();
  return enabled != 0;
}

// Logs `message` on `logger` at `level` as if issued from the Python module `module_file`
// ("ostrel/inference/ostrel_manager.py"): records issued from C++ have no Python frame of their own,
// so the record's pathname, and with it %(module)s, is given explicitly. log_unchecked issues the record
// without asking the logger first, for a caller that asked log_enabled already.
inline void log_unchecked(py::handle logger, int level, const std::string& message, const char* module_file) {
  py::object record =
      logger.attr("makeRecord")(logger.attr("name"), level, module_file, 0, message, py::tuple(), py::none());
  logger.attr("handle")(record);
}

inline void log(py::handle logger, int level, const std::string& message, const char* module_file) {
  if (log_enabled(logger, level)) log_unchecked(logger, level, message, module_file);
}

// A keyword mapping in the given order: keywords({{"a", a}, {"b", b}}).
inline py::dict keywords(std::initializer_list<std::pair<const char*, py::handle>> items) {
  py::dict d;
  for (const auto& [name, value] : items)
    if (PyDict_SetItem(d.ptr(), interned(name).ptr(), value.ptr()) != 0) throw py::error_already_set();
  return d;
}

// The same with the names interned already: keywords({{"a"_id, a}, {"b"_id, b}}).
inline py::dict keywords(std::initializer_list<std::pair<py::handle, py::handle>> items) {
  py::dict d;
  for (const auto& [name, value] : items)
    if (PyDict_SetItem(d.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
  return d;
}

// `item in container`, as the interpreter answers it (pybind11's contains() calls a __contains__ method).
inline bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// `f(**named, **extra)`, failing like the interpreter when a keyword is given twice:
// TypeError "<name>() got multiple values for keyword argument '<k>'".
inline py::object call_with(py::handle f, const py::dict& named, const py::dict& extra) {
  py::dict merged = py::reinterpret_steal<py::dict>(PyDict_Copy(named.ptr()));  // never the caller's dict
  if (!merged) throw py::error_already_set();
  for (auto item : extra) {
    if (contains(merged, item.first)) {
      py::object name = py::getattr(f, "__qualname__",
                                    py::getattr(f, "__name__", py::str(py::type::of(f).attr("__name__"))));
      PyErr_Format(PyExc_TypeError, "%U() got multiple values for keyword argument '%U'", name.ptr(),
                   item.first.ptr());
      throw py::error_already_set();
    }
    merged[item.first] = item.second;
  }
  PyObject* result = PyObject_Call(f.ptr(), py::tuple().ptr(), merged.ptr());
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// How `value` stands to a text-valued `enumeration`, read from the enumeration's own table of values: the
// member it is, or whose value text (a str exactly) it is; None for a text that is no member's value;
// nullopt where the table cannot tell (any other value), which the caller compares as Python would.
inline std::optional<py::object> member_by_value(py::handle enumeration, py::handle value) {
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(enumeration.ptr()))
    return py::reinterpret_borrow<py::object>(value);
  if (!PyUnicode_CheckExact(value.ptr())) return std::nullopt;
  using namespace literals;
  py::object by_value = attr(enumeration, "_value2member_map_"_id);
  if (!PyDict_CheckExact(by_value.ptr())) return std::nullopt;
  PyObject* member = PyDict_GetItemWithError(by_value.ptr(), value.ptr());
  if (member == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return member != nullptr ? py::reinterpret_borrow<py::object>(member) : py::object(py::none());
}

// `enumeration(value)`: a member as it is, a value text by the enumeration's own table of values, anything
// else through the enumeration's call (which raises for a value it does not know).
inline py::object enum_member(py::handle enumeration, py::handle value) {
  if (std::optional<py::object> member = member_by_value(enumeration, value); member && !member->is_none())
    return *member;
  return py::reinterpret_borrow<py::object>(enumeration)(value);
}

enum LogLevel { kDebug = 10, kInfo = 20, kWarning = 30, kError = 40 };

}  // namespace ostrel
