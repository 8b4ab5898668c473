// The memory layout shared by the instances of every class of the module, and
// their creation and destruction.
//
// A native class N (PyTraceSpan, PyTamloxTracer, ...) provides
//   static constexpr const char* kClassName;   // the bare Python class name
//   static TypeCell& type_cell();
// and, if it holds Python references (which makes its class take part in
// garbage collection),
//   int traverse(visitproc visit, void* arg) const;  // visits its references
//   void clear() noexcept;                            // drops them
#pragma once

#include <concepts>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "boundary/attach.hpp"
#include "boundary/borrow.hpp"
#include "boundary/error.hpp"
#include "boundary/python_api.hpp"
#include "boundary/type_cells.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix::python {

template <typename Native>
struct Instance {
  PyObject ob_base;  // what PyObject_HEAD expands to, spelled out for the formatter
  BorrowFlag borrow;
  Native native;
};

// A record that holds Python references and lets the collector see them.
template <typename Native>
concept CollectedRecord = requires(const Native& record, Native& owned, visitproc visit,
                                   void* arg) {
  { record.traverse(visit, arg) } -> std::same_as<int>;
  { owned.clear() }
  noexcept;
};

template <typename Native>
Instance<Native>* as_instance(PyObject* object) noexcept {
  return reinterpret_cast<Instance<Native>*>(object);
}

// The class's type object for creating an instance. Failing to create it here
// means the module never executed successfully: a fault, not an error.
template <typename Native>
PyTypeObject* type_for_instance() {
  Result<PyTypeObject*> type = Native::type_cell().get();
  if (type) return *type;
  std::move(type).error().raise();
  PyErr_WriteUnraisable(nullptr);
  raise_fault(std::string("failed to create type object for `") + Native::kClassName + "`");
}

// Allocates an instance of `type` through its allocation slot and builds its
// record there from `parts` (the record itself, or what it is brace-initialised
// from), so that the record is moved once, straight into place; on allocation
// failure the parts are simply dropped.
template <typename Native, typename... Parts>
Outcome make_instance_of(PyTypeObject* type, Parts&&... parts) {
  auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = allocate != nullptr ? allocate(type, 0) : nullptr;
  if (object == nullptr) return fail(fetch_error_or_resume_panic());
  Instance<Native>* instance = as_instance<Native>(object);
  new (&instance->borrow) BorrowFlag();
  // Nothing may throw once the instance exists half-built.
  static_assert(noexcept(Native{std::forward<Parts>(parts)...}));
  new (&instance->native) Native{std::forward<Parts>(parts)...};
  return PyRef::steal(object);
}

template <typename Native, typename... Parts>
Outcome make_instance(Parts&&... parts) {
  return make_instance_of<Native>(type_for_instance<Native>(), std::forward<Parts>(parts)...);
}

// tp_dealloc: destroys the record (which may release Python references, hence
// the attach guard), frees the memory and drops the instance's reference to
// its heap type.
template <typename Native>
void dealloc_entry(PyObject* self) noexcept {
  AttachGuard attached;
  PyTypeObject* type = Py_TYPE(self);
  // Untracked first, so that no collection sees a half-destroyed record.
  if constexpr (CollectedRecord<Native>) PyObject_GC_UnTrack(self);
  Instance<Native>* instance = as_instance<Native>(self);
  instance->native.~Native();
  instance->borrow.~BorrowFlag();
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// tp_traverse / tp_clear of a garbage-collected class. A heap type's instances
// also keep their type alive, so the type is visited too. The collector runs
// these outside any borrow: they only touch the references themselves.
template <CollectedRecord Native>
int traverse_entry(PyObject* self, visitproc visit, void* arg) noexcept {
  if (int result = visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg)) return result;
  return std::as_const(as_instance<Native>(self)->native).traverse(visit, arg);
}

template <CollectedRecord Native>
int clear_entry(PyObject* self) noexcept {
  AttachGuard attached;
  as_instance<Native>(self)->native.clear();
  return 0;
}

// The definition of Native's class: name, layout, deallocation and, for a
// record that holds references, garbage collection all follow from the type.
template <typename Native>
constexpr ClassDefinition define_class(ClassMembers members) {
  // A record with only one of the two, or a clear() that may throw, would
  // quietly make a class the collector cannot see into.
  constexpr bool traverses = requires(const Native& record, visitproc visit, void* arg) {
    record.traverse(visit, arg);
  };
  constexpr bool clears = requires(Native & record) {
    record.clear();
  };
  static_assert((traverses || clears) == CollectedRecord<Native>,
                "a record holding Python references needs traverse() const and clear() noexcept");
  ClassDefinition definition{
      .name = Native::kClassName,
      .instance_size = sizeof(Instance<Native>),
      .dealloc = &dealloc_entry<Native>,
      .traverse = nullptr,
      .clear = nullptr,
      .members = members,
  };
  if constexpr (CollectedRecord<Native>) {
    definition.traverse = &traverse_entry<Native>;
    definition.clear = &clear_entry<Native>;
  }
  return definition;
}

}  // namespace pelnorix::python
