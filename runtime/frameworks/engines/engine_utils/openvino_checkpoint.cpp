// OpenVINO checkpoints: the three forms (a plain ".xml" with its ".bin" beside it, a pickled ".pkl" and
// a zipped ".zip"), the checkpoint pointer resolved from a path, and the unpacking of the two packed
// forms into a fresh temporary folder.
//
// Pickled checkpoints are read with the restricted record reader of native/pickle_reader: only plain
// data is accepted, so a record that names a global fails and nothing in the file is ever run, and a file
// that shrinks while it is read fails as truncated. Zipped checkpoints are extracted with
// FilesDataInterface's safe extraction, which refuses members that would land outside the folder. An
// unpacking that fails in any way, an interrupt or a SIGTERM included, removes the folder it made; a
// successful one hands it to the caller. Files that are not regular (a FIFO, a device) are refused before
// they are opened.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/signals.hpp"
#include "bindings/values.hpp"
#include "bindings/with_block.hpp"
#include "modtree/args.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/archive.hpp"
#include "runtime/backend_support.hpp"
#include "runtime/checkpoint_files.hpp"
#include "runtime/enum_members.hpp"

namespace py = pybind11;
using ostrel::raise;

namespace {

ostrel::ModuleAttributes mod_attr;  // this module

constexpr const char* kNoSuffix =
    "OpenVino checkpoints should have a valid file suffix in order to load them properly. Please add a "
    "suffix to the checkpoint file.";

// ---- checkpoint pointer ----------------------------------------------------------------------------

py::dict pointer_from_path(py::object file_path) {
  std::string suffix = ostrel::str(mod_attr("Path")(file_path).attr("suffix"));
  if (suffix.empty()) raise(mod_attr("OpenVinoCheckpointTypeResolutionError"), kNoSuffix);
  py::str type_text(suffix.substr(suffix.rfind('.') + 1));
  py::object types = mod_attr("OpenVinoCheckpointTypes");
  try {
    ostrel::enum_member(types, type_text);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    py::list values;
    for (py::handle member : types) values.append(member.attr("value"));
    ostrel::raise_from(ostrel::builtin("Exception")(
                           "The file type is not supported for OpenVino: " + ostrel::str(file_path) +
                           ". Please use one of " + ostrel::str(py::repr(values))),
                       e.value());
  }
  py::dict pointer;
  pointer["checkpoint_path"] = file_path;
  pointer["type"] = type_text;
  return pointer;
}

// Removes a folder this module has just made, after a failure; a failure to remove it is not reported
// over the original error. The removal is native: no Python code runs, so a further Ctrl-C cannot cut
// it short.
void remove_new_folder(py::object folder) {
  if (!folder) return;
  modtree::SavedError in_flight;
  try {
    const std::string name = ostrel::fs_bytes(folder);
    py::gil_scoped_release unlocked;
    ostrel::native::remove_tree(name);
  } catch (const std::exception&) {
  }
  in_flight.restore();
}

void write_bytes(py::object data, py::object path) {
  mod_attr("FilesDataInterface").attr("save_bytes_to_file")(data, path);
}

// The next record, which holds bytes; a record of another type fails by its type alone, before anything
// could print it whole.
py::object bytes_record(ostrel::CheckpointRecords& records, int number) {
  py::object record = records.next();
  if (!PyBytes_Check(record.ptr()) && !PyByteArray_Check(record.ptr()))
    raise(PyExc_TypeError, "record " + std::to_string(number) + " of the checkpoint is a " +
                               ostrel::str(py::type::of(record).attr("__name__")) + ", not bytes");
  return record;
}

// The record as read (bytes_record), or None at the end of the data.
py::object next_record(ostrel::CheckpointRecords& records, int number) {
  try {
    return bytes_record(records, number);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_EOFError)) throw;
    return py::object();
  }
}

py::object unpickle_checkpoint(py::object pkl_file) {
  const ostrel::TerminationAsInterrupt termination;
  ostrel::OpenFile file = ostrel::open_regular(pkl_file);  // its errors pass unchanged
  py::object folder;
  try {
    py::object os_path = mod_attr("os").attr("path");
    py::object tail = os_path.attr("split")(ostrel::fs_path(pkl_file))[py::int_(1)];
    py::dict prefix;
    prefix["prefix"] = "unpickle_";
    folder = mod_attr("tempfile").attr("mkdtemp")(**prefix);
    // Text with the file system's bytes kept (surrogate escapes): the name may not be UTF-8.
    py::str stem = os_path.attr("splitext")(os_path.attr("join")(folder, tail))[py::int_(0)];

    ostrel::CheckpointRecords records(*file, mod_attr("FailedToLoadCheckpointError"));
    py::object description = bytes_record(records, 1);
    py::object xml;
    try {
      xml = mod_attr("FilesDataInterface").attr("decrypt_file")(description);
    } catch (py::error_already_set& e) {
      if (!e.matches(mod_attr("FileIsNotEncryptedError"))) throw;
      xml = description;  // plain XML, or a token made under another key
    }
    write_bytes(xml, stem + py::str(".xml"));
    write_bytes(bytes_record(records, 2), stem + py::str(".bin"));
    py::object mapping = next_record(records, 3);
    if (mapping) write_bytes(mapping, stem + py::str(".mapping"));
    file.close();
    termination.check();
    return stem + py::str(".xml");
  } catch (py::error_already_set& e) {
    remove_new_folder(folder);  // whatever the failure, interrupts included
    if (!e.matches(PyExc_Exception)) throw;
    ostrel::raise_from(ostrel::builtin("Exception")("failed to unpickle file " + ostrel::str(pkl_file) +
                                                    ", err: " + ostrel::str(e.value())),
                       e.value());
  } catch (...) {
    remove_new_folder(folder);
    throw;
  }
}

