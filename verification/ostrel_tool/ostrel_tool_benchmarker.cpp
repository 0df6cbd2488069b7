// The "benchmark" sub-command: the parent starts one child per model and batch size; each child loads
// and benchmarks its model and records the result.
#include <pybind11/stl.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <system_error>
#include <string>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/signals.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/pipe_lines.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;
using ostrel_tool::tool_import;

namespace {

py::object os_path() { return py::module_::import("os.path"); }

bool non_empty_text(py::handle v) { return py::isinstance<py::str>(v) && py::len(v) > 0; }

py::object basename(py::handle path) { return os_path().attr("basename")(path); }

void init(py::object self, py::object parsed_args, py::object main_path) {
  self.attr("_passed_args") = parsed_args;
  self.attr("_script_path") = os_path().attr("abspath")(main_path);
  self.attr("_is_child_process") = parsed_args.attr("is_child_process");
  self.attr("_infer_framework") = parsed_args.attr("infer_framework");
  self.attr("_batch_sizes") = parsed_args.attr("batch_sizes");
  self.attr("_repetitions") = parsed_args.attr("repetitions");
  bool iterate_dir = !parsed_args.attr("model_dir").is_none();
  self.attr("_iterate_dir") = iterate_dir;
  self.attr("_framework") = parsed_args.attr("framework");
  self.attr("_benchmarking_path") = parsed_args.attr(iterate_dir ? "model_dir" : "model_file");
  self.attr("_models_per_process") = parsed_args.attr("models_per_process");
  self.attr("_metadata_file") = parsed_args.attr("metadata_file");
  self.attr("_initialize_model_metadata")();
  self.attr("logger") = tool_import("ostrel_tool_logger", "ToolLogger")(parsed_args.attr("log_path"),
                                                                        parsed_args.attr("csv_path"));
}

void initialize_model_metadata(py::object self) {
  py::object path = self.attr("_metadata_file");
  if (path.is_none() || !py::bool_(path)) {
    self.attr("_models_metadata") = py::none();
    return;
  }
  if (!py::bool_(os_path().attr("exists")(path)))
    ostrel::raise(PyExc_FileNotFoundError,
                  "Could not find provided model metadata file: " + ostrel::str(path));
  ostrel::OpenFile f(path, "r");
  self.attr("_models_metadata") = py::module_::import("json").attr("load")(*f);
  f.close();
}

// The interpreter and the tool's entry: a script path is run as it is; the entry served from the
// extension module itself is run by its module name.
py::list interpreter_and_entry(py::object self) {
  py::list cmd;
  cmd.append(py::module_::import("sys").attr("executable"));
  std::string script = ostrel::str(self.attr("_script_path"));
  if (script.size() >= 3 && script.compare(script.size() - 3, 3, ".py") == 0) {
    cmd.append(script);
  } else {
    cmd.append("-m");
    cmd.append(ostrel_tool::tool_module("main"));
  }
  return cmd;
}

py::list command_parameters(py::object self, py::object batch_size, py::object model_file) {
  py::object ToolParser = tool_import("ostrel_tool_parser", "ToolParser");
  py::list cmd = interpreter_and_entry(self);
  cmd.append(ToolParser.attr("BENCHMARK_SUBCOMMAND"));
  cmd.append(ToolParser.attr("CHILD_PROCESS_FLAG"));
  if (py::bool_(self.attr("_infer_framework"))) {
    cmd.append("--infer_framework");
  } else if (non_empty_text(self.attr("_framework"))) {
    cmd.append("--framework");
    cmd.append(self.attr("_framework"));
  } else if (non_empty_text(self.attr("_metadata_file"))) {
    cmd.append("--metadata_file");
    cmd.append(self.attr("_metadata_file"));
  }
  if (non_empty_text(self.attr("_repetitions"))) {
    cmd.append("--repetitions");
    cmd.append(self.attr("_repetitions"));
  }
  py::object logger = self.attr("logger");
  for (auto [flag, value] : {std::pair<const char*, py::object>{"--model_file", model_file},
                             {"--batch_sizes", batch_size},
                             {"--log_path", logger.attr("log_path")},
                             {"--csv_path", logger.attr("csv_path")},
                             {"--models_per_process", py::str(self.attr("_models_per_process"))}}) {
    cmd.append(flag);
    cmd.append(value);
  }
  return cmd;
}

// What the log keeps of each output stream of a child: its last mebibyte.
constexpr std::size_t kOutputTail = 1 << 20;

// The kept end of a child's output as text: bytes that are not UTF-8 shown as replacement characters,
// after a line saying how much came before.
py::str output_text(const ostrel::native::BoundedTail& tail) {
  std::string bytes = tail.text();
  py::str text = py::bytes(bytes).attr("decode")("utf-8", "replace");
  if (tail.left_out() == 0) return text;
  return py::str("[... {} bytes of earlier output left out ...]\n{}").format(tail.left_out(), text);
}

py::object spawn_synchronous_child_proc(py::object /*cls*/, py::object command) {
  py::object subprocess = py::module_::import("subprocess");
  py::object proc = subprocess.attr("Popen")(command, py::arg("stdout") = subprocess.attr("PIPE"),
                                             py::arg("stderr") = subprocess.attr("PIPE"));
  ostrel::native::BoundedTail out(kOutputTail), err(kOutputTail);
  try {
    const int out_fd = proc.attr("stdout").attr("fileno")().cast<int>();
    const int err_fd = proc.attr("stderr").attr("fileno")().cast<int>();
    ostrel::SignalPoll poll;
    auto interrupted = [&poll] { return poll(); };
    std::string failure;
    int code = 0;
    {
      py::gil_scoped_release nogil;
      try {
        ostrel::native::read_tails({out_fd, err_fd}, {&out, &err}, interrupted);
      } catch (const ostrel::native::ReadInterrupted&) {
      } catch (const std::system_error& e) {
        code = e.code().value();
        failure = std::string("cannot read the output of a child process: ") + e.what();
      }
    }
    if (poll.error()) throw std::move(*poll.error());
    if (!failure.empty()) ostrel_tool::raise_os_error(code, failure);
  } catch (...) {
    // Interrupted or failed: the child does not outlive the call.
    proc.attr("kill")();
    proc.attr("wait")();
    proc.attr("stdout").attr("close")();
    proc.attr("stderr").attr("close")();
    throw;
  }
  proc.attr("stdout").attr("close")();
  proc.attr("stderr").attr("close")();
  py::object code = proc.attr("wait")();
  return subprocess.attr("CompletedProcess")(command, code, output_text(out), output_text(err));
}

std::string exit_description(int code) {
  if (code >= 0) return "exit status " + std::to_string(code);
  const char* name = sigabbrev_np(-code);
  return "signal " + (name != nullptr ? "SIG" + std::string(name) : std::to_string(-code));
}

struct Sweep {
  int runs = 0;
  int failed = 0;
};

// Runs one child for a model and batch size, logs its failure and reports the run on standard error.
void run_child(py::object self, py::object model_path, py::object batch_size, Sweep& sweep) {
  py::object command = self.attr("_ToolBenchmarker__command_parameters")(batch_size, model_path);
  py::object log_path = self.attr("logger").attr("log_path");
  auto log_size = [&]() -> long long {
    struct stat st{};
    return ::stat(ostrel::str(log_path).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
  };
  long long log_before = log_size();
  auto start = std::chrono::steady_clock::now();
  py::object result = self.attr("_ToolBenchmarker__spawn_synchronous_child_proc")(command);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int code = result.attr("returncode").cast<int>();
  ++sweep.runs;
  std::string status = "ok";
  if (code == 0 && log_size() > log_before) {
    // Children run one at a time and only append: what the log gained is this child's. A child that
    // could not resolve its model's framework ends with status 0 after an ERROR line.
    ostrel::OpenFile f(log_path, "rb");
    f->attr("seek")(log_before);
    std::string added = py::bytes(f->attr("read")()).cast<std::string>();
    f.close();
    if (added.find("\nERROR: ") != std::string::npos) {
      ++sweep.failed;
      status = "FAILED (ERROR line in the log)";
    }
  }
  if (code != 0) {
    ++sweep.failed;
    status = "FAILED (" + exit_description(code) + ")";
    // The block names the run even when the child died without a word.
    std::string note = "The child process for " + ostrel_tool::display_text(model_path) + " with batch size " +
                       ostrel::str(batch_size) + " ended with " + exit_description(code) + ".\n";
    py::object err = result.attr("stderr");
    result.attr("stderr") = py::str((err.is_none() ? std::string() : ostrel_tool::display_text(err)) + note);
    self.attr("logger").attr("log_benchmark_error")(result);
  }
  py::object sys_stderr = py::module_::import("sys").attr("stderr");
  sys_stderr.attr("write")(py::str("{} batch size {}: {} in {:.1f} s\n")
                               .format(ostrel_tool::display_text(basename(model_path)), batch_size, status,
                                       elapsed));
  sys_stderr.attr("flush")();
}

void run_parent(py::object self) {
  Sweep sweep;
  py::object path = self.attr("_benchmarking_path");
  py::object metadata = self.attr("_metadata_file");
  bool has_metadata = non_empty_text(metadata);
  if (py::bool_(self.attr("_iterate_dir"))) {
    py::object os = py::module_::import("os");
    for (py::handle entry : os.attr("listdir")(path)) {
      for (py::handle batch_size : self.attr("_batch_sizes")) {
        py::object model_path = os_path().attr("join")(path, entry);
        if (has_metadata && basename(metadata).equal(entry)) continue;
        run_child(self, model_path, py::reinterpret_borrow<py::object>(batch_size), sweep);
      }
    }
  } else {
    if (has_metadata && basename(metadata).equal(basename(path)))
      ostrel::raise(PyExc_ValueError, "Metadata and model file must be different!");
    for (py::handle batch_size : self.attr("_batch_sizes"))
      run_child(self, path, py::reinterpret_borrow<py::object>(batch_size), sweep);
  }
  py::object sys_stderr = py::module_::import("sys").attr("stderr");
  sys_stderr.attr("write")(
      py::str("ostrel-tool benchmark: {} of {} runs failed\n").format(sweep.failed, sweep.runs));
  sys_stderr.attr("flush")();
}

// JSON has no tuples: the metadata's shapes come as lists, the runtime takes a list of tuples. A list of
// lists becomes a list of tuples, a flat list of sizes one shape.
py::object shapes_from_json(py::object dims) {
  if (!py::isinstance<py::list>(dims)) return dims;
  py::list in = dims;
  bool all_lists = true, all_ints = true;
  for (py::handle d : in) {
    all_lists = all_lists && py::isinstance<py::list>(d);
    all_ints = all_ints && PyLong_Check(d.ptr());
  }
  py::list out;
  if (all_lists) {
    for (py::handle d : in) out.append(py::tuple(py::reinterpret_borrow<py::object>(d)));
    return out;
  }
  if (all_ints) {
    out.append(py::tuple(in));
    return out;
  }
  return dims;
}

void benchmark_model_and_log_results(py::object self) {
  py::object int_ = ostrel::builtin("int");
  py::object path = self.attr("_benchmarking_path");
  py::object logger = self.attr("logger");
  // The file name goes into the results CSV, which is UTF-8 text: a name that is not is refused before
  // anything is loaded (the run fails and the sweep goes on).
  try {
    basename(path).attr("encode")("utf-8");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeError)) throw;
    ostrel::raise(PyExc_ValueError, "The model file name " + ostrel_tool::display_text(basename(path)) +
                                        " is not valid UTF-8: the results CSV cannot name it. Rename the file.");
  }
  py::object batch_size = int_(self.attr("_batch_sizes")[py::int_(0)]);
  py::object dims = py::none();
  py::object framework;
  py::object metadata = self.attr("_models_metadata");
  if (!metadata.is_none() && py::bool_(metadata)) {
    py::object entry = metadata.attr("get")(os_path().attr("basename")(path));
    if (entry.is_none() || !py::bool_(entry.attr("__contains__")("framework"))) {
      logger.attr("add_error_to_logging_buffer")("Could not get metadata or framework for:\t" +
                                                 ostrel_tool::display_text(path));
      return;
    }
    framework = entry[py::str("framework")];
    dims = entry.attr("get")("input_dims");
    if (py::bool_(entry.attr("__contains__")("batch_size"))) batch_size = entry[py::str("batch_size")];
  } else if (py::bool_(self.attr("_infer_framework"))) {
    try {
      framework = tool_import("ostrel_tool_parser", "ToolParser").attr("infer_framework_from_model")(path);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      logger.attr("add_error_to_logging_buffer")("Failed to infer framework type from path: " +
                                                 ostrel_tool::display_text(path));
      return;
    }
  } else {
    framework = self.attr("_framework");
  }

