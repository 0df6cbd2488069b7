// The TensorFlow 2 back-end: TF2Inferencer loads a SavedModel directory, or a ".zip" / ".tar.gz"
// archive of one, reads input shapes and types from its "serving_default" signature and predicts by
// calling the loaded object. A loaded object that cannot be called (a Keras 3 model written with
// `model.export` or `tf.saved_model.save`) predicts through its "serving_default" signature instead.
// allow_tf_memory_growth is shared with the Keras back-end.
//
// Inputs have one order everywhere: the order in which the loaded object takes them by position
// (its traced call, or the "serve" endpoint of a Keras export), else the signature's own order (sorted
// by name). Dimensions, types, dummy inputs and positional predict all follow it.
//
// An archive is unpacked through FilesDataInterface into a folder of its own; that folder belongs to
// the inferencer and is removed when the inferencer is disposed of, when its construction fails, or at
// the latest when the interpreter exits (an atexit hook, which runs before signal handling ends, so a
// Ctrl-C during a long exit cannot leave it). A SavedModel folder holding a FIFO, a device or a socket
// is refused before TensorFlow opens anything in it.
//
// TF2Inferencer is a real Python subclass of BaseInferencer whose members are C++ functions; TensorFlow
// is called through its Python API. Module attributes are read at each use, so tests may replace them.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <unistd.h>

#include <mutex>
#include <set>
#include <string>

#include "bindings/errors.hpp"
#include "bindings/logging.hpp"
#include "bindings/names.hpp"
#include "bindings/signals.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/keyword_calls.hpp"
#include "runtime/load_errors.hpp"

namespace py = pybind11;
using namespace ostrel::literals;
using ostrel::raise;
using ostrel::truthy;

