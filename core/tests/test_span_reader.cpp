// Reading span documents back: what the writer wrote reads back field for
// field, in both layouts and in the forms other JSON writers give the same
// document; anything else is refused with the place of the fault.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "pelnorix/span_document.hpp"
#include "pelnorix/span_reader.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

Uuid id(std::string_view text) {
  auto parsed = parse_uuid(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.has_value() ? *parsed : Uuid{};
}

constexpr std::int64_t k20240517T093053 = 1'715'938'253;
constexpr std::uint64_t kNanos = 1'000'000'000;

// Every field present, texts that need every kind of escape.
TraceSpan full_span() {
  TraceSpan span = new_span(id("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"),
                            TenantId{id("ffffffff-0000-4000-8000-000000000001")}, "chat_completion",
                            LLMProvider::custom("my-gateway"), "gpt-4",
                            "Say \"hi\"\\\n\x01\t \xc3\xa9 \xf0\x9f\x98\x80");
  span.start_time = UtcTimestamp{k20240517T093053, 123'456'789};
  span.parent_span_id = id("01234567-89ab-4def-8123-456789abcdef");
  finish_with_error_at(span, "rate limited", 429, UtcTimestamp{k20240517T093053 + 2, 500'000'000});
  span.response = "hi";
  set_token_counts(span, 4'294'967'290U, 5);
  span.time_to_first_token_ms = std::numeric_limits<std::uint64_t>::max();
  span.estimated_cost_usd = 0.0125;
  span.security_score = 255;
  SecurityFinding finding;
  finding.id = generate_uuid_v4();
  finding.finding_type = "pii";
  finding.detected_at = span.start_time;
  finding.confidence_score = 0.5;
  span.security_findings.push_back(finding);
  SpanEvent event;
  event.id = generate_uuid_v4();
  event.timestamp = span.start_time;
  span.events.push_back(event);
  span.tags.insert_or_assign("env", "prod");
  span.tags.insert_or_assign("quote\"key", "line\nbreak");
  AgentAction action = new_agent_action(AgentActionType::CommandExecution, "ls");
  action.timestamp = UtcTimestamp{k20240517T093053 + 1, 0};
  action = with_arguments(std::move(action), "-la");
  action = with_result(std::move(action), "total 0");
  action.duration_ms = 12;
  action.success = false;
  action.exit_code = -1;
  action.http_method = "GET";
  action.http_status = 404;
  action.file_operation = "read";
  action.metadata.insert_or_assign("cwd", "/tmp");
  add_agent_action(span, std::move(action));
  add_agent_action(span, new_agent_action(AgentActionType::ToolCall, "search"));
  return span;
}

std::uint64_t nanos_of(const UtcTimestamp& t) {
  return static_cast<std::uint64_t>(t.unix_seconds) * kNanos + t.nanos;
}

void expect_reads_as(const SpanRecordView& read, const TraceSpan& span) {
  EXPECT_EQ(read.trace_id, span.trace_id);
  EXPECT_EQ(read.span_id, span.span_id);
  EXPECT_EQ(read.parent_span_id, span.parent_span_id);
  EXPECT_EQ(read.tenant_id, span.tenant_id.uuid);
  EXPECT_EQ(read.operation_name, span.operation_name);
  EXPECT_EQ(read.start_time, nanos_of(span.start_time));
  EXPECT_EQ(read.end_time.has_value(), span.end_time.has_value());
  if (span.end_time) {
    EXPECT_EQ(read.end_time, nanos_of(*span.end_time));
  }
  EXPECT_EQ(read.provider, span.provider.kind);
  EXPECT_EQ(read.custom_provider, span.provider.custom_name);
  EXPECT_EQ(read.model_name, span.model_name);
  EXPECT_EQ(read.prompt, span.prompt);
  EXPECT_EQ(read.response, span.response);
  EXPECT_EQ(read.prompt_tokens, span.prompt_tokens);
  EXPECT_EQ(read.completion_tokens, span.completion_tokens);
  EXPECT_EQ(read.total_tokens, span.total_tokens);
  EXPECT_EQ(read.time_to_first_token_ms, span.time_to_first_token_ms);
  EXPECT_EQ(read.duration_ms, span.duration_ms);
  EXPECT_EQ(read.status_code, span.status_code);
  EXPECT_EQ(read.error_message, span.error_message);
  EXPECT_EQ(read.estimated_cost_usd, span.estimated_cost_usd);
  EXPECT_EQ(read.security_score, span.security_score);
  EXPECT_EQ(read.security_findings_count, span.security_findings.size());
  EXPECT_EQ(read.events_count, span.events.size());
  ASSERT_EQ(read.tags.size(), span.tags.size());
  for (const TextPair& tag : read.tags) {
    const auto value = span.tags.find(tag.key);
    ASSERT_TRUE(value) << tag.key;
    EXPECT_EQ(tag.value, *value);
  }
  ASSERT_EQ(read.agent_actions.size(), span.agent_actions.size());
  for (std::size_t i = 0; i < read.agent_actions.size(); ++i) {
    const ActionRecordView& a = read.agent_actions[i];
    const AgentAction& b = span.agent_actions[i];
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.action_type, b.action_type);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.arguments, b.arguments);
    EXPECT_EQ(a.result, b.result);
    EXPECT_EQ(a.duration_ms, b.duration_ms);
    EXPECT_EQ(a.success, b.success);
    EXPECT_EQ(a.exit_code, b.exit_code);
    EXPECT_EQ(a.http_method, b.http_method);
    EXPECT_EQ(a.http_status, b.http_status);
    EXPECT_EQ(a.file_operation, b.file_operation);
    EXPECT_EQ(a.timestamp, nanos_of(b.timestamp));
    EXPECT_EQ(a.metadata.size(), b.metadata.size());
  }
}

