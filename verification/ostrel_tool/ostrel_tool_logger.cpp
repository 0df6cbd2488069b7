// The benchmark log (SUCCESS blocks, ERROR lines and ERROR blocks) and the results CSV.
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
#include "native/csv_table.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;

namespace {

const std::string kSuccessHeader = "--------------------- SUCCESS ---------------------\n\n";
const std::string kErrorHeader = "--------------------- ERROR ---------------------\n\n";
const std::string kClosing = std::string(51, '-') + "\n\n\n\n";

void write(py::object self, const std::string& text) { self.attr("logfile_fp").attr("write")(text); }

// A path's own bytes: a name that is not UTF-8 is still a name the file system knows.
std::string path_bytes(py::handle path) {
  return py::bytes(py::module_::import("os").attr("fsencode")(path)).cast<std::string>();
}

// The log is opened as the CSV is: another user's link in a shared temporary folder is refused, and a
// FIFO or device under its name is refused at once instead of blocking the open.
void init(py::object self, py::object logfile_path, py::object csvfile_path) {
  self.attr("log_path") = logfile_path;
  ostrel::native::UniqueFd fd;
  try {
    fd = ostrel::native::open_for_appending(path_bytes(logfile_path));
  } catch (const std::system_error& e) {
    ostrel_tool::raise_os_error(e.code().value(), std::string("cannot open the benchmark log: ") + e.what());
  }
  py::object file = ostrel::builtin("open")(fd.get(), "a");
  fd.release();  // the file object owns it now
  file.attr("buffer").attr("raw").attr("name") = logfile_path;
  self.attr("logfile_fp") = file;
  self.attr("csv_path") = csvfile_path;
  self.attr("_error_buffer") = py::list();
}

void del(py::object self) {
  if (py::hasattr(self, "logfile_fp")) self.attr("logfile_fp").attr("close")();
}

void log_success_to_logfile(py::object self, py::object results) {
  std::string block = kSuccessHeader;
  for (py::handle pair : results.attr("items")()) {
    py::tuple item = py::reinterpret_borrow<py::tuple>(pair);
    std::string heading = ostrel::str(item[0]);
    if (heading.size() < 30) heading.resize(30, ' ');
    block += "--- " + heading + ostrel::str(item[1]) + "\n";
  }
  block += kClosing;
  write(self, block);
  self.attr("logfile_fp").attr("flush")();
}

// A value's cell text: what pandas writes for it (none and NaN empty, numbers in their shortest form
// that reads back as the same number, whatever their type: a numpy float64 is a float subclass whose
// repr would be "np.float64(...)", and int subclasses may name themselves).
std::string cell_text(py::handle value) {
  PyObject* v = value.ptr();
  if (value.is_none()) return {};
  if (PyBool_Check(v)) return v == Py_True ? "True" : "False";
  if (PyFloat_Check(v)) {
    double d = PyFloat_AsDouble(v);
    if (d != d) return {};
    char* repr = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (repr == nullptr) throw py::error_already_set();
    std::string text(repr);
    PyMem_Free(repr);
    return text;
  }
  if (PyLong_Check(v)) {
    py::object digits = py::reinterpret_steal<py::object>(PyNumber_ToBase(v, 10));
    if (!digits) throw py::error_already_set();
    return ostrel::str(digits);
  }
  std::string text = ostrel::str(value);
  // Other numbers (numpy's float32, int64, bool_) write themselves in that form; their NaN is empty.
  if (text == "nan" && !PyUnicode_Check(v)) return {};
  return text;
}

// Adds the row to the CSV: appended in place while the headings stay the same, else the whole table
// is rewritten, streamed through a temporary file renamed over the old one, so a crash at any moment
// leaves the earlier rows intact. Earlier rows are kept cell for cell; writers sharing the file take
// turns; a link that another user put in a shared temporary folder is refused (PermissionError).
void log_results_to_csv(py::object self, py::object results) {
  py::object path = self.attr("csv_path");
  std::vector<std::pair<std::string, std::string>> row;
  for (py::handle pair : results.attr("items")()) {
    py::tuple item = py::reinterpret_borrow<py::tuple>(pair);
    row.emplace_back(ostrel::str(item[0]), cell_text(item[1]));
  }
  std::string target = path_bytes(path);
  std::string error;
  int code = 0;
  // Ctrl-C ends the wait for the lock: every signal that interrupts it runs the handlers at once.
  std::optional<py::error_already_set> interrupt;
  auto interrupted = [&interrupt] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    interrupt.emplace();
    return true;
  };
  {
    py::gil_scoped_release release;
    try {
      ostrel::native::append_csv_row_to_file(target, row, interrupted);
    } catch (const ostrel::native::LockInterrupted&) {
    } catch (const ostrel::native::CsvError& e) {
      error = "Cannot add a row to " + target + ": " + e.what();
    } catch (const std::system_error& e) {
      code = e.code().value();
      error = e.what();
    }
  }
  if (interrupt) throw std::move(*interrupt);
  if (error.empty()) return;
  if (code == 0) ostrel::raise(PyExc_ValueError, error);
  ostrel_tool::raise_os_error(code, error);
}

