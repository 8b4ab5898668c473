#include "pelnorix/random_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "pelnorix/detail/os_random.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix {
namespace detail {
namespace {

[[noreturn]] void raise_random_fault(ssize_t result, int err, std::size_t requested) {
  raise_fault(std::string(kRandomFaultPrefix) + random_failure_cause(result, err, requested));
}

// --- Choice of the OS source, made once per process -------------------------

struct SourceChoice {
  RandomBackend backend = RandomBackend::GetRandom;
  int urandom_fd = -1;
};

SourceChoice g_choice;
std::once_flag g_choice_once;

// The fallback device hands out bytes before the kernel pool is initialised;
// waiting for /dev/random to become readable once makes sure it has been.
void wait_for_entropy_pool() {
  const int fd = ::open("/dev/random", O_RDONLY | O_CLOEXEC);
  if (fd < 0) raise_random_fault(-1, errno, 0);
  pollfd waiter{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&waiter, 1, -1);
    if (ready >= 0) break;
    if (errno != EINTR) {
      const int err = errno;
      ::close(fd);
      raise_random_fault(-1, err, 0);
    }
  }
  ::close(fd);
}

void choose_source() {
  std::uint8_t probe = 0;
  if (::getrandom(&probe, 0, 0) == 0 || (errno != ENOSYS && errno != EPERM)) {
    // Either it works or it fails in a way that later calls will report.
    g_choice.backend = RandomBackend::GetRandom;
    return;
  }
  wait_for_entropy_pool();
  int fd = -1;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) raise_random_fault(-1, errno, 0);
  g_choice.urandom_fd = fd;
  g_choice.backend = RandomBackend::DevURandom;
}

const SourceChoice& source_choice() {
  // A throwing choose_source leaves the flag unset, so a later call retries.
  std::call_once(g_choice_once, choose_source);
  return g_choice;
}

// Calls `read(buffer, count)` until `out` is full, repeating short and
// interrupted reads; any other outcome is the random-source fault.
template <typename Read>
void fill_by_reads(std::span<std::uint8_t> out, Read read) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t missing = out.size() - done;
    const ssize_t got = read(out.data() + done, missing);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || static_cast<std::size_t>(got) > missing) {
      raise_random_fault(got, got < 0 ? errno : 0, missing);
    }
    done += static_cast<std::size_t>(got);
  }
}

void fill_with_getrandom(std::span<std::uint8_t> out) {
  fill_by_reads(
      out, [](std::uint8_t* buffer, std::size_t count) { return ::getrandom(buffer, count, 0); });
}

// --- Per-thread buffer ------------------------------------------------------
//
// Asking the OS for 16 bytes costs far more than copying 16 bytes out of a
// page filled by one large request, so each thread keeps such a page. Being
// per thread, no byte can reach two threads. The page is marked
// MADV_WIPEONFORK, so a forked child finds it zeroed; `valid` lives inside the
// page for that reason, so the child sees an empty buffer rather than a
// buffer of zeros. An atfork child handler empties it as well, for kernels
// that do not know the advice.

constexpr std::size_t kPageBytes = 4096;

struct alignas(kPageBytes) BufferPage {
  std::size_t valid;  // unread bytes, at the end of `bytes`
  std::uint8_t bytes[kPageBytes - sizeof(std::size_t)];
};
static_assert(sizeof(BufferPage) == kPageBytes);

// Requests larger than this skip the buffer: copying them out of the page
// saves nothing against asking the OS directly.
constexpr std::size_t kLargestBufferedRequest = 256;

thread_local BufferPage* t_page = nullptr;
thread_local bool t_page_unavailable = false;  // mmap failed or thread exiting

struct PageRelease {
  bool armed = false;
  ~PageRelease() {
    t_page_unavailable = true;
    if (t_page != nullptr) {
      ::munmap(t_page, kPageBytes);
      t_page = nullptr;
    }
  }
};
thread_local PageRelease t_page_release;

void forget_buffer_in_child() {
  // Only the forking thread survives in the child; its buffer is the one to
  // drop. Other threads' pages are unreachable there.
  if (t_page != nullptr) {
    std::memset(t_page, 0, kPageBytes);
  }
}

std::once_flag g_atfork_once;

BufferPage* acquire_page() {
  if (t_page != nullptr) return t_page;
  if (t_page_unavailable) return nullptr;
  std::call_once(g_atfork_once, [] {
    if (::pthread_atfork(nullptr, nullptr, forget_buffer_in_child) != 0) {
      // Without the handler a child could only rely on the wiped page.
    }
  });
  void* memory =
      ::mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    t_page_unavailable = true;
    return nullptr;
  }
#ifdef MADV_WIPEONFORK
  (void)::madvise(memory, kPageBytes, MADV_WIPEONFORK);
#endif
  t_page = new (memory) BufferPage{};
  t_page->valid = 0;
  t_page_release.armed = true;  // first use registers the release at thread exit
  return t_page;
}

// Hands out `out.size()` bytes from the end of the valid region and wipes
// them, so the page never keeps a copy of what it already gave away.
void take_from_page(BufferPage& page, std::span<std::uint8_t> out) {
  const std::size_t start = page.valid - out.size();
  std::memcpy(out.data(), page.bytes + start, out.size());
  std::memset(page.bytes + start, 0, out.size());
  page.valid = start;
}

}  // namespace

std::string random_failure_cause(ssize_t result, int err, std::size_t requested) {
  if (result < 0) {
    if (err > 0) return "OS Error: " + std::to_string(err);
    return "errno: did not return a positive value";
  }
  (void)requested;  // zero bytes or more than requested: neither should happen
  return "unexpected situation";
}

void read_fully_from_fd(int fd, std::span<std::uint8_t> out) {
  fill_by_reads(
      out, [fd](std::uint8_t* buffer, std::size_t count) { return ::read(fd, buffer, count); });
}

void fill_from_os(std::span<std::uint8_t> out) {
  if (out.empty()) return;
  const SourceChoice& choice = source_choice();
  if (choice.backend == RandomBackend::GetRandom) {
    fill_with_getrandom(out);
  } else {
    read_fully_from_fd(choice.urandom_fd, out);
  }
}

RandomBackend random_backend() {
  return source_choice().backend;
}

}  // namespace detail

void fill_os_random(std::span<std::uint8_t> out) {
  if (out.empty()) return;
  if (out.size() > detail::kLargestBufferedRequest) {
    detail::fill_from_os(out);
    return;
  }
  detail::BufferPage* page = detail::acquire_page();
  if (page == nullptr) {
    detail::fill_from_os(out);
    return;
  }
  if (page->valid < out.size()) {
    const std::size_t leftover = page->valid;
    detail::take_from_page(*page, out.first(leftover));
    out = out.subspan(leftover);
    detail::fill_from_os(std::span<std::uint8_t>(page->bytes, sizeof(page->bytes)));
    page->valid = sizeof(page->bytes);
  }
  detail::take_from_page(*page, out);
}

}  // namespace pelnorix
