// Filling a module object: each public name is appended to __all__ and set as
// an attribute.
#pragma once

#include <optional>
#include <string_view>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"
#include "boundary/type_cells.hpp"

namespace pelnorix::python {

// Empty on success.
using MemberFailure = std::optional<PyError>;

MemberFailure add_named_value(PyObject* module, std::string_view name, PyObject* value);

// Adds the class of `cell` under its bare name, creating the type if needed.
MemberFailure add_class(PyObject* module, TypeCell& cell);

// Adds a built-in function bound to the module, under its own __name__.
MemberFailure add_function(PyObject* module, PyMethodDef& definition);

// The execution step (Py_mod_exec) of a module whose members `populate` adds,
// run as one boundary entry: 0 on success, -1 with the exception set.
int execute_module_with(PyObject* module, MemberFailure (*populate)(PyObject*)) noexcept;

}  // namespace pelnorix::python
