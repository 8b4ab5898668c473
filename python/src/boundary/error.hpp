// Errors on their way to Python, and the results that carry them.
//
// An error stays lazy (exception type + message) until it is raised or needs
// to be inspected, so failing conversions that are caught and discarded (none
// today, but cheap either way) never build exception objects. Internal faults
// are not errors: they travel as C++ exceptions (pelnorix::Fault and anything
// else) and are turned into PanicException where the boundary catches them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "boundary/python_api.hpp"
#include "boundary/ref.hpp"
#include "pelnorix/expected.hpp"

namespace pelnorix::python {

class PyError {
 public:
  // `type` is one of the interpreter's static exception types (never freed).
  static PyError lazy(PyObject* type, std::string message);
  // TypeError "'T' object is not an instance of 'U'"; the message is only
  // built when the error is raised or inspected.
  static PyError cast_failure(PyObject* value, std::string_view target_name);
  static PyError fetched(PyRef exception);

  // Builds the exception object (if still lazy) and gives it away.
  PyRef into_exception() &&;
  // Makes this the interpreter's current exception.
  void raise() &&;
  // Adds a note through the exception's add_note; a failure to add it is
  // ignored, the error itself is kept.
  PyError with_note(std::string_view note) &&;

 private:
  struct Lazy {
    PyObject* type;
    std::string message;
  };
  struct CastFailure {
    PyRef value_type;  // null when the value was None
    std::string_view target_name;
  };
  using State = std::variant<Lazy, CastFailure, PyRef>;

  // Built in place: moving a whole variant in trips GCC's maybe-uninitialized
  // analysis under the sanitizers.
  template <typename Alternative, typename... Args>
  explicit PyError(std::in_place_type_t<Alternative> which, Args&&... args)
      : state_(which, std::forward<Args>(args)...) {}
  State state_;
};

template <typename T>
using Result = Expected<T, PyError>;

// What a native operation produces for Python: a new reference or an error.
using Outcome = Result<PyRef>;

inline Unexpected<PyError> fail(PyError error) {
  return Unexpected<PyError>{std::move(error)};
}
inline Unexpected<PyError> fail_with(PyObject* type, std::string message) {
  return fail(PyError::lazy(type, std::move(message)));
}

// Takes the interpreter's current exception after an API call failed.
// SystemError when none is set. A PanicException coming back from Python is
// not an error but the resumption of a fault: it is reported and thrown as
// pelnorix::Fault, which is why every caller may unwind here.
PyError fetch_error_or_resume_panic();

// An outcome from an interpreter call returning a new reference or null.
Outcome outcome_from_call(PyObject* result);

}  // namespace pelnorix::python
