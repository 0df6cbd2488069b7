// The engine shared by the torch back-ends (torch package checkpoints and TorchScript files): device
// choice, loading with translated errors, evaluation mode, prediction from host arrays to host arrays,
// disposal and the in-memory size of the module.
//
// TorchInferenceEngine is a real Python class (a BaseInferencer subclass, abstract through
// load_torch_model) whose members are C++ functions calling the torch Python API. `predict` is the hot
// path: it is a plain vectorcall C function (no argument-binding layer), looks up the torch callables
// it needs once per process, wraps inputs with torch.from_numpy without copying, and reads each output
// back with a single conversion.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "bindings/errors.hpp"
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

namespace {

py::handle g_engine;  // the TorchInferenceEngine class

ostrel::ModuleAttributes mod_attr;  // this module

const char kLoadErrorPrefix[] = "Torch raised an error while loading the model: ";
const char kNoInputsMessage[] = "Please specify the keyword arguments or \"x\" for inference";

// ---- what predict needs, looked up once ------------------------------------------------------------

struct TorchCallables {
  PyObject* from_numpy;        // torch.from_numpy
  PyObject* is_grad_enabled;   // torch.is_grad_enabled
  PyObject* set_grad_enabled;  // torch.set_grad_enabled
  PyObject* tensor_type;       // torch.Tensor
  PyObject* ndarray_type;      // numpy.ndarray
};
TorchCallables g_torch;  // filled at module import; references are held for the life of the process

PyObject* keep(py::object o) { return o.release().ptr(); }

using ostrel::steal;

// `model(*args, **kwargs)` in vectorcall form: the module's own call path (nn.Module.__call__ with its
// hooks, compiled call and tracing checks), as a user calling the model gets it.
py::object call_model(PyObject* model, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  return steal(PyObject_Vectorcall(model, args, nargs, kwnames));
}

void init_api(py::module_& m) {
  py::object torch = m.attr("torch");
  g_torch.from_numpy = keep(torch.attr("from_numpy"));
  g_torch.is_grad_enabled = keep(torch.attr("is_grad_enabled"));
  g_torch.set_grad_enabled = keep(torch.attr("set_grad_enabled"));
  g_torch.tensor_type = keep(torch.attr("Tensor"));
  g_torch.ndarray_type = keep(py::module_::import("numpy").attr("ndarray"));
}

py::object call_method0(PyObject* obj, PyObject* name) { return steal(PyObject_CallMethodNoArgs(obj, name)); }

// Gradient recording off for a scope, restored on every exit. Only a thread whose recording is on
// switches it (grad mode is per thread), so nested and concurrent predictions restore correctly.
class NoGradScope {
 public:
  NoGradScope() {
    py::object enabled = steal(PyObject_CallNoArgs(g_torch.is_grad_enabled));
    if (enabled.ptr() == Py_True) {
      steal(PyObject_CallOneArg(g_torch.set_grad_enabled, Py_False));
      switched_ = true;
    }
  }
  NoGradScope(const NoGradScope&) = delete;
  NoGradScope& operator=(const NoGradScope&) = delete;
  // The normal exit: a failure to restore is reported.
  void close() {
    if (!switched_) return;
    switched_ = false;
    steal(PyObject_CallOneArg(g_torch.set_grad_enabled, Py_True));
  }
  // The exit on an error: the error in flight wins over a failure to restore.
  ~NoGradScope() {
    if (!switched_) return;
    modtree::SavedError in_flight;
    py::object restored =
        py::reinterpret_steal<py::object>(PyObject_CallOneArg(g_torch.set_grad_enabled, Py_True));
    if (!restored) PyErr_WriteUnraisable(g_torch.set_grad_enabled);
    in_flight.restore();
  }

 private:
  bool switched_ = false;
};

// ---- output conversion ------------------------------------------------------------------------------

// The host array of one tensor: detached from the graph, on the CPU, viewed as an array. A plain CPU
// tensor that records no gradient is already all of that, so it goes straight to its array view.
py::object host_array(PyObject* t) {
  if (Py_TYPE(t) == reinterpret_cast<PyTypeObject*>(g_torch.tensor_type)) {
    py::object requires_grad = steal(PyObject_GetAttr(t, "requires_grad"_id.ptr()));
    if (requires_grad.ptr() == Py_False) {
      py::object is_cpu = steal(PyObject_GetAttr(t, "is_cpu"_id.ptr()));
      if (is_cpu.ptr() == Py_True) return call_method0(t, "numpy"_id.ptr());
    }
  }
  py::object detached = call_method0(t, "detach"_id.ptr());
  py::object host = call_method0(detached.ptr(), "cpu"_id.ptr());
  return call_method0(host.ptr(), "numpy"_id.ptr());
}

// The items of a list or tuple as a tuple that no callback can change while they are converted.
py::tuple items_of(PyObject* seq) {
  if (PyTuple_Check(seq)) return py::reinterpret_borrow<py::tuple>(seq);
  return py::reinterpret_steal<py::tuple>(steal(PyList_AsTuple(seq)).release());
}

[[noreturn]] void not_a_tensor(PyObject* item, const std::string& where) {
  raise(PyExc_TypeError,
        "The model returned " + where + " of type " +
            ostrel::str(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(item))).attr("__qualname__")) +
            ", which is not a tensor: predict returns one array per output tensor.");
}

