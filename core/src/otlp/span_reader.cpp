// The span document read back, record by record, in the forms its writer
// gives each type.
#include "pelnorix/span_reader.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "json_cursor.hpp"

namespace pelnorix {
namespace {

using otlp_detail::JsonCursor;
using otlp_detail::read_array;
using otlp_detail::read_record;

constexpr std::uint64_t kNanosPerSecond = 1'000'000'000;

bool read_uuid(JsonCursor& in, Uuid& out) {
  std::string_view text;
  if (!in.read_string(text)) return false;
  Expected<Uuid, UuidParseError> parsed = parse_uuid(text);
  if (text.size() != kUuidTextLength || !parsed) return in.fail("expected a hyphenated UUID");
  out = *parsed;
  return true;
}

bool read_timestamp(JsonCursor& in, UnixNanos& out) {
  std::string_view text;
  if (!in.read_string(text)) return false;
  const std::optional<UnixNanos> parsed = parse_utc_timestamp(text);
  if (!parsed) return in.fail("expected an RFC 3339 UTC timestamp from 1970 on");
  out = *parsed;
  return true;
}

bool read_text(JsonCursor& in, std::string_view& out) {
  return in.read_string(out);
}

template <typename Unsigned>
bool read_unsigned(JsonCursor& in, Unsigned& out) {
  std::uint64_t value = 0;
  if (!in.read_unsigned(std::numeric_limits<Unsigned>::max(), value)) return false;
  out = static_cast<Unsigned>(value);
  return true;
}

bool read_i32(JsonCursor& in, std::int32_t& out) {
  std::int64_t value = 0;
  if (!in.read_signed(std::numeric_limits<std::int32_t>::min(),
                      std::numeric_limits<std::int32_t>::max(), value)) {
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool read_double(JsonCursor& in, double& out) {
  return in.read_double(out);
}

template <typename T, typename Read>
bool read_optional(JsonCursor& in, std::optional<T>& out, Read&& read) {
  if (in.consume_null()) {
    out.reset();
    return true;
  }
  T value{};
  if (!read(in, value)) return false;
  out = value;
  return true;
}

// A key that occurs twice, or null. Maps are small: pairwise below 16
// entries, sorted copies of the keys above.
const std::string_view* duplicate_key(const std::vector<TextPair>& pairs) {
  if (pairs.size() <= 16) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      for (std::size_t j = i + 1; j < pairs.size(); ++j) {
        if (pairs[i].key == pairs[j].key) return &pairs[i].key;
      }
    }
    return nullptr;
  }
  std::vector<const std::string_view*> keys;
  keys.reserve(pairs.size());
  for (const TextPair& pair : pairs)
    keys.push_back(&pair.key);
  std::sort(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a < *b; });
  const auto twice =
      std::adjacent_find(keys.begin(), keys.end(), [](auto* a, auto* b) { return *a == *b; });
  return twice == keys.end() ? nullptr : *twice;
}

bool read_string_map(JsonCursor& in, std::vector<TextPair>& out) {
  if (!in.expect('{')) return false;
  if (in.consume('}')) return true;
  do {
    TextPair pair;
    if (!in.read_string(pair.key) || !in.expect(':')) return false;
    if (!in.read_string(pair.value)) {
      in.add_context(pair.key);
      return false;
    }
    out.push_back(pair);
  } while (in.consume(','));
  if (!in.consume('}')) return in.fail("expected ',' or '}'");
  if (const std::string_view* key = duplicate_key(out)) {
    return in.fail("duplicate key '" + otlp_detail::excerpt(*key) + "'");
  }
  return true;
}

constexpr std::array<std::string_view, 8> kProviderNames = {
    "OpenAI", "Anthropic", "VLLm", "SGLang", "TGI", "Ollama", "AzureOpenAI", "Bedrock",
};

bool read_provider(JsonCursor& in, SpanRecordView& span) {
  if (in.peek('{')) {
    static constexpr std::string_view kKeys[] = {"Custom"};
    span.provider = LLMProvider::Kind::Custom;
    return read_record(in, kKeys, "provider",
                       [&](std::size_t) { return in.read_string(span.custom_provider); });
  }
  std::string_view name;
  if (!in.read_string(name)) return false;
  for (std::size_t i = 0; i < kProviderNames.size(); ++i) {
    if (kProviderNames[i] == name) {
      span.provider = static_cast<LLMProvider::Kind>(i);
      return true;
    }
  }
  return in.fail("unknown provider '" + otlp_detail::excerpt(name) + "'");
}

bool read_action_type(JsonCursor& in, AgentActionType& out) {
  std::string_view text;
  if (!in.read_string(text)) return false;
  const std::optional<AgentActionType> type = agent_action_type_from_text(text);
  if (!type) return in.fail("unknown action type '" + otlp_detail::excerpt(text) + "'");
  out = *type;
  return true;
}

bool read_action(JsonCursor& in, ActionRecordView& action) {
  static constexpr std::string_view kKeys[] = {
      "id",       "action_type", "name",        "arguments",   "result",         "duration_ms",
      "success",  "exit_code",   "http_method", "http_status", "file_operation", "timestamp",
      "metadata",
  };
  return read_record(in, kKeys, "agent action", [&](std::size_t key) {
    switch (key) {
      case 0:
        return read_uuid(in, action.id);
      case 1:
        return read_action_type(in, action.action_type);
      case 2:
        return read_text(in, action.name);
      case 3:
        return read_optional(in, action.arguments, read_text);
      case 4:
        return read_optional(in, action.result, read_text);
      case 5:
        return read_optional(in, action.duration_ms, read_unsigned<std::uint64_t>);
      case 6:
        return in.read_bool(action.success);
      case 7:
        return read_optional(in, action.exit_code, read_i32);
      case 8:
        return read_optional(in, action.http_method, read_text);
      case 9:
        return read_optional(in, action.http_status, read_unsigned<std::uint16_t>);
      case 10:
        return read_optional(in, action.file_operation, read_text);
      case 11:
        return read_timestamp(in, action.timestamp);
      default:
        return read_string_map(in, action.metadata);
    }
  });
}

bool read_severity(JsonCursor& in) {
  static constexpr std::string_view kSeverities[] = {"Info", "Low", "Medium", "High", "Critical"};
  std::string_view text;
  if (!in.read_string(text)) return false;
  for (const std::string_view severity : kSeverities) {
    if (severity == text) return true;
  }
  return in.fail("unknown severity '" + otlp_detail::excerpt(text) + "'");
}

// Checked and dropped: see SpanRecordView.
bool read_finding(JsonCursor& in) {
  static constexpr std::string_view kKeys[] = {
      "id",       "severity", "finding_type",   "description", "detected_at", "confidence_score",
      "location", "metadata", "requires_alert",
  };
  Uuid id;
  UnixNanos detected_at = 0;
  std::string_view text;
  std::optional<double> score;
  std::optional<std::string_view> location;
  std::vector<TextPair> metadata;
  bool alert = false;
  return read_record(in, kKeys, "security finding", [&](std::size_t key) {
    switch (key) {
      case 0:
        return read_uuid(in, id);
      case 1:
        return read_severity(in);
      case 2:
      case 3:
        return read_text(in, text);
      case 4:
        return read_timestamp(in, detected_at);
      case 5:
        return read_optional(in, score, read_double);
      case 6:
        return read_optional(in, location, read_text);
      case 7:
        return read_string_map(in, metadata);
      default:
        return in.read_bool(alert);
    }
  });
}

bool read_event(JsonCursor& in) {
  static constexpr std::string_view kKeys[] = {"id", "timestamp", "event_type", "description",
                                               "data"};
  Uuid id;
  UnixNanos timestamp = 0;
  std::string_view text;
  std::vector<TextPair> data;
  return read_record(in, kKeys, "span event", [&](std::size_t key) {
    switch (key) {
      case 0:
        return read_uuid(in, id);
      case 1:
        return read_timestamp(in, timestamp);
      case 2:
      case 3:
        return read_text(in, text);
      default:
        return read_string_map(in, data);
    }
  });
}

bool read_span(JsonCursor& in, SpanRecordView& span) {
  static constexpr std::string_view kKeys[] = {
      "trace_id",
      "span_id",
      "parent_span_id",
      "tenant_id",
      "operation_name",
      "start_time",
      "end_time",
      "provider",
      "model_name",
      "prompt",
      "response",
      "prompt_tokens",
      "completion_tokens",
      "total_tokens",
      "time_to_first_token_ms",
      "duration_ms",
      "status_code",
      "error_message",
      "estimated_cost_usd",
      "security_score",
      "security_findings",
      "tags",
      "events",
      "agent_actions",
  };
  return read_record(in, kKeys, "span", [&](std::size_t key) {
    switch (key) {
      case 0:
        return read_uuid(in, span.trace_id);
      case 1:
        return read_uuid(in, span.span_id);
      case 2:
        return read_optional(in, span.parent_span_id, read_uuid);
      case 3:
        return read_uuid(in, span.tenant_id);
      case 4:
        return read_text(in, span.operation_name);
      case 5:
        return read_timestamp(in, span.start_time);
      case 6:
        return read_optional(in, span.end_time, read_timestamp);
      case 7:
        return read_provider(in, span);
      case 8:
        return read_text(in, span.model_name);
      case 9:
        return read_text(in, span.prompt);
      case 10:
        return read_optional(in, span.response, read_text);
      case 11:
        return read_optional(in, span.prompt_tokens, read_unsigned<std::uint32_t>);
      case 12:
        return read_optional(in, span.completion_tokens, read_unsigned<std::uint32_t>);
      case 13:
        return read_optional(in, span.total_tokens, read_unsigned<std::uint32_t>);
      case 14:
        return read_optional(in, span.time_to_first_token_ms, read_unsigned<std::uint64_t>);
      case 15:
        return read_optional(in, span.duration_ms, read_unsigned<std::uint64_t>);
      case 16:
        return read_optional(in, span.status_code, read_unsigned<std::uint16_t>);
      case 17:
        return read_optional(in, span.error_message, read_text);
      case 18:
        return read_optional(in, span.estimated_cost_usd, read_double);
      case 19:
        return read_optional(in, span.security_score, read_unsigned<std::uint8_t>);
      case 20:
        return read_array(in, [&](std::size_t) {
          ++span.security_findings_count;
          return read_finding(in);
        });
      case 21:
        return read_string_map(in, span.tags);
      case 22:
        return read_array(in, [&](std::size_t) {
          ++span.events_count;
          return read_event(in);
        });
      default:
        return read_array(
            in, [&](std::size_t) { return read_action(in, span.agent_actions.emplace_back()); });
    }
  });
}

// Days from 1970-01-01 to a proleptic Gregorian date (March-based years put
// the leap day last; 400-year eras of 146097 days do the rest).
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146'097 + static_cast<std::int64_t>(day_of_era) - 719'468;
}

