// The TraceSpan properties that are not a member of the record as it is.
#include "boundary/convert.hpp"
#include "span/span.hpp"

namespace pelnorix::python {

Outcome span_security_findings_count(const PyTraceSpan& self) {
  return unsigned_value(self.record.security_findings.size());
}
Outcome span_agent_actions_count(const PyTraceSpan& self) {
  return unsigned_value(self.record.agent_actions.size());
}

}  // namespace pelnorix::python