void log_benchmark_success(py::object self, py::object results) {
  self.attr("_ToolLogger__log_success_to_logfile")(results);
  self.attr("_ToolLogger__log_results_to_csv")(results);
}

void add_error_to_logging_buffer(py::object self, py::object error_string) {
  write(self, "\nERROR: " + ostrel_tool::display_text(error_string) + "\n");
  // Flushed at once: the parent reads the log after this process ends, however it ends.
  self.attr("logfile_fp").attr("flush")();
  self.attr("_error_buffer").attr("append")(error_string);
}

void log_benchmark_error(py::object self, py::object spawn_result) {
  std::string block = kErrorHeader;
  for (auto message : self.attr("_error_buffer"))
    block += "Encountered Error: \n" + ostrel_tool::display_text(message) + "\n";
  block += "\nSTDOUT: \n" + ostrel_tool::display_text(spawn_result.attr("stdout")) + "\n\n";
  block += "STDERR: \n" + ostrel_tool::display_text(spawn_result.attr("stderr")) + "\n\n";
  block += kClosing;
  write(self, block);
  self.attr("logfile_fp").attr("flush")();
}

py::object results_dataframe(py::object self) {
  py::object path = self.attr("csv_path");
  if (!py::bool_(py::module_::import("os.path").attr("exists")(path))) return py::none();
  return ostrel_tool::tool_dependency("pandas").attr("read_csv")(path, py::arg("dtype") = ostrel_tool::text_columns());
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_logger", m) {
  m.attr("os") = py::module_::import("os");
  modtree::ClassBuilder(m, "ToolLogger")
      .def("__init__", &init, py::arg("self"), py::arg("logfile_path"), py::arg("csvfile_path"))
      .def("__del__", &del, py::arg("self"))
      .def("log_benchmark_success", &log_benchmark_success, py::arg("self"), py::arg("results"))
      .def("add_error_to_logging_buffer", &add_error_to_logging_buffer, py::arg("self"),
           py::arg("error_string"))
      .def("log_benchmark_error", &log_benchmark_error, py::arg("self"), py::arg("spawn_result"))
      .def("results_dataframe", &results_dataframe, py::arg("self"))
      .attr("_ToolLogger__log_success_to_logfile",
            modtree::python_function(
                py::cpp_function(&log_success_to_logfile, py::name("__log_success_to_logfile"),
                                 py::arg("self"), py::arg("benchmark_results")),
                "__log_success_to_logfile"))
      .attr("_ToolLogger__log_results_to_csv",
            modtree::python_function(
                py::cpp_function(&log_results_to_csv, py::name("__log_results_to_csv"), py::arg("self"),
                                 py::arg("benchmark_results")),
                "__log_results_to_csv"))
      .build();
}
