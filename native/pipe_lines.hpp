// Reading a pipe line by line on a thread that never waits for its consumer.
//
// LineDrain reads a descriptor to its end on a thread of its own, splits what it reads into lines
// (universal newlines, see LineSplitter) and queues them. The consumer takes the queued lines whenever it
// is ready. Because the reading thread never waits for the consumer, a writer on the other end of the
// pipe never blocks on a slow consumer (one waiting for an interpreter lock, say): the queue grows instead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "native/unique_fd.hpp"

namespace ostrel::native {

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

class LineDrain {
 public:
  // Starts reading `fd`, which the drain owns and closes once the stream has ended (give it a duplicate
  // to keep a descriptor of your own). Throws std::system_error when the thread cannot be started.
  explicit LineDrain(UniqueFd fd);
  // Waits for the reading thread to finish, i.e. for the end of the stream.
  ~LineDrain();
  LineDrain(const LineDrain&) = delete;
  LineDrain& operator=(const LineDrain&) = delete;

  // Blocks until a line is queued or the stream has ended, then moves every queued line (each ending with
  // "\n", except a last piece without line end) to the end of `out`, in order. Returns false when the
  // stream has ended and nothing was left to hand out; from then on it always returns false at once.
  bool wait_lines(std::vector<std::string>& out);

  // 0 when the stream ended at end of file; else the errno of the read that failed (reading stopped there
  // and the lines read before it were still handed out). Meaningful once wait_lines returned false.
  int error() const;

 private:
  void read_loop();

  UniqueFd fd_;  // used by the reading thread only
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::string> queue_;
  bool ended_ = false;
  int error_ = 0;
  std::thread thread_;
};

// The last `capacity` bytes of a stream, and how many bytes came before them: what a log keeps of an
// output that may be far larger than memory.
class BoundedTail {
 public:
  explicit BoundedTail(std::size_t capacity) : capacity_(capacity) {}
  void feed(std::string_view chunk);
  std::string text() const;                             // the kept bytes
  std::uint64_t left_out() const;  // bytes before them
 private:
  std::size_t capacity_;
  std::string buffer_;  // holds up to twice the capacity; trimmed in one go
  std::uint64_t left_out_ = 0;
};

// Thrown by read_tails when its interrupt check asks to stop.
class ReadInterrupted : public std::runtime_error {
 public:
  ReadInterrupted() : std::runtime_error("reading interrupted") {}
};

// Reads every descriptor to its end at the same time (so a writer filling one pipe never blocks while
// another is read), feeding what each gives to its tail. `interrupted` is called about every 100 ms;
// when it returns true, reading stops with ReadInterrupted. Throws std::system_error when reading
// fails. The descriptors stay open.
void read_tails(const std::vector<int>& fds, const std::vector<BoundedTail*>& tails,
                const std::function<bool()>& interrupted = {});

}  // namespace ostrel::native