// Appends the host arrays of one output item. Tensors (and anything with the tensor's detach/cpu/numpy
// chain) become host arrays, arrays stay as they are, nested lists and tuples are flattened in order.
void append_item(py::list& out, PyObject* item, const std::string& where) {
  if (PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(g_torch.tensor_type))) {
    out.append(host_array(item));
  } else if (PyObject_TypeCheck(item, reinterpret_cast<PyTypeObject*>(g_torch.ndarray_type))) {
    out.append(py::reinterpret_borrow<py::object>(item));
  } else if (PyList_Check(item) || PyTuple_Check(item)) {
    // A nested (or self-containing) output is refused with RecursionError past the interpreter's limit.
    if (Py_EnterRecursiveCall(" while converting the model's outputs") != 0) throw py::error_already_set();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    py::tuple seq = items_of(item);
    for (size_t i = 0; i < seq.size(); ++i)
      append_item(out, PyTuple_GET_ITEM(seq.ptr(), i), where + "[" + std::to_string(i) + "]");
  } else if (PyObject_HasAttr(item, "detach"_id.ptr())) {
    out.append(host_array(item));
  } else {
    not_a_tensor(item, where);
  }
}

py::list to_host(PyObject* output) {
  py::list out;
  if (PyList_Check(output) || PyTuple_Check(output)) {
    py::tuple seq = items_of(output);
    for (size_t i = 0; i < seq.size(); ++i)
      append_item(out, PyTuple_GET_ITEM(seq.ptr(), i), "an output item [" + std::to_string(i) + "]");
  } else if (PyObject_TypeCheck(output, reinterpret_cast<PyTypeObject*>(g_torch.tensor_type)) ||
             PyObject_HasAttr(output, "detach"_id.ptr())) {
    out.append(host_array(output));
  } else {
    not_a_tensor(output, "an output");
  }
  return out;
}

// ---- predict ------------------------------------------------------------------------------------------

// Positional form: the values of `x` (one value, a list or tuple in the order of forward's parameters,
// or a mapping by their names) reach the module with each array as a tensor sharing its memory, moved
// to the device; a tensor is moved to the device, a NumPy scalar becomes its Python number, and
// anything else (a Python number for an int parameter, say) goes as given.
py::object call_positional(PyObject* model, PyObject* device, PyObject* x) {
  ostrel::InputsForm form;
  if (!ostrel::inputs_form(x, form)) throw py::error_already_set();
  bool on_cpu = PyUnicode_Check(device) && PyUnicode_Compare(device, "cpu"_id.ptr()) == 0;
  if (PyErr_Occurred()) throw py::error_already_set();
  auto to_device = [&](py::object t) {
    if (on_cpu && Py_TYPE(t.ptr()) == reinterpret_cast<PyTypeObject*>(g_torch.tensor_type)) {
      // A tensor already on the CPU would come back unchanged.
      py::object is_cpu = steal(PyObject_GetAttr(t.ptr(), "is_cpu"_id.ptr()));
      if (is_cpu.ptr() == Py_True) return t;
    }
    return steal(PyObject_CallMethodOneArg(t.ptr(), "to"_id.ptr(), device));
  };
  auto to_input = [&](PyObject* value) -> py::object {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(g_torch.ndarray_type))) {
      py::object t = steal(PyObject_CallOneArg(g_torch.from_numpy, value));
      // A tensor made by from_numpy already lives on the CPU.
      return on_cpu ? t : steal(PyObject_CallMethodOneArg(t.ptr(), "to"_id.ptr(), device));
    }
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(g_torch.tensor_type)))
      return to_device(py::reinterpret_borrow<py::object>(value));
    int scalar = ostrel::is_scalar(value);
    if (scalar < 0) throw py::error_already_set();
    if (scalar == 1 && !PyLong_Check(value) && !PyFloat_Check(value) && !PyComplex_Check(value))
      return call_method0(value, "item"_id.ptr());  // a NumPy scalar: its Python number
    return py::reinterpret_borrow<py::object>(value);
  };
  if (form == ostrel::InputsForm::kOne) {
    py::object t = to_input(x);
    PyObject* args[] = {t.ptr()};
    return call_model(model, args, 1, nullptr);
  }
  if (form == ostrel::InputsForm::kSequence) {
    py::tuple items = items_of(x);
    std::vector<py::object> tensors;
    tensors.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) tensors.push_back(to_input(PyTuple_GET_ITEM(items.ptr(), i)));
    std::vector<PyObject*> args(tensors.size());
    for (size_t i = 0; i < tensors.size(); ++i) args[i] = tensors[i].ptr();
    return call_model(model, args.data(), args.size(), nullptr);
  }
  // A mapping: forward's parameters by name.
  py::dict named = steal(ostrel::inputs_by_name(x, form, nullptr));
  py::tuple names(named.size());
  std::vector<py::object> values;
  values.reserve(named.size());
  size_t i = 0;
  for (auto item : named) {
    names[i++] = item.first;
    values.push_back(to_input(item.second.ptr()));
  }
  std::vector<PyObject*> args(values.size());
  for (size_t j = 0; j < values.size(); ++j) args[j] = values[j].ptr();
  return call_model(model, args.data(), 0, names.ptr());
}

