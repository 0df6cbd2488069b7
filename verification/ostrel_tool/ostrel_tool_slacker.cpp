// The "slack" sub-command: posts the regression results and links to the plots to a chat channel.
#include <string>

#include "bindings/errors.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "verification/ostrel_tool/tool_support.hpp"

namespace py = pybind11;

namespace {

// The chat service refuses a section whose text exceeds this many characters.
constexpr size_t kSectionLimit = 3000;
const std::string kTruncated = "\n... (truncated)";

py::object cls_attr(py::object self, const char* name) { return py::type::of(self).attr(name); }

py::object regressor_key(const char* name) {
  return ostrel_tool::tool_import("ostrel_tool_regressor", "ToolRegressor").attr(name);
}

py::object entry(py::object self, const char* key) {
  return self.attr("_regression_dict")[regressor_key(key)];
}

void init(py::object self, py::object args) {
  py::object SlackManager =
      modtree::import_from("tamsor_infra.data_connection.slack_manager", "SlackManager");
  py::object S3Connector = modtree::import_from("tamsor_infra.data_connection.s3_connector", "S3Connector");
  self.attr("_slack_manager") = SlackManager();
  py::object env = cls_attr(self, "REGRESSION_BUCKET_ENV");
  self.attr("_s3_connector") = S3Connector(env, env);
  py::object channel = args.attr("channel");
  self.attr("_channel") = channel.is_none() ? cls_attr(self, "OSTREL_REGRESSION_CHANNEL") : channel;
  self.attr("_plot_paths") = args.attr("plot_paths");
  py::object path = args.attr("regression_json");
  self.attr("_regression_json_path") = path;
  if (!py::bool_(py::module_::import("os.path").attr("exists")(path)))
    ostrel::raise(PyExc_FileNotFoundError, "Could not find regression JSON!");
  ostrel::OpenFile f(path, "r");
  self.attr("_regression_dict") = py::module_::import("json").attr("load")(*f);
  f.close();
}

std::string join(const std::vector<std::string>& lines, const std::string& sep) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? sep : "") + lines[i];
  return out;
}

py::str formatted_metrics_section(py::object self) {
  py::object failed = entry(self, "FAILED_METRICS_KEY");
  std::vector<std::string> lines;
  for (py::handle metric : entry(self, "ALL_METRICS_KEY"))
    lines.push_back("\t - " + ostrel::str(metric) +
                    (py::bool_(failed.attr("__contains__")(metric)) ? ":\t:x:" : ":\t:white_check_mark:"));
  return py::str(join(lines, "\n\n"));
}

py::str formatted_plot_section(py::object self) {
  py::object basename = py::module_::import("os.path").attr("basename");
  std::string prefix = cls_attr(self, "REGRESSION_PLOT_KEY_PREFIX").cast<std::string>();
  std::vector<std::string> links;
  for (py::handle path : self.attr("_plot_paths")) {
    std::string key = prefix + "/" + ostrel::str(basename(path));
    links.push_back(ostrel::str(self.attr("_s3_connector")
                                    .attr("create_presigned_download_url")(
                                        cls_attr(self, "REGRESSION_BUCKET_NAME"), key,
                                        py::arg("expiration") = cls_attr(self, "DOWNLOAD_LINK_EXPIRATION"))));
  }
  std::vector<std::string> lines;
  py::object metrics = entry(self, "ALL_METRICS_KEY");
  for (const std::string& link : links) {
    std::string label = "Plot URL";
    for (py::handle metric : metrics) {
      std::string underscored = ostrel::str(py::str(metric).attr("replace")(" ", "_"));
      if (link.find(underscored) != std::string::npos) {
        label = ostrel::str(metric);
        break;
      }
    }
    lines.push_back("\t:chart_with_upwards_trend: <" + link + "|" + label + ">");
  }
  return py::str(join(lines, "\n\n"));
}

py::str formatted_failures_section(py::object self) {
  if (py::len(entry(self, "FAILED_METRICS_KEY")) == 0) return py::str("\t - None\t:mechanical_arm:");
  py::object table = entry(self, "FAILED_MODELS_DF_KEY");
  if (table.is_none()) return py::str("\t - Could not find failures");
  if (!py::isinstance<py::str>(table))
    ostrel::raise(PyExc_TypeError, "FailedModelsDF must be a text or null");
  return py::str(" " + table.cast<std::string>());
}

