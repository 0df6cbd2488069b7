// The Core ML back-end: CoreMLInferencer loads Core ML model files through coremltools, reports each
// input's element type from the model description and predicts through coremltools' MLModel, which
// hands the call to Apple's Core ML runtime. Reading a model works everywhere coremltools installs;
// predicting needs the Core ML runtime (macOS). Where it is missing, MLModel.predict raises its own
// error, which reaches the caller unchanged, as every coremltools error does.
//
// CoreMLInferencer is a real Python subclass of BaseInferencer whose members are C++ functions. The
// module attributes (ct, ostrel_logger, InferenceHardware, input_data_type_converter) are read at each
// use, so tests may replace them.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using namespace ostrel::literals;

namespace {

constexpr const char* kFile = "ostrel/frameworks/coreml_inferencer.py";
constexpr const char* kNotLoaded = "The coreml model did not load successfully.";
constexpr const char* kMultipleInputs =
    "CoreML prediction expects a dict with all inputs for multiple input models";

ostrel::ModuleAttributes mod_attr;  // this module

// ---- loading --------------------------------------------------------------------------------------

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  // Set before the base constructor, which runs the loading hooks that fill them.
  self.attr("_model") = py::none();
  self.attr("_input_names") = py::none();
  self.attr("_single_input_name") = py::none();
  ostrel::init_base(mod_attr("CoreMLInferencer"), self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
}

// coremltools' errors are not translated: the table has no rows and everything leaves the
// constructor as it is.
ostrel::LoadErrorTable load_errors() {
  return {mod_attr.module(), {}, ostrel::OtherLoadErrors::kPassThrough};
}

void open_model(py::object self) {
  py::object ct = mod_attr("ct");
  ostrel::refuse_non_regular_tree(self.attr("_checkpoint_file"));  // .mlpackage folders
  bool cpu_only = self.attr("_inference_hardware").equal(mod_attr("InferenceHardware").attr("CPU"));
  // Current coremltools takes the compute units in place of a CPU-only flag: CPU_ONLY for the CPU,
  // every unit (its default) otherwise.
  py::object units = ct.attr("ComputeUnit").attr(cpu_only ? "CPU_ONLY" : "ALL");
  py::object model =
      ct.attr("models").attr("MLModel")(self.attr("_checkpoint_file"), py::arg("compute_units") = units);
  self.attr("_model") = model;
  py::list names;
  for (py::handle name : model.attr("input_description")) names.append(name);
  self.attr("_input_names") = names;
  if (names.size() == 1) self.attr("_single_input_name") = names[0];
}

void load_model(py::object self) {
  ostrel::translating_load_errors([&] { open_model(self); }, load_errors);
}

void assert_loaded_successfully(py::object self) {
  const ostrel::ComponentCheck check(self);
  check(self.attr("_model"), kNotLoaded);
  check(self.attr("_input_names"), kNotLoaded);
}

// ---- metadata -------------------------------------------------------------------------------------

py::object fetch_model_input_dtype(py::object self) {
  py::object table = mod_attr("input_data_type_converter");
  py::list types;
  // The model description (protobuf) is held for the whole loop: its input list belongs to it.
  py::object spec = self.attr("_model").attr("get_spec")();
  py::object inputs = spec.attr("description").attr("input");
  for (py::handle input : inputs) {
    py::object code = input.attr("type").attr("multiArrayType").attr("dataType");
    if (!table.contains(code)) {
      std::string message = py::str("Failed to determine input's {input_name} data type for value: "
                                    "{encoded_datatype}")
                                .format(py::arg("input_name") = input.attr("name"),
                                        py::arg("encoded_datatype") = code);
      ostrel::log(mod_attr("ostrel_logger"), ostrel::kWarning, message, kFile);
      return py::none();
    }
    types.append(table[code]);
  }
  return types;
}

// ---- prediction -----------------------------------------------------------------------------------

// The attribute `name` of `obj`.
py::object attribute(PyObject* obj, PyObject* name) {
  return ostrel::steal(PyObject_GetAttr(obj, name));
}

// A list or tuple of one value per model input, in model order, becomes the mapping of the input names
// to those values; None when `x` does not have one value per input.
py::object inputs_from_sequence(PyObject* self, PyObject* x) {
  py::object names = attribute(self, "_input_names"_id.ptr());
  if (!PyList_Check(names.ptr()) || PyList_GET_SIZE(names.ptr()) != PySequence_Size(x)) return py::none();
  return ostrel::steal(ostrel::inputs_by_name(x, ostrel::InputsForm::kSequence, names.ptr()));
}

// The mapping handed to the model for `x`: a copy of `x` when it is a mapping, the inputs in model
// order for a list or tuple of one value per input, and else {single input name: x}, whatever `x` is.
py::object feed_for(PyObject* self, PyObject* x) {
  ostrel::InputsForm form;
  if (!ostrel::inputs_form(x, form)) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    form = ostrel::InputsForm::kOne;  // a value of another kind (a text, say) goes to the model unchanged
  }
  // A plain copy: coremltools takes plain dicts only and converts their values in place, which would
  // otherwise change the caller's mapping. Keys and values go on as they are.
  if (form == ostrel::InputsForm::kMapping) return ostrel::steal(ostrel::inputs_by_name(x, form, nullptr));
  py::object feed = form == ostrel::InputsForm::kSequence ? inputs_from_sequence(self, x) : py::none();
  if (!feed.is_none()) return feed;
  py::object single = attribute(self, "_single_input_name"_id.ptr());
  if (single.is_none()) ostrel::raise(PyExc_ValueError, kMultipleInputs);
  py::dict one;
  one[single] = py::reinterpret_borrow<py::object>(x);
  return one;
}

