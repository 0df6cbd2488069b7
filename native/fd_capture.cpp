#include "native/fd_capture.hpp"

#include <cxxabi.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace ostrel::native {

// ---- text helpers ----------------------------------------------------------------------------------

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the valid UTF-8 sequence at s[i], or the length (>= 1) of its maximal ill-formed subpart
// negated. Follows the Unicode table of well-formed byte sequences.
long utf8_sequence(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  int length = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;  // 0x80..0xC1 and 0xF5..0xFF never start a sequence
  }
  for (int k = 1; k < length; ++k) {
    if (i + k >= s.size()) return -k;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : is_continuation(b);
    if (!ok) return -k;
  }
  return length;
}

bool is_python_space(char32_t cp) {
  if (cp <= 0x20) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F);
  if (cp >= 0x2000 && cp <= 0x200A) return true;
  constexpr char32_t kOthers[] = {0x85, 0xA0, 0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  return std::find(std::begin(kOthers), std::end(kOthers), cp) != std::end(kOthers);
}

}  // namespace

std::string decode_utf8_replace(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const long n = utf8_sequence(bytes, i);
    if (n > 0) {
      text.append(bytes.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      text.append(kReplacement);
      i += static_cast<std::size_t>(-n);
    }
  }
  return text;
}

std::string_view rstrip_whitespace(std::string_view utf8) noexcept {
  std::size_t end = utf8.size();
  while (end > 0) {
    std::size_t start = end - 1;
    while (start > 0 && is_continuation(static_cast<unsigned char>(utf8[start]))) --start;
    const auto lead = static_cast<unsigned char>(utf8[start]);
    char32_t cp = 0;
    if (lead < 0x80) {
      cp = lead;
    } else {
      const std::size_t length = end - start;
      cp = lead & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
      for (std::size_t k = start + 1; k < end; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(utf8[k]) & 0x3F);
    }
    if (!is_python_space(cp)) break;
    end = start;
  }
  return utf8.substr(0, end);
}

std::string echo_text(std::string_view line) {
  std::string text = decode_utf8_replace(line);
  text.resize(rstrip_whitespace(text).size());
  return text;
}

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

// ---- capture sessions ------------------------------------------------------------------------------

namespace {

// Process-wide count of sessions whose threads have not finished. Never destroyed, so threads that
// outlive everything else can still report to it at exit.
struct SessionRegistry {
  std::mutex mu;
  std::condition_variable cv;
  std::size_t live = 0;
};

SessionRegistry& registry() {
  static auto* instance = new SessionRegistry;
  return *instance;
}

void registry_add() {
  std::lock_guard lock(registry().mu);
  ++registry().live;
}

void registry_remove() {
  auto& reg = registry();
  {
    std::lock_guard lock(reg.mu);
    --reg.live;
  }
  reg.cv.notify_all();
}

[[noreturn]] void throw_errno(int error, int fd, const char* step, const char* action = "capture") {
  throw std::system_error(error, std::generic_category(),
                          std::string("cannot ") + action + " fd " + std::to_string(fd) + ": " + step);
}

void close_fd(int fd) {
  if (fd >= 0) ::close(fd);  // on Linux the descriptor is released even when close reports EINTR
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { close_fd(fd_); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset() { close_fd(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

// dup2/dup3 retried on the transient failures Linux may report for them.
int redirect(int from, int to, bool cloexec) {
  for (int attempt = 0;; ++attempt) {
    const int rc = cloexec ? ::dup3(from, to, O_CLOEXEC) : ::dup2(from, to);
    if (rc >= 0) return 0;
    if ((errno != EINTR && errno != EBUSY) || attempt == 100) return errno;
  }
}

}  // namespace

namespace detail {

struct CaptureSession {
  explicit CaptureSession(int fd, bool with_echo) : read_fd(fd), echo(with_echo) {}

  const int read_fd;  // owned by the drain thread, which closes it at end of file
  const bool echo;

  std::mutex mu;
  std::condition_variable cv;
  std::string collected;            // every complete line read so far
  std::deque<std::string> to_echo;  // lines not yet handed to the callback
  bool drained = false;             // the drain thread met end of file
  int threads = 0;                  // threads planned (set before any starts) and not yet finished
  bool finished = false;            // all of them have finished

  // The last action of each thread. The last one to finish retires the session from the registry.
  void thread_done() {
    bool last = false;
    {
      std::lock_guard lock(mu);
      last = --threads == 0;
      if (last) finished = true;
    }
    cv.notify_all();
    if (last) registry_remove();
  }

  void drain() {
    std::vector<char> buffer(64 * 1024);
    std::vector<std::string> lines;
    LineSplitter splitter;
    const auto publish = [&] {
      if (lines.empty()) return;
      {
        std::lock_guard lock(mu);
        for (auto& line : lines) {
          collected += line;
          if (echo) to_echo.push_back(std::move(line));
        }
      }
      cv.notify_all();
      lines.clear();
    };
    for (;;) {
      const ssize_t n = ::read(read_fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // end of file, or a read error that ends the stream just the same
      splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)), lines);
      publish();
    }
    splitter.finish(lines);
    publish();
    close_fd(read_fd);
    {
      std::lock_guard lock(mu);
      drained = true;
    }
    cv.notify_all();
  }

  void echo_lines(std::shared_ptr<const FdCapture::EchoCallback> callback) {
    std::deque<std::string> batch;
    for (;;) {
      {
        std::unique_lock lock(mu);
        cv.wait(lock, [&] { return !to_echo.empty() || drained; });
        if (to_echo.empty()) break;
        batch.swap(to_echo);
      }
      for (const auto& line : batch) {
        try {
          (*callback)(echo_text(line));
        } catch (abi::__forced_unwind&) {
          throw;  // thread cancellation or exit: must not be swallowed
        } catch (...) {
          // The callback reports its own failures; the echo goes on with the next line.
        }
      }
      batch.clear();
    }
    callback.reset();  // released before the session reports itself finished
  }
};

}  // namespace detail

FdCapture::FdCapture(int source_fd, EchoCallback echo)
    : source_fd_(source_fd), echo_(echo ? std::make_shared<const EchoCallback>(std::move(echo)) : nullptr) {}

FdCapture::~FdCapture() {
  try {
    stop(kDefaultStopTimeout);
  } catch (...) {
    // Nothing sensible is left to do for a descriptor that cannot be restored.
  }
}

bool FdCapture::capturing() const {
  std::lock_guard lock(mu_);
  return session_ != nullptr;
}

void FdCapture::start() {
  std::lock_guard lock(mu_);
  if (session_ || stopping_) {
    throw std::logic_error("fd " + std::to_string(source_fd_) + " is already being captured by this object");
  }
  // Check the source first: if it were closed, the pipe could be given its number.
  const int fd_flags = ::fcntl(source_fd_, F_GETFD);
  if (fd_flags < 0) throw_errno(errno, source_fd_, "not an open descriptor");
  const bool cloexec = (fd_flags & FD_CLOEXEC) != 0;

  UniqueFd orig(::fcntl(source_fd_, F_DUPFD_CLOEXEC, 0));
  if (orig.get() < 0) throw_errno(errno, source_fd_, "dup");

  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) throw_errno(errno, source_fd_, "pipe2");
  UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);

