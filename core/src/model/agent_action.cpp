#include "pelnorix/agent_action.hpp"

#include <utility>

#include "pelnorix/utf8.hpp"

namespace pelnorix {

AgentAction new_agent_action(AgentActionType type, std::string name) {
  const Uuid id = generate_uuid_v4();
  const UtcTimestamp timestamp = now_utc();
  AgentAction action;  // its metadata map is created here
  action.id = id;
  action.timestamp = timestamp;
  action.action_type = type;
  action.name = std::move(name);
  return action;
}

AgentAction with_arguments(AgentAction action, std::string_view arguments) {
  action.arguments = arguments;
  return action;
}

std::size_t truncated_result_length(std::string_view text) noexcept {
  return utf8_prefix_length(text, kMaxActionResultBytes);
}

AgentAction with_result(AgentAction action, std::string_view result) {
  action.result = result.substr(0, truncated_result_length(result));
  return action;
}

}  // namespace pelnorix
