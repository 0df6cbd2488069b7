// The one logging configuration of the process.
//
// Every logger of the package writes to a shared console handler on standard output and to a size-rotating
// file of its own in the per-user directory "tamsor_logs". The whole configuration lives in one mapping
// (`LoggerManager._config_dict`, the same object as `DEFAULT_LOGGING_CONFIGURATION`) that every call
// changes in place and applies with `logging.config.dictConfig` when the application would change
// something: a call that repeats the last applied record, while everything that application set up (the
// loggers' levels, handlers and `propagate`, the handlers' levels, formatters and filters, the
// console handler's standard stream, the log files) is still in place, applies nothing (a model load
// re-levels the package logger on every call, and closing and reopening every handler each time costs
// more than creating a small model's session).
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
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

// logging's own module lock (a reentrant lock), held for a whole update. The logging calls of other
// threads that change loggers (setLevel, addHandler, removeHandler, dictConfig) wait for it, and two
// updates never interleave: an update never sees the record or the loggers half changed.
ostrel::HeldLock logging_lock() { return ostrel::HeldLock(modules().logging.attr("_lock")); }

py::object deepcopy(py::handle value) { return py::module_::import("copy").attr("deepcopy")(value); }

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

// The file-system name of `path` (text, bytes or a path object), as os functions take it; empty for a name
// holding a NUL byte, which names nothing.
std::string fs_name(py::handle path) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
    PyErr_Clear();
    return {};
  }
  const py::bytes name = py::reinterpret_steal<py::bytes>(encoded);
  return name;
}

// True when `path`, whose look `st` found, is a folder (links followed) this process can create and write
// files in (as os.access answers).
bool usable_dir_at(py::handle path, const struct stat& st) {
  const py::module_& os = modules().os;
  if (!S_ISDIR(st.st_mode)) return false;
  return truthy(os.attr("access"_id)(path, py::int_(os.attr("W_OK"_id)) | py::int_(os.attr("X_OK"_id))));
}

bool usable_dir(py::handle path) {
  const std::string name = fs_name(path);
  struct stat st{};
  return !name.empty() && ::stat(name.c_str(), &st) == 0 && usable_dir_at(path, st);
}

void warn_console_only(py::handle error) { py::print(py::str(kMissingLogDirWarning) + py::str(error)); }