namespace {

constexpr const char* kFile = "ostrel/frameworks/tensorflow_inferencer.py";
constexpr const char* kNoSignature =
    "Failed to get the input signature of the saved model - please specify a \"serving_default\" key during "
    "export. https://www.tensorflow.org/guide/saved_model#specifying_signatures_during_export";
constexpr const char* kMemoryGrowthDoc = "Set tensorflow to not use all the GPU memory.";

ostrel::ModuleAttributes mod_attr;  // this module

void log(py::handle self, int level, const std::string& message) {
  ostrel::log(self.attr("_logger"), level, message, kFile);
}

// ---- memory growth --------------------------------------------------------------------------------

// Devices already initialised make TensorFlow refuse the setting with a RuntimeError; like a
// ValueError it only costs the accuracy of the memory figures, so both are reported and tolerated.
void allow_tf_memory_growth(py::object logger) {
  try {
    py::object config = mod_attr("tf").attr("config");
    py::object set_growth = config.attr("experimental").attr("set_memory_growth");
    for (py::handle device : config.attr("list_physical_devices")("GPU")) set_growth(device, true);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
    std::string message = "Unable to set device to allow memory grow (this could effect memory analysis): " +
                          ostrel::str(e.value());
    if (py::hasattr(logger, "makeRecord"))
      ostrel::log(logger, ostrel::kWarning, message, kFile);
    else
      logger.attr("warning")(message);
  }
}

// ---- loading --------------------------------------------------------------------------------------

// The extraction folders of the inferencers alive (as the system names them), removed at exit when
// still there. The removal at exit is native: no Python code runs, so a pending Ctrl-C cannot cut it
// short. A forked child leaves its parent's folders alone, at exit and when it disposes of an inherited
// model.
struct LiveFolders {
  std::mutex mutex;
  std::set<std::string> folders;
  pid_t owner = 0;  // the process whose inferencers the folders belong to
  bool hooked = false;
};
LiveFolders& live_folders() {
  static auto* live = new LiveFolders();  // process lifetime: used at exit
  return *live;
}

void remove_live_folders_at_exit() {
  std::set<std::string> folders;
  {
    std::lock_guard<std::mutex> lock(live_folders().mutex);
    if (live_folders().owner != ::getpid()) return;
    folders.swap(live_folders().folders);
  }
  py::gil_scoped_release unlocked;
  for (const std::string& folder : folders) {
    try {
      ostrel::native::remove_tree(folder);
    } catch (const std::exception&) {  // what could not be removed stays; the exit goes on
    }
  }
}

void keep_until_exit(py::handle folder) {
  const std::string name = ostrel::fs_bytes(folder);
  bool hook = false;
  {
    std::lock_guard<std::mutex> lock(live_folders().mutex);
    if (live_folders().owner != ::getpid()) live_folders().folders.clear();  // a forked child's own list
    live_folders().owner = ::getpid();
    live_folders().folders.insert(name);
    hook = !live_folders().hooked;
    live_folders().hooked = true;
  }
  if (hook)
    py::module_::import("atexit").attr("register")(
        py::cpp_function(&remove_live_folders_at_exit, py::name("_remove_extraction_folders")));
}

void remove_extraction_folder(py::object self) {
  if (!py::hasattr(self, "_extracted_checkpoint_dir")) return;
  py::object folder = self.attr("_extracted_checkpoint_dir");
  if (folder.is_none()) return;
  self.attr("_extracted_checkpoint_dir") = py::none();
  {
    std::lock_guard<std::mutex> lock(live_folders().mutex);
    if (live_folders().owner != ::getpid()) return;  // a forked child: the folder is its parent's
  }
  ostrel::remove_folder_to_the_end(
      folder, [&] { mod_attr("shutil").attr("rmtree")(folder, py::arg("ignore_errors") = true); });
  std::lock_guard<std::mutex> lock(live_folders().mutex);
  live_folders().folders.erase(ostrel::fs_bytes(folder));
}

// The output names of the serving signature in its own output order, or None (no such signature, or
// an output that is not a mapping of named tensors). The signature flattens its outputs in the order of
// their sorted names (the order of `signature.outputs`); the mapping it reports has no fixed order.
py::object output_keys(py::object self) {
  py::object signatures = self.attr("model").attr("signatures");
  if (!signatures.contains("serving_default")) return py::none();
  py::object outputs = signatures[py::str("serving_default")].attr("structured_outputs");
  if (!py::isinstance<py::dict>(outputs)) return py::none();
  return py::tuple(ostrel::builtin("sorted")(outputs));
}

// An OSError while TensorFlow reads the folder is a bad archive; anything the rows do not take keeps
// the caught text.
ostrel::LoadErrorTable load_errors() {
  auto rules = ostrel::tensorflow_load_rules(mod_attr("tf"), "Tensorflow raised an error while loading th model: ",
                                             "Tensorflow received an invalid value/argument while loading th model: ");
  rules.insert(rules.begin(), {ostrel::classes({PyExc_OSError}), "BadSavedModelZipError",
                               "Failed to load saved model from provided zip file.", /*with_text=*/false});
  return {mod_attr.module(), std::move(rules), ostrel::OtherLoadErrors::kFailedToLoadCheckpoint};
}

void load_model(py::object self) {
  mod_attr("allow_tf_memory_growth")(self.attr("_logger"));
  py::object path = mod_attr("os").attr("path");
  if (truthy(path.attr("isfile")(self.attr("_checkpoint_file")))) {
    py::object folder = mod_attr("FilesDataInterface")
                            .attr("extract_and_ensure_folder_structure")(py::arg("source_path") =
                                                                             self.attr("_checkpoint_file"));
    self.attr("_extracted_checkpoint_dir") = folder;
    keep_until_exit(folder);
    self.attr("_checkpoint_file") = folder;
  }
  if (!truthy(path.attr("isdir")(self.attr("_checkpoint_file"))))
    raise(mod_attr("BadSavedModelZipError"), "Failed to load the saved model. The path doesn't exist.");
  ostrel::refuse_non_regular_tree(self.attr("_checkpoint_file"));  // saved_model.pb as a FIFO would block
  ostrel::translating_load_errors(
      [&] { self.attr("model") = mod_attr("tf").attr("saved_model").attr("load")(self.attr("_checkpoint_file")); },
      load_errors);
  self.attr("_output_keys") = output_keys(self);
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  self.attr("model") = py::none();
  self.attr("_extracted_checkpoint_dir") = py::none();
  self.attr("_output_keys") = py::none();
  // A SIGTERM while an archive is unpacked and loaded ends the load like Ctrl-C, so the folder goes.
  const ostrel::TerminationAsInterrupt termination;
  try {
    ostrel::init_base(mod_attr("TF2Inferencer"), self, checkpoint_file, inference_hardware, input_dims,
                      static_batch_size, logging_verbosity);
    termination.check();
  } catch (py::error_already_set& e) {
    try {
      remove_extraction_folder(self);
    } catch (py::error_already_set&) {  // the construction error is the one to report
    }
    throw;
  }
}

// ---- signature ------------------------------------------------------------------------------------

py::object default_signature(py::object self) {
  py::object signatures = self.attr("model").attr("signatures");
  if (!signatures.contains("serving_default")) raise(mod_attr("ModelFrameworkRuntimeError"), kNoSignature);
  return signatures[py::str("serving_default")];
}

// An input whose number of dimensions is unknown gives no shape to build arrays for. A scalar input
// (no dimensions) is kept: its shape is () in the dimensions and in the dummy inputs.
bool should_ignore_input_tensor(py::object input_tensor) {
  return input_tensor.attr("shape").attr("dims").is_none();
}

// The names under which the serving signature takes its inputs, in the signature's own order: the
// signature flattens its keyword inputs in the sorted order of their names, and `inputs` lists them so,
// followed by captured resources.
py::list signature_names(py::object signature) {
  py::object keywords = signature.attr("structured_input_signature")[py::int_(1)];
  return ostrel::builtin("sorted")(keywords);
}

// The names of the tensors that `function` (a traced function of the loaded object) takes by position,
// in order, or an empty list when they are not all named.
py::list positional_names(py::object function) {
  py::list names;
  if (!py::hasattr(function, "concrete_functions")) return names;
  py::list traced(function.attr("concrete_functions"));
  if (traced.empty()) return names;
  py::object args = traced[0].attr("structured_input_signature")[py::int_(0)];
  py::object spec_type = mod_attr("tf").attr("TensorSpec");
  for (py::handle spec : mod_attr("tf").attr("nest").attr("flatten")(args)) {
    if (!py::isinstance(spec, spec_type) || spec.attr("name").is_none()) return py::list();
    names.append(spec.attr("name"));
  }
  return names;
}

// The serving signature's input names in the order the loaded object takes its inputs by position:
// the order of its traced call when it is callable, of a Keras export's "serve" endpoint when it is
// not, provided that order names exactly the signature's inputs; the signature's own order otherwise.
py::list input_order(py::object model, py::object signature) {
  py::list names = signature_names(signature);
  try {
    py::object function = py::none();
    if (PyCallable_Check(model.ptr()))
      function = model.attr("__call__");
    else if (py::hasattr(model, "serve"))
      function = model.attr("serve");
    if (function.is_none()) return names;
    py::list call = positional_names(function);
    py::set wanted(names);
    py::set given(call);
    if (call.size() == names.size() && given.size() == names.size() && wanted.equal(given)) return call;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // an object without a readable call keeps the signature order
  }
  return names;
}

// The serving signature's input tensors in input order. The tensors after the named inputs are the
// model's captured variables, which no caller gives: they are left out.
py::list ordered_inputs(py::object self) {
  py::object signature = self.attr("_TF2Inferencer__get_default_input_signature")();
  py::list tensors(signature.attr("inputs"));
  py::list names = signature_names(signature);
  if (tensors.size() < names.size()) return tensors;
  py::dict by_name;
  for (size_t i = 0; i < names.size(); ++i) by_name[names[i]] = tensors[i];
  py::list out;
  for (py::handle name : input_order(self.attr("model"), signature)) out.append(by_name[name]);
  return out;
}

py::list dimensions_with_batch(py::object self) {
  py::object ignore = self.attr("_should_ignore_input_tensor");
  py::list shapes;
  for (py::handle tensor : ordered_inputs(self)) {
    if (truthy(ignore(tensor))) continue;
    shapes.append(py::tuple(tensor.attr("shape")));
  }
  return shapes;
}

// Each usable input's shape without the axis that takes its batch (the whole shape of an input that
// takes none, a scalar's among them).
py::object fetch_model_input_dimensions(py::object self) {
  return self.attr("_without_batch_axes")(self.attr("_get_dimensions_from_graph_with_bs")());
}

// The usable inputs as the signature declares them: name and full shape, None for a dynamic size.
py::list declared_inputs(py::object self) {
  py::object ignore = self.attr("_should_ignore_input_tensor");
  py::list out;
  for (py::handle tensor : ordered_inputs(self)) {
    if (truthy(ignore(tensor))) continue;
    std::string name = py::str(tensor.attr("name"));
    std::size_t colon = name.rfind(':');
    if (colon != std::string::npos) name.erase(colon);  // "x:0" is the tensor "x"
    out.append(py::make_tuple(py::str(name), py::tuple(tensor.attr("shape"))));
  }
  return out;
}

py::list fetch_model_input_dtype(py::object self) {
  py::object ignore = self.attr("_should_ignore_input_tensor");
  py::list types;
  for (py::handle tensor : ordered_inputs(self)) {
    if (truthy(ignore(tensor))) {
      log(self, ostrel::kWarning,
          "Input " + ostrel::str(tensor.attr("name")) + " with shape " + ostrel::str(tensor.attr("shape")) +
              " is invalid. Ignoring.");
      continue;
    }
    types.append(tensor.attr("dtype").attr("as_numpy_dtype"));
  }
  return types;
}

py::object fetch_model_batch_size(py::object self) {
  py::list shapes;  // scalar inputs have no batch axis
  for (py::handle shape : self.attr("_get_dimensions_from_graph_with_bs")())
    if (py::len(shape) > 0) shapes.append(shape);
  if (shapes.empty()) return py::none();  // no usable input: nothing fixes the batch
  py::object batch = self.attr("_is_batch_size_static")(shapes);
  return truthy(batch) ? batch : py::object(py::none());
}

// ---- prediction -----------------------------------------------------------------------------------

// One array per output: a single tensor gives one; a sequence gives its items in order; a mapping
// gives its values in the serving signature's output order (its own order where that is unknown).
py::object outputs_of(PyObject* self, PyObject* prediction) {
  py::object out = ostrel::steal(PyList_New(0));
  auto append = [&](PyObject* tensor) {
    py::object array = ostrel::steal(PyObject_CallMethodNoArgs(tensor, "numpy"_id.ptr()));
    if (PyList_Append(out.ptr(), array.ptr()) != 0) throw py::error_already_set();
  };
  if (PyDict_Check(prediction)) {
    py::object keys = ostrel::steal(PyObject_GetAttr(self, "_output_keys"_id.ptr()));
    bool ordered = keys.ptr() != Py_None && PyTuple_GET_SIZE(keys.ptr()) == PyDict_GET_SIZE(prediction);
    if (ordered) {
      for (Py_ssize_t i = 0; ordered && i < PyTuple_GET_SIZE(keys.ptr()); ++i)
        ordered = PyDict_Contains(prediction, PyTuple_GET_ITEM(keys.ptr(), i)) == 1;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (ordered) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keys.ptr()); ++i)
        append(PyDict_GetItem(prediction, PyTuple_GET_ITEM(keys.ptr(), i)));
    } else {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(prediction, &pos, &key, &value)) append(value);
    }
  } else if (PyList_Check(prediction) || PyTuple_Check(prediction)) {
    py::object items = ostrel::steal(PySequence_Fast(prediction, "outputs"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i)
      append(PySequence_Fast_ITEMS(items.ptr())[i]);
  } else {
    append(prediction);
  }
  return out;
}

