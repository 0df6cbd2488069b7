// The TensorRT back-end: TRTInferencer serves a serialized TensorRT engine on one GPU through one
// TamsorTRTEngineRunner (field `model`), verifies inputs against the engine's bindings, predicts into host
// arrays or GPU tensors and benchmarks in two modes (synchronous calls, or up to four executions queued
// on the engine's stream).
//
// TRTInferencer is a real Python subclass of BaseInferencer whose members are C++ functions; it exists only
// when the engine module could define its runner (TensorRT, pycuda and a visible GPU). Module attributes
// are read at each use.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/frameworks/engines/pushed_context.hpp"
#include "runtime/keyword_calls.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using ostrel::raise;
using ostrel::truthy;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module

constexpr const char* kProfilingRequired =
    "Please initialize the TRTInferencer with profiling=True in order to use profiling features.";
constexpr int kBacklogSize = 4;

// ---- construction and loading -------------------------------------------------------------------------

void init(py::object self, py::object checkpoint_file, py::object static_batch_size, py::object device,
          py::object inference_dtype, py::object logging_verbosity, py::object profiling, py::kwargs) {
  self.attr("model") = py::none();
  self.attr("_passed_logging_verbosity") = logging_verbosity;
  self.attr("max_batch_size") = py::none();
  self.attr("input_sizes_from_graph") = py::none();
  self.attr("input_sizes_from_graph_without_bs") = py::none();
  if (!py::isinstance<py::int_>(device))
    raise(PyExc_AssertionError, "The device argument must be an integer.");
  self.attr("_device") = device;
  self.attr("_profiling") = profiling;
  py::object base_init = ostrel::builtin("super")(mod_attr("TRTInferencer"), self).attr("__init__");
  base_init(py::arg("checkpoint_file") = checkpoint_file, py::arg("static_batch_size") = static_batch_size,
            py::arg("inference_dtype") = inference_dtype, py::arg("logging_verbosity") = logging_verbosity,
            py::arg("inference_hardware") = mod_attr("InferenceHardware").attr("GPU"),
            py::arg("input_dims") = self.attr("input_sizes_from_graph"));
}

void load_model_unguarded(py::object self) {
  self.attr("model") = mod_attr("TamsorTRTEngineRunner")(
      py::arg("trt_ckpt_path") = self.attr("_checkpoint_file"), py::arg("device") = self.attr("_device"),
      py::arg("inference_dtype") = self.attr("_inference_dtype"),
      py::arg("verbosity") = self.attr("_passed_logging_verbosity"),
      py::arg("profiling") = self.attr("_profiling"));
  py::list host_inputs = self.attr("model").attr("initial_host_inputs");
  py::tuple first_shape(host_inputs[0].attr("shape"));
  self.attr("max_batch_size") = first_shape.size() > 1 ? py::object(first_shape[0]) : py::object(py::none());
  py::list sizes, without_batch;
  for (py::handle array : host_inputs) {
    py::tuple shape(array.attr("shape"));
    sizes.append(shape);
    without_batch.append(shape.size() > 1 ? py::object(shape[py::slice(1, shape.size(), 1)])
                                          : py::object(shape));
  }
  self.attr("input_sizes_from_graph") = sizes;
  self.attr("input_sizes_from_graph_without_bs") = without_batch;
  self.attr("input_dims") = without_batch;
}

// Errors the rows do not take (the runner's own FailedToLoadCheckpointError, the input_dims setter's
// AssertionError, the index error of an engine without inputs) pass through as they are.
ostrel::LoadErrorTable load_errors() {
  using ostrel::classes;
  std::string sep = ostrel::str(mod_attr("linesep"));
  return {mod_attr.module(),
          {{classes({PyExc_RuntimeError}), "ModelFrameworkRuntimeError",
            "TensorRT ran into an error while loading the model." + sep +
                "Please verify the TensorRT model matches the current hardware and that the version of "
                "TensorRT match." +
                sep +
                "TensorRT checkpoints (serialized engines) that were optimized for other TensorRT versions, or "
                "different hardware type, will not load on the current machine." +
                sep + "Error: "},
           {classes({PyExc_ValueError}), "ModelValueError",
            "TensorRT received an invalid value/arguement an error while loading the model: "}},
          ostrel::OtherLoadErrors::kPassThrough};
}

