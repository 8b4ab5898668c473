// The span document and the finding summaries: the records written key by key
// in their fixed order, straight into one text buffer.
#include "pelnorix/span_document.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pelnorix {
namespace {

// Field values by stored type. Records, enumerations, identifiers, timestamps
// and maps fall through to their write_json.
JsonStatus write_value(JsonWriter& writer, const std::string& text) {
  return writer.string_value(text);
}
JsonStatus write_value(JsonWriter& writer, bool value) {
  return writer.bool_value(value);
}
JsonStatus write_value(JsonWriter& writer, std::uint8_t value) {
  return writer.uint8_value(value);
}
JsonStatus write_value(JsonWriter& writer, std::uint16_t value) {
  return writer.uint16_value(value);
}
JsonStatus write_value(JsonWriter& writer, std::uint32_t value) {
  return writer.uint32_value(value);
}
JsonStatus write_value(JsonWriter& writer, std::uint64_t value) {
  return writer.uint64_value(value);
}
JsonStatus write_value(JsonWriter& writer, std::int32_t value) {
  return writer.int32_value(value);
}
// NaN and infinities come out as null, optional or not.
JsonStatus write_value(JsonWriter& writer, double value) {
  return writer.double_value(value);
}

template <typename T>
JsonStatus write_value(JsonWriter& writer, const T& value) {
  return write_json(writer, value);
}

template <typename T>
JsonStatus write_value(JsonWriter& writer, const std::optional<T>& value) {
  return value.has_value() ? write_value(writer, *value) : writer.null_value();
}
JsonStatus write_value(JsonWriter& writer, const OptionalText& text) {
  return text.has_value() ? writer.string_value(*text) : writer.null_value();
}

template <typename T>
JsonStatus write_value(JsonWriter& writer, const std::vector<T>& records) {
  PELNORIX_JSON_TRY(writer.begin_array());
  for (const T& record : records)
    PELNORIX_JSON_TRY(write_value(writer, record));
  return writer.end_array();
}

// A key as a template argument, so that its token is one constant of the
// program rather than a value built and copied at every member.
template <std::size_t N>
struct KeyText {
  char text[N];
  consteval KeyText(const char (&literal)[N]) {  // NOLINT: built from literals
    for (std::size_t i = 0; i < N; ++i)
      text[i] = literal[i];
  }
};

template <KeyText Key>
inline constexpr JsonKeyLiteral kKey{Key.text};

// Inlined into the record writers: a member is a handful of stores, and a
// call per member would cost more than the member itself. A record's first
// member is written with the writer's checks; every later one follows it in
// the same object, as the record writers below are laid out.
template <KeyText Key, typename T>
[[gnu::always_inline]] inline JsonStatus first_member(JsonWriter& writer, const T& value) {
  PELNORIX_JSON_TRY(writer.literal_key(kKey<Key>));
  return write_value(writer, value);
}
template <KeyText Key, typename T>
[[gnu::always_inline]] inline JsonStatus member(JsonWriter& writer, const T& value) {
  PELNORIX_JSON_TRY(writer.following_literal_key(kKey<Key>));
  return write_value(writer, value);
}

template <typename Write>
Expected<JsonText, JsonError> render(JsonWriter writer, Write&& write) {
  if (JsonStatus status = std::forward<Write>(write)(writer); !status.ok()) {
    return Unexpected{std::move(status).take_error()};
  }
  return std::move(writer).take_text();
}

}  // namespace

