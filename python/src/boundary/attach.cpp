#include "boundary/attach.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace pelnorix::python {
namespace {

// The part of a thread's C stack that entries leave unused: a quarter of a
// small stack, 64 KiB of any larger one (the main thread's 8 MiB loses under
// 1%). One level of a chain of wrappers takes about 1 KiB, several under the
// sanitizers.
constexpr std::uintptr_t kMaxStackReserve = 64 * 1024;

// What every entry reads of its thread, in one thread-local block so that an
// entry looks it up once.
struct ThreadState {
  int attach_depth = 0;
  // An entry whose frame lies at or above this address has room enough: the
  // one comparison every entry makes. Before the bounds are read it is the
  // highest address, so that the first entry reads them.
  std::uintptr_t stack_fine_above = UINTPTR_MAX;
  bool stack_queried = false;
  std::uintptr_t stack_lowest = 0;   // lowest address the stack may reach
  std::uintptr_t stack_reserve = 0;  // stays 0 when the bounds cannot be read
};
thread_local ThreadState t_thread;

// Once per thread the bounds are read (for the main thread the C library
// reads the process's mappings, for any other its thread descriptor); after
// that, reached only by frames in the reserve or on some other stack.
[[gnu::noinline, gnu::cold]] bool stack_check_below_limit(ThreadState& thread,
                                                          std::uintptr_t here) noexcept {
  if (!thread.stack_queried) {
    thread.stack_queried = true;
    thread.stack_fine_above = 0;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
    void* lowest = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &lowest, &size) == 0) {
      thread.stack_lowest = reinterpret_cast<std::uintptr_t>(lowest);
      thread.stack_reserve = std::min<std::uintptr_t>(kMaxStackReserve, size / 4);
      thread.stack_fine_above = thread.stack_lowest + thread.stack_reserve;
    }
    pthread_attr_destroy(&attributes);
  }
  // Unsigned: a frame on some other stack below this one (a coroutine
  // library's own) is never taken for a full stack.
  return here - thread.stack_lowest < thread.stack_reserve;
}

bool stack_nearly_used_up(ThreadState& thread) noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here >= thread.stack_fine_above) [[likely]]
    return false;
  return stack_check_below_limit(thread, here);
}

// Releasing a reference may destroy a record that releases the next one (a
// client wrapped in a wrapper, many levels deep): past this nesting the
// releases are parked and done by the outermost release, in a loop, so that a
// long chain cannot exhaust the C stack.
constexpr int kMaxNestedReleases = 200;
thread_local int t_release_depth = 0;
thread_local std::vector<PyObject*> t_parked_releases;

void release_holding_the_gil(PyObject* object) noexcept {
  if (t_release_depth >= kMaxNestedReleases) {
    try {
      t_parked_releases.push_back(object);
    } catch (...) {
      abort_uncaught_panic();
    }
    return;
  }
  ++t_release_depth;
  Py_DECREF(object);
  if (t_release_depth == 1) {
    while (!t_parked_releases.empty()) {
      PyObject* parked = t_parked_releases.back();
      t_parked_releases.pop_back();
      Py_DECREF(parked);
    }
  }
  --t_release_depth;
}

// The pool is touched by threads without the GIL, hence the mutex; the flag
// lets every boundary entry skip the mutex while the pool is empty (the usual
// case).
struct PendingReleasePool {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> non_empty{false};
};

PendingReleasePool& pending_pool() {
  // Never destroyed: references queued during interpreter shutdown must not be
  // touched by a static destructor that runs after the interpreter is gone.
  static auto* pool = new PendingReleasePool;
  return *pool;
}

void release_pending() noexcept {
  PendingReleasePool& pool = pending_pool();
  if (!pool.non_empty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(pool.mutex);
    taken.swap(pool.objects);
    pool.non_empty.store(false, std::memory_order_release);
  }
  // Released outside the mutex: a destructor run by Py_DECREF may queue more.
  for (PyObject* object : taken)
    Py_DECREF(object);
}

}  // namespace

int attach_depth() noexcept {
  return t_thread.attach_depth;
}

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (t_thread.attach_depth > 0) {
    release_holding_the_gil(object);
    return;
  }
  PendingReleasePool& pool = pending_pool();
  try {
    std::lock_guard lock(pool.mutex);
    pool.objects.push_back(object);
    pool.non_empty.store(true, std::memory_order_release);
  } catch (...) {
    abort_uncaught_panic();
  }
}

AttachGuard::AttachGuard() noexcept {
  ThreadState& thread = t_thread;
  if (thread.attach_depth < 0) {
    std::fputs("pelnorix: Python entered while it must not be (negative attach depth)\n", stderr);
    std::abort();
  }
  ++thread.attach_depth;
  stack_nearly_exhausted_ = stack_nearly_used_up(thread);
  release_pending();
}

AttachGuard::~AttachGuard() {
  --t_thread.attach_depth;
}

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace pelnorix::python
