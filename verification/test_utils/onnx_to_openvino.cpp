// Producer of pickled OpenVINO checkpoints: an IR model (".xml" with its ".bin" and an optional
// ".mapping" beside it) becomes one ".pkl" file of consecutive pickle records: the encrypted network
// description, the weights and, when not empty, the mapping text.
#include <pybind11/pybind11.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/values.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kDemoModel = "/examples/models/Mac/resnet50_1/resnet50_batchsize_64.xml";
constexpr int kPickleProtocol = 4;

// Writes `records` as consecutive pickles to `target` through a temporary file beside it, renamed into
// place only when everything is written; nothing is left behind on failure.
void write_records(const py::module_& m, const std::string& target, const py::list& records) {
  py::object os = m.attr("os");
  py::object directory = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(target));
  py::object name = os.attr("path").attr("basename")(target);
  py::tuple made =
      m.attr("tempfile")
          .attr("mkstemp")(py::arg("dir") = directory, py::arg("prefix") = "." + ostrel::str(name) + ".",
                           py::arg("suffix") = ".tmp");
  py::object partial = made[1];
  try {
    ostrel::OpenFile f(os.attr("fdopen")(made[0], "wb"));
    for (py::handle record : records) m.attr("pickle").attr("dump")(record, *f, kPickleProtocol);
    f->attr("flush")();
    os.attr("fsync")(f->attr("fileno")());
    f.close();
    // mkstemp makes the file private; the checkpoint gets the mode of any new file.
    py::object mask = os.attr("umask")(0);
    os.attr("umask")(mask);
    os.attr("chmod")(partial, py::int_(0666 & ~mask.cast<int>()));
    os.attr("replace")(partial, target);
  } catch (...) {
    try {
      os.attr("unlink")(partial);
    } catch (py::error_already_set&) {
    }
    throw;
  }
}

py::object pickle_openvino_checkpoint_files(const py::module_& m, py::object xml_path) {
  try {
    const std::string xml = py::str(m.attr("os").attr("fspath")(xml_path));
    const std::string suffix = ".xml";
    if (xml.size() <= suffix.size() || xml.compare(xml.size() - suffix.size(), suffix.size(), suffix) != 0)
      ostrel::raise(PyExc_ValueError, "the network description must be a file ending in \".xml\"");
    const std::string stem = xml.substr(0, xml.size() - suffix.size());
    const std::string bin_path = stem + ".bin", map_path = stem + ".mapping", new_file_path = stem + ".pkl";

    py::object et = m.attr("ET");
    py::object root = et.attr("parse")(xml).attr("getroot")();
    py::object description =
        et.attr("tostring")(root, py::arg("encoding") = "utf8", py::arg("method") = "xml");
    py::object token = m.attr("FilesDataInterface").attr("encrypt_file")(description);
    py::object weights = ostrel::read_file(py::str(bin_path));
    py::object mapping = py::none();
    try {
      mapping = ostrel::read_file(py::str(map_path), "r");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_FileNotFoundError)) throw;
    }

    py::list records;
    records.append(token);
    records.append(weights);
    if (!mapping.is_none() && py::len(mapping) > 0) records.append(mapping.attr("encode")("utf-8"));
    write_records(m, new_file_path, records);
    return py::str(new_file_path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::object error = ostrel::builtin("Exception")("failed to pickle file " + ostrel::text(xml_path) +
                                                    ", err: " + ostrel::str(e.value()));
    ostrel::raise_from(error, e.value());
  }
}

// Loads the checkpoint made from `xml_path` and predicts once on an input of the model's own shape.
void demonstrate(const py::module_& m) {
  py::object xml_path = m.attr("os").attr("environ").attr("get")("OSTREL_OPENVINO_DEMO_MODEL", kDemoModel);
  py::object checkpoint = m.attr("pickle_openvino_checkpoint_files")(xml_path);
  py::object inferencer_class =
      modtree::import_from("ostrel.frameworks.openvino_inferencer", "OpenVinoInferencer");
  py::object inferencer = inferencer_class(checkpoint);
  py::object np = m.attr("np");
  py::object dims = inferencer.attr("_input_dims");
  py::object batch = inferencer.attr("_static_batch_size");
  if (dims.is_none())
    throw py::value_error("the model does not state its input shape: " + ostrel::str(xml_path));
  py::object first = dims;
  if (py::len(dims) > 0 && py::isinstance<py::tuple>(dims[py::int_(0)])) first = dims[py::int_(0)];
  py::list shape;
  shape.append(batch.is_none() || !batch.cast<bool>() ? py::int_(1) : batch);
  for (py::handle d : first) shape.append(d);
  py::object x = np.attr("random").attr("rand")(*py::tuple(shape)).attr("astype")(np.attr("float32"));
  py::list outputs = inferencer.attr("predict")(x);
  py::print("Ran inference successfully, model output:", ostrel::str(outputs[0].attr("shape")));
}

}  // namespace

MODTREE_MODULE("test_utils.onnx_to_openvino", m) {
  m.attr("pickle") = py::module_::import("pickle");
  m.attr("ET") = py::module_::import("xml.etree.ElementTree");
  m.attr("np") = py::module_::import("numpy");
  m.attr("os") = py::module_::import("os");
  m.attr("tempfile") = py::module_::import("tempfile");
  m.attr("FilesDataInterface") =
      modtree::import_from("ostrel.common.data_interface.files_data_interface", "FilesDataInterface");

  m.def(
      "pickle_openvino_checkpoint_files",
      [m](py::object xml_path) { return pickle_openvino_checkpoint_files(m, xml_path); }, py::arg("xml_path"),
      "Writes the pickled checkpoint of the IR model `xml_path` (\".bin\" beside it, \".mapping\" optional)\n"
      "to the same path ending in \".pkl\" and returns that path. The network description is encrypted.");

  if (modtree::running_as_main(m)) demonstrate(m);
}