  auto session = std::make_shared<detail::CaptureSession>(read_end.get(), echo_ != nullptr);
  session->threads = echo_ ? 2 : 1;  // set before any thread runs
  registry_add();
  std::thread drain_thread;
  std::thread echo_thread;
  try {
    drain_thread = std::thread([session] {
      session->drain();
      session->thread_done();
    });
  } catch (const std::system_error& e) {
    registry_remove();
    throw_errno(e.code().value(), source_fd_, "cannot start the drain thread");
  }
  read_end.release();  // the drain thread closes it

  // From here on the threads retire the session themselves; a failure only has to end the stream.
  const auto abandon = [&] {
    write_end.reset();  // end of file for the drain thread
    drain_thread.join();
    if (echo_thread.joinable()) echo_thread.join();
  };
  if (echo_) {
    try {
      echo_thread = std::thread([session, callback = echo_]() mutable {
        session->echo_lines(std::move(callback));
        session->thread_done();
      });
    } catch (const std::system_error& e) {
      session->thread_done();  // for the echo thread that never ran
      abandon();
      throw_errno(e.code().value(), source_fd_, "cannot start the echo thread");
    }
  }

  if (const int error = redirect(write_end.get(), source_fd_, cloexec); error != 0) {
    abandon();
    throw_errno(error, source_fd_, "dup2");
  }
  write_end.reset();  // the redirected source descriptor is now the only writer

  orig_dup_ = orig.release();
  source_cloexec_ = cloexec;
  session_ = std::move(session);
  drain_thread_ = std::move(drain_thread);
  echo_thread_ = std::move(echo_thread);
  output_.clear();
}

bool FdCapture::stop(std::chrono::milliseconds timeout) {
  std::shared_ptr<detail::CaptureSession> session;
  std::thread drain_thread;
  std::thread echo_thread;
  {
    std::lock_guard lock(mu_);
    if (!session_) return true;
    if (const int error = redirect(orig_dup_, source_fd_, source_cloexec_); error != 0) {
      throw_errno(error, source_fd_, "dup2", "restore");
    }
    close_fd(std::exchange(orig_dup_, -1));
    session = std::move(session_);
    drain_thread = std::move(drain_thread_);
    echo_thread = std::move(echo_thread_);
    stopping_ = true;
  }

  // Bounded wait: at most about ten years, whatever the caller asked for.
  timeout = std::clamp(timeout, std::chrono::milliseconds::zero(),
                       std::chrono::milliseconds(std::chrono::hours(24 * 3660)));
  bool finished = false;
  std::string collected;
  {
    std::unique_lock session_lock(session->mu);
    finished = session->cv.wait_for(session_lock, timeout, [&] { return session->finished; });
    collected = session->collected;
  }
  if (finished) {
    drain_thread.join();
    if (echo_thread.joinable()) echo_thread.join();
  } else {
    // The threads keep the session alive and retire it themselves once the pipe reaches its end.
    drain_thread.detach();
    if (echo_thread.joinable()) echo_thread.detach();
  }

  std::lock_guard lock(mu_);
  output_ = std::move(collected);
  stopping_ = false;
  return finished;
}

std::string FdCapture::output() const {
  std::lock_guard lock(mu_);
  return output_;
}

std::string FdCapture::output_text() const { return decode_utf8_replace(output()); }

void FdCapture::clear_buffer() {
  std::lock_guard lock(mu_);
  output_.clear();
}

std::size_t running_capture_sessions() {
  std::lock_guard lock(registry().mu);
  return registry().live;
}

bool wait_for_capture_sessions(std::chrono::milliseconds timeout) {
  auto& reg = registry();
  std::unique_lock lock(reg.mu);
  timeout = std::clamp(timeout, std::chrono::milliseconds::zero(),
                       std::chrono::milliseconds(std::chrono::hours(24 * 3660)));
  return reg.cv.wait_for(lock, timeout, [&] { return reg.live == 0; });
}

}  // namespace ostrel::native
