// The spans the benchmarks measure: a fresh one, and the typical one (1 KB
// prompt, 1 KB response, 5 tags, 3 agent actions).
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "pelnorix/agent_action.hpp"
#include "pelnorix/trace_span.hpp"

namespace pelnorix::bench {

// Words and spaces; with `line_breaks`, a sentence ends in a newline now and
// then, as in prompts.
inline std::string prose(std::size_t bytes, std::uint64_t seed, bool line_breaks = true) {
  static constexpr const char* kWords[] = {"the",   "model", "returned", "a",    "summary",
                                           "of",    "query", "context",  "with", "tokens",
                                           "agent", "tool",  "result",   "and",  "response"};
  std::mt19937_64 random(seed);
  std::string text;
  while (text.size() < bytes) {
    text += kWords[random() % std::size(kWords)];
    text += line_breaks && random() % 12 == 0 ? ".\n" : " ";
  }
  text.resize(bytes);
  return text;
}

inline TraceSpan fresh_span() {
  return new_span(generate_uuid_v4(), TenantId::generate(), "chat_completion",
                  LLMProvider{LLMProvider::Kind::OpenAI, {}}, "gpt-4", "");
}

// 1 KB prompt, 1 KB response, 5 tags, 3 agent actions with arguments and results.
inline TraceSpan typical_span(std::size_t action_count = 3) {
  TraceSpan span = fresh_span();
  span.prompt = prose(1024, 1);
  set_token_counts(span, 250, 310);
  span.time_to_first_token_ms = 180;
  for (int i = 0; i < 5; ++i) {
    span.tags.insert_or_assign("tag_" + std::to_string(i), "value-" + std::to_string(i * 37));
  }
  for (std::size_t i = 0; i < action_count; ++i) {
    AgentAction action = new_agent_action(AgentActionType::ToolCall, "web_search");
    action = with_arguments(std::move(action), R"({"query": "weather in Paris", "limit": 5})");
    action = with_result(std::move(action), prose(200, i));
    action.duration_ms = 35 + i;
    add_agent_action(span, std::move(action));
  }
  return finish_with_response(std::move(span), prose(1024, 2));
}

}  // namespace pelnorix::bench
