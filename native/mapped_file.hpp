// Reading a file through a read-only mapping, safe against a file that shrinks meanwhile.
//
// A page of a mapping past the end of its file raises SIGBUS when touched. While a SigbusHandlerInPlace
// exists, a SIGBUS handler is installed: a fault inside the range that the faulting thread has declared with
// set_fault_guard() jumps back to that guard's sigsetjmp point; any other SIGBUS goes to the handler that
// was there before (Python's faulthandler, or the default action). The code between the jump point and a
// fault must only read the mapping and write plain values, so the jump skips nothing that needs cleaning up.
#pragma once

#include <setjmp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ostrel::native {

struct FaultGuard {
  const std::uint8_t* begin;
  std::size_t size;
  sigjmp_buf* jump;
};

// Declares (or, with nullptr, clears) the guarded range of the calling thread.
void set_fault_guard(const FaultGuard* guard) noexcept;

// The SIGBUS handler installed for the lifetime of this object; nested and concurrent uses share one
// installation, and the previous handler is put back when the last one ends.
class SigbusHandlerInPlace {
 public:
  SigbusHandlerInPlace();
  ~SigbusHandlerInPlace();
  SigbusHandlerInPlace(const SigbusHandlerInPlace&) = delete;
  SigbusHandlerInPlace& operator=(const SigbusHandlerInPlace&) = delete;
};

// A read-only private mapping of the first `size` bytes of `fd`; mapped() is false when the file cannot be
// mapped (or `size` is 0).
class MappedFile {
 public:
  MappedFile(int fd, std::size_t size);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  bool mapped() const { return addr_ != nullptr; }
  const std::uint8_t* data() const { return addr_; }
  std::size_t size() const { return size_; }

  // Copies `n` bytes at `from` (inside the mapping) to `to`; false, with `to` partly written, when a page
  // of the range is gone because the file shrank. Requires a SigbusHandlerInPlace.
  bool copy(void* to, const void* from, std::size_t n) const noexcept;
  // The offset from `from` of the first `c` in the `n` bytes at `from`, n when there is none, or -1 when a
  // page is gone. Requires a SigbusHandlerInPlace.
  std::ptrdiff_t find(const void* from, std::size_t n, char c) const noexcept;

  // Runs `read` (which only reads the mapping and writes plain values) with the mapping guarded on this
  // thread; false when a page it touched is gone. Requires a SigbusHandlerInPlace.
  template <class Read>
  bool guarded_read(Read&& read) const {
    sigjmp_buf jump;
    const FaultGuard guard{addr_, size_, &jump};
    struct Unset {
      ~Unset() { set_fault_guard(nullptr); }  // also when `read` throws
    } unset;
    if (sigsetjmp(jump, 1) != 0) return false;
    set_fault_guard(&guard);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the guard is in place before the first read
    read();
    return true;
  }

 private:
  const std::uint8_t* addr_ = nullptr;
  std::size_t size_;
};

}  // namespace ostrel::native
