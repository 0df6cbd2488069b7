// The OpenVINO back-end: OpenVinoInferencer loads an OpenVINO model (a ".xml" with its ".bin", or a
// pickled or zipped checkpoint unpacked first) with the OpenVINO runtime's `Core`, compiles it for the
// CPU, reports its input names, shapes (-1 for a dynamic dimension) and element types, predicts with a
// shape check (a dynamic dimension takes any size) and benchmarks through the base benchmark.
//
// Predicts run on inference requests of the compiled model taken from a small pool, one request per
// concurrent call, so several threads may predict on one inferencer at once.
//
// OpenVinoInferencer is a real Python subclass of BaseInferencer whose members are C++ functions; the
// runtime is called through its Python API. Module attributes (Core, format_map, the exception classes,
// the checkpoint functions) are read at each use, so tests may replace them.
//
// Unpacked checkpoints live in a fresh folder of the temporary directory, removed whole once the model
// is compiled or the load failed (only a folder the unpackers made is removed). A SIGTERM during a load
// is handled like Ctrl-C until that removal is done (TerminationAsInterrupt), then ends the process.
//
// The runtime reads a model only from text paths: a path whose bytes are not UTF-8 is read through a
// temporary folder of links with plain names, removed once the model is compiled.
#include <Python.h>
#include <pybind11/pybind11.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

constexpr const char* kFile = "ostrel/frameworks/openvino_inferencer.py";

ostrel::ModuleAttributes mod_attr;  // this module
py::handle g_runtime_core;          // the runtime's Core class

void log(py::handle self, int level, const std::string& message) {
  ostrel::log(self.attr("_logger"_id), level, message, kFile);
}

// ---- unpack folders ---------------------------------------------------------------------------------

// The unpack folder that holds `folder`: the entry of the temporary directory, named like the unpackers
// name their folders, on the way down to it. None when `folder` lies anywhere else.
py::object unpack_root_of(py::object folder) {
  py::object os_path = mod_attr("os"_id).attr("path"_id);
  py::object tmp = os_path.attr("realpath"_id)(mod_attr("tempfile"_id).attr("gettempdir"_id)());
  py::object real = os_path.attr("realpath"_id)(folder);
  py::list both;
  both.append(tmp);
  both.append(real);
  if (real.equal(tmp) || !os_path.attr("commonpath"_id)(both).equal(tmp)) return py::none();
  std::string rel = py::str(os_path.attr("relpath"_id)(real, tmp));
  std::string first = rel.substr(0, rel.find('/'));
  if (first.rfind("unpickle_", 0) != 0 && first.rfind("checkpoints_", 0) != 0) return py::none();
  return os_path.attr("join"_id)(tmp, py::str(first));
}

// True when `path` is `root` or lies inside it (both already real paths or resolved here).
bool inside(py::object path, py::object root) {
  py::object os_path = mod_attr("os"_id).attr("path"_id);
  py::object real = os_path.attr("realpath"_id)(path);
  py::list both;
  both.append(root);
  both.append(real);
  return real.equal(root) || os_path.attr("commonpath"_id)(both).equal(root);
}

// After a load, successful or not: removes the whole unpack folder of `xml_path` (nothing outside it:
// an XML elsewhere is named in a warning when the load succeeded, and left). A failure is logged; a
// loaded model stays.
void remove_unpack_folder(py::object self, py::object xml_path, bool loaded) {
  py::object folder = mod_attr("os"_id).attr("path"_id).attr("dirname"_id)(xml_path);
  py::object root = unpack_root_of(folder);
  if (root.is_none() || !inside(folder, root)) {
    if (loaded)
      log(self, ostrel::kWarning,
          "Not removing " + ostrel::str(folder) +
              ": it is not inside a folder made for unpacking the checkpoint.");
    return;
  }
  try {
    ostrel::remove_folder_to_the_end(root, [&] { mod_attr("shutil"_id).attr("rmtree"_id)(root); });
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    log(self, ostrel::kWarning,
        "Failed to remove the unpacked checkpoint folder " + ostrel::str(root) + ": " +
            ostrel::str(e.value()));
  }
}

// ---- loading ----------------------------------------------------------------------------------------

py::tuple deserialize_file_if_needed(py::object checkpoint_file) {
  py::object types = mod_attr("OpenVinoCheckpointTypes"_id);
  bool needed = false;
  py::object xml_type = types.attr("XML"_id);
  if (!py::object(checkpoint_file["type"_id]).equal(xml_type)) {
    py::dict unpackers;
    unpackers[types.attr("ZIP"_id)] = mod_attr("unzip_openvino_checkpoint_file"_id);
    unpackers[types.attr("PICKLE"_id)] = mod_attr("unpickle_openvino_checkpoint_files"_id);
    py::object unpack = unpackers[checkpoint_file["type"_id]];
    checkpoint_file[py::str("checkpoint_path")] = unpack(checkpoint_file[py::str("checkpoint_path")]);
    checkpoint_file[py::str("type")] = types.attr("XML"_id);
    needed = true;
  }
  return py::make_tuple(checkpoint_file, needed);
}

