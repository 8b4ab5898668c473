// TraceSpan.report_action: one agent action built from the arguments and
// appended to the span.
#include <string>

#include "boundary/convert.hpp"
#include "pelnorix/agent_action.hpp"
#include "pelnorix/enums.hpp"
#include "span/span.hpp"

namespace pelnorix::python {

Outcome span_report_action(PyTraceSpan& self, std::string_view action_type, std::string_view name,
                           std::optional<std::string_view> arguments,
                           std::optional<std::string_view> result,
                           std::optional<std::uint64_t> duration_ms, std::optional<bool> success) {
  const std::optional<AgentActionType> kind = agent_action_type_from_text(action_type);
  if (!kind) {
    std::string message = "Invalid action_type: '";
    message += action_type;
    message +=
        "'. Expected one of: tool_call, skill_invocation, command_execution, web_access, "
        "file_access";
    return fail_with(PyExc_ValueError, std::move(message));
  }
  AgentAction action = new_agent_action(*kind, std::string(name));
  if (arguments) action = with_arguments(std::move(action), *arguments);
  // Only the part that is kept is copied: a large result costs no more than a
  // 4 KB one.
  if (result) action = with_result(std::move(action), *result);
  if (duration_ms) action.duration_ms = *duration_ms;
  if (success == false) action.success = false;

  // The id text is made before the append, so that a failure to make it
  // leaves the span as it was.
  Outcome id = uuid_value(action.id);
  if (!id) return id;
  add_agent_action(self.record, std::move(action));
  return id;
}

}  // namespace pelnorix::python
