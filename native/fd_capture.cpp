#include "native/fd_capture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace ostrel::native {
namespace {

// The active captures of each descriptor number, oldest first. Never destroyed: captures may end while
// the process exits.
struct Stacks {
  std::mutex mu;
  std::map<int, std::vector<FdCapture*>> by_fd;
};

Stacks& stacks() {
  static auto* instance = new Stacks;
  return *instance;
}

[[noreturn]] void throw_errno(int error, int fd, const char* step, const char* action = "capture") {
  throw std::system_error(error, std::generic_category(),
                          std::string("cannot ") + action + " fd " + std::to_string(fd) + ": " + step);
}

// dup2/dup3 retried on the transient failures Linux may report for them; returns errno or 0.
int redirect(int from, int to, bool cloexec) {
  for (int attempt = 0;; ++attempt) {
    const int rc = cloexec ? ::dup3(from, to, O_CLOEXEC) : ::dup2(from, to);
    if (rc >= 0) return 0;
    if ((errno != EINTR && errno != EBUSY) || attempt == 100) return errno;
  }
}

}  // namespace

FdCapture::~FdCapture() {
  try {
    stop();
  } catch (...) {
    // Nothing sensible is left to do for a descriptor that cannot be restored.
  }
}

int FdCapture::original_fd() const {
  std::lock_guard lock(stacks().mu);
  return original_.get();
}

UniqueFd FdCapture::start() {
  auto& all = stacks();
  std::lock_guard lock(all.mu);
  if (active_) {
    throw std::logic_error("fd " + std::to_string(source_fd_) + " is already being captured by this object");
  }
  // Check the source first: if it were closed, the pipe could be given its number.
  const int fd_flags = ::fcntl(source_fd_, F_GETFD);
  if (fd_flags < 0) throw_errno(errno, source_fd_, "not an open descriptor");
  const bool cloexec = (fd_flags & FD_CLOEXEC) != 0;

  UniqueFd original(::fcntl(source_fd_, F_DUPFD_CLOEXEC, 0));
  if (!original) throw_errno(errno, source_fd_, "dup");
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw_errno(errno, source_fd_, "pipe2");
  UniqueFd read_end(ends[0]);
  const UniqueFd write_end(ends[1]);  // closed on return: the redirected source stays its only copy
  std::vector<FdCapture*>& stack = all.by_fd[source_fd_];
  stack.reserve(stack.size() + 1);  // no allocation failure once the descriptor is redirected
  if (const int error = redirect(write_end.get(), source_fd_, cloexec); error != 0) {
    if (stack.empty()) all.by_fd.erase(source_fd_);
    throw_errno(error, source_fd_, "dup2");
  }
  stack.push_back(this);
  original_ = std::move(original);
  source_cloexec_ = cloexec;
  active_ = true;
  return read_end;
}

void FdCapture::stop() {
  auto& all = stacks();
  std::lock_guard lock(all.mu);
  if (!active_) return;
  std::vector<FdCapture*>& stack = all.by_fd.at(source_fd_);  // an active capture is always on its stack
  const auto self = std::find(stack.begin(), stack.end(), this);
  if (self + 1 == stack.end()) {
    if (const int error = redirect(original_.get(), source_fd_, source_cloexec_); error != 0) {
      throw_errno(error, source_fd_, "dup2", "restore");
    }
  } else {
    // A newer capture owns the descriptor: it restores to our target instead of our pipe. Its copy of
    // our pipe's write end is replaced under the same number, so its original_fd() stays valid.
    FdCapture* newer = *(self + 1);
    if (const int error = redirect(original_.get(), newer->original_.get(), true); error != 0) {
      throw_errno(error, source_fd_, "dup2", "restore");
    }
    newer->source_cloexec_ = source_cloexec_;
  }
  stack.erase(self);
  if (stack.empty()) all.by_fd.erase(source_fd_);
  original_.reset();
  active_ = false;
}

}  // namespace ostrel::native
