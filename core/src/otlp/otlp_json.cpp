// ExportTraceServiceRequest in OTLP/JSON: the protobuf JSON mapping with
// lowerCamelCase keys and enumerations as integers, except that identifiers
// are hexadecimal (not base64). 64-bit integers are decimal strings; fields
// at their default are left out.
#include <charconv>

#include "pelnorix/fault.hpp"
#include "pelnorix/hex.hpp"
#include "pelnorix/json_writer.hpp"
#include "pelnorix/otlp.hpp"

namespace pelnorix::otlp {
namespace {

JsonStatus hex_value(JsonWriter& w, const std::uint8_t* bytes, std::size_t count) {
  return w.formatted_string([&](JsonStringFragments& text) {
    char digits[32];
    for (std::size_t i = 0; i < count; ++i) {
      digits[2 * i] = kHexDigits[bytes[i] >> 4];
      digits[2 * i + 1] = kHexDigits[bytes[i] & 0xF];
    }
    text.append({digits, 2 * count});
  });
}

template <typename Integer>
JsonStatus decimal_string(JsonWriter& w, Integer value) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  return w.string_value({digits, static_cast<std::size_t>(end - digits)});
}

JsonStatus write_any_value(JsonWriter& w, const AnyValue& value) {
  PELNORIX_JSON_TRY(w.begin_object());
  switch (value.type) {
    case AnyValue::Type::String:
      PELNORIX_JSON_TRY(w.literal_key("stringValue"));
      PELNORIX_JSON_TRY(w.string_value(value.text));
      break;
    case AnyValue::Type::Bool:
      PELNORIX_JSON_TRY(w.literal_key("boolValue"));
      PELNORIX_JSON_TRY(w.bool_value(value.boolean));
      break;
    case AnyValue::Type::Int:
      PELNORIX_JSON_TRY(w.literal_key("intValue"));
      PELNORIX_JSON_TRY(decimal_string(w, value.integer));
      break;
    case AnyValue::Type::Double:
      PELNORIX_JSON_TRY(w.literal_key("doubleValue"));
      PELNORIX_JSON_TRY(w.double_value(value.number));
      break;
    case AnyValue::Type::StringArray:
      PELNORIX_JSON_TRY(w.literal_key("arrayValue"));
      PELNORIX_JSON_TRY(w.begin_object());
      PELNORIX_JSON_TRY(w.literal_key("values"));
      PELNORIX_JSON_TRY(w.begin_array());
      for (const std::string_view element : value.strings) {
        PELNORIX_JSON_TRY(w.begin_object());
        PELNORIX_JSON_TRY(w.literal_key("stringValue"));
        PELNORIX_JSON_TRY(w.string_value(element));
        PELNORIX_JSON_TRY(w.end_object());
      }
      PELNORIX_JSON_TRY(w.end_array());
      PELNORIX_JSON_TRY(w.end_object());
      break;
  }
  return w.end_object();
}

JsonStatus write_attributes(JsonWriter& w, const std::vector<KeyValue>& attributes) {
  if (attributes.empty()) return {};
  PELNORIX_JSON_TRY(w.literal_key("attributes"));
  PELNORIX_JSON_TRY(w.begin_array());
  for (const KeyValue& kv : attributes) {
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.literal_key("key"));
    PELNORIX_JSON_TRY(w.string_value(kv.key));
    PELNORIX_JSON_TRY(w.literal_key("value"));
    PELNORIX_JSON_TRY(write_any_value(w, kv.value));
    PELNORIX_JSON_TRY(w.end_object());
  }
  return w.end_array();
}