py::object predict_body(const ostrel::PredictArgs& call) {
  PyObject* const x = call.given_x();
  const Py_ssize_t x_kw = call.x_keyword;
  const Py_ssize_t nkw = call.keyword_count();
  PyObject* const kwnames = call.kwnames;
  PyObject* const* const kwvalues = call.kwvalues;
  if (x == nullptr && call.named_input_count() == 0) raise(PyExc_ValueError, kNoInputsMessage);

  NoGradScope no_grad;
  py::object model = steal(PyObject_GetAttr(call.self, "model"_id.ptr()));
  py::object output;
  if (x != nullptr) {
    py::object device = steal(PyObject_GetAttr(call.self, "device"_id.ptr()));
    output = call_positional(model.ptr(), device.ptr(), x);
  } else if (x_kw < 0) {
    // The keyword inputs go to the module as they came, without a copy of the names or the values.
    output = call_model(model.ptr(), kwvalues, 0, kwnames);
  } else {
    // The names and values without `x`.
    py::tuple names(nkw - 1);
    std::vector<PyObject*> values;
    values.reserve(static_cast<size_t>(nkw - 1));
    for (Py_ssize_t i = 0, j = 0; i < nkw; ++i) {
      if (i == x_kw) continue;
      PyObject* name = PyTuple_GET_ITEM(kwnames, i);
      Py_INCREF(name);
      PyTuple_SET_ITEM(names.ptr(), j++, name);
      values.push_back(kwvalues[i]);
    }
    output = call_model(model.ptr(), values.data(), 0, names.ptr());
  }
  py::list result = to_host(output.ptr());
  output = py::object();
  no_grad.close();
  return result;
}

// predict(self, x=None, **kwargs), as a METH_FASTCALL | METH_KEYWORDS function bound like a method.
// `x` together with keyword inputs is refused with an AssertionError carrying the ValueError.
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call, ostrel::BothInputKinds::kAssertionOfValueError))
    throw py::error_already_set();
  return predict_body(call);
}

// A module does not tell its inputs' element types: the constructor takes the refusal as "not known".
py::object no_input_dtype(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0))
    raise(PyExc_TypeError, "fetch_model_input_dtype() takes only self");
  PyErr_SetNone(PyExc_NotImplementedError);
  throw py::error_already_set();
}
PyMethodDef g_no_input_dtype_def = ostrel::fastcall_method<&no_input_dtype>(
    "fetch_model_input_dtype", "fetch_model_input_dtype($self, /)\n--\n\n");

PyMethodDef g_predict_def = ostrel::fastcall_method<&predict>(
    "predict",
    "predict($self, /, x=None, **kwargs)\n--\n\n"
    "Runs the module on `x` (one array, a list or tuple of values in the order of forward's parameters, "
    "or a mapping of their names to values) or on keyword inputs, "
    "with gradient recording off, and returns a list of host arrays, one per output tensor.");

// ---- loading --------------------------------------------------------------------------------------------

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  self.attr("device") = py::none();
  self.attr("model") = py::none();
  ostrel::init_base(g_engine, self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
}