// The weights beside `xml` (the file system's bytes of the path): its final ".xml" replaced by ".bin".
// A file named the older way, with every ".xml" of the path replaced, is taken only when the first is
// missing and it exists.
std::string weights_path(const std::string& xml) {
  std::string legacy = xml;
  for (std::size_t at = legacy.find(".xml"); at != std::string::npos; at = legacy.find(".xml", at + 4))
    legacy.replace(at, 4, ".bin");
  if (xml.size() < 4 || xml.compare(xml.size() - 4, 4, ".xml") != 0) return legacy;
  std::string weights = xml.substr(0, xml.size() - 4) + ".bin";
  if (weights == legacy) return weights;
  struct stat st{};
  if (!ostrel::stat_path(py::bytes(weights), st) && ostrel::stat_path(py::bytes(legacy), st)) return legacy;
  return weights;
}

// The footprint of the model: an IR's ".xml" with its weights; an archive is the one file.
py::object model_size(py::object self) {
  py::object checkpoint = self.attr("_checkpoint_file"_id);
  std::vector<std::filesystem::path> companions;
  if (py::isinstance<py::str>(checkpoint)) {
    std::string path = checkpoint.cast<std::string>();
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".xml") == 0)
      companions.push_back(ostrel::native_path(py::str(weights_path(path))));
  }
  return ostrel::model_size_mib(checkpoint, companions);
}

py::tuple input_shape(py::handle input) {
  py::list dims;
  for (py::handle d : input.attr("get_partial_shape"_id)())
    dims.append(truthy(d.attr("is_static"_id)) ? py::object(d.attr("get_length"_id)()) : py::object(py::int_(-1)));
  return py::tuple(dims);
}

// Keeps the calling thread's alternate signal stack as it was. Compiling a model makes the runtime put one
// of its own on the compiling thread, which can stay registered after its memory is freed; a signal
// handled there later (Python runs its handlers, Ctrl-C's among them, on the alternate stack) would then
// crash the process instead of raising KeyboardInterrupt.
class KeepSignalStack {
 public:
  KeepSignalStack() : saved_ok_(::sigaltstack(nullptr, &saved_) == 0) {}
  KeepSignalStack(const KeepSignalStack&) = delete;
  KeepSignalStack& operator=(const KeepSignalStack&) = delete;
  ~KeepSignalStack() {
    stack_t now{};
    if (!saved_ok_ || ::sigaltstack(nullptr, &now) != 0) return;
    if (now.ss_sp == saved_.ss_sp && now.ss_size == saved_.ss_size && now.ss_flags == saved_.ss_flags) return;
    stack_t back = saved_;
    back.ss_flags &= SS_DISABLE;  // the state to set: in use or not
    ::sigaltstack(&back, nullptr);
  }

 private:
  stack_t saved_{};
  bool saved_ok_;
};

// A temporary folder of links, "model.xml" and "model.bin", to the files of a model whose path the
// runtime cannot take as text; removed (with its links only) when the load is over.
class LinkedModel {
 public:
  LinkedModel(const std::string& xml, const std::string& weights) {
    py::dict prefix;
    prefix["prefix"] = "openvino_links_";
    folder_ = ostrel::fs_bytes(mod_attr("tempfile"_id).attr("mkdtemp"_id)(**prefix));
    if (!link(xml, folder_ + "/model.xml", xml_) || !link(weights, folder_ + "/model.bin", weights_)) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, ostrel::fs_path(py::bytes(xml)).ptr());
      remove();
      throw py::error_already_set();
    }
  }
  LinkedModel(const LinkedModel&) = delete;
  LinkedModel& operator=(const LinkedModel&) = delete;
  ~LinkedModel() { remove(); }

  py::object xml() const { return ostrel::fs_path(py::bytes(xml_)); }
  py::object weights() const { return ostrel::fs_path(py::bytes(weights_)); }

 private:
  // Makes `link` point at `target` (made absolute); `made` names it once it exists.
  static bool link(const std::string& target, const std::string& link, std::string& made) {
    std::string absolute = target;
    if (absolute.empty() || absolute[0] != '/')
      absolute = ostrel::fs_bytes(mod_attr("os"_id).attr("getcwd"_id)()).cast<std::string>() + "/" + target;
    if (::symlink(absolute.c_str(), link.c_str()) != 0) return false;
    made = link;
    return true;
  }
  void remove() noexcept {  // no Python: also runs while an exception unwinds
    if (!xml_.empty()) ::unlink(xml_.c_str());
    if (!weights_.empty()) ::unlink(weights_.c_str());
    if (!folder_.empty()) ::rmdir(folder_.c_str());
  }

  std::string folder_, xml_, weights_;
};

