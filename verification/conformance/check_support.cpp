#include "verification/conformance/check_support.hpp"
#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"

namespace ostrel::conformance {

void fail(py::handle self, const std::string& message) {
  self.attr("fail")(message);
  // fail() always raises; reaching here means a TestCase that does not.
  throw std::logic_error("TestCase.fail returned");
}

void expect_raises(py::handle self, py::handle cls, const std::function<void()>& body) {
  ostrel::with_block(self.attr("assertRaises")(cls), body);
}

void expect_allclose(py::handle self, py::handle actual, py::handle expected, double atol, const std::string& what) {
  py::object testing = py::module_::import("numpy.testing");
  try {
    testing.attr("assert_allclose")(actual, expected, py::arg("atol") = atol);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_AssertionError)) throw;
    fail(self, what + " differs from the expected output:" + str(e.value()));
  }
}

void shorten_benchmarks(py::handle self, py::object seconds) {
  py::module_ base = py::module_::import("ostrel.frameworks.base_inferencer");
  self.attr("addCleanup")(ostrel::builtin("setattr"), base, "BENCHMARK_DURATION", base.attr("BENCHMARK_DURATION"));
  base.attr("BENCHMARK_DURATION") = seconds;
}

std::string temp_path(const char* name) {
  py::object dir = py::module_::import("tempfile").attr("gettempdir")();
  return str(py::module_::import("os.path").attr("join")(dir, name));
}

std::string samples_base_url() {
  return str(modtree::import_from("tests.test_utils.downloads_helpers", "sample_base_url")());
}

void fetch_url(const std::string& url, const std::string& key, const std::string& dest) {
  try {
    py::module_::import("urllib.request").attr("urlretrieve")(url, dest);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::object error = ostrel::builtin("RuntimeError")(
        "sample " + key + " could not be fetched from " + url + " (" + str(e.value()) +
        "); make the samples with `make fixtures`, or point OSTREL_SAMPLES_DIR or OSTREL_SAMPLES_URL at a "
        "folder or address that holds them");
    raise_from(error, e.value());
  }
}

void fetch_sample(const char* key, const std::string& dest) {
  std::string base = samples_base_url();
  while (!base.empty() && base.back() == '/') base.pop_back();
  fetch_url(base + key, key, dest);
}

namespace {

// The source path from the package's top folder on ("verification/..."), as a reader finds it.
std::string source_path(const char* file) {
  std::string path = file;
  const std::size_t at = path.rfind("verification/");
  return at == std::string::npos ? path : path.substr(at);
}

}  // namespace

py::object check_function(py::object impl, const char* name, const std::string& qualname, py::handle module,
                          const char* doc, const std::string& backend, std::source_location where) {
  const std::string file = source_path(where.file_name());
  const std::string place = file + ":" + std::to_string(where.line());
  py::object run = py::cpp_function(
      [impl, qualname, backend, place](py::object self) -> py::object {
        try {
          return impl(self);
        } catch (py::error_already_set& e) {
          std::string on = backend;
          if (on.empty() && py::hasattr(self, "inferencer_type"))
            on = str(py::getattr(self.attr("inferencer_type"), "__name__", self.attr("inferencer_type")));
          std::string note = "in check " + str(py::type::of(self).attr("__name__")) + "." +
                             qualname.substr(qualname.rfind('.') + 1);
          if (!on.empty()) note += " of the " + on + " back-end";
          note += ", at " + place;
          if (e.value() && py::hasattr(e.value(), "add_note")) e.value().attr("add_note")(note);
          throw;
        }
      },
      py::arg("self"));
  py::dict scope;
  scope["_check"] = run;
  // The definition stands on the check's own line, so the traceback shows the C++ file and line.
  std::string source = std::string(where.line() > 1 ? where.line() - 1 : 0, '\n') + "def " + name +
                       "(self): return _check(self)\n";
  py::object code = builtin("compile")(source, file, "exec");
  builtin("exec")(code, scope);
  py::object fn = scope[name];
  fn.attr("__qualname__") = qualname;
  fn.attr("__module__") = module.attr("__name__");
  fn.attr("__doc__") = *doc != '\0' ? py::object(py::str(doc)) : py::object(py::none());
  return fn;
}

void load_own_tests(py::module_& m, std::vector<std::string> class_names) {
  m.def(
      "load_tests",
      [m, class_names](py::object loader, py::object /*standard_tests*/, py::object /*pattern*/) {
        py::object suite = py::module_::import("unittest").attr("TestSuite")();
        for (const auto& name : class_names)
          suite.attr("addTests")(loader.attr("loadTestsFromTestCase")(m.attr(name.c_str())));
        return suite;
      },
      py::arg("loader"), py::arg("standard_tests"), py::arg("pattern"),
      "The module's own check classes, without the conformance base it imports.");
}

py::object ones_for_first_input(py::handle input_dims, py::handle dtype) {
  py::object np = py::module_::import("numpy");
  py::tuple dims = py::tuple(input_dims[py::int_(0)]);
  py::tuple shape(dims.size() + 1);
  shape[0] = py::int_(1);
  for (size_t i = 0; i < dims.size(); ++i) shape[i + 1] = dims[i];
  return np.attr("ones")(shape).attr("astype")(dtype);
}

CheckClass framework_class(py::module_& m, const FrameworkChecks& spec) {
  m.attr("np") = py::module_::import("numpy");
  m.attr("urlretrieve") = modtree::import_from("urllib.request", "urlretrieve");
  m.attr("TestCase") = modtree::import_from("unittest", "TestCase");
  m.attr("InferenceHardware") = modtree::import_from("ostrel", "InferenceHardware");
  m.attr("BaseInferencer") = modtree::import_from("ostrel.frameworks.base_inferencer", "BaseInferencer");
  m.attr(spec.inferencer_name) = modtree::import_from(spec.backend_module, spec.inferencer_name);
  m.attr("AbstractInferencerTest") =
      modtree::import_from("tests.unit_tests.test_inferencers.test_abstract_inferencer", "AbstractInferencerTest");

  load_own_tests(m, {spec.class_name});
  CheckClass cls(m, spec.class_name);
  cls.base_of(m.attr("AbstractInferencerTest")).base_of(m.attr("TestCase"));
  std::string key = spec.sample_key;
  std::string local = spec.local_name;
  cls.class_method("setUpClass", [key, local](py::object klass) {
    std::string path = temp_path(local.c_str());
    fetch_sample(key.c_str(), path);
    klass.attr("checkpoint_file") = path;
  });
  std::string name = spec.class_name;
  std::string inferencer = spec.inferencer_name;
  auto knobs = spec.knobs;
  cls.method("setUp", [m, name, inferencer, knobs](py::object self) mutable {
    py::object base = m.attr("AbstractInferencerTest");
    base.attr("setUp")(self);
    self.attr("inferencer_type") = m.attr(inferencer.c_str());
    knobs(self, m);
  });
  auto create = spec.create;
  cls.method_returning("create_inferencer", [m, inferencer, create](py::object self) mutable -> py::object {
    if (create) return create(self, m);
    return m.attr(inferencer.c_str())(py::arg("checkpoint_file") = self.attr("checkpoint_file"),
                                       py::arg("inference_hardware") = m.attr("InferenceHardware").attr("CPU"),
                                       py::arg("input_dims") = self.attr("input_dims"));
  });
  return cls;
}

}  // namespace ostrel::conformance