JsonStatus write_json(JsonWriter& writer, const TraceSpan& span) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(first_member<"trace_id">(writer, span.trace_id));
  PELNORIX_JSON_TRY(member<"span_id">(writer, span.span_id));
  PELNORIX_JSON_TRY(member<"parent_span_id">(writer, span.parent_span_id));
  PELNORIX_JSON_TRY(member<"tenant_id">(writer, span.tenant_id));
  PELNORIX_JSON_TRY(member<"operation_name">(writer, span.operation_name));
  PELNORIX_JSON_TRY(member<"start_time">(writer, span.start_time));
  PELNORIX_JSON_TRY(member<"end_time">(writer, span.end_time));
  PELNORIX_JSON_TRY(member<"provider">(writer, span.provider));
  PELNORIX_JSON_TRY(member<"model_name">(writer, span.model_name));
  PELNORIX_JSON_TRY(member<"prompt">(writer, span.prompt));
  PELNORIX_JSON_TRY(member<"response">(writer, span.response));
  PELNORIX_JSON_TRY(member<"prompt_tokens">(writer, span.prompt_tokens));
  PELNORIX_JSON_TRY(member<"completion_tokens">(writer, span.completion_tokens));
  PELNORIX_JSON_TRY(member<"total_tokens">(writer, span.total_tokens));
  PELNORIX_JSON_TRY(member<"time_to_first_token_ms">(writer, span.time_to_first_token_ms));
  PELNORIX_JSON_TRY(member<"duration_ms">(writer, span.duration_ms));
  PELNORIX_JSON_TRY(member<"status_code">(writer, span.status_code));
  PELNORIX_JSON_TRY(member<"error_message">(writer, span.error_message));
  PELNORIX_JSON_TRY(member<"estimated_cost_usd">(writer, span.estimated_cost_usd));
  PELNORIX_JSON_TRY(member<"security_score">(writer, span.security_score));
  PELNORIX_JSON_TRY(member<"security_findings">(writer, span.security_findings));
  PELNORIX_JSON_TRY(member<"tags">(writer, span.tags));
  PELNORIX_JSON_TRY(member<"events">(writer, span.events));
  PELNORIX_JSON_TRY(member<"agent_actions">(writer, span.agent_actions));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const AgentAction& action) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(first_member<"id">(writer, action.id));
  PELNORIX_JSON_TRY(member<"action_type">(writer, action.action_type));
  PELNORIX_JSON_TRY(member<"name">(writer, action.name));
  PELNORIX_JSON_TRY(member<"arguments">(writer, action.arguments));
  PELNORIX_JSON_TRY(member<"result">(writer, action.result));
  PELNORIX_JSON_TRY(member<"duration_ms">(writer, action.duration_ms));
  PELNORIX_JSON_TRY(member<"success">(writer, action.success));
  PELNORIX_JSON_TRY(member<"exit_code">(writer, action.exit_code));
  PELNORIX_JSON_TRY(member<"http_method">(writer, action.http_method));
  PELNORIX_JSON_TRY(member<"http_status">(writer, action.http_status));
  PELNORIX_JSON_TRY(member<"file_operation">(writer, action.file_operation));
  PELNORIX_JSON_TRY(member<"timestamp">(writer, action.timestamp));
  PELNORIX_JSON_TRY(member<"metadata">(writer, action.metadata));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const SecurityFinding& finding) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(first_member<"id">(writer, finding.id));
  PELNORIX_JSON_TRY(member<"severity">(writer, finding.severity));
  PELNORIX_JSON_TRY(member<"finding_type">(writer, finding.finding_type));
  PELNORIX_JSON_TRY(member<"description">(writer, finding.description));
  PELNORIX_JSON_TRY(member<"detected_at">(writer, finding.detected_at));
  PELNORIX_JSON_TRY(member<"confidence_score">(writer, finding.confidence_score));
  PELNORIX_JSON_TRY(member<"location">(writer, finding.location));
  PELNORIX_JSON_TRY(member<"metadata">(writer, finding.metadata));
  PELNORIX_JSON_TRY(member<"requires_alert">(writer, finding.requires_alert));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const SpanEvent& event) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(first_member<"id">(writer, event.id));
  PELNORIX_JSON_TRY(member<"timestamp">(writer, event.timestamp));
  PELNORIX_JSON_TRY(member<"event_type">(writer, event.event_type));
  PELNORIX_JSON_TRY(member<"description">(writer, event.description));
  PELNORIX_JSON_TRY(member<"data">(writer, event.data));
  return writer.end_object();
}

JsonObject finding_summary(const SecurityFinding& finding) {
  JsonObject summary;
  summary.insert_or_assign("confidence_score", JsonValue::number(finding.confidence_score));
  summary.insert_or_assign("description", finding.description);
  summary.insert_or_assign("finding_type", finding.finding_type);
  summary.insert_or_assign("id", to_string(finding.id));
  summary.insert_or_assign(
      "location", finding.location ? JsonValue(std::string(*finding.location)) : JsonValue());
  summary.insert_or_assign("requires_alert", finding.requires_alert);
  summary.insert_or_assign("severity", std::string(severity_lower_name(finding.severity)));
  return summary;
}

Expected<JsonText, JsonError> span_to_compact_json(const TraceSpan& span) {
  return render(JsonWriter::compact(), [&span](JsonWriter& w) { return write_json(w, span); });
}

Expected<JsonText, JsonError> span_to_pretty_json(const TraceSpan& span) {
  return render(JsonWriter::pretty("  ", 0),
                [&span](JsonWriter& w) { return write_json(w, span); });
}

Expected<JsonText, JsonError> findings_to_compact_json(const TraceSpan& span) {
  JsonArray summaries;
  summaries.reserve(span.security_findings.size());
  for (const SecurityFinding& finding : span.security_findings) {
    summaries.emplace_back(finding_summary(finding));
  }
  const JsonValue document(std::move(summaries));
  return render(JsonWriter::compact(),
                [&document](JsonWriter& w) { return w.json_value(document); });
}

}  // namespace pelnorix
