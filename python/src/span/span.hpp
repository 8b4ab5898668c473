// TraceSpan: the Python object around one core span record.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"
#include "boundary/type_cells.hpp"
#include "pelnorix/trace_span.hpp"

namespace pelnorix::python {

struct PyTraceSpan {
  static constexpr const char* kClassName = "TraceSpan";
  static TypeCell& type_cell();

  TraceSpan record;
};

// Wraps a new record in a TraceSpan object, moving it once, into place.
Outcome new_span_object(TraceSpan&& record);

// Properties that count (shared borrow); the others read the record's members.
Outcome span_security_findings_count(const PyTraceSpan& self);
Outcome span_agent_actions_count(const PyTraceSpan& self);

// Recording methods (exclusive borrow). Every argument is converted before any
// of them runs, and each either changes the record completely or not at all.
Outcome span_set_prompt(PyTraceSpan& self, std::string_view prompt);
Outcome span_set_response(PyTraceSpan& self, std::string_view response);
Outcome span_set_error(PyTraceSpan& self, std::string_view error,
                       std::optional<std::uint16_t> status_code);
Outcome span_set_token_counts(PyTraceSpan& self, std::optional<std::uint32_t> prompt_tokens,
                              std::optional<std::uint32_t> completion_tokens);
Outcome span_set_ttft_ms(PyTraceSpan& self, std::uint64_t ttft_ms);
Outcome span_add_tag(PyTraceSpan& self, std::string_view key, std::string_view value);

// Agent actions (exclusive borrow): returns the new action's id as text.
Outcome span_report_action(PyTraceSpan& self, std::string_view action_type, std::string_view name,
                           std::optional<std::string_view> arguments,
                           std::optional<std::string_view> result,
                           std::optional<std::uint64_t> duration_ms, std::optional<bool> success);

// Export (shared borrow). to_dict and security_findings borrow only while
// they write the text, not while Python's json parses it.
Outcome span_to_json(const PyTraceSpan& self);
Outcome span_to_dict(PyObject* self);
Outcome span_security_findings(PyObject* self);
Outcome span_repr(const PyTraceSpan& self);

}  // namespace pelnorix::python
