// instrument() and the InstrumentedClient's members.
#include "client/client.hpp"

#include "boundary/class_instance.hpp"
#include "boundary/convert.hpp"
#include "boundary/interned_names.hpp"
#include "span/span.hpp"

namespace pelnorix::python {

int PyInstrumentedClient::traverse(visitproc visit, void* arg) const {
  if (wrapped_client) {
    if (int result = visit(wrapped_client.get(), arg)) return result;
  }
  if (tracer) return visit(tracer.get(), arg);
  return 0;
}

void PyInstrumentedClient::clear() noexcept {
  wrapped_client.reset();
  tracer.reset();
}

PyObject* PyInstrumentedClient::client_or_none() const noexcept {
  return wrapped_client ? wrapped_client.get() : Py_None;
}

Outcome instrument_client(ModuleArg /*module*/, PyObject* client,
                          std::optional<InstanceOf<PyTamloxTracer>> tracer) {
  PyRef held_client = PyRef::new_ref(client);
  PyRef held_tracer;
  if (tracer) {
    held_tracer = PyRef::new_ref(tracer->object);
  } else {
    Result<PyTamloxTracer> record = build_tracer(std::nullopt, std::nullopt, std::nullopt);
    if (!record) return fail(std::move(record).error());
    Outcome made = new_tracer_object(std::move(*record));
    if (!made) return made;
    held_tracer = std::move(*made);
  }
  return make_instance<PyInstrumentedClient>(std::move(held_client), std::move(held_tracer));
}

Outcome client_tracer(const PyInstrumentedClient& self) {
  return PyRef::new_ref(self.tracer ? self.tracer.get() : Py_None);
}

Outcome client_wrapped_client(const PyInstrumentedClient& self) {
  return PyRef::new_ref(self.client_or_none());
}

Outcome client_start_span(const PyInstrumentedClient& self, std::string_view operation_name,
                          std::string_view provider, std::string_view model) {
  // Only a wrapper that the collector has already cleared has no tracer.
  if (!self.tracer) return fail(PyError::cast_failure(Py_None, PyTamloxTracer::kClassName));
  // The tracer's borrow covers building the record only; the span object is
  // made after it is released. (Nothing borrows a tracer exclusively: every
  // operation of the class only reads it.)
  Result<TraceSpan> record = with_borrowed<PyTamloxTracer, BorrowKind::Shared>(
      self.tracer.get(), [&](const PyTamloxTracer& tracer) {
        return new_span_record(tracer, operation_name, provider, model);
      });
  if (!record) return fail(std::move(record).error());
  return new_span_object(std::move(*record));
}

Outcome client_repr(const PyInstrumentedClient& self) {
  // Held for the call: the client's own code may run the collector.
  PyRef client = PyRef::new_ref(self.client_or_none());
  PyObject* arguments[] = {client.get()};
  Outcome text = outcome_from_call(PyObject_VectorcallMethod(
      names::dunder_repr(), arguments, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!text) return text;
  Result<std::string_view> utf8 = text_from_python(text->get());
  if (!utf8) return fail(std::move(utf8).error());
  std::string summary;
  summary.reserve(utf8->size() + 20);
  summary += "InstrumentedClient(";
  summary += *utf8;
  summary += ')';
  return text_value(summary);
}

namespace {

// Whether the generic lookup could find `name` on the wrapper itself. The
// instances have no dictionary, so everything they answer is found along the
// class's MRO, which a lookup on the class also searches (the class may answer
// more, from its metaclass: those names only take the generic path, which
// then fails over to the client as before). Asking the class raises nothing
// for a missing name, where the generic lookup would build and format an
// AttributeError for every name the client answers.
bool wrapper_may_answer(PyObject* self, PyObject* name) noexcept {
  if (!PyUnicode_CheckExact(name)) return true;
  return PyObject_HasAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), name) != 0;
}

}  // namespace

Outcome client_getattr(PyObject* self, PyObject* name) {
  // The wrapper's own names (and object's) come first.
  if (wrapper_may_answer(self, name)) {
    PyObject* own = PyObject_GenericGetAttr(self, name);
    if (own != nullptr) return PyRef::steal(own);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(fetch_error_or_resume_panic());
    PyErr_Clear();
  }
  return with_borrowed<PyInstrumentedClient, BorrowKind::Shared>(
      self, [&](const PyInstrumentedClient& wrapper) -> Outcome {
        Result<std::string_view> text = text_from_python(name);
        if (!text) return fail(std::move(text).error());
        PyRef client = PyRef::new_ref(wrapper.client_or_none());
        // A chain of wrappers recurses here once per level; the interpreter's
        // depth limit turns a very deep chain into a RecursionError rather
        // than an overflow of the C stack.
        if (Py_EnterRecursiveCall(" while reading an attribute of the wrapped client") != 0) {
          return fail(fetch_error_or_resume_panic());
        }
        PyObject* found = PyObject_GetAttr(client.get(), name);
        Py_LeaveRecursiveCall();
        return outcome_from_call(found);
      });
}

}  // namespace pelnorix::python
