#include "native/mapped_file.hpp"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace ostrel::native {

namespace {

// Static TLS: the handler may run in a thread that never declared a guard, where a dynamic TLS block would
// be allocated on first use, which a signal handler must not do.
// Volatile: the handler reads it, so a store before a plain memcpy must not be dropped as dead.
__attribute__((tls_model("initial-exec"))) thread_local const FaultGuard* volatile t_fault_guard = nullptr;

std::mutex g_sigbus_mutex;
std::size_t g_sigbus_users = 0;
struct sigaction g_previous_sigbus{};

void on_sigbus(int signal, siginfo_t* info, void* context) {
  const FaultGuard* guard = t_fault_guard;
  if (guard != nullptr && info != nullptr && info->si_code > 0) {
    const auto* at = static_cast<const std::uint8_t*>(info->si_addr);
    if (at >= guard->begin && at < guard->begin + guard->size) siglongjmp(*guard->jump, 1);
  }
  const struct sigaction previous = g_previous_sigbus;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler == SIG_IGN) {
    return;
  } else if (previous.sa_handler != SIG_DFL && (previous.sa_flags & SA_SIGINFO) == 0) {
    previous.sa_handler(signal);
  } else {
    // The default action: a fault re-executes and terminates; a SIGBUS sent by someone is sent again.
    ::sigaction(SIGBUS, &previous, nullptr);
    if (info == nullptr || info->si_code <= 0) ::raise(signal);
  }
}

}  // namespace

void set_fault_guard(const FaultGuard* guard) noexcept { t_fault_guard = guard; }

SigbusHandlerInPlace::SigbusHandlerInPlace() {
  const std::lock_guard<std::mutex> lock(g_sigbus_mutex);
  if (g_sigbus_users++ == 0) {
    struct sigaction ours{};
    ours.sa_sigaction = on_sigbus;
    // On the faulting thread's own stack: a fault of a read has stack to spare, while an alternate stack
    // that another library set up may be too small for the processor's full signal frame, which the
    // kernel then answers with SIGSEGV instead of running the handler.
    ours.sa_flags = SA_SIGINFO;
    sigemptyset(&ours.sa_mask);
    ::sigaction(SIGBUS, &ours, &g_previous_sigbus);
  }
}

SigbusHandlerInPlace::~SigbusHandlerInPlace() {
  const std::lock_guard<std::mutex> lock(g_sigbus_mutex);
  if (--g_sigbus_users == 0) {
    struct sigaction current{};
    ::sigaction(SIGBUS, nullptr, &current);
    // Put the previous handler back unless someone replaced ours meanwhile.
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_sigbus)
      ::sigaction(SIGBUS, &g_previous_sigbus, nullptr);
  }
}

MappedFile::MappedFile(int fd, std::size_t size) : size_(size) {
  if (size == 0) return;
  void* addr = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (addr == MAP_FAILED) return;
  addr_ = static_cast<const std::uint8_t*>(addr);
  ::madvise(addr, size, MADV_SEQUENTIAL);
}

MappedFile::~MappedFile() {
  if (addr_ != nullptr) ::munmap(const_cast<std::uint8_t*>(addr_), size_);
}

bool MappedFile::copy(void* to, const void* from, std::size_t n) const noexcept {
  return guarded_read([&] { std::memcpy(to, from, n); });
}

std::ptrdiff_t MappedFile::find(const void* from, std::size_t n, char c) const noexcept {
  const void* at = nullptr;
  if (!guarded_read([&] { at = std::memchr(from, c, n); })) return -1;
  return at == nullptr ? static_cast<std::ptrdiff_t>(n)
                       : static_cast<const char*>(at) - static_cast<const char*>(from);
}

}  // namespace ostrel::native
