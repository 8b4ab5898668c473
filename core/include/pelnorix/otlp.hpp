// Spans leaving the system as OpenTelemetry (OTLP) traces: the mapping of a
// span document to OTLP spans after the GenAI semantic conventions, and the
// body of an OTLP/HTTP export request in its protobuf and its JSON encoding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/expected.hpp"
#include "pelnorix/span_reader.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix::otlp {

using TraceId = std::array<std::uint8_t, 16>;
using SpanId = std::array<std::uint8_t, 8>;

// The OTLP span identifier of a span or action UUID: its last 8 bytes (62
// random bits; the variant bits are fixed).
SpanId span_id_of(const Uuid& id) noexcept;

enum class SpanKind : std::uint8_t { Internal = 1, Client = 3 };
enum class StatusCode : std::uint8_t { Unset = 0, Error = 2 };

// Every span carries the W3C "sampled" flag and says that its parent, if any,
// is not remote (it was recorded in this process).
inline constexpr std::uint32_t kSpanFlags = 0x101;

struct AnyValue {
  enum class Type : std::uint8_t { String, Bool, Int, Double, StringArray };

  Type type = Type::String;
  std::string_view text;
  bool boolean = false;
  std::int64_t integer = 0;
  double number = 0.0;  // always finite
  std::vector<std::string_view> strings;

  static AnyValue string(std::string_view text) {
    AnyValue value;
    value.text = text;
    return value;
  }
  static AnyValue of_bool(bool boolean) {
    AnyValue value;
    value.type = Type::Bool;
    value.boolean = boolean;
    return value;
  }
  static AnyValue of_int(std::int64_t integer) {
    AnyValue value;
    value.type = Type::Int;
    value.integer = integer;
    return value;
  }
  static AnyValue of_double(double number) {
    AnyValue value;
    value.type = Type::Double;
    value.number = number;
    return value;
  }
  static AnyValue of_strings(std::vector<std::string_view> strings) {
    AnyValue value;
    value.type = Type::StringArray;
    value.strings = std::move(strings);
    return value;
  }
};

struct KeyValue {
  std::string_view key;
  AnyValue value;
};

struct Span {
  TraceId trace_id{};
  SpanId span_id{};
  std::optional<SpanId> parent_span_id;
  std::string_view name;
  SpanKind kind = SpanKind::Client;
  UnixNanos start_time = 0;
  UnixNanos end_time = 0;
  std::vector<KeyValue> attributes;
  StatusCode status = StatusCode::Unset;
  std::string_view status_message;
};

// Where a span sits when it is part of a larger trace: the trace it joins and
// the OTLP identifier of the span it hangs under.
struct TraceLink {
  TraceId trace_id{};
  SpanId parent_span_id{};
};

// The user's redaction of exported texts. Returns false to stop the encoding
// (the implementation keeps the reason, e.g. an exception of its own).
class TextRedactor {
 public:
  virtual ~TextRedactor() = default;
  virtual bool redact(std::string_view text, std::string& redacted) = 0;
};

struct ContentPolicy {
  // False: prompt, response, action arguments and results and the content
  // tags (messages, system instructions, tool call arguments and results)
  // are left out.
  bool include_content = true;
  // Applied to each non-empty exported text that carries content, and to the
  // error message; not owned.
  TextRedactor* redactor = nullptr;
  // Every string attribute value (each element of a string array too), the
  // span name and the status message are cut to at most this many bytes, on
  // a character boundary.
  std::optional<std::size_t> max_attribute_bytes;
};

// Appends the OTLP spans of one span document to `out`: the span itself, then
// one child span per agent action. Built texts are stored in `arena`.
// Returns false when the redactor stopped.
bool map_span(const SpanRecordView& record, const std::optional<TraceLink>& link,
              const ContentPolicy& policy, TextArena& arena, std::vector<Span>& out);

struct InstrumentationScope {
  std::string_view name;
  std::string_view version;
};

struct ResourceSpans {
  std::vector<KeyValue> resource;
  std::vector<Span> spans;
};

struct ExportRequest {
  InstrumentationScope scope;
  std::vector<ResourceSpans> resource_spans;  // one scope of spans each
};

// ExportTraceServiceRequest in the protobuf wire format.
std::string to_protobuf(const ExportRequest& request);
// The same in OTLP/JSON: lowerCamelCase keys, identifiers in hexadecimal,
// 64-bit integers as decimal strings, enumerations as integers.
std::string to_json(const ExportRequest& request);

enum class Encoding : std::uint8_t { Protobuf, Json };

struct EncodeItem {
  std::string_view document;  // a span document
  std::optional<TraceLink> link;
};

struct EncodeError {
  enum class Kind : std::uint8_t { InvalidDocument, Stopped };
  Kind kind = Kind::InvalidDocument;
  std::size_t item = 0;  // index of the item at fault
  std::string message;
};

// The resource attribute that names the tenant of the spans under it.
inline constexpr std::string_view kTenantAttribute = "tenant.id";

// One export request holding every item. Spans are grouped by tenant, one
// ResourceSpans each (first appearance first); its resource is `resource`
// plus the tenant attribute (which replaces one of that name in `resource`).
Expected<std::string, EncodeError> encode_export_request(std::span<const EncodeItem> items,
                                                         std::span<const KeyValue> resource,
                                                         InstrumentationScope scope,
                                                         const ContentPolicy& policy,
                                                         Encoding encoding);

}  // namespace pelnorix::otlp
