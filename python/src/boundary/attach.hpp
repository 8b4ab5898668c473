// Per-thread attach depth and the pending-release pool.
//
// A native record may hold Python references and be destroyed on a thread that
// is not inside a boundary entry (so it may not hold the GIL). Such references
// are parked in a process-wide pool and released by the next thread that
// enters the boundary, which is known to hold the GIL.
#pragma once

#include "boundary/python_api.hpp"

namespace pelnorix::python {

// How many boundary entries are active on the calling thread.
int attach_depth() noexcept;

// Drops one reference: at once when the calling thread is inside a boundary
// entry, otherwise later, through the pending-release pool.
void release_reference(PyObject* object) noexcept;

// Marks the calling thread as running native code on behalf of Python for the
// lifetime of the guard, and releases what the pool collected meanwhile.
class AttachGuard {
 public:
  AttachGuard() noexcept;
  ~AttachGuard();
  AttachGuard(const AttachGuard&) = delete;
  AttachGuard& operator=(const AttachGuard&) = delete;
};

// Ends the process; used when a fault cannot be reported to Python at all.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace pelnorix::python