void load_model(py::object self) { ostrel::translating_load_errors([&] { load_model_unguarded(self); }, load_errors); }

void assert_loaded_successfully(py::object self) {
  const ostrel::ComponentCheck check(self);
  check(self.attr("model"), "The TensorRT Engine did not load successfully.");
  check(self.attr("input_sizes_from_graph_without_bs"), "The TensorRT input sizes.");
  check(self.attr("input_sizes_from_graph"),
        "The TensorRT input sizes could not be inferred from the graph.");
}

py::object fetch_model_batch_size(py::object self) {
  py::object first = py::list(self.attr("input_sizes_from_graph"))[0];
  if (truthy(self.attr("model").attr("is_dynamic")(first))) return py::none();
  return self.attr("max_batch_size");
}

py::list fetch_model_input_dtype(py::object self) {
  py::list types;
  for (py::handle array : self.attr("model").attr("initial_host_inputs"))
    types.append(array.attr("dtype").attr("type"));
  return types;
}

// The runner's context is current while the timer's CUDA events are made, so they belong to the same
// context as the stream they are recorded on.
py::object get_timer(py::object self) {
  py::object model = self.attr("model");
  ostrel::PushedContext pushed(model.attr("device_context"));
  py::object timer =
      mod_attr("get_timer")(self.attr("_inference_hardware"), py::arg("stream") = model.attr("stream"));
  pushed.release();
  return timer;
}

// ---- metadata -----------------------------------------------------------------------------------------

py::object binding_metadata(py::object self, py::object idx) {
  py::object model = self.attr("model");
  py::object engine = model.attr("engine");
  py::list dims;
  for (py::handle d : engine.attr("get_binding_shape")(idx))
    dims.append(py::int_(py::reinterpret_borrow<py::object>(d)));
  return mod_attr("TensorMetadata")(
      py::arg("name") = engine.attr("get_binding_name")(idx), py::arg("shape") = py::tuple(dims),
      py::arg("datatype") = model.attr("trt_dtype_to_np_type")(engine.attr("get_binding_dtype")(idx)));
}

py::list bindings_metadata(py::object self, const char* idxs) {
  py::list out;
  for (py::handle idx : self.attr("model").attr(idxs)) out.append(self.attr("_get_binding_metadata")(idx));
  return out;
}

py::dict framework_specific_metadata(py::object self) {
  py::object engine = self.attr("model").attr("engine");
  py::dict facts;
  facts["predict_example"] = "model.safe_predict(model.example_inputs)";
  for (const char* key : {"name", "device_memory_size", "max_batch_size", "num_bindings", "num_layers",
                          "num_optimization_profiles"})
    facts[key] = engine.attr(key);
  if (truthy(self.attr("_profiling")))
    facts["layers_dataframe"] = self.attr("get_layers_profile_dataframe")();
  return facts;
}

py::object layers_profile_dataframe(py::object self) {
  if (!truthy(self.attr("_profiling"))) raise(PyExc_AssertionError, kProfilingRequired);
  return self.attr("model").attr("layers_dataframe");
}

// ---- input handling, verification, prediction -----------------------------------------------------------

py::object input_handler(py::object self, py::object x) {
  if (PyList_Check(x.ptr())) return x;
  if (py::isinstance(x, mod_attr("np").attr("ndarray"))) {
    py::list one;
    one.append(x);
    return one;
  }
  if (PyDict_Check(x.ptr())) {
    py::object lookup = mod_attr("safe_lookup");
    py::list ordered;
    for (py::handle meta : self.attr("inputs_metadata")) ordered.append(lookup(x, meta.attr("name")));
    return ordered;
  }
  raise(mod_attr("InputTypeError"), "Supported input types: " + ostrel::str(mod_attr("_INPUT_TYPES")) +
                                        ", got " + ostrel::str(py::type::of(x).attr("__name__")));
}

