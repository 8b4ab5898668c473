// The record of one thing an agent did while a span was open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pelnorix/clock.hpp"
#include "pelnorix/enums.hpp"
#include "pelnorix/optional_text.hpp"
#include "pelnorix/string_map.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix {

inline constexpr std::size_t kMaxActionResultBytes = 4096;

// Members are ordered by size, not in the document's order (that is the
// writer's business), so that a span's actions waste no padding.
struct AgentAction {
  Uuid id;
  std::string name;
  std::optional<std::uint64_t> duration_ms;
  UtcTimestamp timestamp;
  StringMap metadata;
  OptionalText arguments;
  OptionalText result;  // at most kMaxActionResultBytes
  OptionalText http_method;
  OptionalText file_operation;
  std::optional<std::int32_t> exit_code;
  std::optional<std::uint16_t> http_status;
  AgentActionType action_type = AgentActionType::ToolCall;
  bool success = true;

  friend bool operator==(const AgentAction&, const AgentAction&) = default;
};

// A fresh action: random id, the clock read once, success true, every optional
// field absent, empty metadata. Throws Fault when the random source or the
// clock fails.
AgentAction new_agent_action(AgentActionType type, std::string name);

AgentAction with_arguments(AgentAction action, std::string_view arguments);

// Stores the result cut to at most 4096 bytes at a UTF-8 character boundary;
// only the part that is kept is copied.
AgentAction with_result(AgentAction action, std::string_view result);

// The length of the prefix of `text` that with_result keeps.
std::size_t truncated_result_length(std::string_view text) noexcept;

}  // namespace pelnorix
