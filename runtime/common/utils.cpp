// Timers, output capture, GPU-memory readers, strict mapping lookup and a per-object cached attribute.
//
// The CPU timer's start()/stop() are method descriptors over native::perf_counter(), so a call costs no
// more than any builtin method; the benchmark engine recognises a plain CPUTimer (see utils.hpp) and reads
// the clock without going through Python at all.
//
// The output capture redirects a descriptor into a pipe through native::FdCapture, which also keeps
// overlapping captures of one descriptor in order whatever order they end in. Its echo thread,
// PipePrinter, is a real threading.Thread whose run() lets a native drain (native::LineDrain) read the
// pipe without the GIL; the Python thread takes the GIL only to keep and print the lines. So a writer on
// the captured descriptor never blocks on the echo, not even while it holds the GIL itself.
#include "runtime/common/utils.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/fd_capture.hpp"
#include "native/pipe_lines.hpp"
#include "native/timing.hpp"
#include "native/unique_fd.hpp"

namespace py = pybind11;

namespace {

// Docstrings are stored as a class body's triple-quoted text would store them.
#define DOC(text) "\n    " text "\n    "

// ---- small helpers --------------------------------------------------------------------------------

// Raises an instance of `cls` built from exactly the given arguments (`raise cls(*args)`).
template <typename... Args>
[[noreturn]] void raise_new(py::handle cls, Args&&... args) {
  py::object exc = py::reinterpret_borrow<py::object>(cls)(std::forward<Args>(args)...);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

[[noreturn]] void raise_errno(int error) {
  errno = error;
  PyErr_SetFromErrno(PyExc_OSError);
  throw py::error_already_set();
}

// A name of the module looked up when the code runs, as a Python function's global name would be:
// the module's namespace, then the builtins; NameError when neither has it.
py::object global(py::handle globals, const char* name) {
  PyObject* value = PyDict_GetItemString(globals.ptr(), name);  // borrowed
  if (value == nullptr) value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
  if (value == nullptr) {
    py::dict kw;
    kw["name"] = name;
    raise_new(PyExc_NameError, py::str("name '{}' is not defined").format(name), **kw);
  }
  return py::reinterpret_borrow<py::object>(value);
}

// `super(cls, self)`.
py::object super_of(py::handle cls, py::handle self) { return ostrel::builtin("super")(cls, self); }

int as_fd(py::handle obj) {
  int fd = PyObject_AsFileDescriptor(obj.ptr());
  if (fd < 0) throw py::error_already_set();
  return fd;
}

// The class being built, for code of its own methods (super() needs it). Filled once the class exists.
using ClassSlot = std::shared_ptr<py::object>;

// ---- timers ---------------------------------------------------------------------------------------

// The one CPUTimer class and its native members, for is_cpu_timer(). Strong references, never released:
// they must stay valid for code that runs during finalisation.
PyTypeObject* g_cpu_timer_type = nullptr;
PyObject* g_cpu_timer_start = nullptr;
PyObject* g_cpu_timer_stop = nullptr;
PyObject* g_starter_name = nullptr;  // interned "starter"

PyObject* cpu_timer_start(PyObject* self) {
  PyObject* mark = PyFloat_FromDouble(ostrel::native::perf_counter());
  if (mark == nullptr) return nullptr;
  const int rc = PyObject_SetAttr(self, g_starter_name, mark);
  Py_DECREF(mark);
  if (rc < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* cpu_timer_stop(PyObject* self) {
  const double now = ostrel::native::perf_counter();
  PyObject* starter = PyObject_GetAttr(self, g_starter_name);
  if (starter == nullptr) return nullptr;
  if (PyFloat_CheckExact(starter)) {
    const double s = PyFloat_AS_DOUBLE(starter);
    Py_DECREF(starter);
    return PyFloat_FromDouble((now - s) * 1000.0);
  }
  // Whatever else was stored there: Python's own arithmetic, (now - starter) * 1000.
  PyObject* now_obj = PyFloat_FromDouble(now);
  PyObject* diff = now_obj == nullptr ? nullptr : PyNumber_Subtract(now_obj, starter);
  Py_XDECREF(now_obj);
  Py_DECREF(starter);
  if (diff == nullptr) return nullptr;
  PyObject* thousand = PyLong_FromLong(1000);
  PyObject* result = thousand == nullptr ? nullptr : PyNumber_Multiply(diff, thousand);
  Py_XDECREF(thousand);
  Py_DECREF(diff);
  return result;
}

PyMethodDef g_cpu_timer_methods[] = {
    ostrel::noargs_method<&cpu_timer_start>(
        "start", "start($self, /)\n--\n\nMarks the start: stores a time.perf_counter() reading in starter."),
    ostrel::noargs_method<&cpu_timer_stop>(
        "stop", "stop($self, /)\n--\n\nReturns the milliseconds elapsed since the last start()."),
};

py::object build_timer(py::module_& m) {
  modtree::ClassBuilder cls(m, "Timer");
  cls.doc(DOC("Timer that measures both GPU and CPU processes. Returns the time in milliseconds."));
  cls.def(
      "__init__", [](py::object self, py::object device) { self.attr("_device") = device; }, py::arg("self"),
      py::arg("device"));
  cls.def_abstract(
      "start", [](py::object) { ostrel::raise(PyExc_NotImplementedError); }, py::arg("self"));
  cls.def_abstract(
      "stop", [](py::object) { ostrel::raise(PyExc_NotImplementedError); }, py::arg("self"));
  cls.def_property("device", [](py::object self) { return self.attr("_device"); });
  return cls.build();
}

py::object build_cpu_timer(py::module_& m, py::handle timer) {
  ClassSlot slot = std::make_shared<py::object>();
  modtree::ClassBuilder cls(m, "CPUTimer");
  cls.base(timer);
  cls.def(
      "__init__",
      [slot](py::object self) {
        super_of(*slot, self).attr("__init__")("cpu");
        self.attr("starter") = 0.0;
      },
      py::arg("self"));
  py::object built = cls.build();
  *slot = built;
  auto* type = reinterpret_cast<PyTypeObject*>(built.ptr());
  for (PyMethodDef& def : g_cpu_timer_methods) {
    py::object descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &def));
    if (!descr) throw py::error_already_set();
    py::setattr(built, def.ml_name, descr);
  }
  // Publish the newest class (a re-run of the module makes a new one; older instances then simply take
  // the Python path).
  Py_INCREF(built.ptr());
  g_cpu_timer_type = type;
  g_cpu_timer_start = py::object(built.attr("start")).release().ptr();
  g_cpu_timer_stop = py::object(built.attr("stop")).release().ptr();
  return built;
}

py::object build_gpu_timer(py::module_& m, py::handle timer) {
  ClassSlot slot = std::make_shared<py::object>();
  modtree::ClassBuilder cls(m, "GPUTimer");
  cls.base(timer);
  cls.doc(DOC("On the GPU, time is measured with CUDA events recorded on a stream."));
  cls.def(
      "__init__",
      [slot](py::object self, py::object device, py::object stream) {
        super_of(*slot, self).attr("__init__")(device);
        self.attr("_GPUTimer__stream") = stream;
        if (self.attr("_GPUTimer__stream").is_none()) {
          // The first import retains the primary context of the default device and makes it current here.
          self.attr("device_context") = py::module_::import("pycuda.autoprimaryctx").attr("context");
        }
        self.attr("cuda") = py::module_::import("pycuda.driver");
        self.attr("starter") = self.attr("cuda").attr("Event")();
        self.attr("ender") = self.attr("cuda").attr("Event")();
      },
      py::arg("self"), py::arg("device") = "cuda", py::arg("stream") = py::none());
  cls.def(
      "start", [](py::object self) { self.attr("starter").attr("record")(self.attr("_GPUTimer__stream")); },
      py::arg("self"));
  cls.def(
      "stop",
      [](py::object self) {
        py::object stream = self.attr("_GPUTimer__stream");
        self.attr("ender").attr("record")(stream);
        if (!stream.is_none())
          stream.attr("synchronize")();
        else
          self.attr("device_context").attr("synchronize")();
        return self.attr("ender").attr("time_since")(self.attr("starter"));
      },
      py::arg("self"));
  py::object built = cls.build();
  *slot = built;
  return built;
}

void define_get_timer(py::module_& m) {
  py::dict g = m.attr("__dict__");
  m.attr("get_timer") = modtree::python_function(py::cpp_function(
      [g](py::object inference_hardware, py::object stream) -> py::object {
        py::object hardware = global(g, "InferenceHardware");
        if (inference_hardware.equal(hardware.attr("GPU")))
          return global(g, "GPUTimer")(py::arg("device") = "cuda", py::arg("stream") = stream);
        if (inference_hardware.equal(hardware.attr("CPU"))) return global(g, "CPUTimer")();
        raise_new(global(g, "InvalidInferenceHardware"), inference_hardware);
      },
      py::name("get_timer"), py::arg("inference_hardware") = py::none(), py::arg("stream") = py::none(),
      "Creates a timer based on the device."), "get_timer");
}

// ---- output capture -------------------------------------------------------------------------------

// The descriptor behind a PipePrinter's reader when PipePrinter opened that reader itself from a number,
// so nothing of the stream has been read through the reader's buffers: -1 otherwise.
int own_reader_fd(py::handle self, py::handle reader) {
  py::object fd = py::getattr(self, "_PipePrinter__fd", py::none());
  if (fd.is_none()) return -1;
  py::object reader_fd;
  try {
    reader_fd = reader.attr("fileno")();
  } catch (py::error_already_set&) {
    return -1;  // closed or replaced by something without a descriptor
  }
  return reader_fd.equal(fd) ? as_fd(fd) : -1;
}

// Collects and echoes one line. The first failure is kept for the end of the run; the pipe keeps being
// drained whatever happens here.
struct LineSink {
  explicit LineSink(py::object owner) : self(std::move(owner)) {}
  py::object self;
  py::object print = ostrel::builtin("print");
  std::optional<py::error_already_set> first_error;

  void take(py::handle line) {
    try {
      self.attr("_output").attr("append")(line);
      print(line.attr("rstrip")());
    } catch (py::error_already_set& e) {
      if (!first_error) first_error = std::move(e);
    }
  }
  void fail(py::error_already_set e) {
    if (!first_error) first_error = std::move(e);
  }
};

// The echo loop over a reader that is only known as a text file.
void run_over_text_reader(py::object self, py::object reader) {
  for (py::handle line : reader) {
    self.attr("_output").attr("append")(line);
    ostrel::builtin("print")(line.attr("rstrip")());
  }
  reader.attr("close")();
}

void pipe_printer_run(py::object self) {
  py::object reader = self.attr("_pipe_reader");
  const int fd = own_reader_fd(self, reader);
  if (fd < 0) return run_over_text_reader(self, reader);

  // Decoded like the reader would decode it (its encoding), but never failing: undecodable bytes become
  // U+FFFD, and the pipe is drained to its end whatever arrives.
  std::string encoding = py::str(reader.attr("encoding")).cast<std::string>();
  // The drain reads a descriptor of its own: closing the reader meanwhile cannot make it read whatever
  // gets that number next.
  std::unique_ptr<ostrel::native::LineDrain> drain;
  int error = 0;
  ostrel::native::UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!own) error = errno;
  try {
    if (own) drain = std::make_unique<ostrel::native::LineDrain>(std::move(own));
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  if (error != 0) {
    reader.attr("close")();  // writers now fail (EPIPE) instead of blocking on a pipe that nobody reads
    raise_errno(error);
  }
  LineSink sink(self);
  std::vector<std::string> lines;
  bool more = true;
  while (more) {
    lines.clear();
    {
      py::gil_scoped_release nogil;
      more = drain->wait_lines(lines);
    }
    for (const std::string& raw : lines) {
      PyObject* text =
          PyUnicode_Decode(raw.data(), static_cast<Py_ssize_t>(raw.size()), encoding.c_str(), "replace");
      if (text == nullptr) {
        // An unknown encoding name: fall back to UTF-8 rather than stop draining.
        sink.fail(py::error_already_set());
        text = PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace");
        if (text == nullptr) {
          sink.fail(py::error_already_set());
          continue;
        }
      }
      sink.take(py::reinterpret_steal<py::object>(text));
    }
  }
  const int read_error = drain->error();
  {
    py::gil_scoped_release nogil;
    drain.reset();  // the reading thread has already met the end; this only joins it
  }
  try {
    reader.attr("close")();
  } catch (py::error_already_set& e) {
    sink.fail(std::move(e));
  }
  if (sink.first_error) {
    sink.first_error->restore();
    throw py::error_already_set();
  }
  if (read_error != 0) raise_errno(read_error);
}

py::object build_pipe_printer(py::module_& m) {
  py::dict g = m.attr("__dict__");
  ClassSlot slot = std::make_shared<py::object>();
  modtree::ClassBuilder cls(m, "PipePrinter");
  cls.base(m.attr("Thread"));
  cls.doc(DOC("Prints all lines from the read end of a pipe and collects all of the output."));
  cls.def(
      "__init__",
      [slot, g](py::object self, py::object pipe_reader, py::kwargs kwargs) {
        super_of(*slot, self).attr("__init__")(**kwargs);
        py::object fd = py::none();
        if (py::isinstance<py::int_>(pipe_reader)) {
          fd = pipe_reader;
          pipe_reader = global(g, "os").attr("fdopen")(pipe_reader, "r", py::arg("errors") = "replace");
        }
        self.attr("_pipe_reader") = pipe_reader;
        self.attr("_PipePrinter__fd") = fd;
        self.attr("_output") = py::list();
      },
      py::arg("self"), py::arg("pipe_reader"));
  cls.def("run", &pipe_printer_run, py::arg("self"));
  cls.def_property("output", [](py::object self) { return py::str("").attr("join")(self.attr("_output")); });
  py::object built = cls.build();
  *slot = built;
  return built;
}

// The descriptor the echo prints to (that of sys.stdout), or -1 when it has none.
int echo_fd() {
  py::object out = py::module_::import("sys").attr("stdout");
  if (out.is_none()) return -1;
  try {
    return as_fd(out);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return -1;  // a stream of its own (io.StringIO, say): the echo cannot feed back into a descriptor
  }
}

using NativeCapture = ostrel::native::FdCapture;

// The native redirection of an active capture, held by the CaptureWrites object under a private name.
constexpr const char* kNativeCapture = "_CaptureWrites__capture";

NativeCapture* native_capture(py::handle self) {
  py::object held = py::getattr(self, kNativeCapture, py::none());
  if (!PyCapsule_CheckExact(held.ptr())) return nullptr;
  return py::reinterpret_borrow<py::capsule>(held).get_pointer<NativeCapture>();
}

void stop_quietly(NativeCapture& capture) {
  try {
    capture.stop();
  } catch (const std::system_error&) {
    // The failure being reported is the one that matters.
  }
}

// Puts an object whose capture entry failed back as it was: the echo thread, if one was made, has met
// the end of its pipe (the capture is stopped already) and is joined, or its reader closed when it never
// ran. Failures of these steps are dropped: the failure of the entry is the one to report.
void undo_entry(py::handle self, py::handle thread, bool started, py::handle previous_output) {
  try {
    // A start() that raised (an interrupt while it waited) may still have started the thread.
    const bool running = started || (thread && PyObject_IsTrue(thread.attr("is_alive")().ptr()) == 1);
    if (thread && running)
      thread.attr("join")();
    else if (thread)
      thread.attr("_pipe_reader").attr("close")();
  } catch (py::error_already_set&) {
  }
  try {
    self.attr("_pipe_read_thread") = py::none();
    self.attr("_orig_fd_dup") = py::none();
    self.attr("_output") = previous_output;
  } catch (py::error_already_set&) {
  }
}

void capture_init(py::object self, py::object source_fd) {
  if (py::hasattr(source_fd, "fileno")) source_fd = source_fd.attr("fileno")();
  self.attr("_source_fd") = source_fd;
  self.attr("_orig_fd_dup") = py::none();
  self.attr("_pipe_read_thread") = py::none();
  self.attr("_output") = "";
}

// The source fd of an object about to capture: refused when it captures already, or when the source is
// where the echo goes.
int capture_source(py::handle self) {
  if (!self.attr("_pipe_read_thread").is_none())
    ostrel::raise(PyExc_RuntimeError,
                  "fd " + ostrel::str(self.attr("_source_fd")) + " is already being captured by this object");
  const int source = as_fd(self.attr("_source_fd"));
  if (source == echo_fd())
    ostrel::raise(PyExc_ValueError, "cannot capture fd " + std::to_string(source) +
                                        ": it is standard output, where the capture echoes what it reads");
  return source;
}

// Starts the echo thread on the pipe's read end and records the running capture on the object. On a
// failure the capture is stopped and the object put back as it was.
void start_echo(const py::dict& g, py::object self, NativeCapture* native, py::capsule holder,
                ostrel::native::UniqueFd reader, py::object previous_output) {
  py::object thread;
  bool started = false;
  try {
    const int read_end = reader.release();
    try {
      thread = global(g, "PipePrinter")(read_end);
    } catch (py::error_already_set&) {
      // The read end is closed already when a reader was made from it and then dropped.
      if (::fcntl(read_end, F_GETFD) != -1) ::close(read_end);
      throw;
    }
    self.attr("_orig_fd_dup") = native->original_fd();
    self.attr("_pipe_read_thread") = thread;
    thread.attr("start")();
    started = true;
    self.attr(kNativeCapture) = holder;
  } catch (py::error_already_set&) {
    stop_quietly(*native);  // the pipe's last writer goes: a started thread meets its end
    undo_entry(self, thread, started, previous_output);
    throw;
  }
}

py::object capture_enter(const py::dict& g, py::object self) {
  const int source = capture_source(self);
  py::object previous_output = self.attr("_output");
  self.attr("clear_buffer")();
  auto capture = std::make_unique<NativeCapture>(source);
  ostrel::native::UniqueFd reader;
  try {
    reader = capture->start();
  } catch (const std::system_error& e) {
    self.attr("_output") = previous_output;
    raise_errno(e.code().value());
  }
  // Held by the object for as long as the capture lasts; dropping it stops an active capture.
  NativeCapture* native = capture.get();
  py::capsule holder(native, [](void* p) { delete static_cast<NativeCapture*>(p); });
  capture.release();
  start_echo(g, self, native, std::move(holder), std::move(reader), std::move(previous_output));
  return self;
}

void capture_exit(py::object self) {
  py::object thread = self.attr("_pipe_read_thread");
  if (thread.is_none()) return;
  // Restoring the source also drops the pipe's last write end: the echo thread meets its end of file.
  if (NativeCapture* capture = native_capture(self)) {
    try {
      capture->stop();
    } catch (const std::system_error& e) {
      raise_errno(e.code().value());  // still capturing: the caller may retry
    }
  }
  std::optional<py::error_already_set> join_error;
  try {
    thread.attr("join")(1.0);  // waits with the GIL released, so the echo can finish
  } catch (py::error_already_set& e) {
    join_error = std::move(e);  // an interrupt, say: the lines collected so far are still kept
  }
  self.attr("_output") = thread.attr("output");
  self.attr("_orig_fd_dup") = py::none();
  py::delattr(self, "_pipe_read_thread");
  self.attr("_pipe_read_thread") = py::none();
  if (py::hasattr(self, kNativeCapture)) py::delattr(self, kNativeCapture);
  if (join_error) throw std::move(*join_error);
}

py::object build_capture_writes(py::module_& m) {
  py::dict g = m.attr("__dict__");
  modtree::ClassBuilder cls(m, "CaptureWrites");
  cls.doc(
      DOC("Capture all writes to a file such as stderr, print them on the screen in real time, and keep all "
          "of them for later use."));
  cls.def("__init__", &capture_init, py::arg("self"), py::arg("source_fd"));
  cls.def(
      "__enter__", [g](py::object self) { return capture_enter(g, self); }, py::arg("self"));
  cls.def(
      "__exit__", [](py::object self, py::args /*exc_info*/) { capture_exit(self); }, py::arg("self"));
  cls.def(
      "clear_buffer", [](py::object self) { self.attr("_output") = ""; }, py::arg("self"));
  cls.def_property("output", [](py::object self) { return self.attr("_output"); });
  return cls.build();
}

// ---- GPU-memory readers ---------------------------------------------------------------------------

py::dict attr_map(std::initializer_list<std::pair<const char*, const char*>> entries) {
  py::dict d;
  for (const auto& [k, v] : entries) d[k] = v;
  return d;
}

void build_memory_readers(py::module_& m) {
  py::dict g = m.attr("__dict__");

  modtree::ClassBuilder gputil(m, "GPUtilWrapper");
  gputil.attr("ATTR_MAP", attr_map({{"used", "memoryUsed"},
                                    {"free", "memoryFree"},
                                    {"util", "memoryUtil"},
                                    {"total", "memoryTotal"}}));
  gputil.def_static("getGPUs", [g]() { return global(g, "GPUtil").attr("getGPUs")(); });
  gputil.def_static(
      "get_memory",
      [g](py::object gpu, py::object attr) {
        py::object name = global(g, "safe_lookup")(global(g, "GPUtilWrapper").attr("ATTR_MAP"), attr);
        return py::getattr(gpu, name);
      },
      py::arg("gpu"), py::arg("attr") = "used");
  gputil.build();

  modtree::ClassBuilder jtop(m, "jtopWrapper");
  jtop.attr("ATTR_MAP",
            attr_map({{"used", "use"}, {"shared", "shared"}, {"unit", "unit"}, {"total", "tot"}}));
  jtop.def_static(
      "get_memory",
      [g](py::object attr) {
        py::object keyword = global(g, "safe_lookup")(global(g, "jtopWrapper").attr("ATTR_MAP"), attr);
        py::object client = global(g, "jtop").attr("jtop")();
        client.attr("start")();
        py::object figure;
        try {
          py::object entry = client.attr("ram")[keyword];
          // Amounts come in KiB and are given in MiB; the unit entry names a unit and is given as it is.
          figure = py::isinstance<py::str>(entry) ? entry : entry / py::float_(1024.0);
        } catch (py::error_already_set&) {
          // The client is closed on failure too; the read's error is the one reported.
          try {
            client.attr("close")();
          } catch (py::error_already_set&) {
          }
          throw;
        }
        client.attr("close")();
        return figure;
      },
      py::arg("attr") = "used");
  jtop.build();
}

// ---- safe lookup and cached property --------------------------------------------------------------

void define_safe_lookup(py::module_& m) {
  py::dict g = m.attr("__dict__");
  m.attr("safe_lookup") = modtree::python_function(py::cpp_function(
      [g](py::object d, py::object k) -> py::object {
        py::object val = d.attr("get")(k);
        if (val.is_none()) {
          py::list keys(d.attr("keys")());
          raise_new(global(g, "MappingKeyError"),
                    py::str("Keyword '" + ostrel::text(k) +
                            "' did not correspond to possible keys: " + ostrel::str(keys)));
        }
        return val;
      },
      py::name("safe_lookup"), py::arg("d"), py::arg("k")), "safe_lookup");
}

void build_cached_property(py::module_& m) {
  modtree::ClassBuilder cls(m, "cached_property");
  cls.def(
      "__init__",
      [](py::object self, py::object method) {
        self.attr("_attr_name") = method.attr("__name__");
        self.attr("_method") = method;
      },
      py::arg("self"), py::arg("method"));
  cls.def(
      "__get__",
      [](py::object self, py::object obj, py::object /*cls*/) {
        py::object value = self.attr("_method")(obj);
        py::setattr(obj, self.attr("_attr_name"), value);
        return value;
      },
      py::arg("self"), py::arg("obj"), py::arg("cls"));
  cls.build();
}

#undef DOC

}  // namespace

namespace ostrel::utils {

bool is_cpu_timer(py::handle obj) {
  if (g_cpu_timer_type == nullptr || Py_TYPE(obj.ptr()) != g_cpu_timer_type) return false;
  auto* type = reinterpret_cast<PyObject*>(g_cpu_timer_type);
  for (auto [name, native] : {std::pair{"start", g_cpu_timer_start}, std::pair{"stop", g_cpu_timer_stop}}) {
    PyObject* current = PyObject_GetAttrString(type, name);
    if (current == nullptr) {
      PyErr_Clear();
      return false;
    }
    Py_DECREF(current);
    if (current != native) return false;
  }
  // An instance attribute named start or stop shadows the method.
  PyObject* dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
  if (dict == nullptr) {
    PyErr_Clear();
    return true;
  }
  bool shadowed =
      PyDict_GetItemString(dict, "start") != nullptr || PyDict_GetItemString(dict, "stop") != nullptr;
  Py_DECREF(dict);
  return !shadowed;
}

void set_cpu_timer_starter(py::handle timer, double starter) {
  py::setattr(timer, "starter", py::float_(starter));
}

}  // namespace ostrel::utils

MODTREE_MODULE("common.utils", m) {
  if (g_starter_name == nullptr) g_starter_name = PyUnicode_InternFromString("starter");
  m.attr("os") = py::module_::import("os");
  m.attr("time") = py::module_::import("time");
  m.attr("abstractmethod") = modtree::import_from("abc", "abstractmethod");
  m.attr("Thread") = modtree::import_from("threading", "Thread");
  m.attr("InferenceHardware") = modtree::import_from("ostrel", "InferenceHardware");
  m.attr("InvalidInferenceHardware") =
      modtree::import_from("ostrel.common.exceptions", "InvalidInferenceHardware");
  m.attr("MappingKeyError") = modtree::import_from("ostrel.common.exceptions", "MappingKeyError");
  // Optional packages: a failed import leaves the name unbound, and the readers then raise NameError.
  for (const char* optional : {"GPUtil", "jtop"}) {
    try {
      m.attr(optional) = py::module_::import(optional);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
    }
  }

  py::object timer = build_timer(m);
  build_cpu_timer(m, timer);
  build_gpu_timer(m, timer);
  define_get_timer(m);
  build_pipe_printer(m);
  build_capture_writes(m);
  build_memory_readers(m);
  define_safe_lookup(m);
  build_cached_property(m);
}
