// The Keras back-end: KerasInferencer loads a model file with tf.keras.models.load_model (Keras 3
// through TensorFlow: ".keras" and ".h5" files), reads input shapes and types from the model's input
// tensors and predicts with the model's own one-batch prediction (`predict_on_batch`: the arrays of
// `predict`, without building its data pipeline and progress machinery at every call).
//
// The model is loaded for inference only (`compile=False`): a file saved by Keras 2 whose optimizer
// configuration Keras 3 no longer reads still loads. Shapes come from `model.inputs`, which every
// model form has (a Sequential model built by its first call, a model whose inputs are a mapping).
// A model whose inputs are a mapping takes positional arrays in the order of `model.inputs`, fed by
// their keys. Keras 3 gives shapes as tuples and element types as text; the element types are handed
// on as NumPy types, as TensorFlow's own dtypes give them. A single output is split into one array per
// sample; several outputs give one array each, a mapping of outputs its arrays in the mapping's order.
//
// KerasInferencer is a real Python subclass of BaseInferencer whose members are C++ functions.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;
using ostrel::truthy;

namespace {

constexpr const char* kFile = "ostrel/frameworks/keras_inferencer.py";

ostrel::ModuleAttributes mod_attr;  // this module

// The keys of a model whose inputs are a mapping, in the order of `model.inputs`; None otherwise.
py::object input_keys(py::object model) {
  py::object input;
  try {
    input = model.attr("input");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
  if (!py::isinstance<py::dict>(input)) return py::none();
  py::dict mapping = input;
  py::list keys;
  for (py::handle tensor : model.attr("inputs"))
    for (auto item : mapping)
      if (item.second.is(tensor)) keys.append(item.first);
  if (keys.size() != mapping.size()) return py::none();
  return py::tuple(keys);
}

// Anything the rows do not take (a missing or unreadable file among them) keeps the caught text.
ostrel::LoadErrorTable load_errors() {
  return {mod_attr.module(),
          ostrel::tensorflow_load_rules(mod_attr("tf"), "Keras ran into error while loading the model: ",
                                        "Keras raised an value error while loading the model: "),
          ostrel::OtherLoadErrors::kFailedToLoadCheckpoint};
}

void load_model(py::object self) {
  ostrel::translating_load_errors(
      [&] {
        py::object allow_growth =
            modtree::import_from("ostrel.frameworks.tensorflow_inferencer", "allow_tf_memory_growth");
        allow_growth(self.attr("_logger"));
        ostrel::refuse_non_regular_tree(self.attr("_checkpoint_file"));
        self.attr("model") = mod_attr("tf").attr("keras").attr("models").attr("load_model")(
            self.attr("_checkpoint_file"), py::arg("compile") = false);
      },
      load_errors);
  self.attr("_input_keys") = truthy(self.attr("model")) ? input_keys(self.attr("model")) : py::none();
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  self.attr("model") = py::none();
  self.attr("_input_keys") = py::none();
  ostrel::init_base(mod_attr("KerasInferencer"), self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
}

// The input shape with its batch axis; for a model of several inputs, a tuple of one shape per input in
// the order of `model.inputs`.
py::object dimensions_from_graph(py::object self) {
  py::object model = self.attr("model");
  if (!truthy(model)) return py::none();
  try {
    py::list inputs(model.attr("inputs"));
    if (inputs.size() == 1) return inputs[0].attr("shape");
    py::list shapes;
    for (py::handle tensor : inputs) shapes.append(py::tuple(tensor.attr("shape")));
    return py::tuple(shapes);
  } catch (py::error_already_set& e) {
    // A ValueError, or a model that has never been built and so has no inputs.
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) throw;
    ostrel::log(self.attr("_logger"), ostrel::kWarning,
                "Unable to get dimensions from graph: " + ostrel::str(e.value()), kFile);
    return py::none();
  }
}

// Each input's shape with its first axis dynamic: a Keras model takes any batch on the first axis of
// every input, whatever size its inputs were built with. An empty list when the shapes are unknown.
py::list batched_shapes(py::object self) {
  py::list shapes;
  py::object dims = self.attr("_get_dimensions_from_graph")();
  if (dims.is_none()) return shapes;
  const size_t n = py::len(self.attr("model").attr("inputs"));
  for (size_t i = 0; i < n; ++i) {
    py::list sizes(n == 1 ? dims : py::object(dims[py::int_(i)]));
    if (!sizes.empty()) sizes[0] = py::none();
    shapes.append(py::tuple(sizes));
  }
  return shapes;
}

py::object fetch_model_input_dimensions(py::object self) {
  py::list shapes = batched_shapes(self);
  if (shapes.empty()) return py::none();
  return self.attr("_without_batch_axes")(shapes);
}

// The inputs as the model declares them: name and full shape, the batch axis first and dynamic.
py::object declared_inputs(py::object self) {
  py::list shapes = batched_shapes(self);
  if (shapes.empty()) return py::none();
  py::list inputs(self.attr("model").attr("inputs"));
  py::list out;
  for (size_t i = 0; i < inputs.size(); ++i) out.append(py::make_tuple(inputs[i].attr("name"), shapes[i]));
  return out;
}

py::object fetch_model_input_dtype(py::object self) {
  py::object model = self.attr("model");
  if (!truthy(model)) return py::none();
  py::object np_dtype = mod_attr("np").attr("dtype");
  py::list types;
  for (py::handle tensor : model.attr("inputs")) {
    py::object dtype = tensor.attr("dtype");
    if (py::hasattr(dtype, "as_numpy_dtype"))
      types.append(dtype.attr("as_numpy_dtype"));
    else
      types.append(np_dtype(dtype).attr("type"));  // Keras 3: the type's name, e.g. "float32"
  }
  return types;
}

py::object fetch_model_batch_size(py::object self) {
  py::object batch = self.attr("_is_batch_size_static")(self.attr("_get_dimensions_from_graph")());
  return truthy(batch) ? batch : py::object(py::none());
}

// ---- prediction -----------------------------------------------------------------------------------

// For a model of one input, a list of one array (as the benchmark passes its batch) or a mapping of the
// input's name to one array: Keras 3 takes either but warns at every call that the structure differs
// from the model's, so the array goes alone. Anything else goes as given.
PyObject* single_input(PyObject* model, PyObject* x) {
  bool sequence = (PyList_Check(x) || PyTuple_Check(x)) && PySequence_Fast_GET_SIZE(x) == 1;
  bool mapping = PyDict_Check(x) && PyDict_GET_SIZE(x) == 1;
  if (!sequence && !mapping) return x;
  py::object inputs = py::reinterpret_steal<py::object>(PyObject_GetAttr(model, "inputs"_id.ptr()));
  if (!inputs || !PyList_Check(inputs.ptr()) || PyList_GET_SIZE(inputs.ptr()) != 1) {
    PyErr_Clear();
    return x;
  }
  if (sequence) return PySequence_Fast_GET_ITEM(x, 0);
  py::object name =
      py::reinterpret_steal<py::object>(PyObject_GetAttr(PyList_GET_ITEM(inputs.ptr(), 0), "name"_id.ptr()));
  if (!name) {
    PyErr_Clear();
    return x;
  }
  PyObject* value = PyDict_GetItemWithError(x, name.ptr());
  if (value == nullptr) PyErr_Clear();
  return value != nullptr ? value : x;
}

// For a model whose inputs are a mapping: an array, or a list of one array per input in the order of
// `model.inputs`, becomes the mapping of the model's keys; anything else is returned as given.
py::object keyed_input(PyObject* keys, PyObject* x) {
  Py_ssize_t n = PyTuple_GET_SIZE(keys);
  bool sequence = (PyList_Check(x) || PyTuple_Check(x)) && PySequence_Fast_GET_SIZE(x) == n;
  bool single = n == 1 && !PyDict_Check(x) && !PyList_Check(x) && !PyTuple_Check(x);
  if (!sequence && !single) return py::reinterpret_borrow<py::object>(x);
  py::object mapping = ostrel::steal(PyDict_New());
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyDict_SetItem(mapping.ptr(), PyTuple_GET_ITEM(keys, i), single ? x : PySequence_Fast_GET_ITEM(x, i)) != 0)
      throw py::error_already_set();
  return mapping;
}

// `model.predict_on_batch(x)` as a list: a single output splits into one array per sample, several
// outputs give one array each, a mapping of outputs gives its arrays in its order.
py::object run_predict(PyObject* self, PyObject* x) {
  py::object model = ostrel::steal(PyObject_GetAttr(self, "model"_id.ptr()));
  py::object keys = ostrel::steal(PyObject_GetAttr(self, "_input_keys"_id.ptr()));
  py::object feed = PyTuple_Check(keys.ptr()) ? keyed_input(keys.ptr(), x)
                                              : py::reinterpret_borrow<py::object>(single_input(model.ptr(), x));
  PyObject* call_args[3] = {nullptr, model.ptr(), feed.ptr()};
  py::object result = ostrel::steal(
      PyObject_VectorcallMethod("predict_on_batch"_id.ptr(), call_args + 1,
                                2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return ostrel::steal(PyDict_Check(result.ptr()) ? PyDict_Values(result.ptr()) : PySequence_List(result.ptr()));
}

py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) throw py::error_already_set();
  PyObject* x = call.given_x();
  if (x == nullptr) {
    // Named inputs: the mapping from input name to array goes to the framework as x.
    py::object mapping = ostrel::steal(ostrel::named_inputs(call));
    return run_predict(call.self, mapping.ptr());
  }
  ostrel::InputsForm form;
  if (!ostrel::inputs_form(x, form)) throw py::error_already_set();
  if (form == ostrel::InputsForm::kMapping && !PyDict_Check(x)) {
    // Keras reads plain dicts by name.
    py::object named = ostrel::steal(ostrel::inputs_by_name(x, form, nullptr));
    return run_predict(call.self, named.ptr());
  }
  if (!PyTuple_Check(x)) return run_predict(call.self, x);
  // A tuple is the inputs in order, as a list is: Keras reads a tuple as a structure of its own.
  py::object values = ostrel::steal(PySequence_List(x));
  return run_predict(call.self, values.ptr());
}

PyMethodDef g_predict_def =
    ostrel::fastcall_method<&predict>("predict", "predict($self, /, x=None, **kwargs)\n--\n\n");

// The version of the Keras that TensorFlow serves as tf.keras.
py::object keras_version() {
  py::object keras = mod_attr("tf").attr("keras");
  if (py::hasattr(keras, "__version__")) return keras.attr("__version__");
  return py::module_::import("keras").attr("__version__");
}

}  // namespace

MODTREE_MODULE("frameworks.keras_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("typing") = py::module_::import("typing");
  m.attr("np") = py::module_::import("numpy");
  m.attr("tf") = py::module_::import("tensorflow");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  for (const char* name : {"ModelFrameworkRuntimeError", "ModelValueError", "FailedToLoadCheckpointError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  modtree::ClassBuilder cls(m, "KerasInferencer");
  cls.base(m.attr("BaseInferencer"));
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def(
      "_assert_loaded_successfully",
      [](py::object self) {
        ostrel::ComponentCheck{self}(self.attr("model"),
                                                  "The keras model did not initialize successfully.");
      },
      py::arg("self"));
  ostrel::def_checkpoint_init(cls, &init);
  cls.def("_get_dimensions_from_graph", &dimensions_from_graph, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("_declared_inputs", &declared_inputs, py::arg("self"));
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources", [](py::object self) { ostrel::delete_instance_resources(self, {"model"}); },
      py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("KERAS"); });
  cls.def_property("framework_version", [](py::object) { return keras_version(); });
  cls.build();
}