// Cuts a section text that the chat service would refuse, so the rest of the message still goes out.
std::string fit(std::string text) {
  py::object s = py::str(text);
  if (static_cast<size_t>(py::len(s)) <= kSectionLimit) return text;
  return ostrel::str(s[py::slice(0, static_cast<py::ssize_t>(kSectionLimit - kTruncated.size()), 1)]) +
         kTruncated;
}

py::dict divider() {
  py::dict d;
  d["type"] = "divider";
  return d;
}

py::dict section(const std::string& text) {
  py::dict inner;
  inner["type"] = "mrkdwn";
  inner["text"] = fit(text);
  py::dict d;
  d["type"] = "section";
  d["text"] = inner;
  return d;
}

void send_regression_results(py::object self) {
  py::list blocks;
  blocks.append(divider());
  py::dict header_text;
  header_text["type"] = "plain_text";
  header_text["text"] = "Ostrel Regression Results";
  header_text["emoji"] = true;
  py::dict header;
  header["type"] = "header";
  header["text"] = header_text;
  blocks.append(header);
  blocks.append(divider());
  std::string versions = ":robot_face:  *Versions and CI*\n\n\t - New:\t\t\t " +
                         ostrel::str(entry(self, "NEW_VERSION_KEY")) + "\n\n\t - Previous:  \t" +
                         ostrel::str(entry(self, "PREVIOUS_VERSION_KEY")) + "\n\n\t - Pipelines: \t <" +
                         cls_attr(self, "CI_PIPELINES_URL").cast<std::string>() + "|" +
                         cls_attr(self, "CI_LABEL").cast<std::string>() + ">";
  blocks.append(section(versions));
  blocks.append(divider());
  blocks.append(
      section(":robot_face:  *Metrics*\n\n\n" + ostrel::str(self.attr("_formatted_metrics_section")())));
  blocks.append(divider());
  blocks.append(
      section(":robot_face:  *Failures*\n\n" + ostrel::str(self.attr("_formatted_failures_section")())));
  blocks.append(divider());
  blocks.append(
      section(":robot_face:  *Interactive Plots*\n\n" + ostrel::str(self.attr("_formatted_plot_section")())));
  blocks.append(divider());
  self.attr("_slack_manager").attr("send_message_to_channel")(blocks, self.attr("_channel"));
}

}  // namespace

MODTREE_MODULE("ostrel_tool.ostrel_tool_slacker", m) {
  m.attr("os") = py::module_::import("os");
  m.attr("json") = py::module_::import("json");
  m.attr("ToolRegressor") = ostrel_tool::tool_import("ostrel_tool_regressor", "ToolRegressor");
  modtree::ClassBuilder(m, "ToolSlacker")
      .attr("OSTREL_REGRESSION_CHANNEL", py::str("ostrel_regression_results"))
      .attr("REGRESSION_BUCKET_NAME", py::str("ostrel-regression-results"))
      .attr("REGRESSION_PLOT_KEY_PREFIX", py::str("Development/Plots"))
      .attr("REGRESSION_BUCKET_ENV", py::str("development"))
      .attr("DOWNLOAD_LINK_EXPIRATION", py::int_(43200))
      .attr("CI_PIPELINES_URL", py::str("https://app.circleci.com/pipelines/github/tamsor/ostrel?filter=all"))
      .attr("CI_LABEL", py::str("ostrel CI"))
      .def("__init__", &init, py::arg("self"), py::arg("parsed_args"))
      .def(
          "execute", [](py::object self) { self.attr("_send_regression_results")(); }, py::arg("self"))
      .def("_send_regression_results", &send_regression_results, py::arg("self"))
      .def("_formatted_metrics_section", &formatted_metrics_section, py::arg("self"))
      .def("_formatted_plot_section", &formatted_plot_section, py::arg("self"))
      .def("_formatted_failures_section", &formatted_failures_section, py::arg("self"))
      .build();
}