// The runtime's Core for a load. The one made from the runtime's own class is kept for the process, made
// on first use: a new Core costs about a millisecond and starts without the CPU plugin's state of
// earlier compilations. A child made by fork gets its own, since the parent's thread pools do not cross
// the fork (the parent's is left alone there). A class put in the module's place is called for each load.
py::object runtime_core() {
  struct Kept {
    py::object core;
    pid_t owner = 0;
  };
  static Kept* kept = new Kept();  // process lifetime, like the runtime it holds
  py::object core_class = mod_attr("Core"_id);
  if (!core_class.is(g_runtime_core)) return core_class();
  if (kept->core && kept->owner == ::getpid()) return kept->core;
  py::object made = core_class();  // may let other threads run: the first one kept wins
  if (!kept->core || kept->owner != ::getpid()) {
    if (kept->core) kept->core.release();  // the parent's: not torn down in the child
    kept->core = made;
    kept->owner = ::getpid();
  }
  return kept->core;
}

py::object load_engine(py::object self, py::object xml_path) {
  py::object core = runtime_core();
  const std::string xml = ostrel::fs_bytes(xml_path);
  const std::string weights = weights_path(xml);
  // A FIFO or device named like the model or its weights would block the read.
  ostrel::refuse_non_regular(xml_path);
  ostrel::refuse_non_regular(py::bytes(weights));
  std::optional<LinkedModel> linked;
  py::object model_text, weights_text;
  if (ostrel::undecodable_path(py::bytes(xml)) || ostrel::undecodable_path(py::bytes(weights))) {
    linked.emplace(xml, weights);
    model_text = linked->xml();
    weights_text = linked->weights();
  } else {
    model_text = ostrel::fs_path(py::bytes(xml));
    weights_text = ostrel::fs_path(py::bytes(weights));
  }
  py::object network =
      core.attr("read_model"_id)(py::arg("model") = model_text, py::arg("weights") = weights_text);
  py::object compiled;
  {
    const KeepSignalStack keep;
    compiled = core.attr("compile_model"_id)(network, "CPU");
  }
  py::list names, shapes;
  for (py::handle input : compiled.attr("inputs"_id)) {
    names.append(input.attr("get_any_name"_id)());
    shapes.append(input_shape(input));
  }
  self.attr("input_names"_id) = names;
  self.attr("expected_input_shapes"_id) = shapes;
  return compiled;
}

ostrel::LoadErrorTable load_errors() {
  using ostrel::classes;
  return {mod_attr.module(),
          {{classes({PyExc_RuntimeError}), "ModelFrameworkRuntimeError", "Framework runtime error: "},
           {classes({PyExc_ValueError}), "ModelValueError", "Invalid value for OpenVINO model: "}},
          ostrel::OtherLoadErrors::kFailedToLoadCheckpoint};
}

void load_model(py::object self) {
  const ostrel::TerminationAsInterrupt termination;  // until the unpack folder is gone
  ostrel::translating_load_errors([&] {
    py::object pointer =
        mod_attr("OpenVinoCheckpointPointer"_id)
            .attr("get_openvino_checkpoint_pointer_from_path"_id)(self.attr("_checkpoint_file"_id));
    py::tuple resolved = self.attr("deserialize_file_if_needed"_id)(pointer);
    py::object checkpoint = resolved[0];
    bool needed = truthy(resolved[1]);
    py::object xml_path = checkpoint[py::str("checkpoint_path")];
    try {
      self.attr("model"_id) = self.attr("load_engine"_id)(xml_path);
    } catch (py::error_already_set&) {
      if (needed) remove_unpack_folder(self, xml_path, /*loaded=*/false);
      throw;
    }
    if (needed) remove_unpack_folder(self, xml_path, /*loaded=*/true);
  }, load_errors);
  termination.check();
}

void assert_loaded_successfully(py::object self) {
  const ostrel::ComponentCheck check(self);
  check(self.attr("model"_id), "Failed to load the OpenVino model.");
  check(self.attr("input_names"_id),
        "The model inputs names could not be inferred from the OpenVino checkpoint.");
  check(self.attr("expected_input_shapes"_id), "Failed to infer the Openvino input shapes from the checkpoint.");
}

