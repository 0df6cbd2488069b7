// File services: writing a buffer to a file, Fernet encryption of checkpoint records under the built-in
// key, and the extraction of SavedModel archives with the flattening of a single top folder.
//
// The cipher (native/fernet.hpp) and the extraction (native/archive.hpp) are native and run without the
// GIL. This file only turns Python arguments into native ones and native failures into the Python errors
// callers handle. Failures come out the way a Python handler would raise them: the wrapped error is the
// context (and, for the plain `Exception`s and CorruptedSavedModelZipError, the cause) of the raised one.
//
// Type handling of the cipher follows the `cryptography` package's Fernet (the reference the tokens must
// interoperate with): keys are text or any byte buffer, plain data any byte buffer, tokens bytes or text;
// anything else is a TypeError worded like that package's.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/open_file.hpp"
#include "bindings/signals.hpp"
#include "bindings/values.hpp"
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"
#include "native/archive.hpp"
#include "native/fernet.hpp"
#include "runtime/backend_support.hpp"

namespace py = pybind11;
namespace native = ostrel::native;

namespace {

// A global name of the module, looked up when the code runs (tests and callers may rebind them).
ostrel::ModuleAttributes global;

// ---- raising the way an `except` clause does ------------------------------------------------------

// Raises `exc` as code inside `except` for `caught` would: `caught` becomes the context of `exc` and,
// with `from_caught`, also its cause (`raise exc from caught`). The exception the caller may itself be
// handling becomes the context of `caught`, as if `caught` had been raised in there.
[[noreturn]] void raise_in_handler(py::object exc, py::object caught, bool from_caught) {
  py::object outer = py::reinterpret_steal<py::object>(PyErr_GetHandledException());
  if (outer && !outer.is_none() && !outer.is(caught))
    PyException_SetContext(caught.ptr(), outer.inc_ref().ptr());
  if (from_caught) PyException_SetCause(exc.ptr(), caught.inc_ref().ptr());
  PyErr_SetHandledException(caught.ptr());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());  // context = caught
  PyErr_SetHandledException(outer && !outer.is_none() ? outer.ptr() : nullptr);
  throw py::error_already_set();
}

// The Python error object for a native failure that has no more specific mapping.
py::object python_error_for(const std::exception& e) {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return ostrel::builtin("MemoryError")();
  return ostrel::builtin("RuntimeError")(e.what());
}

py::str decode_native_text(const std::string& s) {
  PyObject* text = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// `OSError(errno, strerror, filename[, None, filename2])`: the constructor picks the subclass
// (FileNotFoundError, FileExistsError, ...).
py::object os_error(int error_number, const std::string& filename, const std::string& filename2 = {}) {
  py::object OSError = ostrel::builtin("OSError");
  py::object strerror = py::str(std::strerror(error_number));
  if (filename.empty()) return OSError(error_number, strerror);
  py::object fsdecode = py::module_::import("os").attr("fsdecode");
  if (filename2.empty()) return OSError(error_number, strerror, fsdecode(py::bytes(filename)));
  return OSError(error_number, strerror, fsdecode(py::bytes(filename)), py::none(),
                 fsdecode(py::bytes(filename2)));
}

[[noreturn]] void raise_error(py::object exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

// ---- buffers --------------------------------------------------------------------------------------

// A byte buffer borrowed from a Python object for as long as this lives; readable without the GIL.
class Bytes {
 public:
  Bytes() = default;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Exports the buffer of `obj`; false with the Python error set when it cannot.
  bool acquire(py::handle obj) {
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) != 0) return false;
    held_ = true;
    data_ = std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
    return true;
  }
  // Views the ASCII text of `text` (a str), kept alive by `text`; false when it holds other characters.
  bool view_ascii(py::handle text) {
    if (PyUnicode_READY(text.ptr()) != 0) throw py::error_already_set();
    if (!PyUnicode_IS_ASCII(text.ptr())) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text.ptr(), &n);  // the ASCII data itself
    if (p == nullptr) throw py::error_already_set();
    data_ = std::string_view(p, static_cast<std::size_t>(n));
    return true;
  }
  std::string_view data() const { return data_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  std::string_view data_;
};