  py::object ostrel_pkg = py::module_::import("ostrel");
  py::dict loaded;
  py::object repetitions = self.attr("_repetitions");
  int count = self.attr("_models_per_process").cast<int>();
  for (int i = 0; i < count; ++i) {
    py::dict kwargs;
    kwargs["model_path"] = path;
    kwargs["framework_type"] = framework;
    if (!dims.is_none() && py::bool_(dims)) kwargs["input_dims"] = shapes_from_json(dims);
    py::object model = ostrel_pkg.attr("load")(**kwargs);
    py::object record = repetitions.is_none()
                            ? model.attr("benchmark")(py::arg("batch_size") = batch_size)
                            : model.attr("benchmark")(batch_size, py::arg("repetitions") = int_(repetitions));
    loaded[py::int_(i)] = model;
    py::object row = self.attr("_ToolBenchmarker__prep_results_for_logging")(
        record, framework, ostrel_pkg.attr("__version__"), record.attr("inference_hardware"));
    logger.attr("log_benchmark_success")(row);
  }
}

void execute(py::object self) {
  if (py::bool_(self.attr("_is_child_process")))
    self.attr("_ToolBenchmarker__benchmark_model_and_log_results")();
  else
    run_parent(self);
}

py::dict prep_results_for_logging(py::object self, py::object benchmark_results, py::object framework,
                                  py::object ostrel_version, py::object inference_hardware) {
  py::dict row;
  for (py::handle pair : benchmark_results.attr("dict")().attr("items")()) {
    py::tuple item = py::reinterpret_borrow<py::tuple>(pair);
    py::object heading = py::str(item[0]).attr("replace")("_", " ").attr("title")();
    row[heading] = item[1];
  }
  row["Model"] = os_path().attr("basename")(self.attr("_benchmarking_path"));
  row["Framework"] = framework;
  py::object repetitions = self.attr("_repetitions");
  row["Repetitions"] = repetitions.is_none() ? py::str("OSTREL DEFAULT") : py::str(repetitions);
  row["Ostrel Version"] = ostrel_version;
  row["Benchmark Date"] =
      py::module_::import("datetime").attr("datetime").attr("now")().attr("strftime")("%d/%m/%Y %H:%M:%S");
  row["Inference Hardware"] = inference_hardware;
  return row;
}