void init(py::object self, py::object checkpoint_file, py::object inference_hardware, py::object input_dims,
          py::object static_batch_size, py::object logging_verbosity) {
  // Set before the base constructor, which runs the loading hooks that fill them.
  self.attr("input_names"_id) = py::none();
  self.attr("model"_id) = py::none();
  self.attr("expected_input_shapes"_id) = py::none();
  ostrel::init_base(mod_attr("OpenVinoInferencer"_id), self, checkpoint_file, inference_hardware, input_dims,
                    static_batch_size, logging_verbosity);
  log(self, ostrel::kDebug,
      "Loaded the model " + ostrel::str(checkpoint_file) +
          " successfully. Input shape: " + ostrel::str(self.attr("expected_input_shapes"_id)));
}

// ---- shapes, batch and element types ----------------------------------------------------------------

py::object dimensions_from_graph(py::object self) {
  if (!truthy(self.attr("model"_id))) return py::none();
  return self.attr("expected_input_shapes"_id);
}

// Each input's shape without the axis that takes its batch (the whole shape of an input that takes none).
py::object fetch_model_input_dimensions(py::object self) {
  py::object graph = self.attr("_get_dimensions_from_graph"_id)();
  if (graph.is_none()) return py::none();
  return self.attr("_without_batch_axes"_id)(graph);
}

// The inputs as the network declares them: name and full shape, -1 for a dynamic size.
py::object declared_inputs(py::object self) {
  py::object graph = self.attr("_get_dimensions_from_graph"_id)();
  py::object names = self.attr("input_names"_id);
  if (graph.is_none() || names.is_none()) return py::none();
  py::list out;
  size_t n = std::min(py::len(graph), py::len(names));
  for (size_t i = 0; i < n; ++i)
    out.append(py::make_tuple(names[py::int_(i)], py::tuple(graph[py::int_(i)])));
  return out;
}

py::object fetch_model_batch_size(py::object self) {
  py::object batch = self.attr("_is_batch_size_static"_id)(self.attr("_get_dimensions_from_graph"_id)());
  if (!truthy(batch)) return py::none();
  return batch;
}

// The precision name of an element type, as the table names it ("f32" -> "FP32").
py::str precision_name(py::handle element_type) {
  std::string name = py::str(element_type.attr("get_type_name"_id)());
  static const std::pair<const char*, const char*> names[] = {
      {"f32", "FP32"}, {"f16", "FP16"}, {"f64", "FP64"},     {"bf16", "BF16"}, {"i8", "I8"},
      {"i16", "I16"},  {"i32", "I32"},  {"i64", "I64"},      {"u8", "U8"},     {"u16", "U16"},
      {"u32", "U32"},  {"u64", "U64"},  {"boolean", "BOOL"}, {"u1", "BIN"}};
  for (const auto& [type, precision] : names)
    if (name == type) return py::str(precision);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return py::str(name);
}

py::list fetch_model_input_dtype(py::object self) {
  py::object table = mod_attr("format_map"_id);
  py::list types;
  for (py::handle input : self.attr("model"_id).attr("inputs"_id))
    types.append(table[precision_name(input.attr("get_element_type"_id)())]);
  return types;
}

// ---- benchmark --------------------------------------------------------------------------------------

py::object benchmark(py::object self, py::object batch_size, py::object input_dimensions,
                     py::object duration_sec, py::object repetitions, py::object warmup_calls,
                     py::object include_io, py::object dtype, py::kwargs kwargs) {
  // The network's own batch; a network whose batch axis is dynamic runs batches of one.
  if (batch_size.is_none() && truthy(self.attr("expected_input_shapes"_id))) {
    batch_size = self.attr("fetch_model_batch_size"_id)();
    if (batch_size.is_none()) batch_size = py::int_(1);
  }
  if (input_dimensions.is_none()) input_dimensions = self.attr("input_dims"_id);
  py::dict named = ostrel::keywords({{"batch_size", batch_size},
                                     {"input_dimensions", input_dimensions},
                                     {"repetitions", repetitions},
                                     {"duration_sec", duration_sec},
                                     {"warmup_calls", warmup_calls},
                                     {"include_io", include_io},
                                     {"dtype", dtype}});
  py::object base = ostrel::builtin("super")(mod_attr("OpenVinoInferencer"_id), self).attr("benchmark"_id);
  return ostrel::call_with(base, named, kwargs);
}

// ---- inference requests -----------------------------------------------------------------------------

// The compiled model's inference requests, shared by the predicts of one inferencer. A request runs one
// inference at a time, so each call takes a request of its own: a free one when there is one, a new one
// while fewer than `capacity` exist, else it waits (without the GIL) until another call gives one back.
// Single-threaded use thus keeps exactly one request. The pool belongs to one compiled model; it also
// keeps that model's output names, the keys of a prediction by name.
class RequestPool {
 public:
  RequestPool(py::object compiled, std::size_t capacity, py::list output_names)
      : compiled_(std::move(compiled)), output_names_(std::move(output_names)), capacity_(capacity) {}

