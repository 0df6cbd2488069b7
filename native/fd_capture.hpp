// Capture of everything written to one file descriptor, with a live echo of each line.
//
// FdCapture redirects a descriptor (standard error, typically) into a pipe for as long as a capture is
// active. A drain thread reads the pipe, splits it into lines with universal-newline translation and keeps
// every line; an echo thread hands each complete line, ready for printing, to a callback. When the capture
// stops, the descriptor is restored and the collected bytes become output().
//
// The two threads are separate so that the pipe keeps draining while the callback waits (for an
// interpreter lock, say): a writer on the captured descriptor never blocks on the echo. The callback is
// called with no lock of this class held, and nothing here waits on the callback except stop(), whose
// wait is bounded by its timeout.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ostrel::native {

// ---- text helpers ----------------------------------------------------------------------------------

// Decodes UTF-8, replacing every ill-formed sequence with U+FFFD the way Python's
// bytes.decode("utf-8", "replace") does (one replacement per maximal ill-formed subpart). The result is
// valid UTF-8. Never throws except on allocation failure.
std::string decode_utf8_replace(std::string_view bytes);

// `utf8` (valid UTF-8) without its trailing white space, the characters that Python's str.rstrip() with
// no argument removes: \t \n \v \f \r, U+001C..U+001F, space, U+0085, U+00A0, U+1680, U+2000..U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000.
std::string_view rstrip_whitespace(std::string_view utf8) noexcept;

// The echo form of one captured line: decode_utf8_replace, then rstrip_whitespace.
std::string echo_text(std::string_view line);

// Splits a byte stream into lines the way a Python text reader with universal newlines does: "\r\n" and
// a lone "\r" both become "\n". A line is complete at its "\n"; a "\r" at the end of the data seen so far
// completes its line only when the next byte (or the end of the stream) shows whether "\n" follows. At
// the end of the stream a last piece without a line end is a line of its own.
class LineSplitter {
 public:
  // Appends every line completed by `chunk` to `lines`, each ending with "\n".
  void feed(std::string_view chunk, std::vector<std::string>& lines);
  // End of stream: appends what is left (a held "\r" ends its line with "\n"; a last piece without line
  // end is appended as it is). The splitter is empty afterwards and can be reused.
  void finish(std::vector<std::string>& lines);

 private:
  std::string partial_;
  bool pending_cr_ = false;
};

// ---- the capture ---------------------------------------------------------------------------------

namespace detail {
struct CaptureSession;
}

class FdCapture {
 public:
  // Receives the echo form of each captured line (see echo_text: valid UTF-8, trailing white space
  // removed, no line end) in order, on the echo thread, with no lock held. An exception that escapes it is
  // swallowed and the echo goes on with the next line. The callback object is destroyed with the
  // FdCapture, on the thread that destroys it, unless a capture outlived its stop() timeout and the
  // FdCapture went away first: then its echo thread destroys it when it ends, with no lock held.
  using EchoCallback = std::function<void(std::string_view text)>;

  static constexpr std::chrono::milliseconds kDefaultStopTimeout{1000};

  // Captures `source_fd` (not checked here: start() fails on a bad descriptor). Without a callback the
  // lines are only collected.
  explicit FdCapture(int source_fd, EchoCallback echo = nullptr);
  // Stops an active capture (default timeout, errors swallowed).
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  int source_fd() const noexcept { return source_fd_; }
  bool capturing() const;

  // Starts a capture: checks the source descriptor, duplicates it (the duplicate keeps what it refers to
  // now), creates a pipe, starts the drain and echo threads, points the source descriptor at the pipe's
  // write end and closes the write end, so the source descriptor is its only writer in this process. The
  // source descriptor's close-on-exec flag is kept as it was. On success output() reads "" until the
  // capture stops.
  // Errors (nothing is left changed: descriptors made so far are closed, threads joined, the source
  // descriptor untouched, output() unchanged):
  //   std::logic_error  "fd N is already being captured by this object" while capturing or stopping;
  //   std::system_error with code() = {errno, std::generic_category()}; what() is
  //                     "cannot capture fd N: STEP: <strerror>" with STEP one of "not an open descriptor"
  //                     (EBADF: the descriptor is not open, including negative numbers), "dup", "pipe2"
  //                     (EMFILE/ENFILE), "cannot start the drain thread", "cannot start the echo thread"
  //                     (EAGAIN), "dup2".
  void start();

  // Ends the capture: points the source descriptor back at what it referred to before, closes the
  // duplicate, then waits at most `timeout` (negative counts as zero) for the threads to read the pipe to
  // its end and echo everything. output() then holds every line collected by that moment, in order,
  // with its line end. Returns true when both threads finished in time (they are joined); false when
  // some other holder of the pipe's write end (a child process that inherited the descriptor, or a
  // duplicate made during the capture) keeps the pipe open: the threads then go on draining and echoing
  // on their own until the pipe reaches its end, but what they read later is no longer collected.
  // Does nothing and returns true when no capture is active (never started, already stopped).
  // Throws std::system_error (errno code, what() "cannot restore fd N: dup2: <strerror>") when the
  // descriptor cannot be restored; the capture then stays active and stop() may be retried.
  // The wait is the only blocking part: a caller that holds a lock the echo callback needs must release
  // it around this call, or the echo can only resume after the timeout.
  bool stop(std::chrono::milliseconds timeout = kDefaultStopTimeout);

  // The raw bytes of the last completed capture ("\r\n" and "\r" already turned into "\n"); "" before
  // the first capture and during a capture.
  std::string output() const;
  // output() decoded with decode_utf8_replace.
  std::string output_text() const;
  // output() becomes "".
  void clear_buffer();

 private:
  const int source_fd_;
  const std::shared_ptr<const EchoCallback> echo_;  // the threads hold copies of this pointer

  mutable std::mutex mu_;  // guards the members below; never held while waiting or echoing
  std::shared_ptr<detail::CaptureSession> session_;
  std::thread drain_thread_;
  std::thread echo_thread_;
  int orig_dup_ = -1;
  bool source_cloexec_ = false;
  bool stopping_ = false;
  std::string output_;
};

// Capture sessions whose threads are still running, including those that outlived a stop() timeout.
std::size_t running_capture_sessions();

// Waits at most `timeout` for every capture session's threads (including those that outlived a stop()
// timeout) to finish; true when none is left. For an orderly shutdown: after it returns true no echo
// callback runs any more.
bool wait_for_capture_sessions(std::chrono::milliseconds timeout);

}  // namespace ostrel::native
