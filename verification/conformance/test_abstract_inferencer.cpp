// tests.unit_tests.test_inferencers.test_abstract_inferencer: the shared base of every per-framework
// check class, with its fifteen shared checks, the output layouts and the scoped input-dimension override.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "verification/conformance/check_support.hpp"

namespace py = pybind11;
using namespace ostrel::conformance;
using ostrel::str;
using ostrel::truthy;

namespace {

constexpr double kCheckBenchmarkDuration = 5.0;
constexpr double kTolerance = 0.0001;

py::object np() { return py::module_::import("numpy"); }

// A shape (n, *dims) for the first entry of the `input_dims` knob.
py::tuple batch_shape(py::handle self, py::handle batch) {
  py::tuple dims = py::tuple(self.attr("input_dims")[py::int_(0)]);
  py::tuple shape(dims.size() + 1);
  shape[0] = batch;
  for (size_t i = 0; i < dims.size(); ++i) shape[i + 1] = dims[i];
  return shape;
}

// `np.<fill>(shape).astype(input_dtype)`; "random" draws uniform values in [0, 1).
py::object build_input(py::handle self, const char* fill, py::handle batch) {
  py::tuple shape = batch_shape(self, batch);
  py::object array = std::string(fill) == "random" ? np().attr("random").attr("random")(shape)
                                                    : np().attr(fill)(shape);
  return array.attr("astype")(self.attr("input_dtype"));
}

// The batch size of the class: the static one when set, else the default one.
py::object class_batch_size(py::handle self) {
  py::object static_batch_size = self.attr("static_batch_size");
  return truthy(static_batch_size) ? static_batch_size : py::object(self.attr("default_batch_size"));
}

// The two results of `predict` and of calling the inferencer are the same, without tolerance.
void expect_identical(py::handle self, py::handle a, py::handle b) {
  py::object array_equal = np().attr("array_equal");
  if (py::isinstance<py::dict>(a) && py::isinstance<py::dict>(b)) {
    py::dict da = py::reinterpret_borrow<py::dict>(a), db = py::reinterpret_borrow<py::dict>(b);
    expect(self, "assertEqual", py::list(da.attr("keys")()), py::list(db.attr("keys")()),
           "calling the inferencer and predict give different output names");
    for (auto item : da)
      if (!truthy(array_equal(item.second, db[item.first])))
        fail(self, "output " + str(py::repr(item.first)) + " of calling the inferencer differs from predict's");
    return;
  }
  if ((py::isinstance<py::list>(a) || py::isinstance<py::tuple>(a)) &&
      (py::isinstance<py::list>(b) || py::isinstance<py::tuple>(b))) {
    expect(self, "assertEqual", py::len(a), py::len(b),
           "calling the inferencer and predict give different numbers of outputs");
    for (size_t i = 0; i < py::len(a); ++i)
      if (!truthy(array_equal(a[py::int_(i)], b[py::int_(i)])))
        fail(self, "output " + std::to_string(i) + " of calling the inferencer differs from predict's");
    return;
  }
  if (!truthy(array_equal(a, b))) fail(self, "calling the inferencer gives another result than predict");
}

// ---- the module's names ----

void import_names(py::module_& m) {
  m.attr("time") = py::module_::import("time");
  m.attr("ABC") = modtree::import_from("abc", "ABC");
  m.attr("contextmanager") = modtree::import_from("contextlib", "contextmanager");
  m.attr("Enum") = modtree::import_from("enum", "Enum");
  m.attr("List") = modtree::import_from("typing", "List");
  m.attr("Tuple") = modtree::import_from("typing", "Tuple");
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("urlcleanup") = modtree::import_from("urllib.request", "urlcleanup");
  m.attr("np") = np();
  m.attr("ostrel") = py::module_::import("ostrel");
  m.attr("TensorMetadata") = modtree::import_from("ostrel.common.data_classes.tensor_metadata", "TensorMetadata");
  m.attr("InputDimensionsNotSpecifiedError") =
      modtree::import_from("ostrel.common.exceptions", "InputDimensionsNotSpecifiedError");
  m.attr("ForwardPassNotImplemented") = modtree::import_from("ostrel.common.exceptions", "ForwardPassNotImplemented");
  m.attr("BaseInferencer") = modtree::import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
}

// The output layouts a check class declares: ORDERED (a list of arrays) or DICT (arrays by name).
void define_output_type(py::module_& m) {
  py::list members;
  members.append(py::make_tuple("ORDERED", "ordered"));
  members.append(py::make_tuple("DICT", "dict"));
  m.attr("OutputType") = m.attr("Enum")("OutputType", members, py::arg("module") = m.attr("__name__"),
                                        py::arg("qualname") = "OutputType");
}

// with_input_dims: the inferencer's input dimensions replaced for the block, restored on every way out
// of it.
void define_input_dims_scope(py::module_& m) {
  py::object scope =
      CheckClass(m, "_InputDimsScope")
          .def(
              "__init__",
              [](py::object self, py::object inferencer, py::object new_dims) {
                self.attr("_inferencer") = inferencer;
                self.attr("_new_dims") = new_dims;
              },
              py::arg("self"), py::arg("inferencer"), py::arg("new_dims"))
          .def(
              "__enter__",
              [](py::object self) {
                py::object inferencer = self.attr("_inferencer");
                self.attr("_old_dims") = inferencer.attr("input_dims");
                inferencer.attr("input_dims") = self.attr("_new_dims");
              },
              py::arg("self"))
          .def(
              "__exit__",
              [](py::object self, py::object, py::object, py::object) {
                self.attr("_inferencer").attr("input_dims") = self.attr("_old_dims");
                return false;
              },
              py::arg("self"), py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"))
          .build(false);
  m.attr("_InputDimsScope") = scope;
  m.def(
      "with_input_dims", [scope](py::object inferencer, py::object new_dims) { return scope(inferencer, new_dims); },
      py::arg("inferencer"), py::arg("new_dims"),
      "Replaces the inferencer's input dimensions (through its input_dims property) for the duration of a\n"
      "`with` block; the previous dimensions are put back however the block ends.");
}

// ---- AbstractInferencerTest: set-up and the helpers every check uses ----

void set_up(const py::module_& m, py::object self) {
  self.attr("default_batch_size") = 3;
  self.attr("input_dtype") = py::none();
  self.attr("input_dims") = py::none();
  self.attr("static_batch_size") = py::none();
  self.attr("try_fetch_input_dimensions") = true;
  self.attr("test_keyword_arguments_inputs_for_inference") = false;
  self.attr("predict_keyword_arguments") = py::dict();
  self.attr("try_fetch_static_batch_size") = true;
  self.attr("output_type") = m.attr("OutputType").attr("ORDERED");
  self.attr("forward_pass_supported") = false;
  self.attr("test_infer_framework_from_checkpoint") = true;
  shorten_benchmarks(self, py::float_(kCheckBenchmarkDuration));  // for this check only
}

// Both results are lists of arrays of the same length, equal item by item within the tolerance.
void validate_ordered_outputs(py::handle self, py::object outputs, py::object expected_outputs) {
  py::object ndarray = np().attr("ndarray");
  py::object list_type = ostrel::builtin("list");
  expect(self, "assertIsInstance", outputs, list_type);
  expect(self, "assertIsInstance", expected_outputs, list_type);
  expect(self, "assertEqual", py::len(outputs), py::len(expected_outputs),
         "the outputs and the expected outputs differ in number");
  for (size_t i = 0; i < py::len(outputs); ++i) {
    py::object output = outputs[py::int_(i)];
    py::object expected = expected_outputs[py::int_(i)];
    expect(self, "assertIsInstance", output, ndarray);
    expect(self, "assertIsInstance", expected, ndarray);
    expect_allclose(self, output, expected, kTolerance, "output " + std::to_string(i));
  }
}

// The outputs are a dict of arrays; with expected outputs, both have the same names and equal arrays
// within the tolerance.
void validate_named_outputs(py::handle self, py::object outputs, py::object expected_outputs) {
  py::object ndarray = np().attr("ndarray");
  expect(self, "assertIsInstance", outputs, ostrel::builtin("dict"));
  for (auto item : py::reinterpret_borrow<py::dict>(outputs)) {
    py::object name = py::reinterpret_borrow<py::object>(item.first);
    expect(self, "assertIsInstance", item.second, ndarray);
    if (expected_outputs.is_none()) continue;
    expect(self, "assertIn", name, expected_outputs,
           "output " + str(py::repr(name)) + " is not among the expected outputs");
    py::object expected = expected_outputs[name];
    expect(self, "assertIsInstance", expected, ndarray);
    expect_allclose(self, item.second, expected, kTolerance, "output " + str(py::repr(name)));
  }
  if (!expected_outputs.is_none())
    for (auto name : expected_outputs)
      expect(self, "assertIn", name, outputs, "expected output " + str(py::repr(name)) + " is missing");
}

void validate_outputs(const py::module_& m, py::object self, py::object outputs, py::object expected_outputs) {
  py::object output_type = self.attr("output_type");
  py::object types = m.attr("OutputType");
  if (output_type.equal(types.attr("ORDERED")))
    validate_ordered_outputs(self, outputs, expected_outputs);
  else if (output_type.equal(types.attr("DICT")))
    validate_named_outputs(self, outputs, expected_outputs);
}

void define_hooks(CheckClass& cls, py::module_& m) {
  cls.method("setUp", [m](py::object self) { set_up(m, self); });

  cls.class_method("tearDownClass", [m](py::object) { m.attr("urlcleanup")(); });

  cls.method_returning(
      "create_inferencer",
      [](py::object) -> py::object {
        ostrel::raise(PyExc_NotImplementedError,
                      "Please implement a create_inferencer method for your inferencer test. AbstractInferencerTest "
                      "cannot be tested without the derived class implementation.");
      },
      "This method should be implemented per inferencer test.\n:return: An initialized inferencer to run the "
      "tests on.");

  cls.def(
      "validate_outputs",
      [m](py::object self, py::object outputs, py::object expected_outputs) {
        validate_outputs(m, self, outputs, expected_outputs);
      },
      py::arg("self"), py::arg("outputs"), py::arg("expected_outputs") = py::none(),
      "Compares one prediction result with another of the same inputs, by the class's output layout.");
}

// ---- checks of construction, metadata and input dimensions ----

// With its input dimensions cleared, the inferencer refuses a benchmark and reads the dimensions back
// from the model (when `can_fetch`); the benchmark record on the fetched dimensions, else none.
py::object fetch_input_dims(const py::module_& m, py::object self, py::object inferencer, py::object can_fetch,
                            py::object batch_size) {
  py::object expected_dims = inferencer.attr("input_dims");
  py::object result;
  ostrel::with_block(m.attr("with_input_dims")(inferencer, py::none()), [&] {
    expect_raises(self, m.attr("InputDimensionsNotSpecifiedError"),
                  [&] { inferencer.attr("benchmark")(py::arg("batch_size") = batch_size); });
    py::object fetched = inferencer.attr("fetch_model_input_dimensions")();
    if (!truthy(can_fetch)) {
      expect(self, "assertIsNone", fetched);
      result = py::none();
    } else {
      expect(self, "assertIsNotNone", fetched);
      expect(self, "assertEqual", fetched, expected_dims);
      inferencer.attr("input_dims") = fetched;
      result = inferencer.attr("benchmark")(py::arg("batch_size") = batch_size);
    }
  });
  return result;
}

// The example inputs predict, and each has the model's batch size, input dimensions and data type.
void check_example_inputs(py::object self) {
  if (!truthy(self.attr("try_fetch_input_dimensions"))) {
    py::print("Skipping example inputs property test - try_fetch_input_dimensions is False");
    return;
  }
  py::object inferencer = self.attr("create_inferencer")();
  py::list inputs = py::list(inferencer.attr("example_inputs"));
  expect(self, "assertIsNotNone", inferencer.attr("predict")(inputs));
  py::list dims = py::list(inferencer.attr("input_dims"));
  py::list dtypes = py::list(inferencer.attr("fetch_model_input_dtype")());
  py::object fetched_batch = inferencer.attr("fetch_model_batch_size")();
  py::object batch = truthy(fetched_batch) ? fetched_batch : py::int_(1);
  size_t n = std::min({py::len(inputs), py::len(dims), py::len(dtypes)});
  for (size_t i = 0; i < n; ++i) {
    py::object array = inputs[i];
    expect(self, "assertIsInstance", array, np().attr("ndarray"));
    py::tuple shape = array.attr("shape");
    expect(self, "assertEqual", shape[0], batch, "batch axis of example input " + std::to_string(i));
    expect(self, "assertEqual", shape[py::slice(1, static_cast<py::ssize_t>(shape.size()), 1)], py::tuple(dims[i]),
           "dimensions of example input " + std::to_string(i));
    expect(self, "assertEqual", array.attr("dtype"), dtypes[i], "data type of example input " + std::to_string(i));
  }
}

void define_construction_checks(CheckClass& cls, py::module_& m) {
  cls.method("test_initialize_without_framework_type", [](py::object self) {
    if (!truthy(self.attr("test_infer_framework_from_checkpoint"))) return;
    self.attr("inferencer_type")(self.attr("checkpoint_file"));
  });

  cls.method(
      "test_initialization_with_default_api",
      [m](py::object self) {
        if (!truthy(self.attr("inferencer_type"))) fail(self, "The test did not define an inferencer class.");
        py::object inferencer = self.attr("inferencer_type")(py::arg("checkpoint_file") = self.attr("checkpoint_file"),
                                                             py::arg("input_dims") = self.attr("input_dims"));
        expect(self, "assertIsInstance", inferencer, m.attr("BaseInferencer"));
      },
      "Checks that the inference can be initialized using the default ostrel API, passing only mandatory values to "
      "__init__.");

  cls.def(
      "_test_fetch_input_dims",
      [m](py::object self, py::object inferencer, py::object can_fetch, py::object batch_size) {
        return fetch_input_dims(m, self, inferencer, can_fetch, batch_size);
      },
      py::arg("self"), py::arg("inferencer"), py::arg("can_fetch") = true, py::arg("batch_size") = 1,
      "A benchmark without input dimensions is refused, and the dimensions the back-end reads from the model\n"
      "are those the inferencer holds; returns the record of a benchmark on the fetched dimensions.");

  cls.method("test_inputs_and_outputs_metadata_properties", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::list all = py::list(inferencer.attr("inputs_metadata"));
    for (auto item : inferencer.attr("outputs_metadata")) all.append(item);
    for (auto item : all) expect(self, "assertIsInstance", item, m.attr("TensorMetadata"));
  });

  cls.method("test_example_inputs_property", check_example_inputs);

  cls.method(
      "test_benchmark_with_none_input_dimensions_raises_error",
      [m](py::object self) {
        py::object batch = class_batch_size(self);
        expect_raises(self, m.attr("InputDimensionsNotSpecifiedError"), [&] {
          py::object inferencer = self.attr("create_inferencer")();
          inferencer.attr("_input_dims") = py::none();
          inferencer.attr("benchmark")(py::arg("batch_size") = batch, py::arg("input_dimensions") = py::none());
        });
        py::object inferencer = self.attr("create_inferencer")();
        expect(self, "assertTrue",
               inferencer.attr("benchmark")(py::arg("batch_size") = batch,
                                            py::arg("input_dimensions") = self.attr("input_dims")));
      },
      "Test that None as input dimensions raises an error");

  cls.method(
      "test_benchmark_with_warmup_calls",
      [](py::object self) {
        py::object batch = class_batch_size(self);
        py::object inferencer = self.attr("create_inferencer")();
        inferencer.attr("benchmark")(py::arg("batch_size") = batch, py::arg("input_dimensions") = self.attr("input_dims"),
                                     py::arg("repetitions") = 20, py::arg("warmup_calls") = 10);
        inferencer = self.attr("create_inferencer")();
        expect(self, "assertTrue",
               inferencer.attr("benchmark")(py::arg("batch_size") = batch,
                                            py::arg("input_dimensions") = self.attr("input_dims")));
      },
      "Tests the benchmark with warmup_calls argument");

  cls.method("test_predict_with_invalid_input_dimensions_raises_exception", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object x = np().attr("ones")(py::make_tuple(2, 1, 1, 4, 1, 23, 423));
    expect_raises(self, PyExc_Exception, [&] { inferencer.attr("predict")(x); });
  });
}