py::object predict(py::object self, py::object x, py::object output_device, py::kwargs kwargs) {
  py::object inputs = self.attr("_input_handler")(x);
  return ostrel::call_with(self.attr("model").attr("run"),
                           ostrel::keywords({{"x", inputs}, {"output_device", output_device}}), kwargs);
}

py::object safe_predict(py::object self, py::object x, py::object output_device, py::kwargs kwargs) {
  py::object inputs = self.attr("_input_handler")(x);
  self.attr("verify_inputs")(inputs);
  return ostrel::call_with(self.attr("predict"),
                           ostrel::keywords({{"x", inputs}, {"output_device", output_device}}), kwargs);
}

// (first item, the rest as a list) of a shape, failing as `first, *rest = shape` does.
std::pair<py::object, py::list> split_shape(py::object shape) {
  py::tuple items(shape);
  if (items.empty()) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected at least 1, got %d)", 0);
    throw py::error_already_set();
  }
  py::list rest;
  for (size_t i = 1; i < items.size(); ++i) rest.append(items[i]);
  return {items[0], rest};
}

py::object verify_inputs(py::object self, py::object x) {
  py::list metadata = self.attr("inputs_metadata");
  py::list items(x);
  py::object indicators = self.attr("_dynamic_batch_size_indicators");
  py::object max_batch = self.attr("max_batch_size");
  size_t n = std::min(items.size(), metadata.size());
  for (size_t i = 0; i < n; ++i) {
    py::object inp = items[i];
    py::object meta = metadata[i];
    py::object dtype = inp.attr("dtype");
    if (!dtype.equal(meta.attr("datatype")))
      raise(mod_attr("DTypeError"), "Expected input dtype [" + ostrel::str(meta.attr("datatype")) +
                                        "], got [" + ostrel::str(dtype) + "]");
    auto [input_batch, input_shape] = split_shape(inp.attr("shape"));
    auto [meta_batch, meta_shape] = split_shape(meta.attr("shape"));
    if (!input_batch.equal(meta_batch) && !indicators.contains(meta_batch))
      raise(mod_attr("InvalidStaticBatchSize"),
            "Expected batch size [" + ostrel::str(meta_batch) + "], got [" + ostrel::str(input_batch) + "]");
    // Without a batch axis on the first input there is no maximum to compare with.
    if (!max_batch.is_none() && input_batch > max_batch)
      raise(mod_attr("MaxBatchSizeExceededError"), "Batch size [" + ostrel::str(input_batch) +
                                                       "] exceeds maximum allowed by model [" +
                                                       ostrel::str(max_batch) + "]");
    if (!truthy(mod_attr("np").attr("array_equal")(meta_shape, input_shape)))
      raise(mod_attr("InvalidInputDimensions"),
            "Expected input shape " + ostrel::str(meta_shape) + ", got " + ostrel::str(input_shape));
  }
  return x;
}

py::object forward_pass(py::object self, py::object /*x*/, py::object synchronize, py::kwargs) {
  return self.attr("model").attr("_forward_pass")(py::arg("synchronize") = synchronize);
}

// ---- benchmark ----------------------------------------------------------------------------------------

py::object benchmark_mode_member(const char* name) { return mod_attr("TRTBenchmarkMode").attr(name); }

py::tuple mean_and_variance(py::list times) {
  py::object np = mod_attr("np");
  py::object array = np.attr("array")(times);
  return py::make_tuple(np.attr("mean")(array), np.attr("var")(array));
}

