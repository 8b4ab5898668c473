// The three texts a span leaves the system as: the span document in the
// compact and in the pretty layout, and the array of finding summaries.
#pragma once

#include <string>

#include "pelnorix/expected.hpp"
#include "pelnorix/json_writer.hpp"
#include "pelnorix/trace_span.hpp"

namespace pelnorix {

// The span document with no whitespace at all (for to_dict()).
Expected<std::string, JsonError> span_to_compact_json(const TraceSpan& span);

// The span document with newlines and two-space indentation (for to_json()).
Expected<std::string, JsonError> span_to_pretty_json(const TraceSpan& span);

// The array of finding summaries, compact (for security_findings()).
Expected<std::string, JsonError> findings_to_compact_json(const TraceSpan& span);

}  // namespace pelnorix
