// The tool's command line: four sub-commands over Python's argparse.
#include <pybind11/stl.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;

namespace {

void set_up_benchmarking_args(py::object sub) {
  py::object model = sub.attr("add_mutually_exclusive_group")(py::arg("required") = true);
  model.attr("add_argument")("--model_file", "-p", py::arg("dest") = "model_file");
  model.attr("add_argument")("--model_dir", "-d", py::arg("dest") = "model_dir");
  py::object framework = sub.attr("add_mutually_exclusive_group")(py::arg("required") = true);
  framework.attr("add_argument")("--infer_framework", "-i", py::arg("dest") = "infer_framework",
                                 py::arg("action") = "store_true");
  framework.attr("add_argument")("--framework", "-f", py::arg("dest") = "framework");
  framework.attr("add_argument")("--metadata_file", py::arg("dest") = "metadata_file");
  sub.attr("add_argument")("--is_a_child_process", py::arg("dest") = "is_child_process",
                           py::arg("action") = "store_true");
  sub.attr("add_argument")("--batch_sizes", py::arg("dest") = "batch_sizes", py::arg("nargs") = "+",
                           py::arg("required") = true);
  sub.attr("add_argument")("--repetitions", py::arg("dest") = "repetitions");
  sub.attr("add_argument")("--log_path", "-o", py::arg("dest") = "log_path",
                           py::arg("default") = "/tmp/ostrel_benchmarking_logfile.txt");
  sub.attr("add_argument")("--csv_path", py::arg("dest") = "csv_path",
                           py::arg("default") = "/tmp/ostrel_benchmarking_results.csv");
  sub.attr("add_argument")("--models_per_process", py::arg("dest") = "models_per_process",
                           py::arg("type") = ostrel::builtin("int"), py::arg("default") = 1);
}

constexpr const char* kCsvHelp = "Path of Pandas-Created CSV containing pertinent data";

void set_up_regressor_args(py::object sub) {
  sub.attr("add_argument")("--csv_path", py::arg("required") = true, py::arg("help") = kCsvHelp);
  sub.attr("add_argument")("--metrics", py::arg("nargs") = "+", py::arg("required") = true,
                           py::arg("help") = "Metrics to run regressions on (headings from the CSV)");
  sub.attr("add_argument")("--results_json");
}

void set_up_plotting_args(py::object sub) {
  sub.attr("add_argument")("--csv_path", py::arg("required") = true, py::arg("help") = kCsvHelp);
  sub.attr("add_argument")("--output_path");
  sub.attr("add_argument")("--show_plot", py::arg("action") = "store_true");
  sub.attr("add_argument")("--interactive", py::arg("action") = "store_true", py::arg("default") = true);
  sub.attr("add_argument")("--x_axis", py::arg("required") = true);
  sub.attr("add_argument")("--y_axes", py::arg("nargs") = "+", py::arg("required") = true);
  sub.attr("add_argument")("--plot_type", py::arg("default") = "bar");
  sub.attr("add_argument")("--framework");
  sub.attr("add_argument")("--batch_size");
}

void set_up_slack_args(py::object sub) {
  sub.attr("add_argument")("--channel");
  sub.attr("add_argument")("--plot_paths", py::arg("nargs") = "+", py::arg("required") = true);
  sub.attr("add_argument")("--regression_json", py::arg("required") = true);
}

void init(py::object self) {
  py::object cls = py::type::of(self);
  // Run with `python -m`, the program path is the extension module itself: name the command instead.
  py::object sys = py::module_::import("sys");
  py::list argv = sys.attr("argv");
  std::string program = argv.empty() ? std::string() : ostrel::str(argv[0]);
  py::object parser = py::module_::import("argparse").attr("ArgumentParser")();
  if (program.size() > 3 && program.compare(program.size() - 3, 3, ".so") == 0)
    parser.attr("prog") =
        ostrel::str(py::module_::import("os.path").attr("basename")(sys.attr("executable"))) + " -m " +
        ostrel_tool::tool_module("main");
  self.attr("_arg_parser") = parser;
  py::object subparsers = parser.attr("add_subparsers")(
      py::arg("dest") = "subcommand", py::arg("title") = "subcommands",
      py::arg("description") = "valid subcommands", py::arg("help") = "additional subcommand help",
      py::arg("required") = true);
  const char* setups[][2] = {{"BENCHMARK_SUBCOMMAND", "_set_up_benchmarking_args"},
                             {"REGRESSION_SUBCOMMAND", "_set_up_regressor_args"},
                             {"PLOTTING_SUBCOMMAND", "_set_up_plotting_args"},
                             {"SLACK_SUBCOMMAND", "_set_up_slack_args"}};
  for (auto& [name, setup] : setups) {
    py::object sub = subparsers.attr("add_parser")(cls.attr(name));
    cls.attr(setup)(sub);
  }
}

// The text after the last "." of the whole path (the whole path when it has none).
py::object infer_framework_from_model(const std::string& model_path) {
  size_t dot = model_path.rfind('.');
  std::string suffix = dot == std::string::npos ? model_path : model_path.substr(dot + 1);
  py::dict table =
      ostrel_tool::tool_import("ostrel_tool_parser", "ToolParser").attr("SUFFIX_TO_FRAMEWORK_TRANS");
  if (!table.contains(suffix)) ostrel::raise(PyExc_ValueError);
  return table[py::str(suffix)];
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_parser", m) {
  m.attr("argparse") = py::module_::import("argparse");
  py::dict suffixes;
  for (auto [suffix, framework] : {std::pair{"onnx", "onnx"},
                                   {"pb", "tf1"},
                                   {"zip", "tf2"},
                                   {"trt", "trt"},
                                   {"pth", "torchscript"},
                                   {"h5", "keras"},
                                   {"pkl", "openvino"}})
    suffixes[suffix] = framework;
  modtree::ClassBuilder(m, "ToolParser")
      .attr("BENCHMARK_SUBCOMMAND", py::str("benchmark"))
      .attr("REGRESSION_SUBCOMMAND", py::str("regression"))
      .attr("PLOTTING_SUBCOMMAND", py::str("plot"))
      .attr("SLACK_SUBCOMMAND", py::str("slack"))
      .attr("CHILD_PROCESS_FLAG", py::str("--is_a_child_process"))
      .attr("DEFAULT_LOGFILE_PATH", py::str("/tmp/ostrel_benchmarking_logfile.txt"))
      .attr("DEFAULT_CSV_PATH", py::str("/tmp/ostrel_benchmarking_results.csv"))
      .attr("SUFFIX_TO_FRAMEWORK_TRANS", suffixes)
      .def("__init__", &init, py::arg("self"))
      .def(
          "parsed_user_args", [](py::object self) { return self.attr("_arg_parser").attr("parse_args")(); },
          py::arg("self"))
      .def_static("_set_up_benchmarking_args", &set_up_benchmarking_args, py::arg("subparser"))
      .def_static("_set_up_regressor_args", &set_up_regressor_args, py::arg("subparser"))
      .def_static("_set_up_plotting_args", &set_up_plotting_args, py::arg("subparser"))
      .def_static("_set_up_slack_args", &set_up_slack_args, py::arg("subparser"))
      .def_static("infer_framework_from_model", &infer_framework_from_model, py::arg("model_path"))
      .build();
}