// The error the cipher gives for a value that is no byte buffer.
py::object not_a_buffer(py::handle value, bool hint_bytestring) {
  std::string message =
      "Cannot convert \"" + ostrel::str(py::repr(py::type::of(value))) + "\" instance to a buffer.";
  if (hint_bytestring) message += "\nDid you mean to pass a bytestring instead?";
  return ostrel::builtin("TypeError")(message);
}

py::object fetch_error() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return py::reinterpret_steal<py::object>(value);
}

// The outcome of one cipher call: the result bytes, or the Python error the cipher failed with.
struct CipherResult {
  py::object value;
  py::object error;
};

// Builds the cipher from `key`: text (ASCII only) or any byte buffer, decoded as a Fernet key text.
// Returns the key, or sets `error`.
std::optional<native::FernetKey> cipher_from(py::handle key, py::object& error) {
  std::string key_text;
  if (PyUnicode_Check(key.ptr())) {
    Bytes text;
    if (!text.view_ascii(key)) {
      error = ostrel::builtin("ValueError")(std::string(native::kInvalidFernetKeyMessage));
      return std::nullopt;
    }
    key_text = text.data();
  } else if (PyObject_CheckBuffer(key.ptr())) {
    Bytes buffer;
    if (!buffer.acquire(key)) {
      error = fetch_error();
      return std::nullopt;
    }
    key_text = buffer.data();
  } else {
    error = not_a_buffer(key, false);
    return std::nullopt;
  }
  try {
    return native::FernetKey(key_text);
  } catch (const native::InvalidFernetKey& e) {
    error = ostrel::builtin("ValueError")(e.what());
  }
  return std::nullopt;
}

CipherResult encrypt(py::handle file, py::handle key) {
  CipherResult r;
  std::optional<native::FernetKey> cipher = cipher_from(key, r.error);
  if (!cipher) return r;
  Bytes plain;
  if (PyUnicode_Check(file.ptr()) || !PyObject_CheckBuffer(file.ptr())) {
    r.error = not_a_buffer(file, PyUnicode_Check(file.ptr()));
    return r;
  }
  if (!plain.acquire(file)) {
    r.error = fetch_error();
    return r;
  }
  std::string token;
  try {
    py::gil_scoped_release release;
    token = cipher->encrypt(plain.data());
  } catch (const std::exception& e) {
    r.error = python_error_for(e);
    return r;
  }
  r.value = py::bytes(token);
  return r;
}

CipherResult decrypt(py::handle file, py::handle key) {
  CipherResult r;
  std::optional<native::FernetKey> cipher = cipher_from(key, r.error);
  if (!cipher) return r;
  Bytes token;
  if (PyBytes_Check(file.ptr())) {
    if (!token.acquire(file)) {
      r.error = fetch_error();
      return r;
    }
  } else if (PyUnicode_Check(file.ptr())) {
    if (!token.view_ascii(file)) {  // no token holds other characters
      r.error = global("InvalidToken")();
      return r;
    }
  } else {
    r.error = ostrel::builtin("TypeError")("token must be bytes or str");
    return r;
  }
  std::string plain;
  try {
    py::gil_scoped_release release;
    plain = cipher->decrypt(token.data());
  } catch (const native::InvalidFernetToken&) {
    r.error = global("InvalidToken")();
    return r;
  } catch (const std::exception& e) {
    r.error = python_error_for(e);
    return r;
  }
  r.value = py::bytes(plain);
  return r;
}

// ---- FilesDataInterface: buffers --------------------------------------------------------------------

py::object save_bytes_to_file(py::object file_bytes, py::object file_name, py::object mode) {
  py::object path = file_name;
  if (!PyObject_IsTrue(file_name.ptr())) {
    path = py::str("{}{}{}").format(global("tempfile").attr("gettempdir")(),
                                    global("os").attr("path").attr("sep"), global("uuid4")());
  }
  ostrel::OpenFile f(path, mode);
  f->attr("write")(file_bytes);
  f.close();
  return path;
}

