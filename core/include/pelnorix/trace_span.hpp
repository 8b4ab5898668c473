// The record of one interaction with a large-language-model service, and the
// two records a span can carry besides agent actions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/agent_action.hpp"
#include "pelnorix/clock.hpp"
#include "pelnorix/enums.hpp"
#include "pelnorix/optional_text.hpp"
#include "pelnorix/string_map.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix {

struct SecurityFinding {
  Uuid id;
  SecuritySeverity severity = SecuritySeverity::Info;
  std::string finding_type;
  std::string description;
  UtcTimestamp detected_at;
  double confidence_score = 0.0;
  OptionalText location;
  StringMap metadata;
  bool requires_alert = false;

  friend bool operator==(const SecurityFinding&, const SecurityFinding&) = default;
};

struct SpanEvent {
  Uuid id;
  UtcTimestamp timestamp;
  std::string event_type;
  std::string description;
  StringMap data;

  friend bool operator==(const SpanEvent&, const SpanEvent&) = default;
};

// Members are ordered by size, not in the document's order (that is the
// writer's business), so that the record wastes no padding.
struct TraceSpan {
  Uuid trace_id;
  Uuid span_id;
  TenantId tenant_id;
  std::string operation_name;
  std::string model_name;
  std::string prompt;
  LLMProvider provider;
  UtcTimestamp start_time;
  std::optional<UtcTimestamp> end_time;
  std::optional<std::uint64_t> time_to_first_token_ms;
  std::optional<std::uint64_t> duration_ms;
  std::optional<double> estimated_cost_usd;
  std::vector<SecurityFinding> security_findings;
  std::vector<SpanEvent> events;
  std::vector<AgentAction> agent_actions;
  StringMap tags;
  OptionalText response;
  OptionalText error_message;
  std::optional<std::uint32_t> prompt_tokens;
  std::optional<std::uint32_t> completion_tokens;
  std::optional<std::uint32_t> total_tokens;
  std::optional<std::uint16_t> status_code;
  std::optional<std::uint8_t> security_score;
  std::optional<Uuid> parent_span_id;

  bool is_complete() const noexcept { return end_time.has_value(); }
  bool is_failed() const noexcept { return error_message.has_value(); }

  // Field-by-field equality; a copy (the implicit copy constructor is the deep
  // copy) compares equal to its source.
  friend bool operator==(const TraceSpan&, const TraceSpan&) = default;
};

// A new open span: fresh span id, start time read once, every optional field
// absent, every list and map empty. Throws Fault when the random source or the
// clock fails.
TraceSpan new_span(Uuid trace_id, TenantId tenant, std::string operation_name, LLMProvider provider,
                   std::string model_name, std::string prompt);

// Finish by value: read the clock, then finish. Throws Fault (and the consumed
// span is lost to the caller, who keeps its own original) on a clock failure.
TraceSpan finish_with_response(TraceSpan span, std::string_view response);
TraceSpan finish_with_error(TraceSpan span, std::string_view error_message,
                            std::optional<std::uint16_t> status_code);

// Finish in place with the text made and the clock read beforehand. These
// cannot fail, so a caller that made both first never leaves the span
// half-changed, and their cost does not depend on the span's size. The text
// is taken over as it is, so that it is copied once, from the caller's
// original: a present one is expected.
void finish_with_response_at(TraceSpan& span, OptionalText response, UtcTimestamp end) noexcept;
void finish_with_error_at(TraceSpan& span, OptionalText error_message,
                          std::optional<std::uint16_t> status_code, UtcTimestamp end) noexcept;

// Duration between start and end in whole milliseconds, truncated toward zero;
// an end before the start (the wall clock was set back) gives 0.
std::uint64_t duration_between(const UtcTimestamp& start, const UtcTimestamp& end) noexcept;

// Token-count update: both counts set or cleared; the total is their sum when
// both are given (saturating at 4294967295), absent otherwise.
void set_token_counts(TraceSpan& span, std::optional<std::uint32_t> prompt_tokens,
                      std::optional<std::uint32_t> completion_tokens) noexcept;

void add_agent_action(TraceSpan& span, AgentAction action);

}  // namespace pelnorix