JsonStatus write_span(JsonWriter& w, const Span& span) {
  PELNORIX_JSON_TRY(w.begin_object());
  PELNORIX_JSON_TRY(w.literal_key("traceId"));
  PELNORIX_JSON_TRY(hex_value(w, span.trace_id.data(), span.trace_id.size()));
  PELNORIX_JSON_TRY(w.literal_key("spanId"));
  PELNORIX_JSON_TRY(hex_value(w, span.span_id.data(), span.span_id.size()));
  if (span.parent_span_id) {
    PELNORIX_JSON_TRY(w.literal_key("parentSpanId"));
    PELNORIX_JSON_TRY(hex_value(w, span.parent_span_id->data(), span.parent_span_id->size()));
  }
  PELNORIX_JSON_TRY(w.literal_key("flags"));
  PELNORIX_JSON_TRY(w.uint32_value(kSpanFlags));
  if (!span.name.empty()) {
    PELNORIX_JSON_TRY(w.literal_key("name"));
    PELNORIX_JSON_TRY(w.string_value(span.name));
  }
  PELNORIX_JSON_TRY(w.literal_key("kind"));
  PELNORIX_JSON_TRY(w.uint32_value(static_cast<std::uint32_t>(span.kind)));
  PELNORIX_JSON_TRY(w.literal_key("startTimeUnixNano"));
  PELNORIX_JSON_TRY(decimal_string(w, span.start_time));
  PELNORIX_JSON_TRY(w.literal_key("endTimeUnixNano"));
  PELNORIX_JSON_TRY(decimal_string(w, span.end_time));
  PELNORIX_JSON_TRY(write_attributes(w, span.attributes));
  if (span.status != StatusCode::Unset || !span.status_message.empty()) {
    PELNORIX_JSON_TRY(w.literal_key("status"));
    PELNORIX_JSON_TRY(w.begin_object());
    if (!span.status_message.empty()) {
      PELNORIX_JSON_TRY(w.literal_key("message"));
      PELNORIX_JSON_TRY(w.string_value(span.status_message));
    }
    if (span.status != StatusCode::Unset) {
      PELNORIX_JSON_TRY(w.literal_key("code"));
      PELNORIX_JSON_TRY(w.uint32_value(static_cast<std::uint32_t>(span.status)));
    }
    PELNORIX_JSON_TRY(w.end_object());
  }
  return w.end_object();
}

JsonStatus write_request(JsonWriter& w, const ExportRequest& request) {
  PELNORIX_JSON_TRY(w.begin_object());
  PELNORIX_JSON_TRY(w.literal_key("resourceSpans"));
  PELNORIX_JSON_TRY(w.begin_array());
  for (const ResourceSpans& group : request.resource_spans) {
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.literal_key("resource"));
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(write_attributes(w, group.resource));
    PELNORIX_JSON_TRY(w.end_object());
    PELNORIX_JSON_TRY(w.literal_key("scopeSpans"));
    PELNORIX_JSON_TRY(w.begin_array());
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.literal_key("scope"));
    PELNORIX_JSON_TRY(w.begin_object());
    if (!request.scope.name.empty()) {
      PELNORIX_JSON_TRY(w.literal_key("name"));
      PELNORIX_JSON_TRY(w.string_value(request.scope.name));
    }
    if (!request.scope.version.empty()) {
      PELNORIX_JSON_TRY(w.literal_key("version"));
      PELNORIX_JSON_TRY(w.string_value(request.scope.version));
    }
    PELNORIX_JSON_TRY(w.end_object());
    PELNORIX_JSON_TRY(w.literal_key("spans"));
    PELNORIX_JSON_TRY(w.begin_array());
    for (const Span& span : group.spans)
      PELNORIX_JSON_TRY(write_span(w, span));
    PELNORIX_JSON_TRY(w.end_array());
    PELNORIX_JSON_TRY(w.end_object());
    PELNORIX_JSON_TRY(w.end_array());
    PELNORIX_JSON_TRY(w.end_object());
  }
  PELNORIX_JSON_TRY(w.end_array());
  return w.end_object();
}

}  // namespace

std::string to_json(const ExportRequest& request) {
  JsonWriter writer = JsonWriter::compact();
  if (JsonStatus status = write_request(writer, request); !status) {
    raise_fault("OTLP/JSON body: " + status.error().message);
  }
  Expected<JsonText, JsonError> text = std::move(writer).take_text();
  if (!text) raise_fault("OTLP/JSON body: " + text.error().message);
  return std::string(text->view());
}

}  // namespace pelnorix::otlp
