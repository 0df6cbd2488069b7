#include "native/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "native/unique_fd.hpp"

namespace ostrel::native {

namespace {

// Removes the temporary file unless the rename consumed it.
struct TempName {
  std::string path;
  bool armed = true;
  ~TempName() {
    if (armed) ::unlink(path.c_str());
  }
};

mode_t default_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

void replace_file_atomically(const std::string& path,
                             const std::function<void(int fd, const std::string& temp_path)>& write) {
  std::string dir = ".";
  std::string base = path;
  if (auto slash = path.rfind('/'); slash != std::string::npos) {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    base = path.substr(slash + 1);
  }
  if (base.empty()) fail(EISDIR, "cannot write " + path);

  mode_t mode = default_mode();
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) fail(EISDIR, "cannot replace " + path + ": not a regular file");
    mode = st.st_mode & 07777;
  }

  std::string templ = (dir == "/" ? "" : dir) + "/." + base + ".XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  UniqueFd fd(::mkstemp(name.data()));
  if (!fd) fail(errno, "cannot create a temporary file next to " + path);
  TempName temp{name.data()};

  if (::fchmod(fd.get(), mode) != 0) fail(errno, "cannot set the mode of " + temp.path);
  write(fd.get(), temp.path);
  if (::fsync(fd.get()) != 0) fail(errno, "cannot flush " + temp.path);
  if (int err = fd.close_checked(); err != 0) fail(err, "cannot close " + temp.path);
  if (::rename(temp.path.c_str(), path.c_str()) != 0)
    fail(errno, "cannot rename " + temp.path + " to " + path);
  temp.armed = false;
  // The rename itself is made durable by syncing the directory; a failure here loses nothing.
  UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd) ::fsync(dfd.get());
}

void replace_file_atomically(const std::string& path, std::string_view content) {
  replace_file_atomically(path, [content](int fd, const std::string& temp_path) { write_all(fd, content, temp_path); });
}

}  // namespace ostrel::native