py::object encrypt_file(py::object file, py::object key) {
  CipherResult r = encrypt(file, key);
  if (!r.error) return r.value;
  std::string message = "Failed to encrypt file " + ostrel::str(file) + ", err: " + ostrel::str(r.error);
  raise_in_handler(ostrel::builtin("Exception")(message), r.error, true);
}

py::object decrypt_file(py::object file, py::object key) {
  CipherResult r = decrypt(file, key);
  if (!r.error) return r.value;
  if (PyObject_IsInstance(r.error.ptr(), global("InvalidToken").ptr()) == 1 ||
      PyObject_IsInstance(r.error.ptr(), PyExc_TypeError) == 1) {
    std::string message = "Failed to decrypt file " + ostrel::str(file) + ", probably it not encrypted. ";
    raise_in_handler(global("FileIsNotEncryptedError")(message), r.error, false);
  }
  std::string message = "Failed to decrypt file " + ostrel::str(file) + ", err: " + ostrel::str(r.error);
  raise_in_handler(ostrel::builtin("Exception")(message), r.error, true);
}

// ---- FilesDataInterface: archives -----------------------------------------------------------------

// A path argument (str, bytes or os.PathLike) as the bytes the OS gets.
std::string fs_bytes(py::handle path) {
  return py::bytes(py::module_::import("os").attr("fsencode")(path)).cast<std::string>();
}

[[noreturn]] void raise_file_system_error(const native::FileSystemError& e) {
  raise_error(os_error(e.error_number(), e.filename(), e.filename2()));
}

// The error an archive reader of the standard library would have raised, as the cause of the
// CorruptedSavedModelZipError.
py::object extraction_cause(const native::ArchiveExtractionError& e) {
  if (e.os_errno() != 0) return os_error(e.os_errno(), e.os_filename());
  py::str detail = decode_native_text(e.detail());
  if (e.cause() == native::ArchiveExtractionError::Cause::kTooLarge)
    return ostrel::builtin("OSError")(EFBIG, detail);
  if (e.format() == native::ArchiveFormat::kZip) return global("zipfile").attr("BadZipFile")(detail);
  py::object tarfile = global("tarfile");
  if (e.cause() == native::ArchiveExtractionError::Cause::kUnsafeMember &&
      py::hasattr(tarfile, "FilterError"))
    return tarfile.attr("FilterError")(detail);
  return tarfile.attr("ReadError")(detail);
}

