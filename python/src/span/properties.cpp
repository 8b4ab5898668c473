#include "boundary/convert.hpp"
#include "span/span.hpp"

namespace pelnorix::python {

Outcome span_trace_id(const PyTraceSpan& self) {
  return uuid_value(self.record.trace_id);
}
Outcome span_span_id(const PyTraceSpan& self) {
  return uuid_value(self.record.span_id);
}
Outcome span_operation_name(const PyTraceSpan& self) {
  return text_value(self.record.operation_name);
}
Outcome span_model_name(const PyTraceSpan& self) {
  return text_value(self.record.model_name);
}
Outcome span_prompt(const PyTraceSpan& self) {
  return text_value(self.record.prompt);
}
Outcome span_response(const PyTraceSpan& self) {
  return optional_text_value(self.record.response);
}
Outcome span_is_complete(const PyTraceSpan& self) {
  return bool_value(self.record.is_complete());
}
Outcome span_is_failed(const PyTraceSpan& self) {
  return bool_value(self.record.is_failed());
}
Outcome span_duration_ms(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.duration_ms);
}
Outcome span_prompt_tokens(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.prompt_tokens);
}
Outcome span_completion_tokens(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.completion_tokens);
}
Outcome span_total_tokens(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.total_tokens);
}
Outcome span_security_score(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.security_score);
}
Outcome span_error_message(const PyTraceSpan& self) {
  return optional_text_value(self.record.error_message);
}
Outcome span_status_code(const PyTraceSpan& self) {
  return optional_unsigned_value(self.record.status_code);
}
Outcome span_security_findings_count(const PyTraceSpan& self) {
  return unsigned_value(self.record.security_findings.size());
}
Outcome span_agent_actions_count(const PyTraceSpan& self) {
  return unsigned_value(self.record.agent_actions.size());
}

}  // namespace pelnorix::python
