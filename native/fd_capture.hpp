// Redirection of one file descriptor into a pipe for as long as a capture is active.
//
// FdCapture points a descriptor (standard error, typically) at the write end of a new pipe and hands the
// read end to the caller, who reads it (see pipe_lines.hpp); stopping points the descriptor back at what
// it referred to before, which ends the pipe's stream.
//
// Captures of one descriptor may overlap and may end in any order. The captures of each descriptor
// number form one process-wide stack: each remembers what the descriptor referred to when it started.
// The capture on top restores its own target. One below the top cannot touch the descriptor (a newer
// capture owns it now); it hands its target to the capture just above it, which then restores to it,
// and releases that capture's copy of its own pipe. Either way the ending capture's pipe loses its last
// writer in this process, so its reader meets end of file, and when the last capture of a descriptor
// ends, the descriptor refers to what it did before the first began.
#pragma once

#include "native/unique_fd.hpp"

namespace ostrel::native {

class FdCapture {
 public:
  // Captures `source_fd` (not checked here: start() fails on a bad descriptor).
  explicit FdCapture(int source_fd) noexcept : source_fd_(source_fd) {}
  // Stops an active capture (errors swallowed).
  ~FdCapture();
  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

  // The duplicate that keeps what the source referred to before this capture (or, after an older
  // capture ended out of order, what it referred to before that one); -1 while idle.
  int original_fd() const;

  // Starts a capture: checks the source descriptor, duplicates it, creates a pipe, points the source at
  // the pipe's write end and closes the write end, so the source is the pipe's only writer in this
  // process. Returns the read end (close-on-exec). The source's close-on-exec flag is kept as it was.
  // Errors (nothing is left changed: descriptors made so far are closed, the source untouched):
  //   std::logic_error  "fd N is already being captured by this object";
  //   std::system_error with code() = {errno, std::generic_category()}; what() is
  //                     "cannot capture fd N: STEP: <strerror>" with STEP one of "not an open descriptor"
  //                     (EBADF, negative numbers included), "dup", "pipe2" (EMFILE/ENFILE), "dup2".
  [[nodiscard]] UniqueFd start();

  // Ends the capture (see the top of this file). Does nothing when no capture is active. Throws
  // std::system_error (errno code, what() "cannot restore fd N: dup2: <strerror>") when the descriptor
  // cannot be restored; the capture then stays active and stop() may be retried.
  void stop();

 private:
  const int source_fd_;
  // Guarded by the process-wide lock of the capture stacks: an older capture's stop() changes them.
  UniqueFd original_;
  bool source_cloexec_ = false;
  bool active_ = false;
};

}  // namespace ostrel::native