// What predict calls for `model`, as (model, target, names, inputs): the loaded object itself when it
// is callable (names None), else its "serving_default" signature, which takes its inputs by name only
// (names: the signature's input names in input order, for arrays given by position); inputs: the
// signature's input names in input order, for a mapping given as `x` (None without a signature). Kept
// on the instance and rebuilt when `model` changes.
py::object call_target(PyObject* self, PyObject* model) {
  PyObject* cached = PyObject_GetAttr(self, "_call_target"_id.ptr());
  if (cached == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
  } else {
    py::object owner = ostrel::steal(cached);
    if (PyTuple_Check(cached) && PyTuple_GET_SIZE(cached) == 4 && PyTuple_GET_ITEM(cached, 0) == model)
      return owner;
  }
  py::object loaded = py::reinterpret_borrow<py::object>(model);
  py::object target = loaded, names = py::none(), inputs = py::none();
  if (py::hasattr(loaded, "signatures"_id)) {
    py::object signatures = loaded.attr("signatures"_id);
    if (signatures.contains("serving_default"_id)) {
      py::object signature = signatures["serving_default"_id];
      if (!PyCallable_Check(model)) {
        target = signature;
        names = inputs = py::tuple(input_order(loaded, signature));
      } else {
        try {
          inputs = py::tuple(input_order(loaded, signature));
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;  // no input order known: a mapping goes by name
        }
      }
    }
  }
  py::tuple entry = py::make_tuple(loaded, target, names, inputs);
  if (PyObject_SetAttr(self, "_call_target"_id.ptr(), entry.ptr()) != 0) throw py::error_already_set();
  return entry;
}

