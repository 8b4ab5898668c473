// The span document and the finding summaries: the records written key by key
// in their fixed order, straight into one text buffer.
#include "pelnorix/span_document.hpp"

#include <optional>
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

template <typename T>
JsonStatus write_value(JsonWriter& writer, const std::vector<T>& records) {
  PELNORIX_JSON_TRY(writer.begin_array());
  for (const T& record : records)
    PELNORIX_JSON_TRY(write_value(writer, record));
  return writer.end_array();
}

template <typename T>
JsonStatus member(JsonWriter& writer, JsonKeyLiteral key, const T& value) {
  PELNORIX_JSON_TRY(writer.literal_key(key));
  return write_value(writer, value);
}

template <typename Write>
Expected<std::string, JsonError> render(JsonWriter writer, Write&& write) {
  if (JsonStatus status = std::forward<Write>(write)(writer); !status.ok()) {
    return Unexpected{std::move(status).take_error()};
  }
  return std::move(writer).take_text();
}

}  // namespace

JsonStatus write_json(JsonWriter& writer, const TraceSpan& span) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(member(writer, "trace_id", span.trace_id));
  PELNORIX_JSON_TRY(member(writer, "span_id", span.span_id));
  PELNORIX_JSON_TRY(member(writer, "parent_span_id", span.parent_span_id));
  PELNORIX_JSON_TRY(member(writer, "tenant_id", span.tenant_id));
  PELNORIX_JSON_TRY(member(writer, "operation_name", span.operation_name));
  PELNORIX_JSON_TRY(member(writer, "start_time", span.start_time));
  PELNORIX_JSON_TRY(member(writer, "end_time", span.end_time));
  PELNORIX_JSON_TRY(member(writer, "provider", span.provider));
  PELNORIX_JSON_TRY(member(writer, "model_name", span.model_name));
  PELNORIX_JSON_TRY(member(writer, "prompt", span.prompt));
  PELNORIX_JSON_TRY(member(writer, "response", span.response));
  PELNORIX_JSON_TRY(member(writer, "prompt_tokens", span.prompt_tokens));
  PELNORIX_JSON_TRY(member(writer, "completion_tokens", span.completion_tokens));
  PELNORIX_JSON_TRY(member(writer, "total_tokens", span.total_tokens));
  PELNORIX_JSON_TRY(member(writer, "time_to_first_token_ms", span.time_to_first_token_ms));
  PELNORIX_JSON_TRY(member(writer, "duration_ms", span.duration_ms));
  PELNORIX_JSON_TRY(member(writer, "status_code", span.status_code));
  PELNORIX_JSON_TRY(member(writer, "error_message", span.error_message));
  PELNORIX_JSON_TRY(member(writer, "estimated_cost_usd", span.estimated_cost_usd));
  PELNORIX_JSON_TRY(member(writer, "security_score", span.security_score));
  PELNORIX_JSON_TRY(member(writer, "security_findings", span.security_findings));
  PELNORIX_JSON_TRY(member(writer, "tags", span.tags));
  PELNORIX_JSON_TRY(member(writer, "events", span.events));
  PELNORIX_JSON_TRY(member(writer, "agent_actions", span.agent_actions));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const AgentAction& action) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(member(writer, "id", action.id));
  PELNORIX_JSON_TRY(member(writer, "action_type", action.action_type));
  PELNORIX_JSON_TRY(member(writer, "name", action.name));
  PELNORIX_JSON_TRY(member(writer, "arguments", action.arguments));
  PELNORIX_JSON_TRY(member(writer, "result", action.result));
  PELNORIX_JSON_TRY(member(writer, "duration_ms", action.duration_ms));
  PELNORIX_JSON_TRY(member(writer, "success", action.success));
  PELNORIX_JSON_TRY(member(writer, "exit_code", action.exit_code));
  PELNORIX_JSON_TRY(member(writer, "http_method", action.http_method));
  PELNORIX_JSON_TRY(member(writer, "http_status", action.http_status));
  PELNORIX_JSON_TRY(member(writer, "file_operation", action.file_operation));
  PELNORIX_JSON_TRY(member(writer, "timestamp", action.timestamp));
  PELNORIX_JSON_TRY(member(writer, "metadata", action.metadata));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const SecurityFinding& finding) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(member(writer, "id", finding.id));
  PELNORIX_JSON_TRY(member(writer, "severity", finding.severity));
  PELNORIX_JSON_TRY(member(writer, "finding_type", finding.finding_type));
  PELNORIX_JSON_TRY(member(writer, "description", finding.description));
  PELNORIX_JSON_TRY(member(writer, "detected_at", finding.detected_at));
  PELNORIX_JSON_TRY(member(writer, "confidence_score", finding.confidence_score));
  PELNORIX_JSON_TRY(member(writer, "location", finding.location));
  PELNORIX_JSON_TRY(member(writer, "metadata", finding.metadata));
  PELNORIX_JSON_TRY(member(writer, "requires_alert", finding.requires_alert));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, const SpanEvent& event) {
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(member(writer, "id", event.id));
  PELNORIX_JSON_TRY(member(writer, "timestamp", event.timestamp));
  PELNORIX_JSON_TRY(member(writer, "event_type", event.event_type));
  PELNORIX_JSON_TRY(member(writer, "description", event.description));
  PELNORIX_JSON_TRY(member(writer, "data", event.data));
  return writer.end_object();
}

JsonObject finding_summary(const SecurityFinding& finding) {
  JsonObject summary;
  summary.insert_or_assign("confidence_score", JsonValue::number(finding.confidence_score));
  summary.insert_or_assign("description", finding.description);
  summary.insert_or_assign("finding_type", finding.finding_type);
  summary.insert_or_assign("id", to_string(finding.id));
  summary.insert_or_assign("location",
                           finding.location ? JsonValue(*finding.location) : JsonValue());
  summary.insert_or_assign("requires_alert", finding.requires_alert);
  summary.insert_or_assign("severity", std::string(severity_lower_name(finding.severity)));
  return summary;
}

Expected<std::string, JsonError> span_to_compact_json(const TraceSpan& span) {
  return render(JsonWriter::compact(), [&span](JsonWriter& w) { return write_json(w, span); });
}

Expected<std::string, JsonError> span_to_pretty_json(const TraceSpan& span) {
  return render(JsonWriter::pretty("  ", 0),
                [&span](JsonWriter& w) { return write_json(w, span); });
}

Expected<std::string, JsonError> findings_to_compact_json(const TraceSpan& span) {
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
