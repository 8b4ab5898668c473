// Conversions for parameters that take a Python object of one particular type
// and keep it as an object: a dictionary, or an instance of one of the
// module's classes. A value of another type is the cast failure, so it gets
// the parameter's note like every other conversion.
#pragma once

#include "boundary/convert.hpp"
#include "boundary/error.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

// A borrowed dict (or instance of a dict subclass).
struct DictArg {
  PyObject* object;
};

// A borrowed instance of the class whose native record is Native.
template <typename Native>
struct InstanceOf {
  PyObject* object;
};

template <>
struct FromPython<DictArg> {
  static Result<DictArg> convert(PyObject* value) {
    if (value == nullptr) missing_required_slot();
    if (!PyDict_Check(value)) return fail(PyError::cast_failure(value, "dict"));
    return DictArg{value};
  }
};

template <typename Native>
struct FromPython<InstanceOf<Native>> {
  static Result<InstanceOf<Native>> convert(PyObject* value) {
    if (value == nullptr) missing_required_slot();
    Result<PyTypeObject*> type = Native::type_cell().get();
    if (!type) return fail(std::move(type).error());
    if (!PyObject_TypeCheck(value, *type)) {
      return fail(PyError::cast_failure(value, Native::kClassName));
    }
    return InstanceOf<Native>{value};
  }
};

}  // namespace pelnorix::python