// The most bytes an extraction may write: the environment's setting, read at every call, else the default.
std::uint64_t max_extract_bytes() {
  const std::string name(native::kMaxExtractBytesVariable);
  py::object setting = global("os").attr("environ").attr("get")(name);
  if (setting.is_none()) return native::kDefaultMaxExtractBytes;
  py::object value;
  try {
    value = ostrel::builtin("int")(setting);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
  if (!value || value < py::int_(0) || value > py::int_(UINT64_MAX))
    ostrel::raise(PyExc_ValueError, name + " must be a whole number of bytes (0 or more), not " +
                                        ostrel::str(py::repr(setting)));
  return value.cast<std::uint64_t>();
}

void extract(native::ArchiveFormat format, py::object source_path, py::object destination_path) {
  const std::uint64_t max_bytes = max_extract_bytes();
  std::string source = fs_bytes(source_path);
  std::string destination = fs_bytes(destination_path);
  ostrel::SignalPoll poll;
  const std::function<bool()> should_stop = [&poll] { return poll(); };
  py::object caught;
  try {
    py::gil_scoped_release release;
    native::extract_archive(format, source, destination, max_bytes, should_stop);
    return;
  } catch (const native::ExtractionStopped&) {
    if (poll.error()) throw std::move(*poll.error());
    throw;
  } catch (const native::ArchiveExtractionError& e) {
    caught = extraction_cause(e);
  } catch (const std::exception& e) {
    caught = python_error_for(e);
  }
  const std::string prefix = format == native::ArchiveFormat::kZip ? "Failed to extract file from zip "
                                                                   : "Failed to extract file from tar ";
  py::str message = decode_native_text(prefix + source + ", err: ") + py::str(caught);
  raise_in_handler(global("CorruptedSavedModelZipError")(message), caught, true);
}

void extract_zip_file(py::object source_path, py::object destination_path) {
  extract(native::ArchiveFormat::kZip, std::move(source_path), std::move(destination_path));
}

void extract_tar_file(py::object source_path, py::object destination_path) {
  extract(native::ArchiveFormat::kTar, std::move(source_path), std::move(destination_path));
}

void move_dir_folder_contents_to_root(py::object directory) {
  std::string dir = fs_bytes(directory);
  try {
    py::gil_scoped_release release;
    native::move_dir_folder_contents_to_root(dir);
  } catch (const native::FileSystemError& e) {
    raise_file_system_error(e);
  } catch (const std::out_of_range& e) {  // an empty directory has no first entry
    raise_error(ostrel::builtin("IndexError")(e.what()));
  }
}

// Removes the extraction folder of a call that failed; a failure to remove it is not the one to report.
void remove_extraction_folder(py::handle folder) {
  try {
    std::string dir = fs_bytes(folder);
    py::gil_scoped_release release;
    native::remove_tree(dir);
  } catch (const native::FileSystemError&) {
  } catch (py::error_already_set&) {
  }
}

py::object fill_extraction_folder(py::object source_path, py::object folder);

// The folder belongs to the caller once it is returned; a call that fails (an interrupt or a SIGTERM
// included) leaves nothing behind.
py::object extract_and_ensure_folder_structure(py::object source_path) {
  const ostrel::TerminationAsInterrupt termination;
  py::dict prefix;
  prefix["prefix"] = std::string(native::kExtractionFolderPrefix);
  py::object folder = global("tempfile").attr("mkdtemp")(**prefix);
  try {
    py::object filled = fill_extraction_folder(std::move(source_path), folder);
    termination.check();
    return filled;
  } catch (...) {
    remove_extraction_folder(folder);
    throw;
  }
}

py::object fill_extraction_folder(py::object source_path, py::object folder) {
  py::object cls = global("FilesDataInterface");
  // The suffixes are those of FileCompressionExtension (made from the same constants).
  if (const auto format = native::archive_format_for(fs_bytes(source_path))) {
    const char* extractor = *format == native::ArchiveFormat::kZip ? "_extract_zip_file" : "_extract_tar_file";
    cls.attr(extractor)(py::arg("source_path") = source_path, py::arg("destination_path") = folder);
  }

  std::string dir = fs_bytes(folder);
  bool single_folder = false;
  try {
    py::gil_scoped_release release;
    single_folder = native::has_single_top_folder(dir);
  } catch (const native::FileSystemError& e) {
    raise_file_system_error(e);
  }
  if (single_folder) cls.attr("move_dir_folder_contents_to_root")(py::arg("directory") = folder);
  return folder;
}

// ---- class construction ---------------------------------------------------------------------------

// Docstrings are stored as a method body's triple-quoted text would store them.
#define DOC(text) "\n        " text "\n        "

constexpr const char* kSaveDoc = DOC(
    "Writes a buffer to a local file.\n"
    "        :param file_bytes: the bytes to write.\n"
    "        :param file_name: path of the file to write. Defaults to /tempfile.gettempdir/{uuid4} if not "
    "specified.\n"
    "        :param mode: the mode the file is opened with, 'wb' by default.\n"
    "        :return: the path of the written file.");
constexpr const char* kEncryptDoc =
    DOC("Encrypts a buffer into a Fernet token.\n"
        "        :param file: byte stream - open(file,'rb'), or str.encode()\n"
        "        :param key: byte string, a Fernet key as Fernet.generate_key() makes it\n"
        "        :return: the token (bytes)");
constexpr const char* kDecryptDoc =
    DOC("Decrypts a Fernet token back into the buffer.\n"
        "        :param file: byte stream - the output of encrypt_file\n"
        "        :param key: byte string, a Fernet key as Fernet.generate_key() makes it\n"
        "        :return: the decrypted buffer (bytes)");
constexpr const char* kEnsureDoc =
    DOC("Extracts a TF2 Saved Model archive (.zip or .tar.gz) into a new temp folder whose root holds the\n"
        "        model's files: a single top-level folder of the archive is flattened into it.\n"
        "        :param source_path: path of the archive.\n"
        "        :return: path of the extraction folder.");
constexpr const char* kZipDoc =
    DOC("Unzip a TF2 Saved Model proto to a temp location\n"
        "        :param source_path: path of the zip archive.\n"
        "        :param destination_path: folder to extract into.");
constexpr const char* kTarDoc =
    DOC("UnTAR a TF2 Saved Model proto to a temp location\n"
        "        :param source_path: path of the tar archive (uncompressed, gzip, bzip2 or xz).\n"
        "        :param destination_path: folder to extract into.");
constexpr const char* kMoveDoc =
    DOC("Moves the contents of the only folder inside `directory` up into `directory` and removes the\n"
        "        emptied folder.\n"
        "        :param directory: the folder to flatten.");

#undef DOC

}  // namespace

