// TraceSpan's export methods and its summary line.
#include <string>

#include "boundary/convert.hpp"
#include "boundary/entry.hpp"
#include "boundary/interned_names.hpp"
#include "pelnorix/span_document.hpp"
#include "span/span.hpp"

namespace pelnorix::python {
namespace {

Result<JsonText> written(Expected<JsonText, JsonError> text) {
  if (!text) return fail_with(PyExc_ValueError, std::move(text).error().message);
  return std::move(*text);
}

// The text through the `loads` of whatever module importing "json" gives
// now: an application that replaced the module, or its `loads`, gets its own.
Outcome loads(std::string_view text) {
  PyRef json = PyRef::steal(PyImport_Import(names::json()));
  if (!json) return fail(fetch_error_or_resume_panic());
  Outcome document = text_value(text);
  if (!document) return document;
  PyObject* arguments[] = {json.get(), document->get()};
  return outcome_from_call(PyObject_VectorcallMethod(names::loads(), arguments,
                                                     2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The text is written under a shared borrow and parsed after it is released:
// once written it is a consistent snapshot, and the import and `loads` are
// Python code, during which another thread (or a replaced `loads`) may well
// record on the span.
template <auto Write>
Outcome loaded(PyObject* self) {
  Result<JsonText> text = with_borrowed<PyTraceSpan, BorrowKind::Shared>(
      self, [](const PyTraceSpan& span) { return written(Write(span.record)); });
  if (!text) return fail(std::move(text).error());
  return loads(*text);
}

}  // namespace

Outcome span_to_json(const PyTraceSpan& self) {
  Result<JsonText> text = written(span_to_pretty_json(self.record));
  if (!text) return fail(std::move(text).error());
  return text_value(*text);
}

Outcome span_to_dict(PyObject* self) {
  return loaded<&span_to_compact_json>(self);
}

Outcome span_security_findings(PyObject* self) {
  return loaded<&findings_to_compact_json>(self);
}

Outcome span_repr(const PyTraceSpan& self) {
  const TraceSpan& record = self.record;
  std::string text;
  text.reserve(80 + record.operation_name.size() + record.model_name.size());
  text += "TraceSpan(trace_id='";
  char id[kUuidTextLength];
  format_uuid(record.trace_id, id);
  text.append(id, kUuidTextLength);
  text += "', op='";
  text += record.operation_name;
  text += "', model='";
  text += record.model_name;
  text += "', complete=";
  text += record.is_complete() ? "true" : "false";
  text += ')';
  return text_value(text);
}

}  // namespace pelnorix::python
