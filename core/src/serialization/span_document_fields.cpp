// JSON forms of the value types that make up the span document: identifiers,
// timestamps, enumerations and string maps.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json_number.hpp"
#include "pelnorix/span_document.hpp"

namespace pelnorix {
namespace {

constexpr std::uint32_t kNanosPerMilli = 1'000'000;
constexpr std::uint32_t kNanosPerMicro = 1'000;

// At least four digits with leading zeros; a year past 9999 keeps all its
// digits rather than being cut.
std::size_t format_year(std::int64_t year, char* out) noexcept {
  std::size_t length = 0;
  if (year < 0) out[length++] = '-';
  const std::uint64_t magnitude =
      year < 0 ? 0 - static_cast<std::uint64_t>(year) : static_cast<std::uint64_t>(year);
  if (magnitude <= 9999) {
    json_detail::format_fixed_width(static_cast<std::uint32_t>(magnitude), 4, out + length);
    return length + 4;
  }
  return length + json_detail::format_uint64(magnitude, out + length);
}

// The fewest of 0, 3, 6 or 9 fraction digits that show the nanoseconds
// exactly, so that whole seconds carry no fraction at all.
std::size_t format_fraction(std::uint32_t nanos, char* out) noexcept {
  if (nanos == 0) return 0;
  out[0] = '.';
  if (nanos % kNanosPerMilli == 0) {
    json_detail::format_fixed_width(nanos / kNanosPerMilli, 3, out + 1);
    return 4;
  }
  if (nanos % kNanosPerMicro == 0) {
    json_detail::format_fixed_width(nanos / kNanosPerMicro, 6, out + 1);
    return 7;
  }
  json_detail::format_fixed_width(nanos, 9, out + 1);
  return 10;
}

}  // namespace

// Identifiers and timestamps consist of digits, letters and separators
// only, so they are written without the escape scan.
JsonStatus write_json(JsonWriter& writer, const Uuid& id) {
  return writer.verbatim_string<kUuidTextLength>([&id](char* out) {
    format_uuid(id, out);
    return kUuidTextLength;
  });
}

JsonStatus write_json(JsonWriter& writer, const TenantId& tenant) {
  return write_json(writer, tenant.uuid);
}

JsonStatus write_json(JsonWriter& writer, const UtcTimestamp& timestamp) {
  // A year of up to 20 digits and a sign, -MM-DDTHH:MM:SS, .fffffffff, Z.
  constexpr std::size_t kMaxLength = 21 + 15 + 10 + 1;
  return writer.verbatim_string<kMaxLength>([&timestamp](char* out) {
    const CivilTime civil = to_civil(timestamp);
    std::size_t length = format_year(civil.year, out);
    const auto two_digits = [&](char separator, unsigned value) {
      out[length] = separator;
      json_detail::format_two_digits(value, out + length + 1);
      length += 3;
    };
    two_digits('-', civil.month);
    two_digits('-', civil.day);
    two_digits('T', civil.hour);
    two_digits(':', civil.minute);
    two_digits(':', civil.second);
    length += format_fraction(civil.nanos, out + length);
    out[length++] = 'Z';
    return length;
  });
}

JsonStatus write_json(JsonWriter& writer, const LLMProvider& provider) {
  if (provider.kind != LLMProvider::Kind::Custom) {
    return writer.verbatim_string(provider_name(provider.kind));
  }
  PELNORIX_JSON_TRY(writer.begin_object());
  PELNORIX_JSON_TRY(writer.literal_key("Custom"));
  PELNORIX_JSON_TRY(writer.string_value(provider.custom_name));
  return writer.end_object();
}

JsonStatus write_json(JsonWriter& writer, AgentActionType type) {
  return writer.verbatim_string(canonical_text(type));
}

JsonStatus write_json(JsonWriter& writer, SecuritySeverity severity) {
  return writer.verbatim_string(severity_name(severity));
}

JsonStatus write_json(JsonWriter& writer, const StringMap& map) {
  PELNORIX_JSON_TRY(writer.begin_object());
  for (const StringMap::Entry& entry : map) {
    PELNORIX_JSON_TRY(writer.key(entry.key));
    PELNORIX_JSON_TRY(writer.string_value(entry.value));
  }
  return writer.end_object();
}

}  // namespace pelnorix
