#include "boundary/interned_names.hpp"

#include <string>

#include "pelnorix/fault.hpp"

namespace pelnorix::python {

PyObject* interned_name(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) {
    PyErr_Clear();
    raise_fault(std::string("could not intern '") + text + "'");
  }
  return name;
}

}  // namespace pelnorix::python
