// The one place that includes the interpreter's header, so that every file of
// the extension sees the same stable-ABI configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
