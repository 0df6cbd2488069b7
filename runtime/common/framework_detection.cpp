// Framework detection from marker strings inside a model file. The scan itself is native: one
// pass over the mapped file finds the markers of every candidate at once, without the GIL.
#include <cerrno>
#include <optional>
#include <string>

#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/marker_scan.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;

namespace {

py::handle g_module;

py::object detect_framework(py::object model_path, py::object require_all_strings) {
  if (!PyObject_IsTrue(py::module_::import("os").attr("path").attr("exists")(model_path).ptr()))
    ostrel::raise(g_module.attr("CheckpointFileDoesNotExistError"),
                  "The model file does not exist at " + ostrel::text(model_path));
  std::string path = py::str(py::module_::import("os").attr("fspath")(model_path)).cast<std::string>();
  int all = PyObject_IsTrue(require_all_strings.ptr());
  if (all < 0) throw py::error_already_set();
  std::optional<std::string> found;
  try {
    py::gil_scoped_release release;
    found = ostrel::native::detect_framework(path, all == 1);
  } catch (const ostrel::native::MarkerScanError& e) {
    // A directory (a SavedModel folder) holds no printable text of its own: nothing is detected.
    if (e.code().value() != EISDIR) {
      errno = e.code().value();
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw py::error_already_set();
    }
  }
  py::object print = ostrel::builtin("print");
  if (!found) {
    print("Could not detect framework for ", model_path);
    return py::none();
  }
  py::object framework = g_module.attr("FrameworkType")(*found);
  print("Detected framework for " + ostrel::text(model_path) + ":", framework);
  return framework;
}

}  // namespace

MODTREE_MODULE("common.framework_detection", m) {
  g_module = m.inc_ref();
  m.attr("os") = py::module_::import("os.path");
  m.attr("subprocess") = py::module_::import("subprocess");
  m.attr("FrameworkType") = modtree::import_from("ostrel", "FrameworkType");
  m.attr("CheckpointFileDoesNotExistError") =
      modtree::import_from("ostrel.common.exceptions", "CheckpointFileDoesNotExistError");

  py::dict table;
  for (const auto& entry : ostrel::native::framework_marker_table()) {
    py::list markers;
    for (const auto& marker : entry.markers) markers.append(marker);
    table[m.attr("FrameworkType")(entry.framework)] = markers;
  }
  modtree::ClassBuilder(m, "FrameworkDetector")
      .attr("FRAMEWORKS_TO_MAGIC_STRINGS_MAPPING", table)
      .def_static("detect_framework", &detect_framework, py::arg("model_path"),
                  py::arg("require_all_strings") = false)
      .build();
}