// A clear error for positional arrays that do not match the signature's inputs in number.
[[noreturn]] void refuse_input_count(Py_ssize_t given, PyObject* names) {
  PyErr_Format(PyExc_ValueError,
               "The model's \"serving_default\" signature takes %zd input(s) %R, in this order; got %zd array(s).",
               PyTuple_GET_SIZE(names), names, given);
  throw py::error_already_set();
}

// predict(self, /, x=None, **kwargs): the loaded object called with the values of `x` by position
// (one array counts as a list of one; a mapping gives the values of the signature's inputs in input
// order) or with the keyword arguments by name; a loaded object that cannot be called has its serving
// signature called, with positional arrays named in input order.
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) throw py::error_already_set();
  PyObject* self = call.self;
  PyObject* x = call.given_x();
  ostrel::InputsForm form = ostrel::InputsForm::kMapping;
  if (x != nullptr && !ostrel::inputs_form(x, form)) throw py::error_already_set();
  py::object model = ostrel::steal(PyObject_GetAttr(self, "model"_id.ptr()));
  py::object entry = call_target(self, model.ptr());
  PyObject* target = PyTuple_GET_ITEM(entry.ptr(), 1);
  PyObject* names = PyTuple_GET_ITEM(entry.ptr(), 2);
  PyObject* inputs = PyTuple_GET_ITEM(entry.ptr(), 3);
  // A mapping goes by name to a target that takes names, or where the input order is unknown.
  bool by_name = x == nullptr || (form == ostrel::InputsForm::kMapping && (names != Py_None || inputs == Py_None));
  py::object kwargs = ostrel::steal(
      x == nullptr ? ostrel::named_inputs(call) : by_name ? ostrel::inputs_by_name(x, form, nullptr) : PyDict_New());
  py::object positional = ostrel::steal(by_name ? PyTuple_New(0) : ostrel::inputs_in_order(x, form, inputs));
  if (names != Py_None && PyTuple_GET_SIZE(positional.ptr()) > 0) {
    Py_ssize_t n = PyTuple_GET_SIZE(positional.ptr());
    if (n != PyTuple_GET_SIZE(names)) refuse_input_count(n, names);
    for (Py_ssize_t i = 0; i < n; ++i)
      if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(positional.ptr(), i)) != 0)
        throw py::error_already_set();
    positional = ostrel::steal(PyTuple_New(0));
  }
  py::object prediction = ostrel::steal(
      PyObject_Call(target, positional.ptr(), PyDict_GET_SIZE(kwargs.ptr()) ? kwargs.ptr() : nullptr));
  return outputs_of(self, prediction.ptr());
}