  RequestPool(const RequestPool&) = delete;
  RequestPool& operator=(const RequestPool&) = delete;

  PyObject* compiled() const { return compiled_.ptr(); }
  const py::list& output_names() const { return output_names_; }

  // A request for the caller's sole use (a new reference); give it back with release(). Call with the
  // GIL held.
  py::object acquire() {
    {
      std::unique_lock lock(mutex_);
      if (py::object request = pop_free()) return request;
      if (created_ < capacity_) {
        ++created_;
        lock.unlock();
        try {
          return compiled_.attr("create_infer_request"_id)();
        } catch (...) {
          lock.lock();
          --created_;
          lock.unlock();
          available_.notify_one();
          throw;
        }
      }
    }
    py::object request;
    {
      py::gil_scoped_release without_gil;
      std::unique_lock lock(mutex_);
      available_.wait(lock, [&] { return !free_.empty() || created_ < capacity_; });
      request = pop_free();
    }
    if (!request) return acquire();  // a failed creation left room for a new request
    return request;
  }

  // Takes back a request given by acquire(). Call with the GIL held.
  void release(py::object request) {
    {
      std::lock_guard lock(mutex_);
      free_.push_back(std::move(request));
    }
    available_.notify_one();
  }

 private:
  // Only moves the references: no count changes, so it runs without the GIL too.
  py::object pop_free() {
    if (free_.empty()) return py::object();
    py::object request = std::move(free_.back());
    free_.pop_back();
    return request;
  }

  py::object compiled_;
  py::list output_names_;
  std::size_t capacity_;
  std::size_t created_ = 0;
  std::vector<py::object> free_;  // moved, never copied, without the GIL; dropped with the GIL held
  std::mutex mutex_;
  std::condition_variable available_;
};

// Requests a pool may hold beyond the runtime's own optimum: enough for a few concurrent callers,
// few enough that their input and output tensors stay small beside the model.
constexpr std::size_t kConcurrentRequests = 4;

// The name of an output: its tensor name, or for an output without one the name of the operation that
// produces it.
py::object output_name(py::handle output) {
  py::set names = output.attr("get_names"_id)();
  if (!names.empty()) return output.attr("get_any_name"_id)();
  py::object producer = output.attr("get_node"_id)();
  if (py::int_(producer.attr("get_input_size"_id)()).cast<int>() > 0)
    producer = producer.attr("input_value"_id)(0).attr("get_node"_id)();
  return producer.attr("get_friendly_name"_id)();
}

std::unique_ptr<RequestPool> make_pool(py::object compiled) {
  std::size_t capacity = kConcurrentRequests;
  try {
    capacity = std::max(capacity, py::int_(compiled.attr("get_property"_id)("OPTIMAL_NUMBER_OF_INFER_REQUESTS"))
                                      .cast<std::size_t>());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // a runtime without the property: the fixed size
  }
  py::list names;
  for (py::handle output : compiled.attr("outputs"_id)) names.append(output_name(output));
  return std::make_unique<RequestPool>(std::move(compiled), capacity, std::move(names));
}

constexpr const char* kPoolAttribute = "_infer_requests";

// The request pool of the instance's present `model` (the capsule that holds it), made on first use
// and made anew when `model` was replaced. Two threads may race to make it: each call still gets a
// request of its own, and holds the capsule for as long as it uses the pool.
py::capsule pool_of(py::handle self, py::handle compiled) {
  py::object held = py::getattr(self, kPoolAttribute, py::none());
  if (PyCapsule_CheckExact(held.ptr())) {
    auto capsule = py::reinterpret_borrow<py::capsule>(held);
    if (capsule.get_pointer<RequestPool>()->compiled() == compiled.ptr()) return capsule;
  }
  std::unique_ptr<RequestPool> made = make_pool(py::reinterpret_borrow<py::object>(compiled));
  py::capsule holder(made.get(), [](void* p) { delete static_cast<RequestPool*>(p); });
  made.release();
  self.attr(kPoolAttribute) = holder;
  return holder;
}

// Gives a request back to its pool however the call ends.
class RequestLease {
 public:
  explicit RequestLease(RequestPool& pool) : pool_(pool), request_(pool.acquire()) {}
  RequestLease(const RequestLease&) = delete;
  RequestLease& operator=(const RequestLease&) = delete;
  ~RequestLease() { pool_.release(std::move(request_)); }
  const py::object& request() const { return request_; }

 private:
  RequestPool& pool_;
  py::object request_;
};

// ---- prediction -------------------------------------------------------------------------------------

