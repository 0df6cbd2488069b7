// Helpers shared by the conformance check modules: unittest classes whose checks are C++ functions,
// assertions made through the running TestCase, and sample fetching from the samples address.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <source_location>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "bindings/names.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace ostrel::conformance {

namespace py = pybind11;

// `self.<assertion>(args...)`: every verdict of a check goes through the TestCase, so failures carry
// unittest's own messages and hold under `python -O`.
template <class... A>
void expect(py::handle self, const char* assertion, A&&... args) {
  self.attr(assertion)(static_cast<std::decay_t<A>>(args)...);
}

// `self.fail(message)`.
[[noreturn]] void fail(py::handle self, const std::string& message);

// `with self.assertRaises(cls): body()`. The exception `body` raises is handed to the context's
// `__exit__`; one of another class propagates unchanged, and a body that returns fails the check.
void expect_raises(py::handle self, py::handle cls, const std::function<void()>& body);

// True when the Python error `e` is an instance of `cls`.
inline bool is(const py::error_already_set& e, py::handle cls) { return e.matches(cls); }

// `np.testing.assert_allclose(actual, expected, atol=atol)`, failing through the TestCase with
// NumPy's description of the difference prefixed by `what`.
void expect_allclose(py::handle self, py::handle actual, py::handle expected, double atol, const std::string& what);

// The path of a sample's local copy: `name` in the system's temporary folder.
// Benchmarks given neither a duration nor a repetition count run for `seconds` until the check `self`
// ends; the module's value is put back by the check's clean-up.
void shorten_benchmarks(py::handle self, py::object seconds);

std::string temp_path(const char* name);

// Base address of the sample files, as the download utilities give it: $OSTREL_SAMPLES_URL, else the
// file:// address of $OSTREL_SAMPLES_DIR (default: .samples in the working directory).
std::string samples_base_url();

// Fetches `url` (the sample `key` of a samples address) to `dest`, replacing any file there. A download
// that fails raises RuntimeError naming the sample, the address tried and how to make the samples, with
// the download error as its cause: a missing sample is a broken set-up, never a skipped check.
void fetch_url(const std::string& url, const std::string& key, const std::string& dest);

// Fetches the sample stored under `key` ("/return_model_input.onnx") of the samples address to `dest`.
void fetch_sample(const char* key, const std::string& dest);

// A function `name(self)` of the module `module` that calls `impl(self)`, with `doc` as its description.
// Its code object carries the C++ file and line of `where`, so a traceback through it points at the
// check's source; an error leaving it gets a note naming the check (`qualname`), the back-end (`backend`,
// else the name of the instance's `inferencer_type`) and that place.
py::object check_function(py::object impl, const char* name, const std::string& qualname, py::handle module,
                          const char* doc, const std::string& backend = "",
                          std::source_location where = std::source_location::current());

// A unittest check class whose members are C++ functions taking the instance.
class CheckClass : public modtree::ClassBuilder {
 public:
  CheckClass(py::handle module, std::string name) : modtree::ClassBuilder(module, name), module_(module), name_(name) {}

  // A method of the instance alone; `doc` is the description the runner shows at high verbosity. It is
  // a plain function object, as unittest's loader and runners expect of a check (naming one check,
  // `module.Class.test_name`, needs a function).
  CheckClass& method(const char* name, std::function<void(py::object)> body, const char* doc = "",
                     std::source_location where = std::source_location::current()) {
    attr(name, check_function(py::cpp_function([body](py::object self) { body(self); }, py::arg("self")), name,
                              class_name() + "." + name, module(), doc, "", where));
    return *this;
  }
  // A method returning a value.
  CheckClass& method_returning(const char* name, std::function<py::object(py::object)> body, const char* doc = "") {
    def(name, [body](py::object self) { return body(self); }, py::arg("self"), doc);
    return *this;
  }
  // A class method of the class alone.
  CheckClass& class_method(const char* name, std::function<void(py::object)> body) {
    def_classmethod(name, [body](py::object cls) { body(cls); }, py::arg("cls"));
    return *this;
  }
  const std::string& class_name() const { return name_; }
  py::handle module() const { return module_; }

 private:
  py::handle module_;
  std::string name_;

 public:
  CheckClass& base_of(py::handle b) {
    base(b);
    return *this;
  }
};

// One per-framework check class over the conformance base: its sample, its knobs and its inferencer.
struct FrameworkChecks {
  const char* class_name;
  const char* backend_module;   // "ostrel.frameworks.onnx_inferencer"
  const char* inferencer_name;  // "OnnxInferencer"
  const char* sample_key;       // "/return_model_input.onnx"
  const char* local_name;       // "return_model_input.onnx" in the temporary folder
  // Sets the class's knobs after the base set-up (the instance, the module).
  std::function<void(py::object, py::module_&)> knobs;
  // Builds the inferencer under check; empty: the inferencer class with checkpoint_file,
  // inference_hardware CPU and input_dims.
  std::function<py::object(py::object, py::module_&)> create;
};

// Imports the back-end's inferencer class and the conformance base into `m` and starts the class:
// bases (AbstractInferencerTest, TestCase), setUpClass fetching the sample, setUp and
// create_inferencer. The caller adds its own checks and builds it.
CheckClass framework_class(py::module_& m, const FrameworkChecks& spec);

// Gives `unittest` this module's own check classes only, not the conformance base it imports: the
// module's `load_tests` hook, read by the loader and by `unittest.main`.
void load_own_tests(py::module_& m, std::vector<std::string> class_names);

// `np.ones((1, *dims)).astype(dtype)` for the first entry of `input_dims`.
py::object ones_for_first_input(py::handle input_dims, py::handle dtype);

}  // namespace ostrel::conformance
