// Conversions between Python objects and the native types of operation
// parameters and results.
//
// FromPython<T>::convert receives the bound slot: a borrowed reference, or
// null when an optional parameter was omitted (the binder never leaves a
// required slot empty). Texts are views into the str object's UTF-8 cache, so
// converting a text allocates nothing; they stay valid for the whole call
// because the caller keeps its arguments alive.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix::python {

Result<std::string_view> text_from_python(PyObject* value);
Result<bool> bool_from_python(PyObject* value);
Result<std::uint16_t> u16_from_python(PyObject* value);
Result<std::uint32_t> u32_from_python(PyObject* value);
Result<std::uint64_t> u64_from_python(PyObject* value);

// Reaching an empty required slot is a broken binder invariant.
[[noreturn]] void missing_required_slot();

template <typename T>
struct FromPython;

#define PELNORIX_REQUIRED_CONVERSION(Type, function) \
  template <>                                        \
  struct FromPython<Type> {                          \
    static Result<Type> convert(PyObject* value) {   \
      if (value == nullptr) missing_required_slot(); \
      return function(value);                        \
    }                                                \
  }

PELNORIX_REQUIRED_CONVERSION(std::string_view, text_from_python);
PELNORIX_REQUIRED_CONVERSION(bool, bool_from_python);
PELNORIX_REQUIRED_CONVERSION(std::uint16_t, u16_from_python);
PELNORIX_REQUIRED_CONVERSION(std::uint32_t, u32_from_python);
PELNORIX_REQUIRED_CONVERSION(std::uint64_t, u64_from_python);
#undef PELNORIX_REQUIRED_CONVERSION

// Any object, borrowed.
template <>
struct FromPython<PyObject*> {
  static Result<PyObject*> convert(PyObject* value) {
    if (value == nullptr) missing_required_slot();
    return value;
  }
};

// Omitted and None both mean "no value".
template <typename T>
struct FromPython<std::optional<T>> {
  static Result<std::optional<T>> convert(PyObject* value) {
    if (value == nullptr || value == Py_None) return std::optional<T>{};
    Result<T> converted = FromPython<T>::convert(value);
    if (!converted) return fail(std::move(converted).error());
    return std::optional<T>{std::move(*converted)};
  }
};

// Results.
Outcome none_value();
Outcome text_value(std::string_view utf8);
Outcome bytes_value(std::string_view data);
Outcome bool_value(bool value);
Outcome unsigned_value(std::uint64_t value);
// The canonical 36-character text form.
Outcome uuid_value(const Uuid& id);

template <typename T>
Outcome optional_unsigned_value(const std::optional<T>& value) {
  return value ? unsigned_value(*value) : none_value();
}
inline Outcome optional_text_value(const std::optional<std::string>& value) {
  return value ? text_value(*value) : none_value();
}

}  // namespace pelnorix::python
