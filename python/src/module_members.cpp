#include "module_members.hpp"

#include <string>

#include "boundary/convert.hpp"
#include "boundary/entry.hpp"
#include "boundary/interned_names.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix::python {
namespace {

PyObject* all_name() {
  static PyObject* const name = interned_name("__all__");
  return name;
}

PyObject* dunder_name() {
  static PyObject* const name = interned_name("__name__");
  return name;
}

// The module's __all__ list, created empty when missing.
Result<PyRef> all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(fetch_error());
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return fail(fetch_error());
    if (PyObject_SetAttr(module, all_name(), all.get()) < 0) return fail(fetch_error());
    return all;
  }
  if (!PyList_Check(all.get())) return fail(PyError::cast_failure(all.get(), "list"));
  return all;
}

MemberFailure add_named_object(PyObject* module, PyObject* name, PyObject* value) {
  Result<PyRef> all = all_list(module);
  if (!all) return std::move(all).error();
  if (PyList_Append(all->get(), name) < 0) {
    // The append failing means the interpreter is in no state to go on; the
    // import fails with PanicException rather than a catchable error.
    std::string detail = "could not append __name__ to __all__";
    PyError cause = fetch_error();
    PyRef exception = std::move(cause).into_exception();
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
      Py_ssize_t size = 0;
      if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        detail += ": ";
        detail.append(utf8, static_cast<std::size_t>(size));
      }
    }
    PyErr_Clear();
    raise_fault(detail);
  }
  if (PyObject_SetAttr(module, name, value) < 0) return fetch_error();
  return std::nullopt;
}

// RuntimeError "An error occurred while initializing class X" caused by the
// type-creation error.
PyError class_initialization_error(const char* class_name, PyError cause) {
  PyRef cause_object = std::move(cause).into_exception();
  PyRef error = std::move(PyError::lazy(PyExc_RuntimeError,
                                        std::string("An error occurred while initializing class ") +
                                            class_name))
                    .into_exception();
  PyException_SetCause(error.get(), cause_object.release());
  return PyError::fetched(std::move(error));
}

}  // namespace

MemberFailure add_named_value(PyObject* module, std::string_view name, PyObject* value) {
  PyRef name_object =
      PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  if (!name_object) return fetch_error();
  return add_named_object(module, name_object.get(), value);
}

MemberFailure add_class(PyObject* module, TypeCell& cell) {
  const char* class_name = cell.definition().name;
  Result<PyTypeObject*> type = cell.get();
  if (!type) return class_initialization_error(class_name, std::move(type).error());
  return add_named_value(module, class_name, reinterpret_cast<PyObject*>(*type));
}

MemberFailure add_function(PyObject* module, PyMethodDef& definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return fetch_error();
  PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
  if (!function) return fetch_error();
  PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), dunder_name()));
  if (!name) return fetch_error();
  if (!PyUnicode_Check(name.get())) return PyError::cast_failure(name.get(), "str");
  return add_named_object(module, name.get(), function.get());
}

int execute_module_with(PyObject* module, MemberFailure (*populate)(PyObject*)) noexcept {
  PyObject* done = guarded([&]() -> Outcome {
    if (module == nullptr) return fail(fetch_error());
    if (!PyModule_Check(module)) return fail(PyError::cast_failure(module, "module"));
    if (MemberFailure failure = populate(module)) return fail(std::move(*failure));
    return none_value();
  });
  if (done == nullptr) return -1;
  Py_DECREF(done);
  return 0;
}

}  // namespace pelnorix::python
