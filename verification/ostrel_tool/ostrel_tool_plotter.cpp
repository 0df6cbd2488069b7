// The "plot" sub-command: one chart of the results CSV per requested column, models as colour groups.
#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;

namespace {

py::object pd() { return ostrel_tool::tool_dependency("pandas"); }

// An option the user gave: not none and not empty.
bool given(py::handle v) { return !v.is_none() && ostrel::truthy(v); }

void init(py::object self, py::object args) {
  py::object csv = args.attr("csv_path");
  self.attr("_csv_path") = csv;
  self.attr("_output_path") = args.attr("output_path");
  self.attr("_show_plot") = args.attr("show_plot");
  self.attr("_interactive_plot") = args.attr("interactive");
  self.attr("_x_axis") = args.attr("x_axis");
  self.attr("_y_axes") = args.attr("y_axes");
  self.attr("_plot_type") = args.attr("plot_type");
  self.attr("_framework_type") = args.attr("framework");
  py::object batch = args.attr("batch_size");
  self.attr("_batch_size") = given(batch) ? ostrel::builtin("int")(batch) : py::none();
  if (!py::bool_(py::module_::import("os.path").attr("exists")(csv)))
    ostrel::raise(PyExc_ValueError, "Provided csv (" + ostrel::str(csv) + ") does not exist!");
  py::object df = pd().attr("read_csv")(csv, py::arg("dtype") = ostrel_tool::text_columns());
  self.attr("df") = df;
  py::list headings;
  headings.append(self.attr("_x_axis"));
  for (py::handle y : self.attr("_y_axes")) headings.append(y);
  for (py::handle h : headings)
    if (!df.attr("columns").contains(h))
      ostrel::raise(PyExc_ValueError,
                    "Metric \"" + ostrel::str(h) + "\" is not a column in the provided CSV");
  py::object framework = self.attr("_framework_type");
  if (given(framework)) {
    py::list values = df["Framework"].attr("unique")().attr("tolist")();
    py::object known =
        py::module_::import("numpy").attr("array")(values, py::arg("dtype") = ostrel::builtin("object"));
    if (!values.contains(framework))
      ostrel::raise(PyExc_ValueError,
                    "Framework \"" + ostrel::str(framework) +
                        "\" is not a valid framework. Expecting one of: " + ostrel::str(known));
  }
  if (py::bool_(self.attr("_interactive_plot"))) {
    ostrel_tool::tool_dependency("plotly");  // pandas draws through it
    pd().attr("options").attr("plotting").attr("backend") = "plotly";
  }
}

void execute(py::object self) {
  py::object df = self.attr("df");
  py::object framework = self.attr("_framework_type");
  if (given(framework)) df = df[df["Framework"].attr("__eq__")(framework)];
  py::object batch = self.attr("_batch_size");
  if (given(batch)) df = df[df["Batch Size"].attr("__eq__")(batch)];
  py::object output = self.attr("_output_path");
  bool write = given(output) && py::bool_(self.attr("_interactive_plot"));
  for (py::handle y : self.attr("_y_axes")) {
    py::object figure =
        df.attr("plot")(py::arg("kind") = self.attr("_plot_type"), py::arg("x") = self.attr("_x_axis"),
                        py::arg("y") = y, py::arg("color") = "Model");
    if (write) {
      std::string name = ostrel::str(output) +
                         py::type::of(self).attr("PLOT_NAME_SEPARATOR").cast<std::string>() +
                         ostrel::str(py::str(y).attr("replace")(" ", "_")) + ".html";
      figure.attr("write_html")(name);
    }
    if (py::bool_(self.attr("_show_plot"))) figure.attr("show")();
  }
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_plotter", m) {
  m.attr("os") = py::module_::import("os");
  modtree::ClassBuilder(m, "ToolPlotter")
      .attr("PLOT_NAME_SEPARATOR", py::str("___"))
      .def("__init__", &init, py::arg("self"), py::arg("parsed_args"))
      .def("execute", &execute, py::arg("self"))
      .build();
}