py::tuple benchmark_loop_async(py::object self, py::object benchmark_iter, py::object /*include_io*/,
                               py::kwargs predict_args) {
  py::object launch_fn = self.attr("_forward_pass");
  py::dict launch_kwargs = ostrel::keywords({{"synchronize", py::bool_(false)}});
  auto launch = [&] { return ostrel::call_with(launch_fn, py::dict(predict_args), launch_kwargs); };
  py::list backlog, times;
  for (int i = 0; i < kBacklogSize; ++i) backlog.append(launch());
  for (py::handle item : benchmark_iter) {
    (void)item;
    py::object oldest = backlog.attr("pop")(0);
    times.append(oldest.attr("wait")());
    backlog.append(launch());
  }
  for (py::handle handle : backlog) times.append(handle.attr("wait")());
  return mean_and_variance(times);
}

py::object benchmark_loop(py::object self, py::object benchmark_iter, py::object include_io,
                          py::object benchmark_mode, py::kwargs predict_args) {
  if (benchmark_mode.equal(benchmark_mode_member("SINGLE_CONTEXT_SYNCED"))) {
    py::dict named = ostrel::keywords({{"benchmark_iter", benchmark_iter}, {"include_io", include_io}});
    py::object base_loop = py::module_::import("functools")
                               .attr("partial")(mod_attr("BaseInferencer").attr("_benchmark_loop"), self);
    return ostrel::call_with(base_loop, named, predict_args);
  }
  if (benchmark_mode.equal(benchmark_mode_member("SINGLE_CONTEXT_ASYNC"))) {
    py::dict named = ostrel::keywords({{"benchmark_iter", benchmark_iter}, {"include_io", include_io}});
    return ostrel::call_with(self.attr("_benchmark_loop_single_context_async"), named, predict_args);
  }
  raise(PyExc_NotImplementedError,
        "Benchmark logic not implemented for this mode: " + ostrel::text(benchmark_mode));
}

py::object benchmark(py::object self, py::object batch_size, py::object input_dimensions,
                     py::object duration_sec, py::object repetitions, py::object warmup_calls,
                     py::object include_io, py::object dtype, py::object /*telemetry_dict*/,
                     py::object benchmark_mode, py::kwargs predict_args) {
  if (benchmark_mode.equal(benchmark_mode_member("SINGLE_CONTEXT_ASYNC"))) include_io = py::bool_(false);
  py::object base =
      py::module_::import("functools").attr("partial")(mod_attr("BaseInferencer").attr("benchmark"), self);
  py::dict named = ostrel::keywords({{"batch_size", batch_size},
                                     {"input_dimensions", input_dimensions},
                                     {"duration_sec", duration_sec},
                                     {"repetitions", repetitions},
                                     {"warmup_calls", warmup_calls},
                                     {"dtype", dtype},
                                     {"include_io", include_io},
                                     {"benchmark_mode", benchmark_mode}});
  if (!truthy(include_io)) return ostrel::call_with(base, named, predict_args);
  py::dict telemetry;
  telemetry["h_to_d"] = py::list();
  telemetry["d_to_h"] = py::list();
  named["telemetry_dict"] = telemetry;
  py::dict results = ostrel::call_with(base, named, predict_args).attr("dict")();
  py::object np = mod_attr("np");
  py::object h_to_d = np.attr("array")(telemetry["h_to_d"]);
  py::object d_to_h = np.attr("array")(telemetry["d_to_h"]);
  results["h_to_d_mean"] = np.attr("mean")(h_to_d);
  results["d_to_h_mean"] = np.attr("mean")(d_to_h);
  results["h_to_d_variance"] = np.attr("var")(h_to_d);
  results["d_to_h_variance"] = np.attr("var")(d_to_h);
  return mod_attr("ModelBenchmarks")(**results);
}

}  // namespace

