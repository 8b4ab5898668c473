#include "boundary/entry.hpp"

namespace pelnorix::python {

void raise_stack_exhausted() noexcept {
  try {
    PyError::lazy(PyExc_RecursionError,
                  "maximum recursion depth exceeded: the C stack of this thread is nearly used up")
        .raise();
  } catch (...) {
    raise_escaped_exception(std::current_exception());
  }
}

void raise_escaped_exception(std::exception_ptr escaped) noexcept {
  try {
    std::rethrow_exception(escaped);
  } catch (const Fault& reported) {
    // raise_fault already wrote the report when the fault happened.
    raise_panic(reported.what());
  } catch (const std::bad_alloc&) {
    // Memory ran out, as it may for Python code: every operation allocates
    // before it writes, so the record is as it was and the caller can go on.
    PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    std::fprintf(stderr, "pelnorix: internal fault: %s\n", unexpected.what());
    raise_panic(unexpected.what());
  } catch (...) {
    constexpr const char* kUnknown = "native code failed with an unknown exception";
    std::fprintf(stderr, "pelnorix: internal fault: %s\n", kUnknown);
    raise_panic(kUnknown);
  }
}

}  // namespace pelnorix::python
