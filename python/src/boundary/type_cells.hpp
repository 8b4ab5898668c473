// Python classes as heap types, created once per process and then shared by
// every module object (a re-import adds the very same class objects).
#pragma once

#include <atomic>
#include <span>
#include <string>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

struct ClassDefinition {
  const char* name;  // bare name; the type's full name is "builtins." + name
  const char* doc;
  Py_ssize_t instance_size;
  destructor dealloc;
  // The class's own slots besides deallocation (constructor, repr, getattro).
  std::span<const PyType_Slot> own_slots;
  PyMethodDef* methods;
  PyGetSetDef* properties;
  bool has_constructor;
  // Takes part in cyclic garbage collection; own_slots then carry traverse and
  // clear (see class_instance.hpp).
  bool garbage_collected = false;
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
