// The "regression" sub-command: compares the results of the two latest package versions in the CSV.
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kVersion = "Ostrel Version";

py::object pd() { return ostrel_tool::tool_dependency("pandas"); }

void print(py::object text) { ostrel::builtin("print")(text); }

void init(py::object self, py::object parsed_args) {
  py::object path = parsed_args.attr("csv_path");
  self.attr("_csv_path") = path;
  self.attr("_metrics") = parsed_args.attr("metrics");
  if (!py::bool_(py::module_::import("os.path").attr("exists")(path)))
    ostrel::raise(PyExc_FileNotFoundError, "Passed DataFrame path does not exist: " + ostrel::str(path));
  // Versions are text: "3.10" must never read as 3.1.
  py::object df = pd().attr("read_csv")(path, py::arg("dtype") = ostrel_tool::text_columns());
  self.attr("df") = df;
  self.attr("_initialize_compared_versions")();
  self.attr("_regressed_models") = pd().attr("DataFrame")();
  self.attr("_results_json_path") = parsed_args.attr("results_json");
  py::object known = self.attr("INTERESTING_METRICS_DICT");
  for (py::handle metric : self.attr("_metrics"))
    if (!known.contains(metric))
      ostrel::raise(PyExc_ValueError, "Unexpected metric: " + ostrel::str(metric) +
                                          ". Known metrics: " + ostrel::str(py::list(known)));
}

// The last two distinct versions in order of first appearance in the file.
void initialize_compared_versions(py::object self) {
  py::list versions = self.attr("df")[py::str(kVersion)].attr("dropna")().attr("unique")().attr("tolist")();
  size_t n = versions.size();
  if (n < 2)
    ostrel::raise(PyExc_ValueError, "Cannot compare versions: the results CSV " +
                                        ostrel::str(self.attr("_csv_path")) + " holds results of " +
                                        std::to_string(n) + " version" + (n == 1 ? "" : "s") +
                                        " of the package, two are needed");
  self.attr("_current_version") = versions[n - 1];
  self.attr("_previous_version") = versions[n - 2];
}

// Rows of one model, framework, batch size and hardware (the key) are compared across versions. When
// both versions list the same keys in the same order, rows are paired in file order; otherwise every
// current row of a key is paired with every previous row of that key, sorted by key. A key of one
// version only has no pair and never regresses.
bool regressions_in_metric(py::object self, py::object metric, py::object allowed_degradation,
                           bool increase_is_good) {
  py::object df = self.attr("df").attr("copy")();
  py::list columns = df.attr("columns").attr("tolist")();
  py::list keys;
  for (const char* k : {"Model", "Framework", "Batch Size", "Inference Hardware"})
    if (k == std::string("Model") || k == std::string("Framework") || columns.contains(k)) keys.append(k);
  py::list wanted = keys.attr("copy")();
  wanted.append(metric);
  auto rows_of = [&](py::object version) {
    return df[df[py::str(kVersion)].attr("__eq__")(version)][wanted].attr("reset_index")(py::arg("drop") = true);
  };
  py::object current = rows_of(self.attr("_current_version"));
  py::object previous = rows_of(self.attr("_previous_version"));
  const std::string previous_column = ostrel::str(metric) + "_previous";
  py::object merged;
  if (py::bool_(current[keys].attr("equals")(previous[keys]))) {
    merged = current.attr("copy")();
    merged.attr("__setitem__")(previous_column, previous[metric]);
  } else {
    merged = current.attr("merge")(previous, py::arg("on") = keys, py::arg("how") = "inner",
                                   py::arg("sort") = true, py::arg("suffixes") = py::make_tuple("", "_previous"));
  }
  py::object now = pd().attr("to_numeric")(merged[metric], py::arg("errors") = "coerce");
  py::object before = pd().attr("to_numeric")(merged[py::str(previous_column)],
                                              py::arg("errors") = "coerce");
  py::object change = now.attr("__sub__")(before).attr("__truediv__")(before);
  py::object mask = increase_is_good ? change.attr("__lt__")(allowed_degradation.attr("__neg__")())
                                     : change.attr("__gt__")(allowed_degradation);
  if (!py::bool_(mask.attr("any")())) return false;
  py::dict data;
  data["Rel. Change"] = change[mask].attr("reset_index")(py::arg("drop") = true);
  data["Model"] = merged["Model"][mask].attr("reset_index")(py::arg("drop") = true);
  data["Framework"] = merged["Framework"][mask].attr("reset_index")(py::arg("drop") = true);
  data["Metric"] = metric;
  py::object rows = pd().attr("DataFrame")(data);
  self.attr("_regressed_models") = pd().attr("concat")(py::make_tuple(self.attr("_regressed_models"), rows),
                                                       py::arg("ignore_index") = true);
  return true;
}

