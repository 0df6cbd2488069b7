// tests.unit_tests.test_model_benchmarks_print: the text form of a benchmark record.
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;

MODTREE_MODULE("unit_tests.test_model_benchmarks_print", m) {
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("ModelBenchmarks") =
      modtree::import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");

  CheckClass cls(m, "TestModelBenchmarks");
  cls.base_of(m.attr("TestCase"));
  cls.method(
      "test_repr_and_str_calls",
      [m](py::object self) {
        const double batch_inf_time = 33.687615394592285;
        const double variance = 24.89509298527537;
        const double throughput = 29.684499430628303;
        py::object benchmarks =
            m.attr("ModelBenchmarks")(py::arg("batch_size") = 1, py::arg("batch_inf_time") = batch_inf_time,
                                      py::arg("batch_inf_time_variance") = variance,
                                      py::arg("model_memory_used") = py::none(), py::arg("throughput") = throughput,
                                      py::arg("sample_inf_time") = batch_inf_time);
        expect(self, "assertEqual", benchmarks.attr("batch_size"), 1);
        expect(self, "assertEqual", benchmarks.attr("batch_inf_time"), batch_inf_time);
        expect(self, "assertEqual", benchmarks.attr("batch_inf_time_variance"), variance);
        expect(self, "assertEqual", benchmarks.attr("model_memory_used"), py::none());
        expect(self, "assertEqual", benchmarks.attr("throughput"), throughput);
        expect(self, "assertEqual", benchmarks.attr("sample_inf_time"), batch_inf_time);
        py::str console_output(benchmarks);
        py::print(console_output);
        expect(self, "assertIn", "\"29.68 fps\",", console_output);
        expect(self, "assertIn", "\"33.69 ms\",", console_output);
        expect(self, "assertIn", "batch_size", console_output);
      },
      "A benchmark record keeps its values and shows them with their units in its text form.");
  cls.build();
}
