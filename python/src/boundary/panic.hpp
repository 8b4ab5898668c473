// PanicException: how internal faults reach Python.
#pragma once

#include <string_view>

#include "boundary/python_api.hpp"

namespace pelnorix::python {

// The process-wide class, created on first need. Null only if it has not been
// needed yet (for instance checks that must not create it).
PyObject* panic_exception_if_created() noexcept;

// Sets PanicException(text) as the current exception. If even that is
// impossible the process ends.
void raise_panic(std::string_view text) noexcept;

}  // namespace pelnorix::python
