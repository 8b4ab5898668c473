#include "boundary/error.hpp"

#include <cstdio>
#include <utility>

#include "boundary/convert.hpp"
#include "boundary/panic.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kNoExceptionSet = "attempted to fetch exception but none was set";
constexpr std::string_view kUnwrappedPanic = "Unwrapped panic from Python code";

PyObject* call_with_one(PyObject* callable, PyObject* argument) {
  PyObject* args[] = {argument};
  return PyObject_Vectorcall(callable, args, 1, nullptr);
}

PyRef text_object(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

std::string qualified_type_name(PyObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  if (name) {
    if (std::optional<std::string_view> utf8 = utf8_view(name.get())) return std::string(*utf8);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// The message of a cast failure, built on demand.
std::string cast_failure_message(PyObject* value_type, std::string_view target_name) {
  std::string message = "'";
  if (value_type == nullptr) {
    message += "None' is not an instance of '";
  } else {
    message += qualified_type_name(value_type);
    message += "' object is not an instance of '";
  }
  message += target_name;
  message += '\'';
  return message;
}

// A new reference to whatever the interpreter raised while we were building an
// exception ourselves.
PyRef take_raised_or_system_error() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised != nullptr) return PyRef::steal(raised);
  PyRef message = text_object(kNoExceptionSet);
  return PyRef::steal(call_with_one(PyExc_SystemError, message.get()));
}

PyRef instantiate(PyObject* type, std::string_view message) {
  PyRef text = text_object(message);
  if (!text) return take_raised_or_system_error();
  PyObject* exception = call_with_one(type, text.get());
  if (exception == nullptr) return take_raised_or_system_error();
  return PyRef::steal(exception);
}

void set_lazy(PyObject* type, std::string_view message) {
  PyRef text = text_object(message);
  // PyErr_SetObject (unlike PyErr_SetRaisedException) chains the exception
  // being handled as __context__, as a raise statement would.
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PyError PyError::lazy(PyObject* type, std::string message) {
  return PyError(std::in_place_type<Lazy>, Lazy{type, std::move(message)});
}

PyError PyError::cast_failure(PyObject* value, std::string_view target_name) {
  PyRef value_type;
  if (value != Py_None) value_type = PyRef::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  return PyError(std::in_place_type<CastFailure>, CastFailure{std::move(value_type), target_name});
}

PyError PyError::fetched(PyRef exception) {
  return PyError(std::in_place_type<PyRef>, std::move(exception));
}

PyRef PyError::into_exception() && {
  if (auto* lazy = std::get_if<Lazy>(&state_)) return instantiate(lazy->type, lazy->message);
  if (auto* cast = std::get_if<CastFailure>(&state_)) {
    return instantiate(PyExc_TypeError,
                       cast_failure_message(cast->value_type.get(), cast->target_name));
  }
  return std::move(std::get<PyRef>(state_));
}

void PyError::raise() && {
  if (auto* lazy = std::get_if<Lazy>(&state_)) {
    set_lazy(lazy->type, lazy->message);
  } else if (auto* cast = std::get_if<CastFailure>(&state_)) {
    set_lazy(PyExc_TypeError, cast_failure_message(cast->value_type.get(), cast->target_name));
  } else {
    PyErr_SetRaisedException(std::get<PyRef>(state_).release());
  }
}

PyError PyError::with_note(std::string_view note) && {
  PyRef exception = std::move(*this).into_exception();
  PyRef text = text_object(note);
  if (text) {
    PyObject* args[] = {exception.get(), text.get()};
    PyRef method_name = text_object("add_note");
    PyObject* result =
        method_name ? PyObject_VectorcallMethod(method_name.get(), args, 2, nullptr) : nullptr;
    if (result != nullptr) {
      Py_DECREF(result);
      return PyError::fetched(std::move(exception));
    }
  }
  PyErr_Clear();  // the note is a courtesy; the original error is what matters
  return PyError::fetched(std::move(exception));
}

PyError fetch_error_or_resume_panic() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return PyError::lazy(PyExc_SystemError, std::string(kNoExceptionSet));
  PyObject* panic_type = panic_exception_if_created();
  if (panic_type == nullptr ||
      !PyObject_TypeCheck(raised, reinterpret_cast<PyTypeObject*>(panic_type))) {
    return PyError::fetched(PyRef::steal(raised));
  }
  // A fault that crossed into Python earlier is coming back: resume it as a
  // fault instead of letting Python code handle it as an ordinary error.
  std::string text(kUnwrappedPanic);
  if (PyRef str = PyRef::steal(PyObject_Str(raised))) {
    if (std::optional<std::string_view> utf8 = utf8_view(str.get())) text.assign(*utf8);
  }
  PyErr_Clear();
  std::fputs(
      "pelnorix: a PanicException was fetched from Python; resuming the internal fault.\n"
      "pelnorix: the Python stack trace follows.\n",
      stderr);
  PyErr_SetRaisedException(raised);
  PyErr_PrintEx(0);
  throw Fault(text);
}

Outcome outcome_from_call(PyObject* result) {
  if (result == nullptr) return fail(fetch_error_or_resume_panic());
  return PyRef::steal(result);
}

}  // namespace pelnorix::python