template <typename F, typename... Extra>
py::object private_method(const char* name, F&& f, const Extra&... extra) {
  return modtree::python_function(py::cpp_function(std::forward<F>(f), py::name(name), extra...), name);
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_benchmarker", m) {
  for (const char* name : {"os", "datetime", "subprocess", "sys", "json"})
    m.attr(name) = py::module_::import(name);
  m.attr("ToolLogger") = tool_import("ostrel_tool_logger", "ToolLogger");
  m.attr("ToolParser") = tool_import("ostrel_tool_parser", "ToolParser");
  modtree::ClassBuilder(m, "ToolBenchmarker")
      .def("__init__", &init, py::arg("self"), py::arg("parsed_args"), py::arg("main_path"))
      .def("execute", &execute, py::arg("self"))
      .def("_initialize_model_metadata", &initialize_model_metadata, py::arg("self"))
      .attr("_ToolBenchmarker__benchmark_model_and_log_results",
            private_method("__benchmark_model_and_log_results", &benchmark_model_and_log_results,
                           py::arg("self")))
      .attr("_ToolBenchmarker__command_parameters",
            private_method("__command_parameters", &command_parameters, py::arg("self"),
                           py::arg("batch_size"), py::arg("model_file")))
      .attr("_ToolBenchmarker__spawn_synchronous_child_proc",
            ostrel::builtin("classmethod")(modtree::python_function(
                py::cpp_function(&spawn_synchronous_child_proc, py::name("__spawn_synchronous_child_proc"),
                                 py::arg("cls"), py::arg("command")),
                "__spawn_synchronous_child_proc")))
      .attr("_ToolBenchmarker__prep_results_for_logging",
            private_method("__prep_results_for_logging", &prep_results_for_logging, py::arg("self"),
                           py::arg("benchmark_results"), py::arg("framework"), py::arg("ostrel_version"),
                           py::arg("inference_hardware")))
      .build();
}
