// ExportTraceServiceRequest in the protobuf wire format. Every message's size
// is computed first, so the body is written front to back into one buffer of
// exactly its size, each length prefix in its shortest form.
#include <bit>
#include <cstring>

#include "pelnorix/fault.hpp"
#include "pelnorix/otlp.hpp"

namespace pelnorix::otlp {
namespace {

// Field numbers of opentelemetry/proto (collector/trace/v1, trace/v1,
// resource/v1, common/v1).
namespace field {
constexpr std::uint32_t kRequestResourceSpans = 1;
constexpr std::uint32_t kResourceSpansResource = 1;
constexpr std::uint32_t kResourceSpansScopeSpans = 2;
constexpr std::uint32_t kResourceAttributes = 1;
constexpr std::uint32_t kScopeSpansScope = 1;
constexpr std::uint32_t kScopeSpansSpans = 2;
constexpr std::uint32_t kScopeName = 1;
constexpr std::uint32_t kScopeVersion = 2;
constexpr std::uint32_t kSpanTraceId = 1;
constexpr std::uint32_t kSpanSpanId = 2;
constexpr std::uint32_t kSpanParentSpanId = 4;
constexpr std::uint32_t kSpanName = 5;
constexpr std::uint32_t kSpanKind = 6;
constexpr std::uint32_t kSpanStartTime = 7;
constexpr std::uint32_t kSpanEndTime = 8;
constexpr std::uint32_t kSpanAttributes = 9;
constexpr std::uint32_t kSpanStatus = 15;
constexpr std::uint32_t kSpanFlags = 16;
constexpr std::uint32_t kStatusMessage = 2;
constexpr std::uint32_t kStatusCode = 3;
constexpr std::uint32_t kKeyValueKey = 1;
constexpr std::uint32_t kKeyValueValue = 2;
constexpr std::uint32_t kAnyString = 1;
constexpr std::uint32_t kAnyBool = 2;
constexpr std::uint32_t kAnyInt = 3;
constexpr std::uint32_t kAnyDouble = 4;
constexpr std::uint32_t kAnyArray = 5;
constexpr std::uint32_t kArrayValues = 1;
}  // namespace field

enum class Wire : std::uint32_t { Varint = 0, Fixed64 = 1, Delimited = 2, Fixed32 = 5 };

constexpr std::uint64_t key_of(std::uint32_t number, Wire wire) noexcept {
  return (std::uint64_t{number} << 3) | static_cast<std::uint32_t>(wire);
}

constexpr std::size_t varint_size(std::uint64_t value) noexcept {
  return static_cast<std::size_t>(std::bit_width(value | 1) + 6) / 7;
}

constexpr std::size_t delimited_size(std::uint32_t number, std::size_t content) noexcept {
  return varint_size(key_of(number, Wire::Delimited)) + varint_size(content) + content;
}

std::size_t array_size(const AnyValue& value) noexcept {
  std::size_t size = 0;
  for (const std::string_view element : value.strings)
    size += delimited_size(field::kArrayValues, delimited_size(field::kAnyString, element.size()));
  return size;
}

std::size_t any_value_size(const AnyValue& value) noexcept {
  switch (value.type) {
    case AnyValue::Type::String:
      return delimited_size(field::kAnyString, value.text.size());
    case AnyValue::Type::Bool:
      return 2;
    case AnyValue::Type::Int:
      return 1 + varint_size(static_cast<std::uint64_t>(value.integer));
    case AnyValue::Type::Double:
      return 1 + 8;
    case AnyValue::Type::StringArray:
      return delimited_size(field::kAnyArray, array_size(value));
  }
  return 0;
}

std::size_t key_value_size(const KeyValue& kv) noexcept {
  return delimited_size(field::kKeyValueKey, kv.key.size()) +
         delimited_size(field::kKeyValueValue, any_value_size(kv.value));
}

std::size_t attributes_size(std::uint32_t number,
                            const std::vector<KeyValue>& attributes) noexcept {
  std::size_t size = 0;
  for (const KeyValue& kv : attributes)
    size += delimited_size(number, key_value_size(kv));
  return size;
}

std::size_t status_size(const Span& span) noexcept {
  std::size_t size = 0;
  if (!span.status_message.empty()) {
    size += delimited_size(field::kStatusMessage, span.status_message.size());
  }
  if (span.status != StatusCode::Unset) size += 2;
  return size;
}

bool has_status(const Span& span) noexcept {
  return span.status != StatusCode::Unset || !span.status_message.empty();
}

std::size_t span_size(const Span& span) noexcept {
  std::size_t size =
      delimited_size(field::kSpanTraceId, 16) + delimited_size(field::kSpanSpanId, 8);
  if (span.parent_span_id) size += delimited_size(field::kSpanParentSpanId, 8);
  if (!span.name.empty()) size += delimited_size(field::kSpanName, span.name.size());
  size += 2;            // kind
  size += 2 * (1 + 8);  // start and end time
  size += attributes_size(field::kSpanAttributes, span.attributes);
  if (has_status(span)) size += delimited_size(field::kSpanStatus, status_size(span));
  size += varint_size(key_of(field::kSpanFlags, Wire::Fixed32)) + 4;
  return size;
}

std::size_t scope_size(const InstrumentationScope& scope) noexcept {
  std::size_t size = 0;
  if (!scope.name.empty()) size += delimited_size(field::kScopeName, scope.name.size());
  if (!scope.version.empty()) size += delimited_size(field::kScopeVersion, scope.version.size());
  return size;
}

// Writes into room sized beforehand.
class WireOut {
 public:
  explicit WireOut(char* out) noexcept : out_(out) {}
  char* position() const noexcept { return out_; }

