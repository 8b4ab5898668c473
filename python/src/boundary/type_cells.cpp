#include "boundary/type_cells.hpp"

#include <vector>

namespace pelnorix::python {
namespace {

Result<PyTypeObject*> create_type(const ClassDefinition& d) {
  std::vector<PyType_Slot> slots;
  slots.reserve(d.own_slots.size() + 6);
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  slots.push_back({Py_tp_doc, const_cast<char*>(d.doc)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(d.dealloc)});
  slots.insert(slots.end(), d.own_slots.begin(), d.own_slots.end());
  if (d.methods != nullptr) slots.push_back({Py_tp_methods, d.methods});
  if (d.properties != nullptr) slots.push_back({Py_tp_getset, d.properties});
  slots.push_back({0, nullptr});

  // Without a constructor slot the class would inherit object's; the flag
  // makes calling it a TypeError instead. No BASETYPE flag: not subclassable.
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (!d.has_constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  if (d.garbage_collected) flags |= Py_TPFLAGS_HAVE_GC;

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
