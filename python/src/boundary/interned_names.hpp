// Names that the module looks up on every call (attribute names, dictionary
// keys, the json module's name), made once per process as interned str
// objects so that lookups hash and compare by identity.
#pragma once

#include "boundary/python_api.hpp"

namespace pelnorix::python {

// A borrowed, interned str kept for the process' life. Failing to make one is
// a fault: it only happens when the interpreter has run out of memory.
PyObject* interned_name(const char* text);

}  // namespace pelnorix::python
