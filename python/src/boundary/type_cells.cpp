#include "boundary/type_cells.hpp"

#include <algorithm>
#include <vector>

namespace pelnorix::python {
namespace {

Result<PyTypeObject*> create_type(const ClassDefinition& d) {
  const ClassMembers& m = d.members;
  std::vector<PyType_Slot> slots;
  slots.reserve(m.own_slots.size() + 8);
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({Py_tp_doc, const_cast<char*>(m.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(d.dealloc)});
  slots.insert(slots.end(), m.own_slots.begin(), m.own_slots.end());
  if (m.methods != nullptr) slots.push_back({Py_tp_methods, m.methods});
  if (m.properties != nullptr) slots.push_back({Py_tp_getset, m.properties});
  const bool collected = d.traverse != nullptr;
  if (collected) {
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(d.traverse)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(d.clear)});
  }
  slots.push_back({0, nullptr});

  // Without a constructor slot the class would inherit object's; the flag
  // makes calling it a TypeError instead. No BASETYPE flag: not subclassable.
  const bool has_constructor = std::ranges::any_of(
      m.own_slots, [](const PyType_Slot& slot) { return slot.slot == Py_tp_new; });
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (!has_constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (collected) flags |= Py_TPFLAGS_HAVE_GC;

  // The interpreter copies the name into the type object.
  const std::string full_name = std::string("builtins.") + d.name;
  PyType_Spec spec{full_name.c_str(), static_cast<int>(d.instance_size), 0, flags, slots.data()};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return fail(fetch_error_or_resume_panic());
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

Result<PyTypeObject*> TypeCell::get() {
  PyTypeObject* existing = type_.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  Result<PyTypeObject*> created = create_type(definition_);
  if (!created) return created;
  // Should two threads both have built one, the first stored is everyone's.
  if (!type_.compare_exchange_strong(existing, *created, std::memory_order_acq_rel)) {
    Py_DECREF(reinterpret_cast<PyObject*>(*created));
    return existing;
  }
  return *created;
}

}  // namespace pelnorix::python
