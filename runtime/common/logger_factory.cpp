// The one logging configuration of the process.
//
// Every logger of the package writes to a shared console handler on standard output and to a size-rotating
// file of its own in the per-user directory "tamsor_logs". The whole configuration lives in one mapping
// (`LoggerManager._config_dict`, the same object as `DEFAULT_LOGGING_CONFIGURATION`) that every call
// changes in place and applies with `logging.config.dictConfig` when the application would change
// something: a call that repeats the last applied record, while the loggers, handlers, standard streams
// and log files that application set up are still in place, applies nothing (a model load re-levels the
// package logger on every call, and closing and reopening every handler each time costs more than
// creating a small model's session).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "bindings/pyhelpers.hpp"
#include "runtime/common/logger_factory.hpp"

namespace py = pybind11;
using namespace ostrel::literals;

namespace {

// Docstrings are stored as a class body's triple-quoted text would store them.
#define DOC(text) "\n    " text "\n    "

constexpr const char* kLogDirName = "tamsor_logs";
constexpr const char* kConsoleHandler = "console";
constexpr const char* kFileHandlerClass = "logging.handlers.RotatingFileHandler";
constexpr const char* kMissingLogDirWarning =
    "[WARNING] - tamsor_logs folder was not found and couldn't be created from the code - All of the Log "
    "output "
    "will be sent to console!";

constexpr int kDefaultLoggingLevel = 20;  // logging.INFO
constexpr long kDefaultMaxBytes = 10L * 1024 * 1024;
constexpr int kDefaultBackupLogCount = 20;

using ostrel::truthy;

// The standard modules every call uses, bound once (their functions are still looked up at each call).
struct Modules {
  py::module_ os = py::module_::import("os");
  py::object os_path = os.attr("path");
  py::module_ sys = py::module_::import("sys");
  py::module_ logging = py::module_::import("logging");
  py::module_ logging_config = py::module_::import("logging.config");
};
const Modules& modules() {
  static const Modules* m = new Modules();  // process lifetime
  return *m;
}


// os.path.expanduser("~") as a str: HOME of os.environ, without its trailing slashes ("/" when nothing
// is left); nullopt when os.environ has no such entry (os.path.expanduser then asks the password
// database) or is not the usual mapping.
std::optional<py::str> home_dir() {
  static PyObject* key = PyBytes_FromString("HOME");
  py::object environ = ostrel::attr(modules().os, "environ"_id);
  static PyObject* data_name = PyUnicode_InternFromString("_data");
  PyObject* data = PyObject_GetAttr(environ.ptr(), data_name);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  py::object owned = py::reinterpret_steal<py::object>(data);
  if (!PyDict_CheckExact(data)) return std::nullopt;
  PyObject* value = PyDict_GetItem(data, key);
  if (value == nullptr || !PyBytes_CheckExact(value)) return std::nullopt;
  std::string_view home(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  while (!home.empty() && home.back() == '/') home.remove_suffix(1);
  if (home.empty()) return py::str("/");
  PyObject* text = PyUnicode_DecodeFSDefaultAndSize(home.data(), static_cast<Py_ssize_t>(home.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::object deepcopy(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

// The os functions whose answers the code below takes from the system directly, as they were when the
// module was made: a program (or a test) that replaces one of them gets its replacement called.
struct OsFunctions {
  py::object access, stat, exists, isdir, expanduser, join, environ;
  static OsFunctions current() {
    const Modules& m = modules();
    return {ostrel::attr(m.os, "access"_id),         ostrel::attr(m.os, "stat"_id),
            ostrel::attr(m.os_path, "exists"_id),    ostrel::attr(m.os_path, "isdir"_id),
            ostrel::attr(m.os_path, "expanduser"_id), ostrel::attr(m.os_path, "join"_id),
            ostrel::attr(m.os, "environ"_id)};
  }
  bool same(const OsFunctions& o) const {
    return access.is(o.access) && stat.is(o.stat) && exists.is(o.exists) && isdir.is(o.isdir) &&
           expanduser.is(o.expanduser) && join.is(o.join) && environ.is(o.environ);
  }
};
const OsFunctions& original_os_functions() {
  static const OsFunctions* f = new OsFunctions(OsFunctions::current());  // process lifetime
  return *f;
}
// Set while a caller that checked os_untouched() runs code that cannot change os (the GIL is held).
int g_os_checked = 0;
bool os_untouched() { return g_os_checked > 0 || OsFunctions::current().same(original_os_functions()); }
struct OsChecked {
  OsChecked() { ++g_os_checked; }
  ~OsChecked() { --g_os_checked; }
  OsChecked(const OsChecked&) = delete;
  OsChecked& operator=(const OsChecked&) = delete;
};

// The path as the system takes it, for the checks asked of the system directly; nullopt for a path it
// cannot be given (not encodable, or holding a NUL), or while a program has replaced os's functions: the
// caller then asks os instead.
std::optional<std::string> system_path(py::handle path) {
  if (!PyUnicode_Check(path.ptr()) || !os_untouched()) return std::nullopt;
  PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
  if (encoded == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::string bytes(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
  if (bytes.find('\0') != std::string::npos) return std::nullopt;
  return bytes;
}

// os.path.exists(path).
bool path_exists(py::handle path) {
  if (const auto name = system_path(path)) {
    struct stat st{};
    return ::stat(name->c_str(), &st) == 0;
  }
  return truthy(modules().os_path.attr("exists")(path));
}

py::dict make_default_configuration() {
  const char* datefmt = "[%Y-%m-%d %H:%M:%S]";
  py::dict file_formatter;
  file_formatter["format"] = "%(asctime)s - %(name)s - %(levelname)s - %(message)s";
  file_formatter["datefmt"] = datefmt;
  py::dict console_formatter;
  console_formatter["format"] = "%(module)s -%(levelname)s- %(message)s";
  console_formatter["datefmt"] = datefmt;
  py::dict formatters;
  formatters["fileFormatter"] = file_formatter;
  formatters["consoleFormatter"] = console_formatter;

  py::dict console;
  console["class"] = "logging.StreamHandler";
  console["level"] = "INFO";
  console["formatter"] = "consoleFormatter";
  console["stream"] = "ext://sys.stdout";
  py::dict handlers;
  handlers[kConsoleHandler] = console;

  py::list root_handlers;
  root_handlers.append(kConsoleHandler);
  py::dict root;
  root["level"] = "WARNING";
  root["handlers"] = root_handlers;

  py::dict config;
  config["version"] = 1;
  config["disable_existing_loggers"] = false;
  config["formatters"] = formatters;
  config["handlers"] = handlers;
  config["loggers"] = py::dict();
  config["root"] = root;
  return config;
}

// True when `path` is a folder this process can create and write files in.
bool usable_dir(py::handle path) {
  if (const std::optional<std::string> name = system_path(path)) {
    struct stat st{};
    return ::stat(name->c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(name->c_str(), W_OK | X_OK) == 0;
  }
  const py::module_& os = modules().os;
  if (!truthy(os.attr("path").attr("isdir")(path))) return false;
  return truthy(os.attr("access")(path, py::int_(os.attr("W_OK")) | py::int_(os.attr("X_OK"))));
}

void warn_console_only(py::handle error) { py::print(py::str(kMissingLogDirWarning) + py::str(error)); }

// The log directory: made when missing; None, with the warning, when it cannot be made or is there but
// unusable (a file in its place, a folder this process cannot write in).
py::object get_existing_log_dir_path() {
  const py::module_& os = modules().os;
  py::object user_dir = modules().os_path.attr("expanduser")("~");
  py::object log_dir = modules().os_path.attr("join")(user_dir, kLogDirName);
  if (path_exists(log_dir)) {
    if (usable_dir(log_dir)) return log_dir;
    const bool is_dir = truthy(os.attr("path").attr("isdir")(log_dir));
    py::object error_number = py::module_::import("errno").attr(is_dir ? "EACCES" : "ENOTDIR");
    warn_console_only(ostrel::builtin("OSError")(error_number, os.attr("strerror")(error_number), log_dir));
    return py::none();
  }
  try {
    os.attr("mkdir")(log_dir);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    warn_console_only(e.value());
    return py::none();
  }
  return log_dir;
}

py::str handler_name_from_logger_name(py::object logger_name) {
  return py::str(logger_name) + py::str("_file_handler");
}

bool logger_exists(py::object cls, py::object logger_name) {
  py::object loggers = cls.attr("_config_dict")["loggers"];
  return loggers.contains(logger_name);
}

// Takes the file handlers named in `stale` out of the record: their entries, and their names from root's
// list and from every logger's list (those loggers keep the console).
void drop_file_handlers(py::dict config, py::list stale) {
  if (stale.empty()) return;
  auto remove_from = [&](py::object lst) {
    if (!py::isinstance<py::list>(lst)) return;
    for (auto name : stale)
      while (lst.contains(name)) lst.attr("remove")(name);
  };
  py::dict handlers = config["handlers"];
  for (auto name : stale) handlers.attr("pop")(name);
  remove_from(config["root"]["handlers"]);
  py::dict loggers = config["loggers"];
  for (auto item : loggers) {
    py::object entry = py::reinterpret_borrow<py::object>(item.second);
    if (py::isinstance<py::dict>(entry) && entry.contains("handlers")) remove_from(entry["handlers"]);
  }
}

// dictConfig shuts down every handler of the process before it builds its own, and some handlers close
// the stream they were given (one a test runner or another library still owns). Only the handlers of this
// configuration are shut down: the others are held out of logging's handler list for the call, and stay
// registered for the shutdown at exit.
void dict_config_own_handlers(py::dict config, py::dict before) {
  const py::module_& logging = modules().logging;
  py::object dict_config = modules().logging_config.attr("dictConfig");
  py::dict named = logging.attr("_handlers");
  py::set ours;
  for (py::dict record : {before, config}) {
    if (!record.contains("handlers")) continue;
    for (auto item : py::dict(record["handlers"])) {
      py::object h = named.attr("get")(item.first);
      if (!h.is_none()) ours.attr("add")(h);
    }
  }
  py::list refs = logging.attr("_handlerList");
  py::list foreign;
  py::list snapshot = ostrel::builtin("list")(refs);  // a copy: refs changes below
  for (py::handle ref : snapshot) {
    py::object h = ref();
    if (!h.is_none() && !ours.contains(h)) {
      foreign.append(ref);
      refs.attr("remove")(ref);
    }
  }
  try {
    dict_config(config);
  } catch (py::error_already_set&) {
    for (py::handle ref : foreign) refs.append(ref);
    throw;
  }
  for (py::handle ref : foreign) refs.append(ref);
}

// Calls `visit(name, entry)` for each rotating-file handler entry of the record that names a file.
template <typename F>
void for_each_file_handler(py::dict config, F&& visit) {
  py::dict handlers = config["handlers"];
  for (auto item : handlers) {
    py::object entry = py::reinterpret_borrow<py::object>(item.second);
    if (!py::isinstance<py::dict>(entry)) continue;
    py::dict h = entry;
    if (h.contains("class") && py::object(h["class"]).equal(py::str(kFileHandlerClass)) && h.contains("filename"))
      visit(py::reinterpret_borrow<py::object>(item.first), h);
  }
}

// File handlers whose directory is gone or unusable cannot be opened, and one of them would make every
// application of the record fail. Called only when the log directory is unavailable: such handlers are
// taken out of the record (their loggers keep the console).
void drop_unopenable_file_handlers(py::dict config) {
  py::list stale;
  for_each_file_handler(config, [&](py::object name, py::dict h) {
    if (!usable_dir(modules().os_path.attr("dirname")(h["filename"]))) stale.append(name);
  });
  drop_file_handlers(config, stale);
}

// The error for a log file that is there but is not a regular file (a FIFO, a device, a socket): writing
// to it could block, or go where no log belongs.
[[noreturn]] void raise_not_a_regular_log_file(py::handle filename) {
  py::object error = ostrel::builtin("OSError")(
      EINVAL, "Not a regular file: a log is written only to a regular file", filename);
  PyErr_SetObject(PyExc_OSError, error.ptr());
  throw py::error_already_set();
}

// With a usable log directory a log file may still refuse to open (a folder or a file this process may
// not write in under its name, or a FIFO, a device or a socket in its place). Each file is opened for
// appending as its handler will open it, but without blocking, and must be a regular file; those that
// fail are taken out of the record, with one warning line for the call naming the first failure.
void drop_files_that_cannot_be_opened(py::dict config) {
  const py::module_& os = modules().os;
  py::object flags = py::int_(os.attr("O_WRONLY")) | py::int_(os.attr("O_APPEND")) |
                     py::int_(os.attr("O_CREAT")) | py::int_(os.attr("O_NONBLOCK")) |
                     py::int_(os.attr("O_NOCTTY"));
  py::object is_regular = py::module_::import("stat").attr("S_ISREG");
  py::list stale;
  py::object first_error;
  for_each_file_handler(config, [&](py::object name, py::dict h) {
    try {
      py::object fd = os.attr("open")(h["filename"], flags, 0666);
      bool regular = false;
      try {
        regular = truthy(is_regular(os.attr("fstat")(fd).attr("st_mode")));
      } catch (py::error_already_set&) {
        os.attr("close")(fd);
        throw;
      }
      os.attr("close")(fd);
      if (!regular) raise_not_a_regular_log_file(h["filename"]);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_OSError)) throw;
      if (!first_error) first_error = e.value();
      stale.append(name);
    }
  });
  if (stale.empty()) return;
  warn_console_only(first_error);
  drop_file_handlers(config, stale);
}

// What the last successful application left: a copy of the record as applied and, for root and every
// logger it names, the logger with the handlers and level it was given, plus the console handlers bound
// to the standard streams of that moment. A call whose record equals the copy while all of this still
// holds has nothing to apply; any difference (a level, a size, a logger added, a handler replaced or
// closed by other code, a log file removed, sys.stdout replaced) applies the whole record again.
struct Applied {
  py::object record;    // deep copy of the record, or None before the first application
  py::list loggers;     // (logger, tuple of its handlers, its level)
  py::list streams;     // (handler, name of the sys attribute its stream was taken from)
  py::list files;       // paths of the log files
};

Applied& applied() {
  static Applied* state = new Applied{py::none(), py::list(), py::list(), py::list()};  // process lifetime
  return *state;
}

// A file handler whose file cannot be written any more (its folder removed while the process runs: the
// next rollover cannot reopen the file) would print a "--- Logging error ---" traceback for every record
// until the next configuration call. Its first OS error instead takes it off the loggers of the last
// application, which keep the console, with one warning line; the next configuration call opens the
// files anew. Any other error (a record that cannot be formatted) is reported as logging reports it.
void fall_back_to_console(py::handle handler, py::handle record) {
  py::object error = modules().sys.attr("exc_info")()[py::int_(1)];
  if (!PyObject_IsInstance(error.ptr(), PyExc_OSError)) {
    py::type::of(handler).attr("handleError")(handler, record);
    return;
  }
  bool attached = false;
  for (auto item : py::list(applied().loggers)) {
    py::object logger = py::reinterpret_borrow<py::tuple>(item)[0];
    if (!py::list(logger.attr("handlers")).contains(handler)) continue;
    logger.attr("removeHandler")(handler);
    attached = true;
  }
  if (attached) warn_console_only(error);
}

// Gives each file handler of the application the fallback above (an attribute of the handler object;
// the record is unchanged).
void watch_file_handlers(py::dict config) {
  py::object named = modules().logging.attr("_handlers");
  for_each_file_handler(config, [&](py::object name, py::dict) {
    py::object handler = named.attr("get")(name);
    if (handler.is_none()) return;
    py::weakref watched(handler);
    handler.attr("handleError") = py::cpp_function(
        [watched](py::object record) {
          py::object h = watched();
          if (!h.is_none()) fall_back_to_console(h, record);
        },
        py::name("handleError"), py::arg("record"));
  });
}

void remember_application(py::dict config) {
  watch_file_handlers(config);
  Applied& a = applied();
  py::object get_logger = modules().logging.attr("getLogger");
  py::list loggers;
  py::list streams;
  py::dict entries = config["handlers"];
  auto remember = [&](py::object logger) {
    py::tuple handlers(logger.attr("handlers"));
    loggers.append(py::make_tuple(logger, handlers, logger.attr("level")));
    for (auto handler : handlers) {
      py::object name = handler.attr("name");
      if (!entries.contains(name)) continue;
      py::object entry = entries[name];
      if (!py::isinstance<py::dict>(entry) || !entry.contains("stream")) continue;
      py::object stream = entry["stream"];
      for (const char* which : {"stdout", "stderr"})
        if (stream.equal(py::str(std::string("ext://sys.") + which)))
          streams.append(py::make_tuple(handler, which));
    }
  };
  remember(get_logger());
  for (auto item : py::dict(config["loggers"])) remember(get_logger(item.first));
  py::list files;
  for_each_file_handler(config, [&](py::object, py::dict h) { files.append(h["filename"]); });
  a.record = deepcopy(config);
  a.loggers = loggers;
  a.streams = streams;
  a.files = files;
}

void forget_application() { applied().record = py::none(); }

// True when applying `config` would change nothing (see Applied). `files_known` skips asking whether
// the log files are still there (the caller knows they are).
bool already_applied(py::dict config, bool record_compared = false, bool files_known = false) {
  Applied& a = applied();
  if (!record_compared && (a.record.is_none() || !config.equal(a.record))) return false;
  for (auto item : a.loggers) {
    PyObject* entry = item.ptr();  // (logger, handlers, level)
    py::object logger = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry, 0));
    py::object handlers = ostrel::attr(logger, "handlers"_id);
    PyObject* kept = PyTuple_GET_ITEM(entry, 1);
    if (!PyList_CheckExact(handlers.ptr())) {
      handlers = py::tuple(handlers);
    } else if (PyList_GET_SIZE(handlers.ptr()) != PyTuple_GET_SIZE(kept)) {
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kept); ++i)
      if (PySequence_Fast_GET_ITEM(handlers.ptr(), i) != PyTuple_GET_ITEM(kept, i)) {
        if (!py::tuple(handlers).equal(py::handle(kept))) return false;  // equal but other objects
        break;
      }
    if (!ostrel::attr(logger, "level"_id).equal(py::handle(PyTuple_GET_ITEM(entry, 2))) ||
        truthy(ostrel::attr(logger, "disabled"_id)))
      return false;
  }
  const py::module_& sys = modules().sys;
  for (auto item : a.streams) {
    py::tuple entry = py::reinterpret_borrow<py::tuple>(item);
    py::object stream = sys.attr(py::str(entry[1]));
    if (!ostrel::attr(entry[0], "stream"_id).is(stream)) return false;
  }
  if (files_known) return true;
  for (auto path : a.files)
    if (!path_exists(path)) return false;
  return true;
}

// Applies `config` with dictConfig. When that fails, the record is put back as it was before the call
// (in place: the module constant and the class attribute stay one mapping) and re-applied, so a bad
// level does not leave the process without working loggers; the error is raised.
void apply_or_roll_back(py::dict config, py::dict before) {
  auto dict_config = [&](py::dict c) { dict_config_own_handlers(c, before); };
  try {
    dict_config(config);
  } catch (py::error_already_set& e) {
    forget_application();
    py::dict restored = deepcopy(before);
    config.clear();
    for (auto item : restored) config[item.first] = item.second;
    try {
      dict_config(config);
      remember_application(config);
    } catch (py::error_already_set&) {
      // The earlier record no longer applies either; the original failure is the one to report.
    }
    throw;
  }
  remember_application(config);
}


void set_item(py::dict& d, py::handle key, py::handle value) {
  if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

// The record's entries of one logger: its rotating file handler and the logger itself. The repeated call
// below compares the record with these same entries.
py::dict file_handler_entry(py::handle cls, py::handle filename, py::handle level, py::handle max_bytes) {
  py::dict handler;
  set_item(handler, "class"_id, ostrel::interned(kFileHandlerClass));
  set_item(handler, "level"_id, level);
  set_item(handler, "formatter"_id, "fileFormatter"_id);
  set_item(handler, "filename"_id, filename);
  set_item(handler, "maxBytes"_id, max_bytes);
  set_item(handler, "backupCount"_id, ostrel::attr(cls, "DEFAULT_BACKUP_LOG_COUNT"_id));
  set_item(handler, "encoding"_id, "utf8"_id);
  return handler;
}

py::dict logger_entry_of(py::handle level, py::list handlers) {
  py::dict entry;
  set_item(entry, "level"_id, level);
  set_item(entry, "handlers"_id, handlers);
  set_item(entry, "propagate"_id, Py_False);
  return entry;
}

void update_logging_configs(py::object cls, py::object logger_name, py::object log_level,
                            py::object max_bytes) {
  py::dict config = cls.attr("_config_dict");
  // The record as it stood: the copy kept from the last application when nobody changed it since.
  Applied& a = applied();
  py::dict before = !a.record.is_none() && config.equal(a.record)
                        ? py::dict(a.record)
                        : py::dict(deepcopy(config));
  py::object log_dir = cls.attr("_get_existing_log_dir_path")();
  py::object handler_name = cls.attr("_handler_name_from_logger_name")(logger_name);

  py::list logger_handlers;
  logger_handlers.append(kConsoleHandler);
  if (!log_dir.is_none()) {
    py::object filename = modules().os.attr("path").attr("join")(log_dir, py::str(logger_name) + py::str(".log"));
    config["handlers"][handler_name] = file_handler_entry(cls, filename, log_level, max_bytes);
    logger_handlers.append(handler_name);
  }
  config["loggers"][logger_name] = logger_entry_of(log_level, logger_handlers);
  if (!log_dir.is_none()) {
    py::list root_handlers = config["root"]["handlers"];
    if (!root_handlers.contains(handler_name)) root_handlers.append(handler_name);
    if (already_applied(config)) return;
    // Opening the files creates missing ones: what the record found missing must be applied anew.
    drop_files_that_cannot_be_opened(config);
  } else {
    drop_unopenable_file_handlers(config);
    if (already_applied(config)) return;
  }
  apply_or_roll_back(config, before);
}

// ---- the repeated call ----------------------------------------------------------------------------
// A model load re-levels its loggers on every call, almost always to what they already are. The call
// below answers that case without building anything: when the class is LoggerManager itself with its
// own hooks, the record is the one last applied, the log directory is there and usable, and the
// record already holds exactly the entries the call would write, then the full update would find the
// record applied and change nothing.

// LoggerManager with the hooks the repeated call would run, as made here.
const ostrel::ClassAsMade* g_manager = nullptr;

// os.path.join(directory, name) for a relative `name`.
py::str joined(py::handle directory, const char* name) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(directory.ptr());
  const bool separator = n > 0 && PyUnicode_READ_CHAR(directory.ptr(), n - 1) != '/';
  return py::str(directory) + py::str(separator ? std::string("/") + name : std::string(name));
}

// `entry == expected`.
bool same_entry(PyObject* entry, const py::dict& expected) {
  const int equal = PyObject_RichCompareBool(entry, expected.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

// The log directory as the repeated call last found it usable with every log file of the last
// application in it. A later call that finds the directory's stat unchanged knows, from that one stat,
// that it is still usable and that none of its entries was added, removed or renamed: any such change,
// like a change of its mode or owner, moves its change times. A stamp is taken only when those times
// lie far enough in the past that a change made afterwards cannot share their clock tick: 20 ms where
// the file system keeps sub-second times (a kernel tick is at most 10 ms), 2 s where both times are
// whole seconds (file systems that keep seconds, or two of them, only).
struct LogDirStamp {
  std::string path;
  py::object files;  // the Applied::files list the stamp was taken for
  struct stat st{};
};
std::optional<LogDirStamp>& log_dir_stamp() {
  static auto* stamp = new std::optional<LogDirStamp>();  // process lifetime
  return *stamp;
}

bool same_stat(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
         a.st_gid == b.st_gid && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// True when the stamp vouches for `log_dir` and the current log files (one stat).
bool log_dir_as_stamped(const std::string& log_dir) {
  const std::optional<LogDirStamp>& stamp = log_dir_stamp();
  if (!stamp || stamp->path != log_dir || !stamp->files.is(applied().files)) return false;
  ostrel::LoadScope* scope = ostrel::LoadScope::current();
  if (scope != nullptr && scope->stamped_log_dir == log_dir) return true;  // looked at already in this load
  struct stat st{};
  const bool stamped = ::stat(log_dir.c_str(), &st) == 0 && same_stat(st, stamp->st);
  if (stamped && scope != nullptr) scope->stamped_log_dir = log_dir;
  return stamped;
}

// Takes a stamp of `log_dir` after the full checks passed, when every log file is a regular file right
// in it and the directory's change times are old enough; true when it did.
bool stamp_log_dir(const std::string& log_dir) {
  log_dir_stamp().reset();
  struct stat st{};
  struct timespec now{};
  if (::stat(log_dir.c_str(), &st) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
  auto nanoseconds = [](const struct timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
  };
  const long long latest = std::max(nanoseconds(st.st_mtim), nanoseconds(st.st_ctim));
  const bool whole_seconds = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0;
  const long long settled = whole_seconds ? 2000000000LL : 20000000LL;
  if (nanoseconds(now) - latest < settled) return false;  // changed too recently
  const std::string prefix = log_dir + "/";
  for (auto file : applied().files) {
    const std::optional<std::string> name = system_path(file);
    struct stat fst{};
    if (!name || name->compare(0, prefix.size(), prefix) != 0 ||
        name->find('/', prefix.size()) != std::string::npos || ::lstat(name->c_str(), &fst) != 0 ||
        !S_ISREG(fst.st_mode))
      return false;
  }
  log_dir_stamp() = LogDirStamp{log_dir, applied().files, st};
  return true;
}

// ---- the answer remembered ------------------------------------------------------------------------
// The checks above walk the whole record and every configured logger on each call. Once they have
// answered "unchanged" for a logger name with a settled log directory, the answer is remembered with a
// snapshot of everything those checks read: every mapping (by its version, which CPython changes on any
// change of a dict) and every list (by its items) of the record, the configured loggers and console
// handlers, and the modules and environment the paths come from. A repeated call with the same
// arguments whose snapshot still holds, with one stat of the log directory, gets the same answer
// without the walk; any change makes the full checks run again.
#if PY_VERSION_HEX < 0x030C0000
#define OSTREL_DICT_VERSIONS 1
#endif

class Snapshot {
 public:
  // Records `value` and, for a dict or list, everything in it; false for anything else that is not an
  // immutable scalar (a value this snapshot cannot vouch for).
  bool add_tree(PyObject* value, int depth = 0) {
    if (depth > 16) return false;
    if (PyDict_CheckExact(value)) {
      add_dict(value);
      PyObject *key, *item;
      Py_ssize_t pos = 0;
      while (PyDict_Next(value, &pos, &key, &item))
        if (!PyUnicode_CheckExact(key) || !add_tree(item, depth + 1)) return false;
      return true;
    }
    if (PyList_CheckExact(value)) {
      add_list(value);
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
        if (!add_tree(PyList_GET_ITEM(value, i), depth + 1)) return false;
      return true;
    }
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value) ||
           PyFloat_CheckExact(value);
  }
  // Records the dict `d` (its version; its values as objects).
  void add_dict(PyObject* d) {
#ifdef OSTREL_DICT_VERSIONS
    dicts_.emplace_back(py::reinterpret_borrow<py::object>(d), reinterpret_cast<PyDictObject*>(d)->ma_version_tag);
#else
    (void)d;
    usable_ = false;
#endif
  }
  // Records the list `l` (its items, by identity).
  void add_list(PyObject* l) {
    std::vector<py::object> items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i)
      items.push_back(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(l, i)));
    lists_.emplace_back(py::reinterpret_borrow<py::object>(l), std::move(items));
  }
  // The instance dict of `obj` (its attributes); false when it has none.
  bool add_attributes(py::handle obj) {
    PyObject** slot = _PyObject_GetDictPtr(obj.ptr());
    if (slot == nullptr || *slot == nullptr || !PyDict_CheckExact(*slot)) return false;
    add_dict(*slot);
    return true;
  }
  bool usable() const { return usable_; }

  bool holds() const {
#ifdef OSTREL_DICT_VERSIONS
    for (const auto& [d, version] : dicts_)
      if (reinterpret_cast<PyDictObject*>(d.ptr())->ma_version_tag != version) return false;
#endif
    for (const auto& [l, items] : lists_) {
      if (PyList_GET_SIZE(l.ptr()) != static_cast<Py_ssize_t>(items.size())) return false;
      for (std::size_t i = 0; i < items.size(); ++i)
        if (PyList_GET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i)) != items[i].ptr()) return false;
    }
    return usable_;
  }

 private:
  bool usable_ = true;
  std::vector<std::pair<py::object, std::uint64_t>> dicts_;
  std::vector<std::pair<py::object, std::vector<py::object>>> lists_;
};

struct RememberedAnswer {
  py::object logger_name, log_level, max_bytes;  // the call's arguments
  py::object config, record, files;              // the record, the applied copy, the files it was made for
  py::object logger;                             // logging.getLogger(logger_name) as it answered
  std::string log_dir;                           // stamped
  Snapshot snapshot;
};
std::vector<RememberedAnswer>& remembered_answers() {
  static auto* answers = new std::vector<RememberedAnswer>();  // process lifetime
  return *answers;
}

bool same_argument(py::handle a, py::handle b) {
  if (a.is(b)) return true;
  if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr())) return false;  // True == 1, but a level of True is not 1's text
  const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

// The modules and mappings the full checks read besides the record and the loggers: os and os.path (the
// functions), the environment (HOME), sys (the standard streams); and what logging.getLogger reads to find
// a logger by its name (the logging module, Logger's manager and the manager's table of loggers).
bool add_surroundings(Snapshot& snapshot) {
  const Modules& m = modules();
  py::object logger_class = ostrel::attr(m.logging, "Logger"_id);
  PyObject* class_dict = reinterpret_cast<PyTypeObject*>(logger_class.ptr())->tp_dict;
  py::object manager = ostrel::attr(logger_class, "manager"_id);
  py::object logger_table = ostrel::attr(manager, "loggerDict"_id);
  if (!PyType_Check(logger_class.ptr()) || class_dict == nullptr || !PyDict_CheckExact(logger_table.ptr()) ||
      !snapshot.add_attributes(m.logging) || !snapshot.add_attributes(manager))
    return false;
  snapshot.add_dict(class_dict);
  snapshot.add_dict(logger_table.ptr());
  py::object environ_data = py::reinterpret_steal<py::object>(
      PyObject_GetAttrString(ostrel::attr(m.os, "environ"_id).ptr(), "_data"));
  if (!environ_data) {
    PyErr_Clear();
    return false;
  }
  if (!PyDict_CheckExact(environ_data.ptr())) return false;
  snapshot.add_dict(environ_data.ptr());
  return snapshot.add_attributes(m.os) && snapshot.add_attributes(m.os_path) && snapshot.add_attributes(m.sys);
}

void remember_answer(py::handle logger_name, py::handle log_level, py::handle max_bytes, py::handle config,
                     py::handle logger, const std::string& log_dir) {
  const Applied& a = applied();
  RememberedAnswer answer{py::reinterpret_borrow<py::object>(logger_name),
                          py::reinterpret_borrow<py::object>(log_level),
                          py::reinterpret_borrow<py::object>(max_bytes),
                          py::reinterpret_borrow<py::object>(config),
                          a.record,
                          a.files,
                          py::reinterpret_borrow<py::object>(logger),
                          log_dir,
                          Snapshot()};
  Snapshot& snapshot = answer.snapshot;
  if (!snapshot.add_tree(config.ptr()) || !add_surroundings(snapshot)) return;
  for (auto item : a.loggers) {
    py::object logger = py::reinterpret_borrow<py::tuple>(item)[0];
    py::object handlers = ostrel::attr(logger, "handlers"_id);
    if (!snapshot.add_attributes(logger) || !PyList_CheckExact(handlers.ptr())) return;
    snapshot.add_list(handlers.ptr());
  }
  for (auto item : a.streams)
    if (!snapshot.add_attributes(py::reinterpret_borrow<py::tuple>(item)[0])) return;
  if (!snapshot.usable()) return;
  auto& answers = remembered_answers();
  std::erase_if(answers, [&](const RememberedAnswer& r) { return r.logger_name.equal(logger_name); });
  answers.push_back(std::move(answer));
}

// The remembered answer for this call when everything it was made from still holds.
std::optional<py::object> remembered_logger(py::handle cls, py::handle logger_name, py::handle log_level,
                                            py::handle max_bytes) {
  auto& answers = remembered_answers();
  if (answers.empty() || !PyUnicode_CheckExact(logger_name.ptr()) || !g_manager->unchanged(cls)) return std::nullopt;
  const Applied& a = applied();
  for (const RememberedAnswer& r : answers) {
    if (!r.logger_name.equal(logger_name)) continue;
    if (!same_argument(r.log_level, log_level) || !same_argument(r.max_bytes, max_bytes) || !r.record.is(a.record) ||
        !r.files.is(a.files) || !ostrel::attr(cls, "_config_dict"_id).is(r.config) || !r.snapshot.holds())
      return std::nullopt;
    if (!log_dir_as_stamped(r.log_dir)) return std::nullopt;
    return r.logger;
  }
  return std::nullopt;
}

std::optional<py::object> unchanged_logger(py::handle cls, py::handle logger_name, py::handle log_level,
                                           py::handle max_bytes) {
  if (std::optional<py::object> logger = remembered_logger(cls, logger_name, log_level, max_bytes)) return logger;
  if (!g_manager->unchanged(cls) || !PyUnicode_CheckExact(logger_name.ptr()) || !os_untouched()) return std::nullopt;
  const OsChecked checked;
  const Applied& a = applied();
  py::object config = ostrel::attr(cls, "_config_dict"_id);
  if (a.record.is_none() || !PyDict_CheckExact(config.ptr()) || !config.equal(a.record)) return std::nullopt;
  PyObject* loggers = PyDict_GetItem(config.ptr(), "loggers"_id.ptr());
  PyObject* handlers = PyDict_GetItem(config.ptr(), "handlers"_id.ptr());
  PyObject* root = PyDict_GetItem(config.ptr(), "root"_id.ptr());
  if (loggers == nullptr || handlers == nullptr || root == nullptr || !PyDict_Check(loggers) ||
      !PyDict_Check(handlers) || !PyDict_Check(root))
    return std::nullopt;
  PyObject* logger_entry = PyDict_GetItem(loggers, logger_name.ptr());
  const py::str handler_name = handler_name_from_logger_name(py::reinterpret_borrow<py::object>(logger_name));
  PyObject* handler_entry = PyDict_GetItem(handlers, handler_name.ptr());
  if (logger_entry == nullptr || handler_entry == nullptr || !PyDict_Check(logger_entry) ||
      !PyDict_Check(handler_entry))
    return std::nullopt;
  PyObject* old_level = PyDict_GetItem(logger_entry, "level"_id.ptr());
  PyObject* old_size = PyDict_GetItem(handler_entry, "maxBytes"_id.ptr());
  if (old_level == nullptr || old_size == nullptr) return std::nullopt;
  py::handle level = truthy(log_level) ? log_level : py::handle(old_level);
  py::handle size = truthy(max_bytes) ? max_bytes : py::handle(old_size);

  std::optional<py::str> home = home_dir();
  py::object user_dir = home ? py::object(*home) : modules().os_path.attr("expanduser")("~");
  if (!PyUnicode_CheckExact(user_dir.ptr())) return std::nullopt;
  py::str log_dir = joined(user_dir, kLogDirName);
  const std::optional<std::string> log_dir_path = system_path(log_dir);
  const bool stamped = log_dir_path && log_dir_as_stamped(*log_dir_path);
  if (!stamped && !usable_dir(log_dir)) return std::nullopt;  // missing or unusable: the full path decides

  const py::str filename = joined(log_dir, (ostrel::str(logger_name) + ".log").c_str());
  py::list logger_handlers;
  logger_handlers.append(ostrel::interned(kConsoleHandler));
  logger_handlers.append(handler_name);
  if (!same_entry(handler_entry, file_handler_entry(cls, filename, level, size)) ||
      !same_entry(logger_entry, logger_entry_of(level, logger_handlers)))
    return std::nullopt;
  PyObject* root_handlers = PyDict_GetItem(root, "handlers"_id.ptr());
  if (root_handlers == nullptr || !PyList_Check(root_handlers)) return std::nullopt;
  const int listed = PySequence_Contains(root_handlers, handler_name.ptr());
  if (listed < 0) throw py::error_already_set();
  if (listed == 0 || !already_applied(config, /*record_compared=*/true, /*files_known=*/stamped))
    return std::nullopt;
  py::object logger = ostrel::attr(modules().logging, "getLogger"_id)(logger_name);
  if (log_dir_path && (stamped || stamp_log_dir(*log_dir_path)))
    remember_answer(logger_name, log_level, max_bytes, config, logger, *log_dir_path);
  return logger;
}

py::object get_and_update_logger(py::object cls, py::object logger_name, py::object log_level,
                                 py::object max_bytes) {
  if (std::optional<py::object> logger = unchanged_logger(cls, logger_name, log_level, max_bytes))
    return *logger;
  py::object level;
  py::object size;
  if (truthy(cls.attr("_logger_exists")(logger_name))) {
    py::dict config = cls.attr("_config_dict");
    level = truthy(log_level) ? log_level : py::object(config["loggers"][logger_name]["level"]);
    if (truthy(max_bytes)) {
      size = max_bytes;
    } else {
      // A logger configured while the log directory was unavailable has no file entry to take the size from.
      py::object handler_name = cls.attr("_handler_name_from_logger_name")(logger_name);
      py::dict handlers = config["handlers"];
      size = handlers.contains(handler_name) ? py::object(handlers[handler_name]["maxBytes"])
                                             : py::object(cls.attr("DEFAULT_MAX_BYTES"));
    }
  } else {
    level = truthy(log_level) ? log_level : py::object(cls.attr("DEFAULT_LOGGING_LEVEL"));
    size = truthy(max_bytes) ? max_bytes : py::object(cls.attr("DEFAULT_MAX_BYTES"));
  }
  cls.attr("_update_logging_configs")(logger_name, level, size);
  return modules().logging.attr("getLogger")(logger_name);
}

py::object make_logger_manager(py::module_& m, py::dict config) {
  using modtree::ClassBuilder;
  return ClassBuilder(m, "LoggerManager")
      .doc(DOC(
          "A static class that oversees all of Ostrel's loggers and their configurations.\n"
          "    It has two functions:\n"
          "        1. Creating new loggers with default or passed-in configurations.\n"
          "        2. Updating existing loggers and their configuration, which is done while a new model is "
          "loaded."))
      .attr("_config_dict", config)
      .attr("DEFAULT_LOGGING_LEVEL", py::int_(kDefaultLoggingLevel))
      .attr("DEFAULT_MAX_BYTES", py::int_(kDefaultMaxBytes))
      .attr("DEFAULT_BACKUP_LOG_COUNT", py::int_(kDefaultBackupLogCount))
      .def_classmethod(
          "get_and_update_logger", &get_and_update_logger, py::arg("cls"), py::arg("logger_name"),
          py::arg("log_level") = py::none(), py::arg("max_bytes") = py::none(),
          "Returns the logger named `logger_name` after creating or updating its configuration.\n"
          "`log_level` is the minimal level of records the logger logs, `max_bytes` the size its "
          "log file may reach before a new file is started.")
      .def_classmethod("_update_logging_configs", &update_logging_configs, py::arg("cls"),
                       py::arg("logger_name"), py::arg("log_level"), py::arg("max_bytes"))
      .def_classmethod("_logger_exists", &logger_exists, py::arg("cls"), py::arg("logger_name"))
      .def_static("_get_existing_log_dir_path", &get_existing_log_dir_path)
      .def_static("_handler_name_from_logger_name", &handler_name_from_logger_name, py::arg("logger_name"))
      .build();
}

}  // namespace

py::object ostrel::update_logger(py::handle manager, py::handle name, py::handle level) {
  py::object cls = py::reinterpret_borrow<py::object>(manager);
  if (g_manager->unchanged(cls))
    return get_and_update_logger(cls, py::reinterpret_borrow<py::object>(name), py::reinterpret_borrow<py::object>(level),
                                 py::none());
  return ostrel::attr(cls, "get_and_update_logger")(py::arg("logger_name") = name, py::arg("log_level") = level);
}

namespace {

py::handle g_logger_module;  // this module, kept for the life of the process

py::object make_ilogger(py::module_& m, py::object manager) {
  using modtree::ClassBuilder;
  g_logger_module = py::object(m).release();
  return ClassBuilder(m, "ILogger")
      .doc(DOC("Gives the derived class default logging through self._logger."))
      .def(
          "__init__",
          // The manager is looked up in this module at call time, as a global name would be.
          [](py::object self, py::object logger_name, py::object verbosity) {
            py::object name =
                truthy(logger_name) ? logger_name : py::object(py::str(ostrel::attr(self, "__module__"_id)));
            self.attr("_logger"_id) =
                ostrel::update_logger(ostrel::attr(g_logger_module, "LoggerManager"_id), name, verbosity);
          },
          py::arg("self"), py::arg("logger_name") = py::none(),
          py::arg("verbosity") = manager.attr("DEFAULT_LOGGING_LEVEL"))
      .build();
}

}  // namespace

MODTREE_MODULE("common.logger_factory", m) {
  m.attr("logging") = py::module_::import("logging");
  py::module_::import("logging.config");
  m.attr("os") = py::module_::import("os");

  py::dict config = make_default_configuration();
  m.attr("DEFAULT_LOGGING_CONFIGURATION") = config;
  py::object names = py::module_::import("logging").attr("getLevelNamesMapping")();
  m.attr("VALID_LOGGING_VERBOSITY_INPUTS") = py::set(names);

  py::object manager = make_logger_manager(m, config);
  original_os_functions();
  g_manager = new ostrel::ClassAsMade(manager, {"get_and_update_logger", "_logger_exists", "_update_logging_configs",
                                                "_get_existing_log_dir_path", "_handler_name_from_logger_name"});
  m.attr("get_logger") = manager.attr("get_and_update_logger");
  make_ilogger(m, manager);
}
