// The record of one benchmark run and its text form.
#include <cmath>
#include <string>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/lazy_modules.hpp"
#include "runtime/version.hpp"

namespace py = pybind11;

namespace {

// Text form: floats become fixed-point text with a unit, then the mapping is written as JSON.
py::str benchmark_text(py::object self) {
  py::dict values = self.attr("dict")();
  py::dict shown;
  for (auto item : values) {
    std::string key = py::str(item.first).cast<std::string>();
    py::handle value = item.second;
    if (PyFloat_Check(value.ptr())) {
      const char* unit = key == "throughput"                       ? " fps"
                         : key.find("memory") != std::string::npos ? " mb"
                                                                   : " ms";
      shown[item.first] = py::str("{:.2f}").format(value) + py::str(unit);
    } else {
      shown[item.first] = value;
    }
  }
  py::object text = py::module_::import("json").attr("dumps")(shown, py::arg("indent") = 4);
  return py::str("<ModelBenchmarks: ") + py::str(text) + py::str(">");
}

}  // namespace

MODTREE_MODULE("common.data_classes.inferencer_benchmark_result", m) {
  ostrel::lazy_module_attributes(m, {"json"});
  py::object Schema = modtree::import_from("ostrel.common.abstractions.schema", "Schema");
  m.attr("Schema") = Schema;
  py::object version = modtree::import_from("ostrel.version", "version");
  m.attr("ostrel_version") = version;

  auto opt = [](const char* t) {
    return modtree::typing_subscript("Optional", py::module_::import("builtins").attr(t));
  };
  py::none none;
  modtree::ClassBuilder(m, "ModelBenchmarks")
      .base(Schema)
      .field("batch_size", opt("int"), none)
      .field("batch_inf_time", opt("float"), none)
      .field("batch_inf_time_variance", opt("float"), none)
      .field("system_startpoint_memory_used", opt("float"), none)
      .field("model_memory_used", opt("float"), none)
      .field("post_inference_memory_used", opt("float"), none)
      .field("total_memory_size", opt("float"), none)
      .field("throughput", opt("float"), none)
      .field("sample_inf_time", opt("float"), none)
      .field("include_io", opt("bool"), none)
      .field("framework_type", opt("str"), none)
      .field("framework_version", opt("str"), none)
      .field("inference_hardware", opt("str"), none)
      .field("ostrel_version", opt("str"), version)
      .field("date", opt("str"), none)
      .field("ctime", opt("int"), none)
      .field("h_to_d_mean", opt("float"), none)
      .field("d_to_h_mean", opt("float"), none)
      .field("h_to_d_variance", opt("float"), none)
      .field("d_to_h_variance", opt("float"), none)
      .def("__str__", &benchmark_text, py::arg("self"))
      .def("__repr__", &benchmark_text, py::arg("self"))
      .build();
}
