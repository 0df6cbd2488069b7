#include "native/pipe_lines.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <iterator>
#include <utility>

namespace ostrel::native {

void LineSplitter::feed(std::string_view chunk, std::vector<std::string>& lines) {
  std::size_t i = 0;
  if (pending_cr_ && !chunk.empty()) {
    pending_cr_ = false;
    partial_.push_back('\n');
    lines.push_back(std::move(partial_));
    partial_.clear();
    if (chunk[0] == '\n') i = 1;  // the second half of a "\r\n" split between two chunks
  }
  while (i < chunk.size()) {
    const std::size_t end = chunk.find_first_of("\r\n", i);
    if (end == std::string_view::npos) {
      partial_.append(chunk.substr(i));
      return;
    }
    partial_.append(chunk.substr(i, end - i));
    if (chunk[end] == '\r') {
      if (end + 1 == chunk.size()) {
        pending_cr_ = true;  // decided by the next chunk
        return;
      }
      i = end + (chunk[end + 1] == '\n' ? 2 : 1);
    } else {
      i = end + 1;
    }
    partial_.push_back('\n');
    lines.push_back(std::move(partial_));
    partial_.clear();
  }
}

void LineSplitter::finish(std::vector<std::string>& lines) {
  if (pending_cr_) {
    pending_cr_ = false;
    partial_.push_back('\n');
  }
  if (!partial_.empty()) lines.push_back(std::move(partial_));
  partial_.clear();
}

LineDrain::LineDrain(UniqueFd fd) : fd_(std::move(fd)) {
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
    const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
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
  fd_.reset();
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

void BoundedTail::feed(std::string_view chunk) {
  if (chunk.size() >= capacity_) {
    left_out_ += buffer_.size() + chunk.size() - capacity_;
    buffer_.assign(chunk.substr(chunk.size() - capacity_));
    return;
  }
  buffer_.append(chunk);
  if (buffer_.size() > 2 * capacity_) {
    const std::size_t drop = buffer_.size() - capacity_;
    left_out_ += drop;
    buffer_.erase(0, drop);
  }
}

std::string BoundedTail::text() const {
  if (buffer_.size() <= capacity_) return buffer_;
  return buffer_.substr(buffer_.size() - capacity_);
}

std::uint64_t BoundedTail::left_out() const {
  return left_out_ + (buffer_.size() > capacity_ ? buffer_.size() - capacity_ : 0);
}

void read_tails(const std::vector<int>& fds, const std::vector<BoundedTail*>& tails,
                const std::function<bool()>& interrupted) {
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back(pollfd{fd, POLLIN, 0});
  std::string buffer(64 * 1024, '\0');
  std::size_t open = polls.size();
  while (open > 0) {
    const int ready = ::poll(polls.data(), polls.size(), 100);
    if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    if (interrupted && interrupted()) throw ReadInterrupted();
    if (ready <= 0) continue;
    for (std::size_t i = 0; i < polls.size(); ++i) {
      if (polls[i].fd < 0 || polls[i].revents == 0) continue;
      const ssize_t n = ::read(polls[i].fd, buffer.data(), buffer.size());
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
      if (n == 0) {
        polls[i].fd = -1;  // poll ignores negative descriptors
        --open;
        continue;
      }
      tails[i]->feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    }
  }
}

}  // namespace ostrel::native