PyObject* g_shared;  // the keyword names ("share_inputs",) of a request's infer call

// Checks `array` against the expected shape of input `index` (a dynamic dimension, -1, takes any size)
// and feeds it under that input's name (`name`, or when null the input's name in `names`).
void feed_checked(PyObject* feed, PyObject* names, PyObject* shapes, Py_ssize_t index, PyObject* name,
                  PyObject* array) {
  py::object key = ostrel::steal(PyLong_FromSsize_t(index));
  py::object expected = ostrel::steal(PyObject_GetItem(shapes, key.ptr()));
  PyObject* got = PyObject_GetAttr(array, "shape"_id.ptr());
  if (got == nullptr) {
    // A Python scalar has no shape: the runtime answers for it.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    got = PyTuple_New(0);
  }
  py::object shape = ostrel::steal(got);
  py::object own_name;
  if (name == nullptr) {
    own_name = ostrel::steal(PyObject_GetItem(names, key.ptr()));
    name = own_name.ptr();
  }
  int fits = ostrel::shape_fits(shape.ptr(), expected.ptr());
  if (fits < 0) throw py::error_already_set();
  if (!fits) {
    py::object want = ostrel::steal(PySequence_Tuple(expected.ptr()));
    py::object given = ostrel::steal(PySequence_Tuple(shape.ptr()));
    PyErr_Format(PyExc_AssertionError, "OpenVino's model expects input shape at index %zd: %S, received: %S.",
                 index, want.ptr(), given.ptr());
    throw py::error_already_set();
  }
  if (PyDict_SetItem(feed, name, array) != 0) throw py::error_already_set();
}

// Feeds a mapping from input name to array, each array checked against its input's shape.
void feed_by_name(PyObject* x, PyObject* names, PyObject* shapes, PyObject* feed) {
  py::object items = ostrel::steal(PyMapping_Items(x));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2)
      raise(PyExc_TypeError, "the items of a mapping of inputs must be (name, array) pairs");
    PyObject* name = PyTuple_GET_ITEM(item, 0);
    Py_ssize_t index = PySequence_Index(names, name);
    if (index < 0) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
      PyErr_Clear();
      PyErr_Format(PyExc_KeyError, "OpenVino's model has no input named %R; its inputs are %S.", name, names);
      throw py::error_already_set();
    }
    feed_checked(feed, names, shapes, index, name, PyTuple_GET_ITEM(item, 1));
  }
}

// The feed mapping of `x`: one array, a sequence of arrays in input order, or a mapping from input name
// to array. Every shape is checked against the network's before anything runs.
py::object feed_from_x(PyObject* self, PyObject* x) {
  ostrel::InputsForm form;
  if (!ostrel::inputs_form(x, form)) throw py::error_already_set();
  py::object names = ostrel::steal(PyObject_GetAttr(self, "input_names"_id.ptr()));
  py::object shapes = ostrel::steal(PyObject_GetAttr(self, "expected_input_shapes"_id.ptr()));
  py::object feed = ostrel::steal(PyDict_New());
  if (form == ostrel::InputsForm::kMapping) {
    feed_by_name(x, names.ptr(), shapes.ptr(), feed.ptr());
  } else if (form == ostrel::InputsForm::kOne) {
    feed_checked(feed.ptr(), names.ptr(), shapes.ptr(), 0, nullptr, x);
  } else {
    py::object values = ostrel::steal(ostrel::inputs_in_order(x, form, names.ptr()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values.ptr()); ++i)
      feed_checked(feed.ptr(), names.ptr(), shapes.ptr(), i, nullptr, PyTuple_GET_ITEM(values.ptr(), i));
  }
  return feed;
}

// Refuses a feed that leaves an input out: the request would run that input on whatever its tensor
// last held, another call's data.
void refuse_missing_inputs(PyObject* self, PyObject* feed) {
  py::object names = ostrel::steal(PyObject_GetAttr(self, "input_names"_id.ptr()));
  Py_ssize_t count = PyObject_Length(names.ptr());
  if (count < 0) throw py::error_already_set();
  if (PyDict_GET_SIZE(feed) >= count) return;  // a name that is no input's is the runtime's to refuse
  py::object given = ostrel::steal(PyDict_Keys(feed));
  PyErr_Format(PyExc_KeyError, "OpenVino's model takes the inputs %S; the call gave values for %S only.",
               names.ptr(), given.ptr());
  throw py::error_already_set();
}

