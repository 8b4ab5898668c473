#include <string_view>

#include "boundary/convert.hpp"
#include "pelnorix/clock.hpp"
#include "pelnorix/optional_text.hpp"
#include "span/span.hpp"

namespace pelnorix::python {

Outcome span_set_prompt(PyTraceSpan& self, std::string_view prompt) {
  self.record.prompt.assign(prompt);
  return none_value();
}

// Everything that can fail (the copy of the text, the clock) happens before
// the record is touched; finishing in place then cannot fail, and its cost
// does not grow with the span's tags and actions.
Outcome span_set_response(PyTraceSpan& self, std::string_view response) {
  OptionalText text(response);
  const UtcTimestamp end = now_utc();
  finish_with_response_at(self.record, std::move(text), end);
  return none_value();
}

Outcome span_set_error(PyTraceSpan& self, std::string_view error,
                       std::optional<std::uint16_t> status_code) {
  OptionalText text(error);
  const UtcTimestamp end = now_utc();
  finish_with_error_at(self.record, std::move(text), status_code, end);
  return none_value();
}

Outcome span_set_token_counts(PyTraceSpan& self, std::optional<std::uint32_t> prompt_tokens,
                              std::optional<std::uint32_t> completion_tokens) {
  set_token_counts(self.record, prompt_tokens, completion_tokens);
  return none_value();
}

Outcome span_set_ttft_ms(PyTraceSpan& self, std::uint64_t ttft_ms) {
  self.record.time_to_first_token_ms = ttft_ms;
  return none_value();
}

Outcome span_add_tag(PyTraceSpan& self, std::string_view key, std::string_view value) {
  self.record.tags.insert_or_assign(key, value);
  return none_value();
}

}  // namespace pelnorix::python
