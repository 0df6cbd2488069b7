// Sample downloads of the verification package. Files land in a private per-user folder (mode 0700)
// under the system temporary directory, through a temporary name and an atomic rename: a failed
// download leaves nothing behind, and no predictable name in a shared folder is ever written.
// A file:// source must be a regular file (a FIFO would block for ever, a device such as /dev/zero never
// ends), and no download grows past $OSTREL_MAX_DOWNLOAD_BYTES (default 16 GiB).
#include <pybind11/pybind11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bindings/errors.hpp"
#include "bindings/names.hpp"
#include "bindings/values.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

namespace {

// The private download folder, created on first use. An existing entry of that name must be a real
// folder of ours that nobody else can enter, else nothing is written there.
std::string download_folder(const py::module_& m) {
  const std::string base = py::str(m.attr("tempfile").attr("gettempdir")());
  const std::string folder = base + "/ostrel-downloads-" + std::to_string(::getuid());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, folder.c_str());
    throw py::error_already_set();
  }
  struct stat st{};
  if (::lstat(folder.c_str(), &st) != 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, folder.c_str());
    throw py::error_already_set();
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    ostrel::raise(PyExc_PermissionError, "Refusing to download into " + folder +
                                             ": it must be a folder owned by this user with mode 0700");
  return folder;
}

constexpr long long kDefaultMaxDownload = 16LL << 30;

long long max_download_bytes(const py::module_& m) {
  py::object text = m.attr("os").attr("environ").attr("get")("OSTREL_MAX_DOWNLOAD_BYTES");
  if (text.is_none() || py::len(text) == 0) return kDefaultMaxDownload;
  try {
    long long limit = ostrel::builtin("int")(text).cast<long long>();
    if (limit > 0) return limit;
  } catch (py::error_already_set&) {
  } catch (py::cast_error&) {
  }
  ostrel::raise(PyExc_ValueError, "OSTREL_MAX_DOWNLOAD_BYTES must be a positive number of bytes, not " +
                                      ostrel::str(py::repr(text)));
}

// A file:// source is checked before it is opened: opening a FIFO would wait for a writer.
void check_local_source(const py::module_& m, py::object file_url, long long limit) {
  py::object parsed = m.attr("urllib").attr("parse").attr("urlparse")(file_url);
  if (ostrel::str(parsed.attr("scheme")).compare("file") != 0) return;
  py::object path = m.attr("urllib").attr("request").attr("url2pathname")(parsed.attr("path"));
  struct stat st{};
  std::string name = py::bytes(m.attr("os").attr("fsencode")(path)).cast<std::string>();
  if (::stat(name.c_str(), &st) != 0) return;  // missing: the retrieval reports it as usual
  if (!S_ISREG(st.st_mode))
    ostrel::raise(PyExc_ValueError, "Refusing to download " + ostrel::str(file_url) + ": " + ostrel::str(path) +
                                        " is not a regular file");
  if (st.st_size > limit)
    ostrel::raise(PyExc_ValueError, "Refusing to download " + ostrel::str(file_url) + ": its " +
                                        std::to_string(st.st_size) + " bytes exceed the limit of " +
                                        std::to_string(limit) + " bytes (OSTREL_MAX_DOWNLOAD_BYTES)");
}

py::object sample_base_url(const py::module_& m) {
  py::object environ = m.attr("os").attr("environ");
  py::object url = environ.attr("get")("OSTREL_SAMPLES_URL");
  if (!url.is_none() && py::len(url) > 0) return url;
  py::object dir = environ.attr("get")("OSTREL_SAMPLES_DIR");
  if (dir.is_none() || py::len(dir) == 0) dir = py::str(".samples");
  py::object path = m.attr("os").attr("path").attr("abspath")(dir);
  return m.attr("urllib").attr("parse").attr("urljoin")(
      "file:", m.attr("urllib").attr("request").attr("pathname2url")(path));
}

}  // namespace

MODTREE_MODULE("test_utils.downloads_helpers", m) {
  m.attr("os") = py::module_::import("os");
  m.attr("tempfile") = py::module_::import("tempfile");
  m.attr("urllib") = py::module_::import("urllib");
  py::module_::import("urllib.error");
  py::module_::import("urllib.parse");
  m.attr("urlretrieve") = modtree::import_from("urllib.request", "urlretrieve");
  m.attr("uuid4") = modtree::import_from("uuid", "uuid4");

  m.def(
      "sample_base_url", [m]() { return sample_base_url(m); },
      "Base address of the sample files: $OSTREL_SAMPLES_URL, else the file:// address of "
      "$OSTREL_SAMPLES_DIR\n"
      "(default: .samples in the working directory).");

  m.def(
      "download_temporary_test_file",
      [m](py::object file_url, py::object temp_file_prefix) -> py::object {
        py::object os = m.attr("os");
        const long long limit = max_download_bytes(m);
        check_local_source(m, file_url, limit);
        const std::string folder = download_folder(m);
        const std::string file_name = ostrel::str(temp_file_prefix) + ostrel::str(m.attr("uuid4")());
        const std::string file_path = folder + "/" + file_name;
        py::tuple made =
            m.attr("tempfile").attr("mkstemp")(py::arg("dir") = folder, py::arg("prefix") = ".part-");
        os.attr("close")(made[0]);
        py::object partial = made[1];
        try {
          // Called after each block read (of `block_size` bytes at most) with the announced size.
          py::cpp_function progress([file_url, limit](long long blocks, long long block_size, long long size) {
            const bool announced = size > limit;
            if (announced || (blocks - 1) * block_size >= limit)
              ostrel::raise(PyExc_ValueError,
                            "Download of " + ostrel::str(file_url) + " stopped: " +
                                (announced ? "its announced " + std::to_string(size) + " bytes exceed"
                                           : std::string("it grew past")) +
                                " the limit of " + std::to_string(limit) + " bytes (OSTREL_MAX_DOWNLOAD_BYTES)");
          });
          m.attr("urlretrieve")(file_url, partial, progress);
          os.attr("replace")(partial, file_path);
        } catch (py::error_already_set& e) {
          try {
            os.attr("unlink")(partial);
          } catch (py::error_already_set&) {
          }
          if (e.matches(m.attr("urllib").attr("error").attr("ContentTooShortError"))) {
            py::object error = ostrel::builtin("Exception")("File download did not finish correctly " +
                                                            ostrel::str(e.value()));
            PyException_SetContext(error.ptr(), e.value().inc_ref().ptr());
            PyErr_SetObject(PyExc_Exception, error.ptr());
            throw py::error_already_set();
          }
          throw;
        }
        return py::str(file_path);
      },
      py::arg("file_url"), py::arg("temp_file_prefix") = "",
      "Downloads `file_url` (http, https or file address) to a new file named `temp_file_prefix` plus a "
      "random\n"
      "UUID in this user's private download folder, and returns its path. The file is the caller's.");
}