Expected<SpanRecordView, DocumentError> read(std::string_view text, TextArena& arena) {
  return read_span_document(text, arena);
}

TEST(SpanReader, ReadsWhatTheWriterWroteInBothLayouts) {
  for (const TraceSpan& span : {full_span(), new_span(generate_uuid_v4(), TenantId::generate(), "",
                                                      LLMProvider{}, "", "")}) {
    for (auto* write : {&span_to_pretty_json, &span_to_compact_json}) {
      const std::string text(*write(span));
      TextArena arena;
      auto record = read(text, arena);
      ASSERT_TRUE(record.has_value()) << record.error().message << "\n" << text;
      expect_reads_as(*record, span);
    }
  }
}

// The compact document of a started span, in which each case replaces one
// piece of text.
std::string started_document() {
  return R"({"trace_id":"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",)"
         R"("span_id":"00112233-4455-4677-8899-aabbccddeeff","parent_span_id":null,)"
         R"("tenant_id":"ffffffff-0000-4000-8000-000000000001","operation_name":"chat",)"
         R"("start_time":"2024-05-17T09:30:53.5Z","end_time":null,"provider":"OpenAI",)"
         R"("model_name":"gpt-4","prompt":"hi","response":null,"prompt_tokens":null,)"
         R"("completion_tokens":null,"total_tokens":null,"time_to_first_token_ms":null,)"
         R"("duration_ms":null,"status_code":null,"error_message":null,)"
         R"("estimated_cost_usd":null,"security_score":null,"security_findings":[],"tags":{},)"
         R"("events":[],"agent_actions":[]})";
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct Variant {
  std::string label;
  std::string from;
  std::string to;
  std::string then_from = {};  // a second replacement, when not empty
  std::string then_to = {};
};

class OtherWriters : public testing::TestWithParam<Variant> {};

// Forms that json.dumps and friends give the same document.
TEST_P(OtherWriters, ReadTheSameFields) {
  const Variant& v = GetParam();
  TextArena arena;
  const std::string original = started_document();
  auto expected = read(original, arena);
  ASSERT_TRUE(expected.has_value()) << expected.error().message;
  std::string text = replaced(started_document(), v.from, v.to);
  if (!v.then_from.empty()) text = replaced(text, v.then_from, v.then_to);
  auto record = read(text, arena);
  ASSERT_TRUE(record.has_value()) << record.error().message;
  EXPECT_EQ(record->operation_name, expected->operation_name);
  EXPECT_EQ(record->prompt, expected->prompt);
  EXPECT_EQ(record->start_time, expected->start_time);
  EXPECT_EQ(record->trace_id, expected->trace_id);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, OtherWriters,
    testing::Values(Variant{"whitespace", R"(,"span_id":)", " \t\r\n,\n  \"span_id\" :\t"},
                    Variant{"escaped_ascii", R"("operation_name":"chat")",
                            R"("operation_name":"\u0063h\u0061t")"},
                    Variant{"escaped_key", R"("prompt":"hi")", R"("\u0070rompt":"\u0068\u0069")"},
                    Variant{
                        "reordered_keys", R"({"trace_id":"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",)",
                        R"({"agent_actions":[],"trace_id":"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",)",
                        R"(,"agent_actions":[]})", "}"},
                    Variant{"upper_case_uuid", "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
                            "3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B"},
                    Variant{"six_fraction_digits", "53.5Z", "53.500000Z"}),
    [](const auto& param_info) { return param_info.param.label; });

struct Decoding {
  std::string label;
  std::string json;      // the JSON string token
  std::string expected;  // the decoded UTF-8 text
};

class Strings : public testing::TestWithParam<Decoding> {};

TEST_P(Strings, DecodeToUtf8) {
  const Decoding& d = GetParam();
  TextArena arena;
  const std::string text = replaced(started_document(), R"("hi")", d.json);
  auto record = read(text, arena);
  ASSERT_TRUE(record.has_value()) << record.error().message;
  EXPECT_EQ(record->prompt, d.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, Strings,
    testing::Values(Decoding{"simple", R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                    Decoding{"bmp", R"("\u00e9\u20AC")", "\xc3\xa9\xe2\x82\xac"},
                    Decoding{"surrogate_pair", R"("\ud83d\ude00!")", "\xf0\x9f\x98\x80!"},
                    Decoding{"nul", R"("a\u0000b")", std::string("a\0b", 3)},
                    Decoding{"raw_multibyte", "\"\xc3\xa9\xf4\x8f\xbf\xbf\"",
                             "\xc3\xa9\xf4\x8f\xbf\xbf"},
                    Decoding{"long_plain_then_escape",
                             "\"" + std::string(40, 'x') + "\\n" + std::string(40, 'y') + "\"",
                             std::string(40, 'x') + "\n" + std::string(40, 'y')}),
    [](const auto& param_info) { return param_info.param.label; });

struct Refusal {
  std::string label;
  std::string from;
  std::string to;
  std::string message;  // a part of the error message
};

class Refusals : public testing::TestWithParam<Refusal> {};

TEST_P(Refusals, NameTheFault) {
  const Refusal& r = GetParam();
  TextArena arena;
  auto record = read(replaced(started_document(), r.from, r.to), arena);
  ASSERT_FALSE(record.has_value());
  EXPECT_NE(record.error().message.find(r.message), std::string::npos) << record.error().message;
  EXPECT_NE(record.error().message.find(" at byte "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, Refusals,
    testing::Values(
        Refusal{"missing_key", R"("prompt":"hi",)", "", "missing key 'prompt' in span"},
        Refusal{"unknown_key", R"("prompt":"hi",)", R"("prompt":"hi","extra":1,)",
                "unknown key 'extra' in span"},
        Refusal{"duplicate_key", R"("prompt":"hi",)", R"("prompt":"hi","prompt":"hi",)",
                "duplicate key 'prompt'"},
        Refusal{"wrong_type", R"("prompt":"hi")", R"("prompt":5)", "prompt: expected a string"},
        Refusal{"null_for_text", R"("prompt":"hi")", R"("prompt":null)", "expected a string"},
        Refusal{"u32_overflow", R"("prompt_tokens":null)", R"("prompt_tokens":4294967296)",
                "prompt_tokens: expected an integer from 0 to 4294967295"},
        Refusal{"negative_count", R"("prompt_tokens":null)", R"("prompt_tokens":-1)",
                "expected an integer from 0"},
        Refusal{"fraction_count", R"("prompt_tokens":null)", R"("prompt_tokens":1.0)",
                "expected an integer"},
        Refusal{"u16_overflow", R"("status_code":null)", R"("status_code":65536)",
                "status_code: expected an integer from 0 to 65535"},
        Refusal{"u8_overflow", R"("security_score":null)", R"("security_score":256)",
                "from 0 to 255"},
        Refusal{"u64_overflow", R"("duration_ms":null)", R"("duration_ms":18446744073709551616)",
                "from 0 to 18446744073709551615"},
        Refusal{"leading_zero", R"("duration_ms":null)", R"("duration_ms":01)",
                "expected ',' or '}'"},
        Refusal{"infinite_cost", R"("estimated_cost_usd":null)", R"("estimated_cost_usd":1e999)",
                "out of the range of a double"},
        Refusal{"short_uuid", "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
                "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b", "trace_id: expected a hyphenated UUID"},
        Refusal{"bad_time", "2024-05-17T09:30:53.5Z", "2024-05-17 09:30:53.5Z",
                "start_time: expected an RFC 3339 UTC timestamp"},
        Refusal{"unknown_provider", R"("OpenAI")", R"("OpenAi")", "unknown provider 'OpenAi'"},
        Refusal{"provider_object", R"("OpenAI")", R"({"Other":"x"})",
                "unknown key 'Other' in provider"},
        Refusal{"unknown_action_type", R"("agent_actions":[])",
                R"("agent_actions":[{"id":"00112233-4455-4677-8899-aabbccddeeff",)"
                R"("action_type":"tool-call"}])",
                "agent_actions[0].action_type: unknown action type 'tool-call'"},
        Refusal{"incomplete_action", R"("agent_actions":[])",
                R"("agent_actions":[{"id":"00112233-4455-4677-8899-aabbccddeeff"}])",
                "agent_actions[0]: missing key 'action_type' in agent action"},
        Refusal{"duplicate_tag", R"("tags":{})", R"("tags":{"a":"1","a":"2"})",
                "duplicate key 'a'"},
        Refusal{"tag_not_text", R"("tags":{})", R"("tags":{"a":1})", "tags.a: expected a string"},
        Refusal{"finding_fields", R"("security_findings":[])", R"("security_findings":[{}])",
                "security_findings[0]: missing key 'id' in security finding"},
        Refusal{"invalid_escape", R"("hi")", R"("\x41")", "prompt: invalid escape"},
        Refusal{"lone_high_surrogate", R"("hi")", R"("\ud83dx")", "unpaired surrogate"},
        Refusal{"lone_low_surrogate", R"("hi")", R"("\ude00")", "unpaired surrogate"},
        Refusal{"short_unicode_escape", R"("hi")", R"("\u12")", "invalid \\u escape"},
        Refusal{"raw_control", R"("hi")", "\"a\nb\"", "raw control character"},
        Refusal{"overlong_utf8", R"("hi")", "\"\xc0\x80\"", "invalid UTF-8"},
        Refusal{"encoded_surrogate", R"("hi")", "\"\xed\xa0\x80\"", "invalid UTF-8"},
        Refusal{"truncated_utf8", R"("hi")", "\"\xe2\x82\"", "invalid UTF-8"},
        Refusal{"unterminated", R"("agent_actions":[]})", R"("agent_actions":[],"x)",
                "unterminated string"},
        Refusal{"trailing_text", R"("agent_actions":[]})", R"("agent_actions":[]} {})",
                "text after the document"}),
    [](const auto& param_info) { return param_info.param.label; });

struct TimestampCase {
  std::string text;
  std::optional<UnixNanos> nanos;
};

class Timestamps : public testing::TestWithParam<TimestampCase> {};

TEST_P(Timestamps, ParseToUnixNanos) {
  EXPECT_EQ(parse_utc_timestamp(GetParam().text), GetParam().nanos) << GetParam().text;
}

constexpr std::uint64_t kAt = static_cast<std::uint64_t>(k20240517T093053) * kNanos;

INSTANTIATE_TEST_SUITE_P(
    Rfc3339, Timestamps,
    testing::Values(TimestampCase{"2024-05-17T09:30:53Z", kAt},
                    TimestampCase{"2024-05-17T09:30:53.5Z", kAt + 500'000'000},
                    TimestampCase{"2024-05-17T09:30:53.120Z", kAt + 120'000'000},
                    TimestampCase{"2024-05-17T09:30:53.000005Z", kAt + 5'000},
                    TimestampCase{"2024-05-17T09:30:53.000000001Z", kAt + 1},
                    TimestampCase{"1970-01-01T00:00:00Z", 0},
                    TimestampCase{"2000-02-29T00:00:00Z", 951'782'400 * kNanos},
                    TimestampCase{"2554-07-21T23:34:33.709551615Z",
                                  std::numeric_limits<std::uint64_t>::max()},
                    TimestampCase{"2554-07-21T23:34:33.709551616Z", std::nullopt},
                    TimestampCase{"1969-12-31T23:59:59Z", std::nullopt},
                    TimestampCase{"2023-02-29T00:00:00Z", std::nullopt},
                    TimestampCase{"2024-13-01T00:00:00Z", std::nullopt},
                    TimestampCase{"2024-05-17T24:00:00Z", std::nullopt},
                    TimestampCase{"2024-05-17T09:60:00Z", std::nullopt},
                    TimestampCase{"2024-05-17T09:30:60Z", std::nullopt},
                    TimestampCase{"2024-05-17T09:30:53+00:00", std::nullopt},
                    TimestampCase{"2024-05-17T09:30:53", std::nullopt},
                    TimestampCase{"2024-05-17T09:30:53.Z", std::nullopt},
                    TimestampCase{"2024-05-17T09:30:53.1234567890Z", std::nullopt},
                    TimestampCase{"2024-5-17T09:30:53Z", std::nullopt},
                    TimestampCase{"02024-05-17T09:30:53Z", std::nullopt}),
    [](const auto& param_info) { return "case" + std::to_string(param_info.index); });

}  // namespace
}  // namespace pelnorix