// ---- zipped checkpoints -----------------------------------------------------------------------------

// The path of member `name` in `folder`, normalised; a name that would lead outside the folder fails.
py::object member_path(py::object folder, py::object name) {
  py::object os_path = mod_attr("os").attr("path");
  py::object path = os_path.attr("normpath")(os_path.attr("join")(folder, name));
  py::object real_folder = os_path.attr("realpath")(folder);
  py::object real_path = os_path.attr("realpath")(path);
  py::list both;
  both.append(real_folder);
  both.append(real_path);
  if (!real_path.equal(real_folder) && os_path.attr("commonpath")(both).equal(real_folder)) return path;
  raise(PyExc_ValueError,
        "The xml member " + ostrel::str(py::repr(name)) + " lies outside the extraction folder");
}

py::object unzip_checkpoint(py::object path) {
  const ostrel::TerminationAsInterrupt termination;
  py::object folder;
  try {
    ostrel::refuse_non_regular(path);
    py::dict prefix;
    prefix["prefix"] = "checkpoints_";
    folder = mod_attr("tempfile").attr("mkdtemp")(**prefix);
    py::object archive = mod_attr("zipfile").attr("ZipFile")(path, "r");
    py::list names;
    ostrel::with_block(archive, [&] { names = archive.attr("namelist")(); });
    mod_attr("FilesDataInterface")
        .attr("_extract_zip_file")(py::arg("source_path") = path, py::arg("destination_path") = folder);
    py::object chosen = py::str("");
    for (py::handle name : names)
      if (name.attr("endswith")(".xml").cast<bool>()) chosen = py::reinterpret_borrow<py::object>(name);
    if (py::len(chosen) == 0)
      raise(PyExc_ValueError, "No xml file was found in openvino_checkpoint zip " + ostrel::str(path));
    py::object xml = member_path(folder, chosen);
    termination.check();
    return xml;
  } catch (py::error_already_set& e) {
    remove_new_folder(folder);  // whatever the failure, interrupts included
    if (!e.matches(PyExc_Exception)) throw;
    // The safe extractor reports with our own prefix already; its cause is the archive's error.
    py::object caught = e.value();
    if (e.matches(mod_attr("CorruptedSavedModelZipError"))) {
      py::object cause = caught.attr("__cause__");
      if (!cause.is_none()) caught = cause;
    }
    ostrel::raise_from(ostrel::builtin("Exception")("Failed to extract file from zip " + ostrel::str(path) +
                                                    ", err: " + ostrel::str(caught)),
                       caught);
  } catch (...) {
    remove_new_folder(folder);
    throw;
  }
}

}  // namespace

MODTREE_MODULE("frameworks.engines.engine_utils.openvino_checkpoint", m) {
  mod_attr.bind(m);
  using modtree::import_from;
  for (const char* name : {"os", "pickle", "tempfile", "zipfile"}) m.attr(name) = py::module_::import(name);
  m.attr("Enum") = import_from("enum", "Enum");
  m.attr("Path") = import_from("pathlib", "Path");
  m.attr("Schema") = import_from("ostrel.common.abstractions.schema", "Schema");
  for (const char* name : {"FilesDataInterface", "FileIsNotEncryptedError"})
    m.attr(name) = import_from("ostrel.common.data_interface.files_data_interface", name);
  m.attr("CorruptedSavedModelZipError") =
      import_from("ostrel.common.exceptions", "CorruptedSavedModelZipError");
  m.attr("FailedToLoadCheckpointError") =
      import_from("ostrel.common.exceptions", "FailedToLoadCheckpointError");

  modtree::ClassBuilder types(m, "OpenVinoCheckpointTypes");
  types.base(ostrel::builtin("str")).base(m.attr("Enum"));
  types.attr("ZIP", py::str("zip")).attr("PICKLE", py::str("pkl")).attr("XML", py::str("xml"));
  types.def(
      "__format__",
      [](py::object self, py::object spec) { return py::str(self.attr("_value_")).format(spec); },
      py::arg("self"), py::arg("format_spec"));
  py::object Types = types.build();

  modtree::ClassBuilder(m, "OpenVinoCheckpointTypeResolutionError")
      .base(ostrel::builtin("Exception"))
      .build();

  py::object pointer = modtree::ClassBuilder(m, "OpenVinoCheckpointPointer")
                           .base(m.attr("Schema"))
                           .field("checkpoint_path", ostrel::builtin("str"))
                           .field("type", Types, Types.attr("XML"))
                           .build();
  py::cpp_function factory{&pointer_from_path, py::name("get_openvino_checkpoint_pointer_from_path"),
                           py::arg("file_path")};
  pointer.attr("get_openvino_checkpoint_pointer_from_path") = ostrel::builtin("staticmethod")(
      modtree::python_function(std::move(factory), "get_openvino_checkpoint_pointer_from_path"));

  m.attr("unpickle_openvino_checkpoint_files") = modtree::python_function(
      py::cpp_function(&unpickle_checkpoint, py::name("unpickle_openvino_checkpoint_files"),
                       py::arg("pkl_file")),
      "unpickle_openvino_checkpoint_files");
  m.attr("unzip_openvino_checkpoint_file") =
      modtree::python_function(py::cpp_function(&unzip_checkpoint, py::name("unzip_openvino_checkpoint_file"),
                                                py::arg("openvino_checkpoint_file_path")),
                               "unzip_openvino_checkpoint_file");
}