// ---- checks of prediction, batch, data type, forward pass, keywords and benchmark ----

// The inputs of the end-to-end check: the example inputs once the dimensions were read back from the
// model, else dummy inputs of the class's dimensions and data type.
py::object end_to_end_inputs(py::object self, py::object inferencer) {
  if (truthy(self.attr("try_fetch_input_dimensions"))) {
    py::object record = self.attr("_test_fetch_input_dims")(
        inferencer, py::arg("can_fetch") = self.attr("try_fetch_input_dimensions"), py::arg("batch_size") = 1);
    expect(self, "assertTrue", record);
    expect(self, "assertIsNotNone", inferencer.attr("legend"));
    return inferencer.attr("example_inputs");
  }
  py::list built;
  for (auto array : inferencer.attr("_build_dummy_inputs")(self.attr("input_dims")))
    built.append(array.attr("astype")(self.attr("input_dtype")));
  return built;
}

// A few predicts, timed and printed; the outputs of one more.
py::object timed_predicts(py::object inferencer, py::object inputs) {
  const int forward_passes = 5;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < forward_passes; ++i) inferencer.attr("predict")(inputs);
  double elapsed_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  py::object outputs = inferencer.attr("predict")(inputs);
  char line[96];
  std::snprintf(line, sizeof line, "%d forward passes took %.3fms", forward_passes, elapsed_ms);
  py::print(line);
  py::print("Outputs: " + str(outputs));
  return outputs;
}

