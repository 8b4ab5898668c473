// Per-thread attach depth, the pending-release pool and the stack check.
//
// A native record may hold Python references and be destroyed on a thread that
// is not inside a boundary entry (so it may not hold the GIL). Such references
// are parked in a process-wide pool and released by the next thread that
// enters the boundary, which is known to hold the GIL.
//
// Entries can nest without Python frames in between (a wrapper of a wrapper
// reads its client through the next wrapper), and the interpreter's recursion
// limit counts calls, not bytes: on a thread with a small stack a chain ends
// the process long before that limit. So every entry also checks how much of
// its thread's C stack is left.
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

  // Whether less than the reserve kept for the code below the last entry
  // (raising the error, a client's own Python code) was left of the thread's
  // C stack when the guard was made.
  bool stack_nearly_exhausted() const noexcept { return stack_nearly_exhausted_; }

 private:
  bool stack_nearly_exhausted_;
};

// Ends the process; used when a fault cannot be reported to Python at all.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace pelnorix::python
