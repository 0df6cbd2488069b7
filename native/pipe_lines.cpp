#include "native/pipe_lines.hpp"

#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <utility>

#include "native/fd_capture.hpp"

namespace ostrel::native {

LineDrain::LineDrain(int fd) : fd_(fd) {
  thread_ = std::thread([this] { read_loop(); });
}

LineDrain::~LineDrain() {
  if (thread_.joinable()) thread_.join();
}

void LineDrain::read_loop() {
  LineSplitter splitter;
  std::vector<std::string> lines;
  std::string buffer(64 * 1024, '\0');
  int error = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error = errno;
      break;
    }
    splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
    if (lines.empty()) continue;
    {
      std::lock_guard lock(mu_);
      std::move(lines.begin(), lines.end(), std::back_inserter(queue_));
    }
    lines.clear();
    cv_.notify_one();
  }
  splitter.finish(lines);
  {
    std::lock_guard lock(mu_);
    std::move(lines.begin(), lines.end(), std::back_inserter(queue_));
    error_ = error;
    ended_ = true;
  }
  cv_.notify_one();
}

bool LineDrain::wait_lines(std::vector<std::string>& out) {
  std::unique_lock lock(mu_);
  cv_.wait(lock, [this] { return ended_ || !queue_.empty(); });
  if (queue_.empty()) return false;
  std::move(queue_.begin(), queue_.end(), std::back_inserter(out));
  queue_.clear();
  return true;
}

int LineDrain::error() const {
  std::lock_guard lock(mu_);
  return error_;
}

}  // namespace ostrel::native
