#include "boundary/convert.hpp"

#include <limits>
#include <string>

#include "pelnorix/fault.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kOutOfRange = "out of range integral type conversion attempted";

bool text_equals(PyObject* text, std::string_view expected) {
  if (text == nullptr || !PyUnicode_Check(text)) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// numpy's boolean scalar (numpy.bool_, called numpy.bool since 2.0), recognised
// by name so that numpy need not be imported. A type whose module or name
// cannot be read (a metaclass may refuse) is not numpy's and gets the cast
// failure like any other non-boolean; only an interrupt, an exit or a fault
// coming back from Python (not Exception subclasses) is passed on.
Result<bool> is_numpy_bool_type(PyTypeObject* type) {
  auto not_numpy = []() -> Result<bool> {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return fail(fetch_error());
    PyErr_Clear();
    return false;
  };
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) return not_numpy();
  if (!text_equals(module.get(), "numpy")) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return not_numpy();
  return text_equals(name.get(), "bool_") || text_equals(name.get(), "bool");
}

Result<bool> numpy_truth(PyObject* value, PyTypeObject* type) {
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    PyRef type_text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(type)));
    if (!type_text) return fail(fetch_error());
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(type_text.get(), &size);
    if (utf8 == nullptr) return fail(fetch_error());
    return fail_with(PyExc_TypeError, "object of type '" +
                                          std::string(utf8, static_cast<std::size_t>(size)) +
                                          "' does not define a '__bool__' conversion");
  }
  const int truth = nb_bool(value);
  if (truth < 0) return fail(fetch_error());
  return truth != 0;
}

template <typename Unsigned>
Result<Unsigned> small_unsigned_from_python(PyObject* value) {
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred() != nullptr) return fail(fetch_error());
  if (number < 0 || static_cast<unsigned long>(number) > std::numeric_limits<Unsigned>::max()) {
    return fail_with(PyExc_OverflowError, std::string(kOutOfRange));
  }
  return static_cast<Unsigned>(number);
}

}  // namespace

void missing_required_slot() {
  raise_fault("a required parameter reached conversion unbound");
}

Result<std::string_view> text_from_python(PyObject* value) {
  if (!PyUnicode_Check(value)) return fail(PyError::cast_failure(value, "str"));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return fail(fetch_error());
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<bool> bool_from_python(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  PyTypeObject* type = Py_TYPE(value);
  Result<bool> numpy = is_numpy_bool_type(type);
  if (!numpy) return fail(std::move(numpy).error());
  if (*numpy) return numpy_truth(value, type);
  return fail(PyError::cast_failure(value, "bool"));
}

Result<std::uint16_t> u16_from_python(PyObject* value) {
  return small_unsigned_from_python<std::uint16_t>(value);
}

Result<std::uint32_t> u32_from_python(PyObject* value) {
  return small_unsigned_from_python<std::uint32_t>(value);
}

Result<std::uint64_t> u64_from_python(PyObject* value) {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef::steal(PyNumber_Index(value));
    if (!index) return fail(fetch_error());
    value = index.get();
  }
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    return fail(fetch_error());
  }
  return static_cast<std::uint64_t>(number);
}

Outcome none_value() {
  return PyRef::borrow(Py_None);
}

Outcome text_value(std::string_view utf8) {
  return outcome_from_call(
      PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Outcome bytes_value(std::string_view data) {
  return outcome_from_call(
      PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

Outcome bool_value(bool value) {
  return PyRef::borrow(value ? Py_True : Py_False);
}

Outcome unsigned_value(std::uint64_t value) {
  return outcome_from_call(PyLong_FromUnsignedLongLong(value));
}

Outcome uuid_value(const Uuid& id) {
  char text[kUuidTextLength];
  format_uuid(id, text);
  return text_value(std::string_view(text, kUuidTextLength));
}

}  // namespace pelnorix::python
