// Entry of the benchmark and regression tool: parses the command line and runs the chosen sub-command.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;
using ostrel_tool::tool_import;

namespace {

void run(py::module_ m) {
  py::object ToolParser = m.attr("ToolParser");
  py::object args = ToolParser().attr("parsed_user_args")();
  py::object sub = args.attr("subcommand");
  if (sub.equal(ToolParser.attr("BENCHMARK_SUBCOMMAND"))) {
    m.attr("ToolBenchmarker")(args, m.attr("__file__")).attr("execute")();
  } else if (sub.equal(ToolParser.attr("REGRESSION_SUBCOMMAND"))) {
    m.attr("ToolRegressor")(args).attr("execute")();
  } else if (sub.equal(ToolParser.attr("PLOTTING_SUBCOMMAND"))) {
    m.attr("ToolPlotter")(args).attr("execute")();
  } else if (sub.equal(ToolParser.attr("SLACK_SUBCOMMAND"))) {
    m.attr("ToolSlacker")(args).attr("execute")();
  }
}

}  // namespace

MODTREE_MODULE("ostrel_tool.main", m) {
  m.attr("ToolRegressor") = tool_import("ostrel_tool_regressor", "ToolRegressor");
  m.attr("ToolParser") = tool_import("ostrel_tool_parser", "ToolParser");
  m.attr("ToolBenchmarker") = tool_import("ostrel_tool_benchmarker", "ToolBenchmarker");
  m.attr("ToolPlotter") = tool_import("ostrel_tool_plotter", "ToolPlotter");
  m.attr("ToolSlacker") = tool_import("ostrel_tool_slacker", "ToolSlacker");
  // Looked up at call time: run as a program, `m` is __main__ and only lives while it runs.
  std::string name = ostrel_tool::tool_module("main");
  auto entry = [name]() { run(py::reinterpret_borrow<py::module_>(py::module_::import(name.c_str()))); };
  m.attr("main") = modtree::python_function(
      py::cpp_function(entry, py::name("main"), "Entry of the benchmark and regression tool."), "main");
  if (modtree::running_as_main(m)) run(m);
}