// The log directory: made when missing; None, with the warning, when it cannot be made or is there but
// unusable (a file in its place, a folder this process cannot write in). A folder that another thread or
// process made between the look and the mkdir is used.
py::object get_existing_log_dir_path() {
  const py::module_& os = modules().os;
  // The folder under the home directory: expanding "~/tamsor_logs" gives what joining the name to the
  // expanded "~" gives, in one call.
  py::object log_dir = modules().os_path.attr("expanduser"_id)(std::string("~/") + kLogDirName);
  // One look at the folder answers whether it is there and whether it is usable.
  const std::string name = fs_name(log_dir);
  struct stat st{};
  if (!name.empty() && ::stat(name.c_str(), &st) == 0) {
    if (usable_dir_at(log_dir, st)) return log_dir;
    const int error_number = S_ISDIR(st.st_mode) ? EACCES : ENOTDIR;
    warn_console_only(ostrel::builtin("OSError")(error_number, std::strerror(error_number), log_dir));
    return py::none();
  }
  try {
    os.attr("mkdir")(log_dir);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    if (e.matches(PyExc_FileExistsError) && usable_dir(log_dir)) return log_dir;
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
  for (auto name : stale) handlers.attr("pop")(name, py::none());
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
      if (refs.contains(ref)) refs.attr("remove")(ref);  // a handler collected meanwhile took its own out
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

// What the last successful application left: a copy of the record as applied, and what it set up on
// the loggers it names (root and every configured logger) and on the handlers it made. A call whose record
// equals the copy while all of this still holds has nothing to apply; any difference (a level, a size, a
// logger added, a handler replaced, closed or given another level, formatter or filter, `propagate`
// changed, a log file removed or replaced, sys.stdout replaced) applies the whole record again. A
// logger's own filters are not the record's: its application leaves them as they are.
struct Applied {
  py::object record;  // deep copy of the record, or None before the first application
  py::list loggers;   // (logger, tuple of its handlers, level, propagate)
  py::list handlers;  // (handler, level, formatter, tuple of its filters)
  py::list streams;   // (handler, name of the sys attribute its stream was taken from)
  py::list files;     // (file handler, path of its log file)
};

Applied& applied() {
  static Applied* state = new Applied{py::none(), py::list(), py::list(), py::list(), py::list()};  // process lifetime
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
  const py::module_& logging = modules().logging;
  py::object get_logger = logging.attr("getLogger");
  py::object named = logging.attr("_handlers");
  py::list loggers, handlers, streams, files;
  auto remember = [&](py::object logger) {
    loggers.append(
        py::make_tuple(logger, py::tuple(logger.attr("handlers")), logger.attr("level"), logger.attr("propagate")));
  };
  remember(get_logger());
  for (auto item : py::dict(config["loggers"])) remember(get_logger(item.first));
  for (auto item : py::dict(config["handlers"])) {
    py::object handler = named.attr("get")(item.first);
    if (handler.is_none()) continue;
    handlers.append(py::make_tuple(handler, handler.attr("level"), handler.attr("formatter"),
                                   py::tuple(handler.attr("filters"))));
    py::object entry = py::reinterpret_borrow<py::object>(item.second);
    if (!py::isinstance<py::dict>(entry) || !entry.contains("stream")) continue;
    py::object stream = entry["stream"];
    for (const char* which : {"stdout", "stderr"})
      if (stream.equal(py::str(std::string("ext://sys.") + which))) streams.append(py::make_tuple(handler, which));
  }
  for_each_file_handler(config, [&](py::object name, py::dict h) {
    py::object handler = named.attr("get")(name);
    if (!handler.is_none()) files.append(py::make_tuple(handler, h["filename"]));
  });
  a.record = deepcopy(config);
  a.loggers = loggers;
  a.handlers = handlers;
  a.streams = streams;
  a.files = files;
}

void forget_application() { applied().record = py::none(); }

// True when `handler` writes to the regular file at `path`: its open file and what the path leads to are
// one regular file. A log file removed, or replaced by a FIFO, a folder or a link elsewhere, is not.
bool log_file_in_place(py::handle handler, py::handle path) {
  py::object stream = handler.attr("stream"_id);
  if (stream.is_none()) return false;  // closed
  const int fd = stream.attr("fileno"_id)().cast<int>();
  const std::string text = fs_name(path);
  struct stat opened{}, at_path{};
  if (text.empty() || ::fstat(fd, &opened) != 0 || ::stat(text.c_str(), &at_path) != 0) return false;
  return S_ISREG(opened.st_mode) && S_ISREG(at_path.st_mode) && opened.st_dev == at_path.st_dev &&
         opened.st_ino == at_path.st_ino;
}

// True when `now` (a list another thread may change meanwhile: read as a copy) holds the objects of `kept`.
bool same_items(py::object now, py::object kept) {
  py::tuple items = py::tuple(py::reinterpret_borrow<py::object>(now));
  py::tuple before = kept;
  if (items.size() != before.size()) return false;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!items[i].is(before[i])) return false;
  return true;
}

// True when everything the last application set up is still in place (see Applied), so a record equal to
// the one it applied has nothing to apply. What cannot be read as set up (an attribute replaced by
// something else) counts as changed.
bool set_up_unchanged() {
  const Applied& a = applied();
  try {
    for (auto item : a.loggers) {
      py::tuple kept = py::reinterpret_borrow<py::tuple>(item);  // (logger, handlers, level, propagate)
      py::object logger = kept[0];
      if (!same_items(logger.attr("handlers"_id), kept[1]) || !py::object(logger.attr("level"_id)).equal(kept[2]) ||
          truthy(logger.attr("propagate"_id)) != truthy(kept[3]) || truthy(logger.attr("disabled"_id)))
        return false;
    }
    for (auto item : a.handlers) {
      py::tuple kept = py::reinterpret_borrow<py::tuple>(item);  // (handler, level, formatter, filters)
      py::object handler = kept[0];
      if (!py::object(handler.attr("level"_id)).equal(kept[1]) ||
          !py::object(handler.attr("formatter"_id)).is(kept[2]) || !same_items(handler.attr("filters"_id), kept[3]))
        return false;
    }
    const py::module_& sys = modules().sys;
    for (auto item : a.streams) {
      py::tuple kept = py::reinterpret_borrow<py::tuple>(item);  // (handler, name of the stream)
      py::object stream = kept[0].attr("stream"_id);
      if (!stream.is(ostrel::attr(sys, kept[1]))) return false;
    }
    for (auto item : a.files) {
      py::tuple kept = py::reinterpret_borrow<py::tuple>(item);  // (handler, path)
      if (!log_file_in_place(kept[0], kept[1])) return false;
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  } catch (const py::cast_error&) {  // a stream whose fileno() is no number
    return false;
  }
  return true;
}

// True when the application failed on a file it could not open (dictConfig names the handler and keeps
// the OSError as the cause).
bool failed_on_a_file(const py::error_already_set& e) {
  py::object cause = e.value().attr("__cause__");
  return PyObject_IsInstance(cause.ptr(), PyExc_OSError) == 1;
}

// Applies `config` with dictConfig. A log file that the check before could open may fail to open now
// (its folder removed meanwhile by another thread or process): then, with the warning line, every file
// handler is taken out of the record and the rest applied, so the loggers keep the console; the next
// call brings the files back. When the application fails otherwise, the record is put back as it was
// before the call (in place: the module constant and the class attribute stay one mapping) and
// re-applied, so a bad level does not leave the process without working loggers; the error is raised.
void apply_or_roll_back(py::dict config, py::dict before) {
  auto dict_config = [&](py::dict c) { dict_config_own_handlers(c, before); };
  try {
    try {
      dict_config(config);
    } catch (py::error_already_set& e) {
      if (!failed_on_a_file(e)) throw;
      py::list stale;
      for_each_file_handler(config, [&](py::object name, py::dict) { stale.append(name); });
      warn_console_only(e.value().attr("__cause__"));
      drop_file_handlers(config, stale);
      dict_config(config);
    }
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

// The fields of one entry of the record, in the order the entry holds them.
using Fields = std::initializer_list<std::pair<py::handle, py::handle>>;

// True when `entry` is a mapping of exactly `fields` (equal values).
bool holds_exactly(PyObject* entry, Fields fields) {
  if (!PyDict_Check(entry) || PyDict_GET_SIZE(entry) != static_cast<Py_ssize_t>(fields.size())) return false;
  for (const auto& [key, value] : fields) {
    PyObject* held = PyDict_GetItemWithError(entry, key.ptr());
    if (held == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return false;
    }
    const int same = PyObject_RichCompareBool(held, value.ptr(), Py_EQ);
    if (same < 0) throw py::error_already_set();
    if (same == 0) return false;
  }
  return true;
}

// Writes `section[key]`, a new mapping of `fields`, unless the entry there holds them already (a call that
// repeats the last one makes no new entries). True when it wrote.
bool write_entry(py::handle section, py::handle key, Fields fields) {
  PyObject* existing = PyObject_GetItem(section.ptr(), key.ptr());
  if (existing != nullptr) {
    const py::object held = py::reinterpret_steal<py::object>(existing);
    if (holds_exactly(held.ptr(), fields)) return false;
  } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
  } else {
    throw py::error_already_set();
  }
  py::dict entry;
  for (const auto& [k, v] : fields) entry[k] = v;
  if (PyObject_SetItem(section.ptr(), key.ptr(), entry.ptr()) != 0) throw py::error_already_set();
  return true;
}

// True when the record equals the copy kept from the last application.
bool record_applied(const py::dict& config) {
  const Applied& a = applied();
  return !a.record.is_none() && config.equal(a.record);
}

void update_logging_configs(py::object cls, py::object logger_name, py::object log_level,
                            py::object max_bytes) {
  const ostrel::HeldLock locked = logging_lock();
  py::dict config = cls.attr("_config_dict"_id);
  // The record as it stood: the copy kept from the last application when nobody changed it since.
  const bool was_applied = record_applied(config);
  py::dict before = was_applied ? py::dict(applied().record) : py::dict(deepcopy(config));
  py::object log_dir = cls.attr("_get_existing_log_dir_path"_id)();
  py::object handler_name = cls.attr("_handler_name_from_logger_name"_id)(logger_name);

  bool changed = false;
  py::list logger_handlers;
  logger_handlers.append(py::str(kConsoleHandler));
  if (!log_dir.is_none()) {
    // In the log folder whatever the name holds (a join would leave the folder for a name beginning with "/").
    py::object filename = log_dir + py::str("/") + py::str(logger_name) + py::str(".log");
    changed |= write_entry(config["handlers"_id], handler_name,
                           {{"class"_id, py::str(kFileHandlerClass)},
                            {"level"_id, log_level},
                            {"formatter"_id, "fileFormatter"_id},
                            {"filename"_id, filename},
                            {"maxBytes"_id, max_bytes},
                            {"backupCount"_id, py::object(cls.attr("DEFAULT_BACKUP_LOG_COUNT"_id))},
                            {"encoding"_id, "utf8"_id}});
    logger_handlers.append(handler_name);
  }
  changed |= write_entry(config["loggers"_id], logger_name,
                         {{"level"_id, log_level}, {"handlers"_id, logger_handlers}, {"propagate"_id, Py_False}});
  if (!log_dir.is_none()) {
    py::list root_handlers = config["root"_id]["handlers"_id];
    if (!root_handlers.contains(handler_name)) {
      root_handlers.append(handler_name);
      changed = true;
    }
    if (was_applied && !changed && set_up_unchanged()) return;
    // Opening the files creates missing ones: what the record found missing must be applied anew.
    drop_files_that_cannot_be_opened(config);
  } else {
    drop_unopenable_file_handlers(config);
    if (record_applied(config) && set_up_unchanged()) return;
  }
  apply_or_roll_back(config, before);
}

py::object get_and_update_logger(py::object cls, py::object logger_name, py::object log_level,
                                 py::object max_bytes) {
  const ostrel::HeldLock locked = logging_lock();
  py::object level;
  py::object size;
  if (truthy(cls.attr("_logger_exists"_id)(logger_name))) {
    py::dict config = cls.attr("_config_dict"_id);
    level = truthy(log_level) ? log_level : py::object(config["loggers"_id][logger_name]["level"_id]);
    if (truthy(max_bytes)) {
      size = max_bytes;
    } else {
      // A logger configured while the log directory was unavailable has no file entry to take the size from.
      py::object handler_name = cls.attr("_handler_name_from_logger_name"_id)(logger_name);
      py::dict handlers = config["handlers"_id];
      size = handlers.contains(handler_name) ? py::object(handlers[handler_name]["maxBytes"_id])
                                             : py::object(cls.attr("DEFAULT_MAX_BYTES"_id));
    }
  } else {
    level = truthy(log_level) ? log_level : py::object(cls.attr("DEFAULT_LOGGING_LEVEL"_id));
    size = truthy(max_bytes) ? max_bytes : py::object(cls.attr("DEFAULT_MAX_BYTES"_id));
  }
  cls.attr("_update_logging_configs"_id)(logger_name, level, size);
  return modules().logging.attr("getLogger"_id)(logger_name);
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
  return manager.attr("get_and_update_logger")(py::arg("logger_name") = name, py::arg("log_level") = level);
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
                truthy(logger_name) ? logger_name : py::object(py::str(self.attr("__module__")));
            self.attr("_logger") =
                ostrel::update_logger(g_logger_module.attr("LoggerManager"), name, verbosity);
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
  m.attr("get_logger") = manager.attr("get_and_update_logger");
  make_ilogger(m, manager);
}