ostrel::LoadErrorTable load_errors() {
  using ostrel::classes;
  return {mod_attr.module(),
          {{classes({PyExc_RuntimeError}), "ModelFrameworkRuntimeError", kLoadErrorPrefix},
           {classes({PyExc_ValueError}), "ModelValueError", kLoadErrorPrefix}},
          ostrel::OtherLoadErrors::kBareOstrelError};
}

void load_model(py::object self) {
  py::object InferenceHardware = mod_attr("InferenceHardware");
  py::object hardware = self.attr("inference_hardware");
  py::object device = hardware.equal(InferenceHardware.attr("GPU"))
                          ? py::str("cuda")
                          : InferenceHardware.attr("CPU").attr("value");
  self.attr("device") = device;
  ostrel::translating_load_errors(
      [&] {
        ostrel::refuse_non_regular_tree(self.attr("_checkpoint_file"));
        py::object model = self.attr("load_torch_model")(self.attr("_checkpoint_file"));
        self.attr("model") = model;
        // A loader that reads the module straight onto the device leaves nothing to move.
        if (!ostrel::truthy(self.attr("_loads_onto_device"))) model.attr("to")(device);
        model.attr("eval")();
      },
      load_errors);
}

void assert_loaded(py::object self) {
  const ostrel::ComponentCheck check(self);
  check(self.attr("device"), "The device did not initialize successfully.");
  // A module is judged by being there: an empty container module (an identity nn.Sequential, say) has
  // length 0 and would otherwise count as missing.
  py::object model = self.attr("model");
  py::object present = model;
  if (!model.is_none() && py::isinstance(model, mod_attr("torch").attr("nn").attr("Module")))
    present = py::bool_(true);
  check(present, "The model did not initialize/eval successfully.");
}

long long tensors_bytes(py::object tensors) {
  long long total = 0;
  for (py::handle t : tensors)
    total += t.attr("nelement")().cast<long long>() * t.attr("element_size")().cast<long long>();
  return total;
}

py::object model_size(py::object self) {
  py::object model = self.attr("model");
  long long param_size = tensors_bytes(model.attr("parameters")());
  long long buffer_size = tensors_bytes(model.attr("buffers")());
  return steal(PyNumber_TrueDivide(py::int_(param_size + buffer_size).ptr(), py::int_(1048576).ptr()));
}

}  // namespace

MODTREE_MODULE("frameworks.engines.torch_inference_engine", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("abstractmethod") = import_from("abc", "abstractmethod");
  m.attr("ABC") = import_from("abc", "ABC");
  m.attr("List") = import_from("typing", "List");
  m.attr("Tuple") = import_from("typing", "Tuple");
  m.attr("torch") = py::module_::import("torch");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("FrameworkType") = import_from("ostrel", "FrameworkType");
  for (const char* name : {"ModelFrameworkRuntimeError", "ModelValueError", "OstrelError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  init_api(m);

  py::object predict_method = modtree::raw_method(&g_predict_def, m);

  py::none none;
  modtree::ClassBuilder cls(m, "TorchInferenceEngine");
  cls.base(m.attr("BaseInferencer")).base(m.attr("ABC"));
  cls.def("__init__", &init, py::arg("self"), py::arg("checkpoint_file"), py::arg("inference_hardware"),
          py::arg("input_dims") = none, py::arg("static_batch_size") = none,
          py::arg("logging_verbosity") = none);
  cls.def("_assert_loaded_successfully", &assert_loaded, py::arg("self"));
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def(
      "set_device",
      [](py::object self, py::object new_device) {
        self.attr("device") = new_device;
        self.attr("model").attr("to")(new_device);
      },
      py::arg("self"), py::arg("new_device"));
  cls.def_abstract(
      "load_torch_model", [](py::object, py::object) -> py::object { raise(PyExc_NotImplementedError); },
      py::arg("self"), py::arg("checkpoint_file"));
  cls.attr("predict", predict_method);
  // True on a back-end whose load_torch_model already places the module on `device`.
  cls.attr("_loads_onto_device", py::bool_(false));
  cls.def(
      "_dispose_all_resources",
      [](py::object self) { ostrel::delete_instance_resources(self, {"device", "model"}); },
      py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType").attr("PYTORCH"); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("torch").attr("__version__"); });
  cls.attr("fetch_model_input_dtype", modtree::raw_method(&g_no_input_dtype_def, m));
  cls.def("_get_model_size", &model_size, py::arg("self"));
  g_engine = cls.build().inc_ref();
}