py::list metrics_with_regression_from_previous_version(py::object self) {
  py::list failed;
  py::dict table = self.attr("INTERESTING_METRICS_DICT");
  for (py::handle metric : self.attr("_metrics")) {
    py::tuple spec = table[metric];
    bool increase_is_good = py::bool_(spec[1]);
    if (py::bool_(self.attr("regressions_in_metric")(metric, spec[0], increase_is_good))) {
      print(py::str("Found extreme {} in: {}. Allowed degradation: {}.")
                .format(increase_is_good ? "decrease" : "increase", metric, spec[0]));
      failed.append(metric);
    }
  }
  return failed;
}

void export_regression_data_to_json(py::object self, py::object failed_metrics) {
  py::object path = self.attr("_results_json_path");
  if (path.is_none()) return;
  py::object cls = py::type::of(self);
  py::dict out;
  out[cls.attr("NEW_VERSION_KEY")] = self.attr("_current_version");
  out[cls.attr("PREVIOUS_VERSION_KEY")] = self.attr("_previous_version");
  out[cls.attr("FAILED_METRICS_KEY")] = failed_metrics;
  out[cls.attr("ALL_METRICS_KEY")] = self.attr("_metrics");
  out[cls.attr("FAILED_MODELS_DF_KEY")] =
      ostrel_tool::tool_dependency("tabulate")
          .attr("tabulate")(self.attr("_regressed_models"), py::arg("headers") = "keys",
                            py::arg("tablefmt") = "psql", py::arg("showindex") = false);
  ostrel::OpenFile f(path, "w");
  py::module_::import("json").attr("dump")(out, *f);
  f.close();
}

void summary(py::object self, py::list failed) {
  std::string versions =
      ostrel::str(self.attr("_current_version")) + " against " + ostrel::str(self.attr("_previous_version"));
  std::string line = failed.empty()
                         ? "ostrel-tool regression: no regression found (" + versions + ")\n"
                         : "ostrel-tool regression: regression found in " + std::to_string(failed.size()) +
                               " of " + std::to_string(py::len(self.attr("_metrics"))) + " metrics (" +
                               versions + ")\n";
  py::object err = py::module_::import("sys").attr("stderr");
  err.attr("write")(line);
  err.attr("flush")();
}

void execute(py::object self) {
  py::list failed = self.attr("metrics_with_regression_from_previous_version")();
  self.attr("_export_regression_data_to_json")(failed);
  py::module_::import("sys").attr("stdout").attr("flush")();
  if (failed.empty()) {
    print(py::str("---------- PASSED REGRESSION ----------"));
    py::module_::import("sys").attr("stdout").attr("flush")();
    summary(self, failed);
    py::module_::import("sys").attr("exit")(0);
    return;
  }
  print(py::str("\n---------- FAILED REGRESSION ----------"));
  print(py::str("\nCompared Versions:\n\tCurrent:  {}\n\tPrevious: {}")
            .format(self.attr("_current_version"), self.attr("_previous_version")));
  print(py::str("\nFailed Metrics:"));
  int i = 1;
  for (py::handle metric : failed) print(py::str("\t{}.{}").format(i++, metric));
  py::object table = self.attr("_regressed_models")
                         .attr("to_string")(py::arg("index") = false, py::arg("justify") = "left",
                                            py::arg("col_space") = 30);
  print(py::str("\nFailed Models:\n ") + py::str(table) + py::str("\n"));
  print(py::str(std::string(39, '-') + "\n"));
  py::module_::import("sys").attr("stdout").attr("flush")();
  summary(self, failed);
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_regressor", m) {
  for (const char* name : {"os", "sys", "json"}) m.attr(name) = py::module_::import(name);
  py::dict metrics;
  metrics["Batch Inf Time"] = py::make_tuple(0.2, false);
  metrics["Throughput"] = py::make_tuple(0.2, true);
  metrics["Sample Inf Time"] = py::make_tuple(0.2, false);
  modtree::ClassBuilder(m, "ToolRegressor")
      .attr("INTERESTING_METRICS_DICT", metrics)
      .attr("NEW_VERSION_KEY", py::str("NewVersion"))
      .attr("PREVIOUS_VERSION_KEY", py::str("PreviousVersion"))
      .attr("FAILED_METRICS_KEY", py::str("FailedMetrics"))
      .attr("ALL_METRICS_KEY", py::str("AllMetrics"))
      .attr("FAILED_MODELS_DF_KEY", py::str("FailedModelsDF"))
      .def("__init__", &init, py::arg("self"), py::arg("parsed_args"))
      .def("execute", &execute, py::arg("self"))
      .def("metrics_with_regression_from_previous_version", &metrics_with_regression_from_previous_version,
           py::arg("self"))
      .def("regressions_in_metric", &regressions_in_metric, py::arg("self"), py::arg("metric"),
           py::arg("allowed_degradation"), py::arg("increase_is_good"))
      .def("_initialize_compared_versions", &initialize_compared_versions, py::arg("self"))
      .def("_export_regression_data_to_json", &export_regression_data_to_json, py::arg("self"),
           py::arg("failed_metrics"))
      .build();
}
