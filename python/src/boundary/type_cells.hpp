// Python classes as heap types, created once per process and then shared by
// every module object (a re-import adds the very same class objects).
#pragma once

#include <atomic>
#include <span>
#include <string>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

// What one class writes for itself; define_class (class_instance.hpp) adds
// what follows from its native record.
struct ClassMembers {
  const char* doc;
  // Constructor, repr, getattro: a class without a Py_tp_new slot cannot be
  // instantiated from Python.
  std::span<const PyType_Slot> own_slots = {};
  PyMethodDef* methods = nullptr;
  PyGetSetDef* properties = nullptr;
};

struct ClassDefinition {
  const char* name;  // bare name; the type's full name is "builtins." + name
  Py_ssize_t instance_size;
  destructor dealloc;
  // Both set for a class whose record holds Python references, both null
  // otherwise: the class then takes part in cyclic garbage collection.
  traverseproc traverse;
  inquiry clear;
  ClassMembers members;
};

class TypeCell {
 public:
  constexpr explicit TypeCell(const ClassDefinition& definition) : definition_(definition) {}

  // The class's type object (borrowed: the cell keeps it for the process'
  // life), created on first call.
  Result<PyTypeObject*> get();
  const ClassDefinition& definition() const noexcept { return definition_; }

 private:
  const ClassDefinition& definition_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

}  // namespace pelnorix::python
