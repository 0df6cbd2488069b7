// Framework detection from marker strings inside a model file. The scan itself is native: one pass over
// the file finds the markers of every candidate at once, without the GIL. The table is read from the class
// on every call (callers may change it); its compiled form is kept per distinct content. When no entry
// matches, the file's own structure is checked for the formats that current exporters write without any
// of the markers.
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/format_probe.hpp"
#include "native/marker_scan.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/lazy_modules.hpp"

namespace py = pybind11;
using ostrel::native::CompiledTable;
using ostrel::native::FrameworkMarkers;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module
py::handle g_detector;  // the FrameworkDetector class, whose table is read on every call

struct TableKey {
  std::vector<FrameworkMarkers> table;
  bool require_all_strings;
  bool operator<(const TableKey& other) const {
    auto tie = [](const TableKey& k) {
      std::vector<std::tuple<const std::string&, const std::vector<std::string>&>> rows;
      for (const auto& e : k.table) rows.emplace_back(e.framework, e.markers);
      return std::make_tuple(k.require_all_strings, rows);
    };
    return tie(*this) < tie(other);
  }
};

// Compiled tables by content. Touched with the GIL held only; a table in use stays alive through its
// shared pointer when the cache is cleared meanwhile.
std::map<TableKey, std::shared_ptr<const CompiledTable>>& compiled_tables() {
  static auto* cache = new std::map<TableKey, std::shared_ptr<const CompiledTable>>();
  return *cache;
}
constexpr std::size_t kMaxCompiledTables = 16;

// The detection table as the class holds it now: its keys, and the markers of each in order.
std::shared_ptr<const CompiledTable> current_table(bool require_all_strings, std::vector<py::object>& keys) {
  py::object mapping = g_detector.attr("FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING");
  TableKey key{{}, require_all_strings};
  for (py::handle item : mapping.attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    FrameworkMarkers entry;
    entry.framework = ostrel::text(pair[0]);
    for (py::handle marker : pair[1]) {
      if (!py::isinstance<py::str>(marker))
        ostrel::raise(ostrel::builtin("TypeError"), "marker strings must be str, not " +
                                                        ostrel::str(py::type::of(marker).attr("__name__")) +
                                                        " (framework " + entry.framework + ")");
      entry.markers.push_back(marker.cast<std::string>());
    }
    keys.push_back(py::reinterpret_borrow<py::object>(pair[0]));
    key.table.push_back(std::move(entry));
  }
  auto& cache = compiled_tables();
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  auto compiled =
      std::make_shared<const CompiledTable>(key.table, require_all_strings);  // ValueError if invalid
  if (cache.size() >= kMaxCompiledTables) cache.clear();
  cache.emplace(std::move(key), compiled);
  return compiled;
}

// Raised from the scan's interrupt check after a signal handler raised: the Python error is already set.
struct Interrupted {};

[[noreturn]] void raise_os_error(int code, const std::string& message, const py::bytes& path) {
  py::object filename = py::module_::import("os").attr("fsdecode")(path);
  PyErr_SetObject(PyExc_OSError, py::make_tuple(code, message, filename).ptr());
  throw py::error_already_set();
}

// The text of the path for messages. A str holding undecodable bytes (surrogate escapes, as os.listdir
// gives them) shows those bytes as \xNN, so that printing it cannot fail.
py::str path_text(py::handle model_path) {
  py::str text = ostrel::builtin("format")(model_path);
  try {
    text.attr("encode")("utf-8");
  } catch (const py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeEncodeError)) throw;
    return text.attr("encode")("utf-8", "surrogateescape").attr("decode")("utf-8", "backslashreplace");
  }
  return text;
}

py::object detect_framework(py::object model_path, py::object require_all_strings) {
  py::module_ os = py::module_::import("os");
  const int exists = PyObject_IsTrue(os.attr("path").attr("exists")(model_path).ptr());
  if (exists < 0) throw py::error_already_set();
  if (exists == 0)
    ostrel::raise(mod_attr("CheckpointFileDoesNotExistError"),
                  py::str("The model file does not exist at ") + path_text(model_path));
  const py::bytes encoded = os.attr("fsencode")(model_path);  // str with undecodable bytes, bytes, PathLike
  const std::string path = encoded;
  int all = PyObject_IsTrue(require_all_strings.ptr());
  if (all < 0) throw py::error_already_set();
  std::vector<py::object> keys;
  const std::shared_ptr<const CompiledTable> table = current_table(all == 1, keys);

  ostrel::native::FileScanOptions options;
  options.check_interrupt = [] {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw Interrupted{};
  };
  std::optional<std::size_t> index;
  std::optional<std::string> probed;
  try {
    py::gil_scoped_release release;
    try {
      index = table->detect(path, options);
      if (!index) probed = ostrel::native::probe_model_format(path);
    } catch (const ostrel::native::MarkerScanError& e) {
      // A directory (a SavedModel folder) holds no printable text of its own: nothing is detected.
      if (e.code().value() != EISDIR) throw;
    }
  } catch (const Interrupted&) {
    throw py::error_already_set();
  } catch (const ostrel::native::NotRegularFileError&) {
    raise_os_error(EINVAL, "Not a regular file: only a model file can be read for detection", encoded);
  } catch (const ostrel::native::MarkerScanError& e) {
    errno = e.code().value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, os.attr("fsdecode")(encoded).ptr());
    throw py::error_already_set();
  }

  py::object framework;
  if (index) {
    framework = keys[*index];
  } else if (probed) {
    framework = mod_attr("FrameworkType")(*probed);
  }
  py::object print = ostrel::builtin("print");
  if (!framework) {
    print("Could not detect framework for ", path_text(model_path));
    return py::none();
  }
  print(py::str("Detected framework for ") + path_text(model_path) + py::str(":"), framework);
  return framework;
}

}  // namespace

MODTREE_MODULE("common.framework_detection", m) {
  mod_attr.bind(m);
  // Public module names that detection itself does not use: `os` is os.path under that name, and
  // `subprocess` loads when first read.
  m.attr("os") = py::module_::import("os.path");
  ostrel::lazy_module_attributes(m, {"subprocess"});
  m.attr("FrameworkType") = modtree::import_from("ostrel", "FrameworkType");
  m.attr("CheckpointFileDoesNotExistError") =
      modtree::import_from("ostrel.common.exceptions", "CheckpointFileDoesNotExistError");

  py::dict table;
  for (const auto& entry : ostrel::native::framework_marker_table()) {
    py::list markers;
    for (const auto& marker : entry.markers) markers.append(marker);
    table[m.attr("FrameworkType")(entry.framework)] = markers;
  }
  g_detector = modtree::ClassBuilder(m, "FrameworkDetector")
                   .attr("FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING", table)
                   .def_static("detect_framework", &detect_framework, py::arg("model_path"),
                               py::arg("require_all_strings") = false)
                   .build()
                   .release();
}
