#include "boundary/panic.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "boundary/attach.hpp"

namespace pelnorix::python {
namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails irrecoverably.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that ordinary ``except Exception`` handlers do not swallow it and it\n"
    "normally propagates to the top and ends the interpreter.";

std::atomic<PyObject*> g_panic_exception{nullptr};

PyObject* panic_exception() noexcept {
  PyObject* existing = g_panic_exception.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* created =
      PyErr_NewExceptionWithDoc("pelnorix.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (created == nullptr) {
    std::fputs("Failed to initialize new exception type.\n", stderr);
    abort_uncaught_panic();
  }
  // The first class stored wins; a class built concurrently is discarded.
  if (!g_panic_exception.compare_exchange_strong(existing, created)) {
    Py_DECREF(created);
    return existing;
  }
  return created;
}

}  // namespace

PyObject* panic_exception_if_created() noexcept {
  return g_panic_exception.load(std::memory_order_acquire);
}

void raise_panic(std::string_view text) noexcept {
  PyObject* type = panic_exception();
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) abort_uncaught_panic();
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace pelnorix::python
