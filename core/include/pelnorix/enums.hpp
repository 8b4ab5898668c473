// The three enumerations of the trace model.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelnorix {

// The service or serving stack that answered a request. The first eight
// variants carry nothing; Custom carries the name of any other provider.
struct LLMProvider {
  enum class Kind : std::uint8_t {
    OpenAI,
    Anthropic,
    VLLm,
    SGLang,
    TGI,
    Ollama,
    AzureOpenAI,
    Bedrock,
    Custom,
  };

  Kind kind = Kind::OpenAI;
  std::string custom_name;  // meaningful only for Kind::Custom

  static LLMProvider custom(std::string name) { return {Kind::Custom, std::move(name)}; }

  friend bool operator==(const LLMProvider&, const LLMProvider&) = default;
};

// Export name of a plain variant ("OpenAI", "VLLm", ...); "Custom" for Custom.
std::string_view provider_name(LLMProvider::Kind kind) noexcept;

enum class AgentActionType : std::uint8_t {
  ToolCall,
  SkillInvocation,
  CommandExecution,
  WebAccess,
  FileAccess,
};
inline constexpr int kAgentActionTypeCount = 5;

// "tool_call", "skill_invocation", "command_execution", "web_access", "file_access".
std::string_view canonical_text(AgentActionType type) noexcept;

// Exact, case-sensitive match of the whole text against the canonical texts.
std::optional<AgentActionType> agent_action_type_from_text(std::string_view text) noexcept;

enum class SecuritySeverity : std::uint8_t { Info, Low, Medium, High, Critical };

// "Info" ... "Critical".
std::string_view severity_name(SecuritySeverity severity) noexcept;
// "info" ... "critical".
std::string_view severity_lower_name(SecuritySeverity severity) noexcept;

}  // namespace pelnorix