// timed_predict gives an (outputs, milliseconds) pair whose outputs match `outputs`.
void check_timed_predict(py::object self, py::object inferencer, py::object inputs, py::object outputs) {
  py::print("Testing timed predict...");
  py::tuple timed = py::tuple(inferencer.attr("timed_predict")(inputs));
  if (timed.size() != 2)
    ostrel::raise(PyExc_ValueError, "timed_predict returned " + std::to_string(timed.size()) +
                                        " values where an (outputs, milliseconds) pair was expected");
  py::object timed_outputs = timed[0], timed_ms = timed[1];
  expect(self, "assertTrue", timed_outputs);
  expect(self, "assertTrue", timed_ms);
  expect(self, "assertIsInstance", timed_ms, ostrel::builtin("float"));
  py::print("Timed predict passed");
  self.attr("validate_outputs")(outputs, timed_outputs);
}

void load_predict_benchmark(py::object self) {
  py::object inferencer = self.attr("create_inferencer")();
  py::object inputs = end_to_end_inputs(self, inferencer);
  py::object outputs = timed_predicts(inferencer, inputs);
  check_timed_predict(self, inferencer, inputs, outputs);
  py::print(inferencer.attr("benchmark")(py::arg("batch_size") = class_batch_size(self)));
}

void define_prediction_checks(CheckClass& cls, py::module_& m) {
  cls.method("test_e2e_load_predict_benchmark", load_predict_benchmark);

  cls.method("test_changing_inputs_dimensions_returns_consistent_outputs", [](py::object self) {
    if (!self.attr("static_batch_size").is_none()) {
      py::print("The inferencer has defined static_batch_size, skipping the dynamic batch size test.");
      return;
    }
    py::object inferencer = self.attr("create_inferencer")();
    py::object inputs1 = build_input(self, "zeros", py::int_(1));
    py::object inputs2 = build_input(self, "ones", py::int_(5));
    py::object inputs3 = build_input(self, "random", py::int_(8));
    const int swaps = 23;
    py::list outputs1, outputs2, outputs3;
    for (int i = 0; i < swaps; ++i) {
      outputs1.append(inferencer.attr("predict")(inputs1));
      outputs2.append(inferencer.attr("predict")(inputs2));
      outputs3.append(inferencer.attr("predict")(inputs3));
    }
    for (int i = 1; i < swaps; ++i) {
      self.attr("validate_outputs")(outputs1[i], outputs1[i - 1]);
      self.attr("validate_outputs")(outputs2[i], outputs2[i - 1]);
      self.attr("validate_outputs")(outputs3[i], outputs3[i - 1]);
    }
    py::print("Passed.");
  });

  cls.method("test_get_batch_size", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object static_batch_size = self.attr("static_batch_size");
    if (truthy(self.attr("try_fetch_static_batch_size")) && !static_batch_size.is_none()) {
      expect(self, "assertEqual", inferencer.attr("fetch_model_batch_size")(), static_batch_size);
      return;
    }
    py::object fetched = inferencer.attr("fetch_model_batch_size")();
    bool accepted = !truthy(fetched) || py::isinstance<py::str>(fetched) || py::isinstance<py::int_>(fetched);
    expect(self, "assertTrue", accepted,
           "fetch_model_batch_size gave " + str(py::repr(fetched)) + ": expected none, 0, a text or an integer");
  });

  cls.method("test_fetch_input_dtype", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    try {
      py::object dtypes = inferencer.attr("fetch_model_input_dtype")();
      for (auto dtype : py::iter(dtypes))
        expect(self, "assertEqual", dtype, self.attr("input_dtype"), "data type of a model input");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_NotImplementedError)) throw;
    }
  });

  cls.method("test_forward_pass", [m](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object inputs1 = build_input(self, "zeros", self.attr("default_batch_size"));
    if (!truthy(self.attr("forward_pass_supported"))) {
      expect_raises(self, m.attr("ForwardPassNotImplemented"), [&] { inferencer.attr("_forward_pass")(inputs1); });
      return;
    }
    inferencer.attr("_forward_pass")(inputs1);
  });

  cls.method("test_inference_with_keyword_arguments", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object x_arg_input = build_input(self, "zeros", py::int_(1));
    if (!truthy(self.attr("test_keyword_arguments_inputs_for_inference"))) return;
    py::dict named = self.attr("predict_keyword_arguments");
    py::object predict = inferencer.attr("predict");
    predict(**named);
    expect(self, "assertTrue", predict(**named));
    expect_raises(self, PyExc_ValueError, [&] { predict(x_arg_input, **named); });
  });

  cls.method("test_benchmark_with_keyword_arguments", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    if (!truthy(self.attr("test_keyword_arguments_inputs_for_inference"))) return;
    py::dict named = self.attr("predict_keyword_arguments");
    expect(self, "assertTrue",
           inferencer.attr("benchmark")(py::arg("batch_size") = class_batch_size(self),
                                        py::arg("input_dimensions") = self.attr("input_dims"), **named));
  });

  cls.method("test_predict_output_equals_call", [](py::object self) {
    py::object inferencer = self.attr("create_inferencer")();
    py::object inputs1 = build_input(self, "random", py::int_(1));
    py::object called = inferencer(inputs1);
    py::object predicted = inferencer.attr("predict")(inputs1);
    expect_identical(self, called, predicted);
  });
}

}  // namespace

MODTREE_MODULE("unit_tests.test_inferencers.test_abstract_inferencer", m) {
  import_names(m);
  define_output_type(m);
  define_input_dims_scope(m);

  CheckClass cls(m, "AbstractInferencerTest");
  cls.base_of(m.attr("TestCase")).base_of(m.attr("ABC"));
  cls.metaclass(py::module_::import("abc").attr("ABCMeta"));
  define_hooks(cls, m);
  define_construction_checks(cls, m);
  define_prediction_checks(cls, m);
  cls.build();
}
