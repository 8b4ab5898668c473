// Conversions between Python objects and the native types of operation
// parameters and results.
//
// FromPython<T>::convert receives the bound slot: a borrowed reference, or
// null when an optional parameter was omitted (the binder never leaves a
// required slot empty). Texts are views into the str object's UTF-8 cache, so
// converting a text allocates nothing; they stay valid for the whole call
// because every entry keeps its bound arguments alive (see new_entry), even
// when a later conversion runs Python code.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "boundary/error.hpp"
#include "boundary/parameter_list.hpp"
#include "boundary/python_api.hpp"
#include "pelnorix/optional_text.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix::python {

// The UTF-8 form of a str, cached by the str and valid while it lives; empty,
// with the interpreter's exception set, for a str that has none (an unpaired
// surrogate). Callers that need the error as a value use text_from_python.
inline std::optional<std::string_view> utf8_view(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

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

// A parameter that must be given but may be None, which means "no value".
template <typename T>
struct Nullable : std::optional<T> {
  using std::optional<T>::optional;
};

template <typename T>
struct FromPython<Nullable<T>> {
  static Result<Nullable<T>> convert(PyObject* value) {
    if (value == nullptr) missing_required_slot();
    if (value == Py_None) return Nullable<T>{};
    Result<T> converted = FromPython<T>::convert(value);
    if (!converted) return fail(std::move(converted).error());
    return Nullable<T>{std::move(*converted)};
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

// A record's member as Python sees it: str, bool, int, the id's text, or None
// for an empty optional.
template <typename T>
Outcome to_python(const T& value) {
  if constexpr (kIsOptional<T>) {
    return value ? to_python(*value) : none_value();
  } else if constexpr (std::is_same_v<T, bool>) {
    return bool_value(value);
  } else if constexpr (std::is_unsigned_v<T>) {
    return unsigned_value(value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return text_value(value);
  } else if constexpr (std::is_same_v<T, OptionalText>) {
    return value ? text_value(*value) : none_value();
  } else {
    static_assert(std::is_same_v<T, Uuid>, "no conversion of this member type to Python");
    return uuid_value(value);
  }
}

}  // namespace pelnorix::python
