// configure(config): a tracer built from a dictionary of settings.
#pragma once

#include "boundary/entry.hpp"
#include "boundary/python_api.hpp"
#include "boundary/typed_args.hpp"

namespace pelnorix::python {

Outcome configure_tracer(ModuleArg module, DictArg config);

// The module-level function's definition, added to the module by lib.cpp.
PyMethodDef& configure_function();

}  // namespace pelnorix::python
