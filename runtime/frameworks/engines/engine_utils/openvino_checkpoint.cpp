// OpenVINO checkpoints: the three forms (a plain ".xml" with its ".bin" beside it, a pickled ".pkl" and
// a zipped ".zip"), the checkpoint pointer resolved from a path, and the unpacking of the two packed
// forms into a fresh temporary folder.
//
// Pickled checkpoints are read with the restricted record reader of native/pickle_reader: only plain
// data is accepted, so a record that names a global fails and nothing in the file is ever run. Zipped
// checkpoints are extracted with FilesDataInterface's safe extraction, which refuses members that would
// land outside the folder. A failed unpacking removes the folder it made; a successful one hands it to
// the caller.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "modtree/args.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/pickle_reader.hpp"
#include "runtime/pyhelpers.hpp"

namespace py = pybind11;
using ostrel::raise;

namespace {

py::handle g_module;

py::object mod_attr(const char* name) { return g_module.attr(name); }

constexpr const char* kNoSuffix =
    "OpenVino checkpoints should have a valid file suffix in order to load them properly. Please add a "
    "suffix to the checkpoint file.";

// ---- checkpoint pointer ----------------------------------------------------------------------------

py::dict pointer_from_path(py::object file_path) {
  std::string suffix = py::str(mod_attr("Path")(file_path).attr("suffix"));
  if (suffix.empty()) raise(mod_attr("OpenVinoCheckpointTypeResolutionError"), kNoSuffix);
  py::str type_text(suffix.substr(suffix.rfind('.') + 1));
  py::object types = mod_attr("OpenVinoCheckpointTypes");
  try {
    types(type_text);
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

// ---- restricted records -----------------------------------------------------------------------------

using native_node = ostrel::native::PickleNode;

// Python objects for the nodes of one record. Containers are made empty and remembered before their
// items, so a container that holds itself through the memo comes out as such.
class RecordBuilder {
 public:
  explicit RecordBuilder(const ostrel::native::PickleRecord& record)
      : record_(record), made_(record.nodes.size()) {}

  py::object build() { return object(record_.root); }

 private:
  py::object object(std::size_t index) {
    if (made_[index]) return made_[index];
    if (Py_EnterRecursiveCall(" while reading a pickled record")) throw py::error_already_set();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    const native_node& n = record_.nodes[index];
    using Kind = native_node::Kind;
    switch (n.kind) {
      case Kind::kNone:
        return made_[index] = py::none();
      case Kind::kBool:
        return made_[index] = py::bool_(n.flag);
      case Kind::kInt:
        return made_[index] = py::int_(n.integer);
      case Kind::kFloat:
        return made_[index] = py::float_(n.real);
      case Kind::kBigInt: {
        if (n.data.empty()) return made_[index] = py::int_(0);
        py::dict kw;
        kw["signed"] = true;
        return made_[index] = ostrel::builtin("int").attr("from_bytes")(
                   py::bytes(n.data.data(), n.data.size()), "little", **kw);
      }
      case Kind::kBytes:
        return made_[index] = py::bytes(n.data.data(), n.data.size());
      case Kind::kByteArray:
        return made_[index] = ostrel::builtin("bytearray")(py::bytes(n.data.data(), n.data.size()));
      case Kind::kText: {
        PyObject* s =
            PyUnicode_DecodeUTF8(n.data.data(), static_cast<Py_ssize_t>(n.data.size()), "surrogatepass");
        if (s == nullptr) throw py::error_already_set();
        return made_[index] = py::reinterpret_steal<py::object>(s);
      }
      case Kind::kList: {
        py::list out;
        made_[index] = out;
        for (std::size_t item : n.items) out.append(object(item));
        return out;
      }
      case Kind::kDict: {
        py::dict out;
        made_[index] = out;
        for (std::size_t i = 0; i + 1 < n.items.size(); i += 2)
          out[object(n.items[i])] = object(n.items[i + 1]);
        return out;
      }
      case Kind::kSet: {
        py::set out;
        made_[index] = out;
        for (std::size_t item : n.items) out.add(object(item));
        return out;
      }
      case Kind::kTuple:
      case Kind::kFrozenSet: {
        py::list items;
        for (std::size_t item : n.items) items.append(object(item));
        if (made_[index]) return made_[index];  // reached again through one of its items
        py::object out =
            n.kind == Kind::kTuple ? py::object(py::tuple(items)) : ostrel::builtin("frozenset")(items);
        return made_[index] = out;
      }
    }
    raise(PyExc_RuntimeError, "unknown pickle node");
  }

  const ostrel::native::PickleRecord& record_;
  std::vector<py::object> made_;
};

// The bytes of an open checkpoint file: a read-only memory map (records are copied out one at a time,
// so the file's contents are not held twice), or the whole file read when it cannot be mapped.
class CheckpointBytes {
 public:
  explicit CheckpointBytes(py::object file) {
    py::object os = mod_attr("os");
    py::object size = os.attr("fstat")(file.attr("fileno")()).attr("st_size");
    if (size.cast<long long>() > 0) {
      py::object mmap = py::module_::import("mmap");
      try {
        map_ = mmap.attr("mmap")(file.attr("fileno")(), 0, py::arg("access") = mmap.attr("ACCESS_READ"));
        source_ = map_;
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
      }
    }
    if (!source_) source_ = file.attr("read")();
    if (PyObject_GetBuffer(source_.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    held_ = true;
  }
  ~CheckpointBytes() { close(); }
  CheckpointBytes(const CheckpointBytes&) = delete;
  CheckpointBytes& operator=(const CheckpointBytes&) = delete;

  std::string_view data() const {
    return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

  void close() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
    if (map_) {
      modtree::SavedError in_flight;
      PyObject* r = PyObject_CallMethod(map_.ptr(), "close", nullptr);
      Py_XDECREF(r);
      if (r == nullptr) PyErr_Clear();
      in_flight.restore();
      map_ = py::object();
    }
  }

 private:
  py::object map_;
  py::object source_;
  Py_buffer view_{};
  bool held_ = false;
};

// The next record as a Python object; EOFError at the end of the data, pickle.UnpicklingError for a
// damaged record or one that is not plain data.
py::object next_record(const CheckpointBytes& bytes, std::size_t& offset) {
  ostrel::native::PickleRecord record;
  try {
    record = ostrel::native::read_pickle_record(bytes.data(), offset);
  } catch (const ostrel::native::PickleReadError& e) {
    if (e.cause() == ostrel::native::PickleReadError::Cause::kEndOfInput) raise(PyExc_EOFError, e.what());
    raise(mod_attr("pickle").attr("UnpicklingError"), e.what());
  }
  return RecordBuilder(record).build();
}

// Removes a folder this module has just made, after a failure; a failure to remove it is not reported
// over the original error.
void remove_new_folder(py::object folder) {
  if (!folder) return;
  modtree::SavedError in_flight;
  try {
    py::module_::import("shutil").attr("rmtree")(folder, py::arg("ignore_errors") = true);
  } catch (py::error_already_set&) {
  }
  in_flight.restore();
}

void write_bytes(py::object data, const std::string& path) {
  mod_attr("FilesDataInterface").attr("save_bytes_to_file")(data, py::str(path));
}

py::object unpickle_checkpoint(py::object pkl_file) {
  py::object file = ostrel::builtin("open")(pkl_file, "rb");  // its errors pass unchanged
  py::object folder;
  try {
    py::object os_path = mod_attr("os").attr("path");
    py::object tail = os_path.attr("split")(pkl_file)[py::int_(1)];
    py::dict prefix;
    prefix["prefix"] = "unpickle_";
    folder = mod_attr("tempfile").attr("mkdtemp")(**prefix);
    std::string stem = py::str(os_path.attr("splitext")(os_path.attr("join")(folder, tail))[py::int_(0)]);

    CheckpointBytes bytes(file);
    std::size_t offset = 0;
    py::object description = next_record(bytes, offset);
    py::object xml;
    try {
      xml = mod_attr("FilesDataInterface").attr("decrypt_file")(description);
    } catch (py::error_already_set& e) {
      if (!e.matches(mod_attr("FileIsNotEncryptedError"))) throw;
      xml = description;  // plain XML, or a token made under another key
    }
    write_bytes(xml, stem + ".xml");
    write_bytes(next_record(bytes, offset), stem + ".bin");
    py::object mapping;
    try {
      mapping = next_record(bytes, offset);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_EOFError)) throw;
    }
    if (mapping) write_bytes(mapping, stem + ".mapping");
    bytes.close();
    file.attr("close")();
    return py::str(stem + ".xml");
  } catch (py::error_already_set& e) {
    file.attr("close")();
    if (!e.matches(PyExc_Exception)) throw;
    remove_new_folder(folder);
    ostrel::raise_from(ostrel::builtin("Exception")("failed to unpickle file " + ostrel::str(pkl_file) +
                                                    ", err: " + ostrel::str(e.value())),
                       e.value());
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
  py::object folder;
  try {
    py::dict prefix;
    prefix["prefix"] = "checkpoints_";
    folder = mod_attr("tempfile").attr("mkdtemp")(**prefix);
    py::object archive = mod_attr("zipfile").attr("ZipFile")(path, "r");
    py::list names;
    try {
      names = archive.attr("namelist")();
    } catch (py::error_already_set&) {
      archive.attr("close")();
      throw;
    }
    archive.attr("close")();
    mod_attr("FilesDataInterface")
        .attr("_extract_zip_file")(py::arg("source_path") = path, py::arg("destination_path") = folder);
    py::object chosen = py::str("");
    for (py::handle name : names)
      if (name.attr("endswith")(".xml").cast<bool>()) chosen = py::reinterpret_borrow<py::object>(name);
    if (py::len(chosen) == 0)
      raise(PyExc_ValueError, "No xml file was found in openvino_checkpoint zip " + ostrel::str(path));
    return member_path(folder, chosen);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    remove_new_folder(folder);
    // The safe extractor reports with our own prefix already; its cause is the archive's error.
    py::object caught = e.value();
    if (e.matches(mod_attr("CorruptedSavedModelZipError"))) {
      py::object cause = caught.attr("__cause__");
      if (!cause.is_none()) caught = cause;
    }
    ostrel::raise_from(ostrel::builtin("Exception")("Failed to extract file from zip " + ostrel::str(path) +
                                                    ", err: " + ostrel::str(caught)),
                       caught);
  }
}

}  // namespace

MODTREE_MODULE("frameworks.engines.engine_utils.openvino_checkpoint", m) {
  g_module = m.inc_ref();
  using modtree::import_from;
  for (const char* name : {"os", "pickle", "tempfile", "zipfile"}) m.attr(name) = py::module_::import(name);
  m.attr("Enum") = import_from("enum", "Enum");
  m.attr("Path") = import_from("pathlib", "Path");
  m.attr("Schema") = import_from("ostrel.common.abstractions.schema", "Schema");
  for (const char* name : {"FilesDataInterface", "FileIsNotEncryptedError"})
    m.attr(name) = import_from("ostrel.common.data_interface.files_data_interface", name);
  m.attr("CorruptedSavedModelZipError") =
      import_from("ostrel.common.exceptions", "CorruptedSavedModelZipError");

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