PyMethodDef g_predict_def =
    ostrel::fastcall_method<&predict>("predict", "predict($self, /, x=None, **kwargs)\n--\n\n");

}  // namespace

MODTREE_MODULE("frameworks.tensorflow_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  m.attr("os") = py::module_::import("os");
  m.attr("shutil") = py::module_::import("shutil");  // also serves disposals at interpreter exit
  m.attr("typing") = py::module_::import("typing");
  m.attr("np") = py::module_::import("numpy");
  m.attr("tf") = py::module_::import("tensorflow");
  m.attr("InferenceHardware") = import_from("ostrel", "InferenceHardware");
  m.attr("FilesDataInterface") =
      import_from("ostrel.common.data_interface.files_data_interface", "FilesDataInterface");
  for (const char* name : {"BadSavedModelZipError", "ModelFrameworkRuntimeError", "ModelValueError",
                           "FailedToLoadCheckpointError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("BaseInferencer") = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("FrameworkType") = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  m.def("allow_tf_memory_growth", &allow_tf_memory_growth, py::arg("logger"), py::doc(kMemoryGrowthDoc));

  modtree::ClassBuilder cls(m, "TF2Inferencer");
  cls.base(m.attr("BaseInferencer"));
  ostrel::def_checkpoint_init(cls, &init);
  cls.def(
      "_assert_loaded_successfully",
      [](py::object self) {
        ostrel::ComponentCheck{self}(self.attr("model"),
                                                  "The tensorflow model did not load successfully.");
      },
      py::arg("self"));
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_get_dimensions_from_graph_with_bs", &dimensions_with_batch, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def_static("_should_ignore_input_tensor", &should_ignore_input_tensor, py::arg("input_tensor"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("_declared_inputs", &declared_inputs, py::arg("self"));
  cls.def("_TF2Inferencer__get_default_input_signature", &default_signature, py::arg("self"));
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources",
      [](py::object self) {
        ostrel::delete_instance_resources(self, {"model", "_call_target"});
        remove_extraction_folder(self);
      },
      py::arg("self"));
  cls.def_property("framework_type",
                   [](py::object) { return mod_attr("FrameworkType").attr("TENSORFLOW2"); });
  cls.def_property("framework_version",
                   [](py::object) { return mod_attr("tf").attr("version").attr("VERSION"); });
  cls.build();
}
