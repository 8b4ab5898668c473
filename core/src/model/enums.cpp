#include "pelnorix/enums.hpp"

#include <array>
#include <cstddef>

namespace pelnorix {
namespace {

constexpr std::array<std::string_view, 9> kProviderNames = {
    "OpenAI", "Anthropic", "VLLm", "SGLang", "TGI", "Ollama", "AzureOpenAI", "Bedrock", "Custom",
};

constexpr std::array<std::string_view, kAgentActionTypeCount> kActionTexts = {
    "tool_call", "skill_invocation", "command_execution", "web_access", "file_access",
};

constexpr std::array<std::string_view, 5> kSeverityNames = {
    "Info", "Low", "Medium", "High", "Critical",
};

constexpr std::array<std::string_view, 5> kSeverityLowerNames = {
    "info", "low", "medium", "high", "critical",
};

// Out-of-range values can only come from a cast; they print as nothing
// rather than reading past the table.
template <std::size_t N, typename E>
std::string_view lookup(const std::array<std::string_view, N>& table, E value) noexcept {
  const auto index = static_cast<std::size_t>(value);
  return index < N ? table[index] : std::string_view{};
}

}  // namespace

std::string_view provider_name(LLMProvider::Kind kind) noexcept {
  return lookup(kProviderNames, kind);
}

std::string_view canonical_text(AgentActionType type) noexcept {
  return lookup(kActionTexts, type);
}

std::optional<AgentActionType> agent_action_type_from_text(std::string_view text) noexcept {
  for (std::size_t i = 0; i < kActionTexts.size(); ++i) {
    if (kActionTexts[i] == text) return static_cast<AgentActionType>(i);
  }
  return std::nullopt;
}

std::string_view severity_name(SecuritySeverity severity) noexcept {
  return lookup(kSeverityNames, severity);
}

std::string_view severity_lower_name(SecuritySeverity severity) noexcept {
  return lookup(kSeverityLowerNames, severity);
}

}  // namespace pelnorix
