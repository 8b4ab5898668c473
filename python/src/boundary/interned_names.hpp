// Names that the modules look up (attribute names, dictionary keys, the json
// module's name), all listed here, each made once per process as an interned
// str on first use so that lookups hash and compare by identity.
#pragma once

#include "boundary/parameter_list.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

// A borrowed, interned str kept for the process' life. Failing to make one is
// a fault: it only happens when the interpreter has run out of memory.
PyObject* interned_name(const char* text);

template <FixedText Text>
PyObject* interned() {
  static PyObject* const name = interned_name(kTextChars<Text>.data());
  return name;
}

namespace names {

// Module members.
inline PyObject* dunder_all() {
  return interned<"__all__">();
}
inline PyObject* dunder_name() {
  return interned<"__name__">();
}
// The representation of a wrapped client.
inline PyObject* dunder_repr() {
  return interned<"__repr__">();
}
// Provider texts are lowered with str.lower.
inline PyObject* lower() {
  return interned<"lower">();
}
// Export through json.loads.
inline PyObject* json() {
  return interned<"json">();
}
inline PyObject* loads() {
  return interned<"loads">();
}
// The keys configure() reads.
inline PyObject* tenant_id() {
  return interned<"tenant_id">();
}
inline PyObject* endpoint() {
  return interned<"endpoint">();
}
inline PyObject* enable_security() {
  return interned<"enable_security">();
}

}  // namespace names
}  // namespace pelnorix::python