bool is_leap(std::int64_t year) noexcept {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned days_in_month(std::int64_t year, unsigned month) noexcept {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<UnixNanos> parse_utc_timestamp(std::string_view text) noexcept {
  std::size_t pos = 0;
  const auto digits = [&](std::size_t count, std::uint64_t& value) {
    if (text.size() - pos < count) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text[pos + i];
      if (c < '0' || c > '9') return false;
      value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    pos += count;
    return true;
  };
  const auto separator = [&](char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  };
  // The year has four digits, more only past 9999 (never with a leading 0).
  std::size_t year_digits = 0;
  while (year_digits < text.size() && text[year_digits] >= '0' && text[year_digits] <= '9')
    ++year_digits;
  if (year_digits < 4 || year_digits > 6 || (year_digits > 4 && text[0] == '0')) return {};
  std::uint64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!digits(year_digits, year) || !separator('-') || !digits(2, month) || !separator('-') ||
      !digits(2, day) || !separator('T') || !digits(2, hour) || !separator(':') ||
      !digits(2, minute) || !separator(':') || !digits(2, second)) {
    return {};
  }
  std::uint64_t nanos = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    std::size_t count = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && count < 9) {
      nanos = nanos * 10 + static_cast<std::uint64_t>(text[pos] - '0');
      ++pos;
      ++count;
    }
    if (count == 0) return {};
    for (; count < 9; ++count)
      nanos *= 10;
  }
  if (!separator('Z') || pos != text.size()) return {};
  const auto signed_year = static_cast<std::int64_t>(year);
  if (year < 1970 || month < 1 || month > 12 || day < 1 ||
      day > days_in_month(signed_year, static_cast<unsigned>(month)) || hour > 23 || minute > 59 ||
      second > 59) {
    return {};
  }
  const auto days = static_cast<std::uint64_t>(
      days_from_civil(signed_year, static_cast<unsigned>(month), static_cast<unsigned>(day)));
  const std::uint64_t seconds = days * 86'400 + hour * 3600 + minute * 60 + second;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  if (seconds > (kMax - nanos) / kNanosPerSecond) return {};
  return seconds * kNanosPerSecond + nanos;
}

Expected<SpanRecordView, DocumentError> read_span_document(std::string_view text,
                                                           TextArena& arena) {
  JsonCursor in(text, arena);
  SpanRecordView span;
  if (read_span(in, span) && !in.at_end()) in.fail("text after the document");
  if (in.failed()) return Unexpected{DocumentError{in.error_message()}};
  return span;
}

}  // namespace pelnorix