namespace {

// The module's names from the standard library, typing, numpy and ostrel: everything but the runner.
void import_names(py::module_& m) {
  using modtree::import_from;
  m.attr("DEBUG") = import_from("logging", "DEBUG");
  m.attr("linesep") = import_from("os", "linesep");
  for (const char* name : {"List", "Tuple", "Optional", "Dict", "Iterable", "Union"})
    m.attr(name) = import_from("typing", name);
  m.attr("np") = py::module_::import("numpy");
  m.attr("ModelBenchmarks") =
      import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");
  m.attr("TensorMetadata") = import_from("ostrel.common.data_classes.tensor_metadata", "TensorMetadata");
  m.attr("TRTBenchmarkMode") = import_from("ostrel.common.enums.benchmark_mode", "TRTBenchmarkMode");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("InferenceHardware") = import_from("ostrel.common.enums.inference_hardware", "InferenceHardware");
  for (const char* name :
       {"ModelFrameworkRuntimeError", "ModelValueError", "FailedToLoadCheckpointError", "DTypeError",
        "MaxBatchSizeExceededError", "InvalidStaticBatchSize", "InvalidInputDimensions", "InputTypeError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("get_timer") = import_from("ostrel.common.utils", "get_timer");
  m.attr("safe_lookup") = import_from("ostrel.common.utils", "safe_lookup");
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("BENCHMARK_WARMUP_CALLS") =
      import_from("ostrel.frameworks.base_inferencer", "BENCHMARK_WARMUP_CALLS");
  m.attr("TRT_VERSION") = import_from("ostrel.inference.config", "TRT_VERSION");
}

// The benchmark loops and benchmark, whose benchmark_mode defaults to `default_mode`.
void define_benchmarks(py::module_& m, modtree::ClassBuilder& cls, py::object default_mode) {
  using modtree::typing_subscript;
  py::none none;
  py::object mode_type = m.attr("TRTBenchmarkMode");
  py::object bool_type = modtree::ClassBuilder::builtin("bool");
  py::object int_type = modtree::ClassBuilder::builtin("int");
  py::object float_type = modtree::ClassBuilder::builtin("float");
  py::object iterable_of_int = typing_subscript("Iterable", int_type);
  py::object mean_and_variance = typing_subscript("Tuple", py::make_tuple(float_type, float_type));
  cls.def("_benchmark_loop", &benchmark_loop, py::arg("self"), py::kw_only(), py::arg("benchmark_iter"),
          py::arg("include_io") = true, py::arg("benchmark_mode") = default_mode);
  cls.annotate("_benchmark_loop",
               {{"benchmark_iter", iterable_of_int},
                {"include_io", bool_type},
                {"benchmark_mode", mode_type},
                {"return", mean_and_variance}});
  cls.def("_benchmark_loop_single_context_async", &benchmark_loop_async, py::arg("self"), py::kw_only(),
          py::arg("benchmark_iter"), py::arg("include_io") = true);
  cls.annotate("_benchmark_loop_single_context_async",
               {{"benchmark_iter", iterable_of_int},
                {"include_io", bool_type},
                {"return", mean_and_variance}});
  cls.def("benchmark", &benchmark, py::arg("self"), py::arg("batch_size") = none,
          py::arg("input_dimensions") = none, py::arg("duration_sec") = none, py::arg("repetitions") = none,
          py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"), py::arg("include_io") = true,
          py::arg("dtype") = none, py::arg("telemetry_dict") = none,
          py::arg("benchmark_mode") = default_mode);
  cls.annotate("benchmark",
               {{"batch_size", int_type},
                {"input_dimensions", modtree::ClassBuilder::builtin("tuple")},
                {"duration_sec", typing_subscript("Optional", float_type)},
                {"repetitions", typing_subscript("Optional", int_type)},
                {"warmup_calls", int_type},
                {"dtype", m.attr("np").attr("dtype")},
                {"telemetry_dict", typing_subscript("Optional", m.attr("Dict"))},
                {"benchmark_mode", mode_type},
                {"return", m.attr("ModelBenchmarks")}});
}

}  // namespace

MODTREE_MODULE("frameworks.trt_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  import_names(m);
  try {
    m.attr("TamsorTRTEngineRunner") =
        import_from("ostrel.frameworks.engines.trt_engine", "TamsorTRTEngineRunner");
  } catch (py::error_already_set& e) {
    // ImportError also when the engine module ended without its classes.
    if (e.matches(PyExc_AssertionError) || e.matches(PyExc_ImportError)) return;
    throw;
  }
  // The annotation of _input_handler's x, quoted by its error message.
  m.attr("_INPUT_TYPES") =
      m.attr("Union")[py::make_tuple(m.attr("np").attr("ndarray"), m.attr("List"), m.attr("Dict"))];

  using modtree::typing_subscript;
  py::none none;
  py::object cpu = m.attr("InferenceHardware").attr("CPU");
  py::object default_mode = m.attr("TRTBenchmarkMode").attr("DEFAULT");
  modtree::ClassBuilder cls(m, "TRTInferencer");
  cls.base(m.attr("BaseInferencer"));
  cls.def("__init__", &init, py::arg("self"), py::arg("checkpoint_file"), py::arg("static_batch_size") = none,
          py::arg("device") = 0, py::arg("inference_dtype") = none,
          py::arg("logging_verbosity") = m.attr("DEBUG"), py::arg("profiling") = false);
  cls.def("_get_timer", &get_timer, py::arg("self"));
  cls.def("_get_binding_metadata", &binding_metadata, py::arg("self"), py::arg("idx"));
  cls.annotate("_get_binding_metadata", {{"return", m.attr("TensorMetadata")}});
  cls.def(
      "_get_inputs_metadata", [](py::object self) { return bindings_metadata(self, "input_binding_idxs"); },
      py::arg("self"));
  cls.def(
      "_get_outputs_metadata", [](py::object self) { return bindings_metadata(self, "output_binding_idxs"); },
      py::arg("self"));
  for (const char* name : {"_get_inputs_metadata", "_get_outputs_metadata"})
    cls.annotate(name, {{"return", typing_subscript("List", m.attr("TensorMetadata"))}});
  cls.def("get_framework_specific_metadata", &framework_specific_metadata, py::arg("self"));
  cls.annotate("get_framework_specific_metadata", {{"return", modtree::ClassBuilder::builtin("dict")}});
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.def(
      "fetch_model_input_dimensions",
      [](py::object self) { return self.attr("input_sizes_from_graph_without_bs"); }, py::arg("self"));
  py::object shape =
      typing_subscript("Tuple", py::make_tuple(modtree::ClassBuilder::builtin("int"), py::ellipsis()));
  cls.annotate("fetch_model_input_dimensions", {{"return", typing_subscript("List", shape)}});
  cls.def("get_layers_profile_dataframe", &layers_profile_dataframe, py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.annotate("fetch_model_input_dtype", {{"return", typing_subscript("List", m.attr("np").attr("dtype"))}});
  cls.def("_input_handler", &input_handler, py::arg("self"), py::arg("x"));
  cls.annotate("_input_handler", {{"x", m.attr("_INPUT_TYPES")}, {"return", m.attr("List")}});
  cls.def("predict", &predict, py::arg("self"), py::arg("x"),
          py::arg_v("output_device", cpu, "InferenceHardware.CPU"));
  cls.def("safe_predict", &safe_predict, py::arg("self"), py::arg("x"),
          py::arg_v("output_device", cpu, "InferenceHardware.CPU"));
  for (const char* name : {"predict", "safe_predict"})
    cls.annotate(name, {{"output_device", m.attr("InferenceHardware")}});
  cls.def("verify_inputs", &verify_inputs, py::arg("self"), py::arg("x"));
  cls.def("_forward_pass", &forward_pass, py::arg("self"), py::arg("x"), py::kw_only(),
          py::arg("synchronize") = true);
  cls.annotate("_forward_pass", {{"synchronize", modtree::ClassBuilder::builtin("bool")}});
  cls.def(
      "_dispose_all_resources", [](py::object self) { ostrel::delete_instance_resources(self, {"model"}); },
      py::arg("self"));
  define_benchmarks(m, cls, default_mode);
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("TENSORRT"); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("TRT_VERSION"); });
  cls.def(
      "_get_model_size",
      [](py::object self) {
        return py::float_(self.attr("model").attr("engine").attr("device_memory_size"))
            .attr("__truediv__")(1048576);
      },
      py::arg("self"));
  cls.build();
}
