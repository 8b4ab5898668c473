#include "pelnorix/trace_span.hpp"

#include <limits>
#include <utility>

namespace pelnorix {

TraceSpan new_span(Uuid trace_id, TenantId tenant, std::string operation_name, LLMProvider provider,
                   std::string model_name, std::string prompt) {
  const Uuid span_id = generate_uuid_v4();
  const UtcTimestamp start_time = now_utc();
  TraceSpan span;  // its tags map draws its hash key at the first tag
  span.trace_id = trace_id;
  span.span_id = span_id;
  span.tenant_id = tenant;
  span.operation_name = std::move(operation_name);
  span.start_time = start_time;
  span.provider = std::move(provider);
  span.model_name = std::move(model_name);
  span.prompt = std::move(prompt);
  return span;
}

std::uint64_t duration_between(const UtcTimestamp& start, const UtcTimestamp& end) noexcept {
  const std::int64_t ms = whole_milliseconds(difference(end, start));
  // An end before the start means the wall clock was set back; a huge
  // unsigned duration would be a lie, zero is the honest bound.
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

void finish_with_response_at(TraceSpan& span, OptionalText response, UtcTimestamp end) noexcept {
  span.response = std::move(response);
  span.end_time = end;
  span.duration_ms = duration_between(span.start_time, end);
}

void finish_with_error_at(TraceSpan& span, OptionalText error_message,
                          std::optional<std::uint16_t> status_code, UtcTimestamp end) noexcept {
  span.error_message = std::move(error_message);
  span.status_code = status_code;
  span.end_time = end;
  span.duration_ms = duration_between(span.start_time, end);
}

TraceSpan finish_with_response(TraceSpan span, std::string_view response) {
  OptionalText text(response);
  const UtcTimestamp end = now_utc();
  finish_with_response_at(span, std::move(text), end);
  return span;
}

TraceSpan finish_with_error(TraceSpan span, std::string_view error_message,
                            std::optional<std::uint16_t> status_code) {
  OptionalText text(error_message);
  const UtcTimestamp end = now_utc();
  finish_with_error_at(span, std::move(text), status_code, end);
  return span;
}

void set_token_counts(TraceSpan& span, std::optional<std::uint32_t> prompt_tokens,
                      std::optional<std::uint32_t> completion_tokens) noexcept {
  span.prompt_tokens = prompt_tokens;
  span.completion_tokens = completion_tokens;
  if (prompt_tokens && completion_tokens) {
    // A wrapped-around total would report fewer tokens than either part.
    const std::uint64_t sum = std::uint64_t{*prompt_tokens} + *completion_tokens;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    span.total_tokens = static_cast<std::uint32_t>(sum < kMax ? sum : kMax);
  } else {
    span.total_tokens.reset();
  }
}

void add_agent_action(TraceSpan& span, AgentAction action) {
  std::vector<AgentAction>& actions = span.agent_actions;
  // Most spans carry a handful of actions and are then held until exported:
  // while there are few, grow one slot at a time, so that a finished span
  // holds no empty slots of an action's size; beyond that, doubling keeps
  // appends amortised constant.
  constexpr std::size_t kFewActions = 4;
  if (actions.size() == actions.capacity() && actions.size() < kFewActions) {
    actions.reserve(actions.size() + 1);
  }
  actions.push_back(std::move(action));
}

}  // namespace pelnorix