// The runtime's CPU plugin can keep the shapes of an inference that failed part-way (a reshape fixed at
// batch 1 given batch 2): every later inference of that compiled model, on any of its requests, then
// fails as well. After a failed inference `model` is replaced by a copy compiled from its export, so the
// next call runs as it did before the failure (the pool follows the new model). A model imported from
// an export exports nothing the runtime can import again, so the copy is kept with the export it came
// from (`_model_export`, the pair of both) for its own failures. A copy that cannot be made leaves
// `model` as it was.
void renew_compiled_model(PyObject* self, const py::object& model) {
  try {
    py::object held = py::getattr(self, "_model_export"_id, py::none());
    const bool kept = PyTuple_Check(held.ptr()) && PyTuple_GET_ITEM(held.ptr(), 0) == model.ptr();
    py::object exported = kept ? py::object(py::tuple(held)[1]) : model.attr("export_model"_id)().attr("getvalue"_id)();
    py::object copy;
    {
      const KeepSignalStack keep;
      copy = runtime_core().attr("import_model"_id)(exported, "CPU");
    }
    if (!py::getattr(self, "model"_id, py::none()).is(model)) return;  // replaced meanwhile
    py::handle(self).attr("model"_id) = copy;
    py::handle(self).attr("_model_export"_id) = py::make_tuple(copy, exported);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

// One inference of the present `model` on a request of the caller's own; `pool` is set to the capsule
// of the pool used. A failed inference renews the model and reports its own error.
py::object infer(PyObject* self, PyObject* feed, py::capsule& pool) {
  py::object model = ostrel::steal(PyObject_GetAttr(self, "model"_id.ptr()));
  pool = pool_of(self, model);
  RequestLease lease(*pool.get_pointer<RequestPool>());
  // The arrays are read in place (as the compiled model's own call does): the call holds them until the
  // inference is over. A spare slot in front lets the callee prepend without copying the arguments.
  PyObject* call_args[4] = {nullptr, lease.request().ptr(), feed, Py_True};
  try {
    return ostrel::steal(
        PyObject_VectorcallMethod("infer"_id.ptr(), call_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  g_shared));
  } catch (py::error_already_set& failure) {
    if (failure.matches(PyExc_Exception)) renew_compiled_model(self, model);
    throw;
  }
}

// predict(self, /, x=None, **kwargs): with `x`, a list of the output arrays in the network's order;
// with keyword inputs only, a dict from output name to array.
py::object predict(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ostrel::PredictArgs call;
  if (!ostrel::split_predict_inputs(args, nargs, kwnames, call)) throw py::error_already_set();
  PyObject* x = call.given_x();
  if (x == nullptr && call.named_input_count() == 0)
    raise(PyExc_TypeError,
          "predict() needs the model's inputs: an array, a list of arrays in input order, a mapping of input "
          "names to arrays, or keyword inputs; got None");
  py::object feed = x != nullptr ? feed_from_x(call.self, x) : ostrel::steal(ostrel::named_inputs(call));
  refuse_missing_inputs(call.self, feed.ptr());
  py::capsule pool;
  py::object result = infer(call.self, feed.ptr(), pool);
  py::object values = ostrel::steal(PyObject_CallMethodNoArgs(result.ptr(), "values"_id.ptr()));
  py::object arrays = ostrel::steal(PySequence_List(values.ptr()));
  if (x != nullptr) return arrays;
  const py::list& names = pool.get_pointer<RequestPool>()->output_names();
  py::dict named;
  Py_ssize_t n = std::min<Py_ssize_t>(PyList_GET_SIZE(arrays.ptr()), static_cast<Py_ssize_t>(names.size()));
  for (Py_ssize_t i = 0; i < n; ++i) named[names[i]] = PyList_GET_ITEM(arrays.ptr(), i);
  return named;
}

PyMethodDef g_predict_def =
    ostrel::fastcall_method<&predict>("predict", "predict($self, /, x=None, **kwargs)\n--\n\n");

// The runtime's table from a precision name to the NumPy element type.
py::dict precision_table() {
  py::object np = py::module_::import("numpy");
  py::dict table;
  const char* rows[][2] = {{"FP32", "float32"}, {"I32", "int32"},  {"FP16", "float16"}, {"I16", "int16"},
                           {"U16", "uint16"},   {"U32", "uint32"}, {"I8", "int8"},      {"U8", "uint8"},
                           {"BOOL", "uint8"},   {"BIN", "int8"},   {"I64", "int64"},    {"U64", "uint64"},
                           {"FP64", "float64"}};
  for (auto& row : rows) table[py::str(row[0])] = np.attr(row[1]);
  return table;
}

}  // namespace

MODTREE_MODULE("frameworks.openvino_inferencer", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  for (const char* name : {"os", "shutil", "tempfile", "ctypes", "sys"})
    m.attr(name) = py::module_::import(name);
  for (const char* name : {"List", "Tuple", "Optional"}) m.attr(name) = import_from("typing", name);
  m.attr("np"_id) = py::module_::import("numpy");
  py::object openvino;
  try {
    openvino = py::module_::import("openvino");
  } catch (py::error_already_set& e) {
    // Without the runtime there is no back-end: the import fails, naming the extra that installs it.
    if (e.matches(PyExc_ImportError))
      e.value().attr("add_note"_id)("The OpenVINO back-end needs the runtime: pip install 'ostrel[openvino]'");
    throw;
  }
  m.attr("format_map"_id) = precision_table();

  py::object version = m.attr("sys"_id).attr("version_info"_id);
  std::string lib =
      "libpython" + ostrel::str(version.attr("major"_id)) + "." + ostrel::str(version.attr("minor"_id)) + "m.so";
  m.attr("_python_lib_name"_id) = py::str(lib);
  try {
    m.attr("ctypes"_id).attr("CDLL"_id)(m.attr("_python_lib_name"_id));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }

  m.attr("Core"_id) = openvino.attr("Core"_id);
  g_runtime_core = py::object(m.attr("Core"_id)).inc_ref();
  m.attr("CompiledModel"_id) = openvino.attr("CompiledModel"_id);
  m.attr("get_openvino_version"_id) = openvino.attr("get_version"_id);
  m.attr("InferenceHardware"_id) = import_from("ostrel", "InferenceHardware");
  m.attr("ModelBenchmarks"_id) =
      import_from("ostrel.common.data_classes.inferencer_benchmark_result", "ModelBenchmarks");
  for (const char* name : {"ModelFrameworkRuntimeError", "ModelValueError", "FailedToLoadCheckpointError"})
    m.attr(name) = import_from("ostrel.common.exceptions", name);
  m.attr("BaseInferencer"_id) = import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr("BENCHMARK_WARMUP_CALLS"_id) =
      import_from("ostrel.frameworks.base_inferencer", "BENCHMARK_WARMUP_CALLS");
  for (const char* name : {"OpenVinoCheckpointPointer", "OpenVinoCheckpointTypes",
                           "unzip_openvino_checkpoint_file", "unpickle_openvino_checkpoint_files"})
    m.attr(name) = import_from("ostrel.frameworks.engines.engine_utils.openvino_checkpoint", name);
  m.attr("FrameworkType"_id) = import_from("ostrel.common.enums.framework_type", "FrameworkType");

  if (g_shared == nullptr) g_shared = py::make_tuple(py::str("share_inputs")).release().ptr();

  py::none none;
  modtree::ClassBuilder cls(m, "OpenVinoInferencer");
  cls.base(m.attr("BaseInferencer"_id));
  cls.def("__init__", &init, py::arg("self"), py::arg("checkpoint_file"),
          py::arg("inference_hardware") = m.attr("InferenceHardware"_id).attr("CPU"_id),
          py::arg("input_dims") = none, py::arg("static_batch_size") = none,
          py::arg("logging_verbosity") = none);
  cls.def("_load_model", &load_model, py::arg("self"));
  cls.def("_assert_loaded_successfully", &assert_loaded_successfully, py::arg("self"));
  cls.def_static("deserialize_file_if_needed", &deserialize_file_if_needed, py::arg("checkpoint_file"));
  cls.def("_get_dimensions_from_graph", &dimensions_from_graph, py::arg("self"));
  cls.def("fetch_model_input_dimensions", &fetch_model_input_dimensions, py::arg("self"));
  cls.def("fetch_model_batch_size", &fetch_model_batch_size, py::arg("self"));
  cls.def("fetch_model_input_dtype", &fetch_model_input_dtype, py::arg("self"));
  cls.def("_declared_inputs", &declared_inputs, py::arg("self"));
  cls.def("load_engine", &load_engine, py::arg("self"), py::arg("xml_path"));
  cls.def("benchmark", &benchmark, py::arg("self"), py::arg("batch_size") = none,
          py::arg("input_dimensions") = none, py::arg("duration_sec") = none, py::arg("repetitions") = none,
          py::arg("warmup_calls") = m.attr("BENCHMARK_WARMUP_CALLS"_id), py::arg("include_io") = true,
          py::arg("dtype") = none);
  cls.attr("predict", modtree::raw_method(&g_predict_def, m));
  cls.def(
      "_dispose_all_resources",
      [](py::object self) { ostrel::delete_instance_resources(self, {"model", kPoolAttribute, "_model_export"}); },
      py::arg("self"));
  cls.def("_get_model_size", &model_size, py::arg("self"));
  cls.def_property("framework_type", [](py::object) { return mod_attr("FrameworkType"_id).attr("OPENVINO"_id); });
  cls.def_property("framework_version", [](py::object) { return mod_attr("get_openvino_version"_id)(); });
  cls.build();
}
