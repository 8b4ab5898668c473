// The three texts a span leaves the system as: the span document in the
// compact and in the pretty layout, and the array of finding summaries; and
// the JSON form of every type that appears in them.
#pragma once

#include <string>

#include "pelnorix/agent_action.hpp"
#include "pelnorix/clock.hpp"
#include "pelnorix/enums.hpp"
#include "pelnorix/expected.hpp"
#include "pelnorix/json_value.hpp"
#include "pelnorix/json_writer.hpp"
#include "pelnorix/string_map.hpp"
#include "pelnorix/trace_span.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix {

// The span document with no whitespace at all (for to_dict()).
Expected<JsonText, JsonError> span_to_compact_json(const TraceSpan& span);

// The span document with newlines and two-space indentation (for to_json()).
Expected<JsonText, JsonError> span_to_pretty_json(const TraceSpan& span);

// The array of finding summaries, compact (for security_findings()).
Expected<JsonText, JsonError> findings_to_compact_json(const TraceSpan& span);

// Each writes its JSON form at the writer's current position; the layout is
// the writer's, so one function serves both.
JsonStatus write_json(JsonWriter& writer, const TraceSpan& span);
JsonStatus write_json(JsonWriter& writer, const AgentAction& action);
JsonStatus write_json(JsonWriter& writer, const SecurityFinding& finding);
JsonStatus write_json(JsonWriter& writer, const SpanEvent& event);
// The plain variants as strings; Custom as the one-member object {"Custom": name}.
JsonStatus write_json(JsonWriter& writer, const LLMProvider& provider);
JsonStatus write_json(JsonWriter& writer, AgentActionType type);
// Capitalised ("Info" ... "Critical").
JsonStatus write_json(JsonWriter& writer, SecuritySeverity severity);
// The 36-character lower-case hyphenated text.
JsonStatus write_json(JsonWriter& writer, const Uuid& id);
JsonStatus write_json(JsonWriter& writer, const TenantId& tenant);
// RFC 3339 in UTC: YYYY-MM-DDTHH:MM:SS, a fraction of 0, 3, 6 or 9 digits
// (the fewest of these that show the nanoseconds exactly), then Z.
JsonStatus write_json(JsonWriter& writer, const UtcTimestamp& timestamp);
// An object of strings, in the map's own iteration order.
JsonStatus write_json(JsonWriter& writer, const StringMap& map);

// The reduced, key-sorted form of a finding that security_findings() lists:
// confidence_score, description, finding_type, id, location, requires_alert
// and the severity in lower case.
JsonObject finding_summary(const SecurityFinding& finding);

}  // namespace pelnorix
