// Binds the arguments of a call to the parameter slots of a description.
// Slots receive borrowed references; an unfilled slot stays null and means
// "omitted". A fast call's vector outlives the call; a keyword dictionary's
// values do not, so the tuple-and-dictionary entry holds what was bound.
#pragma once

#include <optional>
#include <span>

#include "boundary/description.hpp"
#include "boundary/error.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

// Empty on success.
using BindFailure = std::optional<PyError>;

// Fast-call form: `args` holds nargs positional values followed by the values
// of the keywords named in the tuple `kwnames` (may be null).
BindFailure bind_fastcall(const FunctionDescription& description, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// Tuple-and-dictionary form (tp_new); `kwargs` may be null.
BindFailure bind_tuple_dict(const FunctionDescription& description, PyObject* args,
                            PyObject* kwargs, std::span<PyObject*> slots);

}  // namespace pelnorix::python