  void varint(std::uint64_t value) noexcept {
    while (value >= 0x80) {
      *out_++ = static_cast<char>((value & 0x7F) | 0x80);
      value >>= 7;
    }
    *out_++ = static_cast<char>(value);
  }
  void key(std::uint32_t number, Wire wire) noexcept { varint(key_of(number, wire)); }
  void delimited(std::uint32_t number, std::size_t size) noexcept {
    key(number, Wire::Delimited);
    varint(size);
  }
  void bytes(std::uint32_t number, const void* data, std::size_t size) noexcept {
    delimited(number, size);
    std::memcpy(out_, data, size);
    out_ += size;
  }
  void text(std::uint32_t number, std::string_view text) noexcept {
    bytes(number, text.data(), text.size());
  }
  void little_endian(std::uint64_t value, int bytes) noexcept {
    for (int i = 0; i < bytes; ++i, value >>= 8)
      *out_++ = static_cast<char>(value & 0xFF);
  }

 private:
  char* out_;
};

void write_any_value(WireOut& out, const AnyValue& value) {
  switch (value.type) {
    case AnyValue::Type::String:
      out.text(field::kAnyString, value.text);
      return;
    case AnyValue::Type::Bool:
      out.key(field::kAnyBool, Wire::Varint);
      out.varint(value.boolean ? 1 : 0);
      return;
    case AnyValue::Type::Int:
      out.key(field::kAnyInt, Wire::Varint);
      out.varint(static_cast<std::uint64_t>(value.integer));
      return;
    case AnyValue::Type::Double:
      out.key(field::kAnyDouble, Wire::Fixed64);
      out.little_endian(std::bit_cast<std::uint64_t>(value.number), 8);
      return;
    case AnyValue::Type::StringArray:
      out.delimited(field::kAnyArray, array_size(value));
      for (const std::string_view element : value.strings) {
        out.delimited(field::kArrayValues, delimited_size(field::kAnyString, element.size()));
        out.text(field::kAnyString, element);
      }
      return;
  }
}

void write_attributes(WireOut& out, std::uint32_t number, const std::vector<KeyValue>& attributes) {
  for (const KeyValue& kv : attributes) {
    out.delimited(number, key_value_size(kv));
    out.text(field::kKeyValueKey, kv.key);
    out.delimited(field::kKeyValueValue, any_value_size(kv.value));
    write_any_value(out, kv.value);
  }
}

void write_span(WireOut& out, const Span& span) {
  out.bytes(field::kSpanTraceId, span.trace_id.data(), span.trace_id.size());
  out.bytes(field::kSpanSpanId, span.span_id.data(), span.span_id.size());
  if (span.parent_span_id) {
    out.bytes(field::kSpanParentSpanId, span.parent_span_id->data(), span.parent_span_id->size());
  }
  if (!span.name.empty()) out.text(field::kSpanName, span.name);
  out.key(field::kSpanKind, Wire::Varint);
  out.varint(static_cast<std::uint64_t>(span.kind));
  out.key(field::kSpanStartTime, Wire::Fixed64);
  out.little_endian(span.start_time, 8);
  out.key(field::kSpanEndTime, Wire::Fixed64);
  out.little_endian(span.end_time, 8);
  write_attributes(out, field::kSpanAttributes, span.attributes);
  if (has_status(span)) {
    out.delimited(field::kSpanStatus, status_size(span));
    if (!span.status_message.empty()) out.text(field::kStatusMessage, span.status_message);
    if (span.status != StatusCode::Unset) {
      out.key(field::kStatusCode, Wire::Varint);
      out.varint(static_cast<std::uint64_t>(span.status));
    }
  }
  out.key(field::kSpanFlags, Wire::Fixed32);
  out.little_endian(kSpanFlags, 4);
}

}  // namespace

std::string to_protobuf(const ExportRequest& request) {
  const std::size_t scope = scope_size(request.scope);
  struct Sizes {
    std::size_t resource;
    std::size_t scope_spans;
    std::size_t resource_spans;
  };
  std::vector<Sizes> sizes;
  std::vector<std::size_t> span_sizes;
  sizes.reserve(request.resource_spans.size());
  std::size_t total = 0;
  for (const ResourceSpans& group : request.resource_spans) {
    Sizes s{};
    s.resource = attributes_size(field::kResourceAttributes, group.resource);
    s.scope_spans = delimited_size(field::kScopeSpansScope, scope);
    for (const Span& span : group.spans) {
      span_sizes.push_back(span_size(span));
      s.scope_spans += delimited_size(field::kScopeSpansSpans, span_sizes.back());
    }
    s.resource_spans = delimited_size(field::kResourceSpansResource, s.resource) +
                       delimited_size(field::kResourceSpansScopeSpans, s.scope_spans);
    total += delimited_size(field::kRequestResourceSpans, s.resource_spans);
    sizes.push_back(s);
  }

  std::string body(total, '\0');
  WireOut out(body.data());
  const std::size_t* span_size_of = span_sizes.data();
  for (std::size_t g = 0; g < request.resource_spans.size(); ++g) {
    const ResourceSpans& group = request.resource_spans[g];
    out.delimited(field::kRequestResourceSpans, sizes[g].resource_spans);
    out.delimited(field::kResourceSpansResource, sizes[g].resource);
    write_attributes(out, field::kResourceAttributes, group.resource);
    out.delimited(field::kResourceSpansScopeSpans, sizes[g].scope_spans);
    out.delimited(field::kScopeSpansScope, scope);
    if (!request.scope.name.empty()) out.text(field::kScopeName, request.scope.name);
    if (!request.scope.version.empty()) out.text(field::kScopeVersion, request.scope.version);
    for (const Span& span : group.spans) {
      out.delimited(field::kScopeSpansSpans, *span_size_of++);
      write_span(out, span);
    }
  }
  if (out.position() != body.data() + body.size()) {
    raise_fault("protobuf body: written size differs from the computed one");
  }
  return body;
}

}  // namespace pelnorix::otlp
