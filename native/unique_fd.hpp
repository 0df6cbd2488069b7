// The one owner of a file descriptor: closes it when it goes away.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace ostrel::native {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes `fd`. On Linux a descriptor is released even when
  // close() reports EINTR, so it is never retried.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

  // Closes now and returns close()'s errno (0 on success): a late write error of some file systems.
  int close_checked() noexcept {
    const int old = std::exchange(fd_, -1);
    return old >= 0 && ::close(old) != 0 ? errno : 0;
  }

 private:
  int fd_ = -1;
};

// Throws the failure of a system call as std::system_error(err) with `what` as its text.
[[noreturn]] inline void fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

// Writes all of `data` to `fd`, again after an interruption; a failure names `path`.
inline void write_all(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, "cannot write " + path);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace ostrel::native