// predict(self, x): `self._model.predict(feed)` over the feed made from `x`.
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const modtree::Parameters* const parameters = new modtree::Parameters("predict", {"self", "x"}, 2);
  PyObject* slots[2];
  Py_ssize_t keyword_index[2];
  if (!parameters->split(args, nargs, kwnames, slots, keyword_index)) throw py::error_already_set();
  PyObject* self = slots[0];
  py::object feed = feed_for(self, slots[1]);
  py::object model = attribute(self, "_model"_id.ptr());
  PyObject* method_args[3] = {nullptr, model.ptr(), feed.ptr()};
  return ostrel::steal(PyObject_VectorcallMethod("predict"_id.ptr(), method_args + 1,
                                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyMethodDef g_predict_def = ostrel::fastcall_method<&predict>("predict", "predict($self, /, x)\n--\n\n");

// ---- module import ----------------------------------------------------------------------------------

py::dict input_types(py::object np) {
  py::dict table;
  table[py::int_(65568)] = np.attr("float32");  // FLOAT32
  table[py::int_(65600)] = np.attr("double");   // DOUBLE
  table[py::int_(131104)] = np.attr("int32");   // INT32
  return table;
}

}  // namespace

MODTREE_MODULE("frameworks.coreml_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("ct") = py::module_::import("coremltools");  // no guard: a missing package fails the import
  m.attr("np") = py::module_::import("numpy");
  for (const char* name : {"InferenceHardware", "ostrel_logger"}) m.attr(name) = import_from("ostrel", name);
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");
  m.attr("input_data_type_converter") = input_types(m.attr("np"));

  modtree::ClassBuilder cls(m, "CoreMLInferencer");
  cls.base(m.attr("BaseInferencer"));
  ostrel::def_checkpoint_init(cls, &init);
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources",
      [](py::object self) {
        ostrel::delete_instance_resources(self, {"_model", "_input_names", "_single_input_name"});
      },
      py::arg("self"));
  // The model never supplies a batch size or input dimensions: a caller that benchmarks gives them.
  cls.def("fetch_model_batch_size", [](py::object) { return py::none(); }, py::arg("self"));
  cls.def("fetch_model_input_dimensions", [](py::object) { return py::none(); }, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("COREML"); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("ct").attr("__version__"); });
  cls.build();
}