MODTREE_MODULE("common.data_interface.files_data_interface", m) {
  global.bind(m);
  for (const char* name : {"base64", "os", "tarfile", "tempfile", "zipfile"})
    m.attr(name) = py::module_::import(name);
  py::module_::import("os.path");
  m.attr("uuid4") = modtree::import_from("uuid", "uuid4");
  m.attr("Enum") = modtree::import_from("enum", "Enum");
  // The cipher's "not a valid token" signal, caught by decrypt_file and kept as the context of its error.
  modtree::ClassBuilder(m, "InvalidToken").base(ostrel::builtin("Exception")).build();
  m.attr("CorruptedSavedModelZipError") =
      modtree::import_from("ostrel.common.exceptions", "CorruptedSavedModelZipError");

  py::object key =
      m.attr("base64").attr("b64decode")(py::bytes(std::string(native::kCheckpointsEncryptionKeyBase64)));
  m.attr("CHECKPOINTS_ENCRYPTION_KEY") = key;

  modtree::ClassBuilder(m, "FileIsNotEncryptedError").base(ostrel::builtin("Exception")).build();

  modtree::ClassBuilder(m, "FileCompressionExtension")
      .base(m.attr("Enum"))
      .attr("ZIP", py::str(std::string(native::kZipSuffix)))
      .attr("TAR", py::str(std::string(native::kTarSuffix)))
      .build();

  modtree::ClassBuilder cls(m, "FilesDataInterface");
  cls.def_static("save_bytes_to_file", &save_bytes_to_file, py::doc(kSaveDoc), py::arg("file_bytes"),
                 py::arg("file_name") = py::none(), py::arg("mode") = "wb");
  cls.def_static("encrypt_file", &encrypt_file, py::doc(kEncryptDoc), py::arg("file"), py::arg("key") = key);
  cls.def_static("decrypt_file", &decrypt_file, py::doc(kDecryptDoc), py::arg("file"), py::arg("key") = key);
  cls.def_static("extract_and_ensure_folder_structure", &extract_and_ensure_folder_structure,
                 py::doc(kEnsureDoc), py::arg("source_path"));
  cls.def_static("_extract_zip_file", &extract_zip_file, py::doc(kZipDoc), py::arg("source_path"),
                 py::arg("destination_path"));
  cls.def_static("_extract_tar_file", &extract_tar_file, py::doc(kTarDoc), py::arg("source_path"),
                 py::arg("destination_path"));
  cls.def_static("move_dir_folder_contents_to_root", &move_dir_folder_contents_to_root, py::doc(kMoveDoc),
                 py::arg("directory"));
  cls.build();
}
