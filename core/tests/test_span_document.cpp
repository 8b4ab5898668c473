// The span document and the finding summaries, against golden texts built
// from records with fixed identifiers and times.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "pelnorix/span_document.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

constexpr std::int64_t k20240517T093053 = 1'715'938'253;

Uuid id(std::string_view text) {
  auto parsed = parse_uuid(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.has_value() ? *parsed : Uuid{};
}

UtcTimestamp at(std::int64_t seconds_after, std::uint32_t nanos) {
  return UtcTimestamp{k20240517T093053 + seconds_after, nanos};
}

StringMap one_entry(std::string key, std::string value) {
  StringMap map;
  map.insert_or_assign(std::move(key), std::move(value));
  return map;
}

SecurityFinding injection_finding() {
  return SecurityFinding{.id = id("aaaaaaaa-bbbb-4ccc-9ddd-eeeeeeeeeeee"),
                         .severity = SecuritySeverity::Critical,
                         .finding_type = "prompt_injection",
                         .description = "ignore previous instructions",
                         .detected_at = at(1, 0),
                         .confidence_score = std::numeric_limits<double>::quiet_NaN(),
                         .location = "prompt",
                         .metadata = one_entry("rule", "R1"),
                         .requires_alert = true};
}

// A span with every field present.
TraceSpan full_span() {
  TraceSpan span;
  span.trace_id = id("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b");
  span.span_id = id("00112233-4455-4677-8899-aabbccddeeff");
  span.parent_span_id = id("01234567-89ab-4def-8123-456789abcdef");
  span.tenant_id = TenantId{id("ffffffff-0000-4000-8000-000000000001")};
  span.operation_name = "chat_completion";
  span.start_time = at(0, 123'456'789);
  span.end_time = at(2, 623'456'789);
  span.provider = LLMProvider::custom("my-gateway");
  span.model_name = "gpt-4";
  span.prompt = "Say \"hi\"\\\n\x01 \xc3\xa9";
  span.response = "hi";
  span.prompt_tokens = 4'294'967'290U;
  span.completion_tokens = 5;
  span.total_tokens = 4'294'967'295U;
  span.time_to_first_token_ms = 120;
  span.duration_ms = 2500;
  span.status_code = 429;
  span.error_message = "rate limited";
  span.estimated_cost_usd = 0.0125;
  span.security_score = 255;
  span.security_findings.push_back(injection_finding());
  span.tags = one_entry("env", "prod");

  span.events.push_back(SpanEvent{.id = id("10000000-0000-4000-a000-000000000000"),
                                  .timestamp = at(1, 5'000'000),
                                  .event_type = "retry",
                                  .description = "second attempt",
                                  .data = one_entry("attempt", "2")});
  span.agent_actions.push_back(AgentAction{.id = id("20000000-0000-4000-b000-000000000000"),
                                           .name = "ls",
                                           .duration_ms = 42,
                                           .timestamp = at(1, 5'000),
                                           .metadata = one_entry("m", "1"),
                                           .arguments = "-la /tmp",
                                           .result = "total 0",
                                           .http_method = "GET",
                                           .file_operation = "read",
                                           .exit_code = -1,
                                           .http_status = 200,
                                           .action_type = AgentActionType::CommandExecution,
                                           .success = false});
  // An action with every optional field absent.
  AgentAction bare;
  bare.id = id("30000000-0000-4000-8000-00000000000f");
  bare.name = "search";
  bare.timestamp = at(2, 120'000'000);
  span.agent_actions.push_back(std::move(bare));
  return span;
}

constexpr std::string_view kFullSpanPretty = R"({
  "trace_id": "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
  "span_id": "00112233-4455-4677-8899-aabbccddeeff",
  "parent_span_id": "01234567-89ab-4def-8123-456789abcdef",
  "tenant_id": "ffffffff-0000-4000-8000-000000000001",
  "operation_name": "chat_completion",
  "start_time": "2024-05-17T09:30:53.123456789Z",
  "end_time": "2024-05-17T09:30:55.623456789Z",
  "provider": {
    "Custom": "my-gateway"
  },
  "model_name": "gpt-4",
  "prompt": "Say \"hi\"\\\n\u0001 é",
  "response": "hi",
  "prompt_tokens": 4294967290,
  "completion_tokens": 5,
  "total_tokens": 4294967295,
  "time_to_first_token_ms": 120,
  "duration_ms": 2500,
  "status_code": 429,
  "error_message": "rate limited",
  "estimated_cost_usd": 0.0125,
  "security_score": 255,
  "security_findings": [
    {
      "id": "aaaaaaaa-bbbb-4ccc-9ddd-eeeeeeeeeeee",
      "severity": "Critical",
      "finding_type": "prompt_injection",
      "description": "ignore previous instructions",
      "detected_at": "2024-05-17T09:30:54Z",
      "confidence_score": null,
      "location": "prompt",
      "metadata": {
        "rule": "R1"
      },
      "requires_alert": true
    }
  ],
  "tags": {
    "env": "prod"
  },
  "events": [
    {
      "id": "10000000-0000-4000-a000-000000000000",
      "timestamp": "2024-05-17T09:30:54.005Z",
      "event_type": "retry",
      "description": "second attempt",
      "data": {
        "attempt": "2"
      }
    }
  ],
  "agent_actions": [
    {
      "id": "20000000-0000-4000-b000-000000000000",
      "action_type": "command_execution",
      "name": "ls",
      "arguments": "-la /tmp",
      "result": "total 0",
      "duration_ms": 42,
      "success": false,
      "exit_code": -1,
      "http_method": "GET",
      "http_status": 200,
      "file_operation": "read",
      "timestamp": "2024-05-17T09:30:54.000005Z",
      "metadata": {
        "m": "1"
      }
    },
    {
      "id": "30000000-0000-4000-8000-00000000000f",
      "action_type": "tool_call",
      "name": "search",
      "arguments": null,
      "result": null,
      "duration_ms": null,
      "success": true,
      "exit_code": null,
      "http_method": null,
      "http_status": null,
      "file_operation": null,
      "timestamp": "2024-05-17T09:30:55.120Z",
      "metadata": {}
    }
  ]
})";

constexpr std::string_view kFreshSpanPretty = R"({
  "trace_id": "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
  "span_id": "00112233-4455-4677-8899-aabbccddeeff",
  "parent_span_id": null,
  "tenant_id": "ffffffff-0000-4000-8000-000000000001",
  "operation_name": "chat_completion",
  "start_time": "2024-05-17T09:30:53Z",
  "end_time": null,
  "provider": "VLLm",
  "model_name": "gpt-4",
  "prompt": "",
  "response": null,
  "prompt_tokens": null,
  "completion_tokens": null,
  "total_tokens": null,
  "time_to_first_token_ms": null,
  "duration_ms": null,
  "status_code": null,
  "error_message": null,
  "estimated_cost_usd": null,
  "security_score": null,
  "security_findings": [],
  "tags": {},
  "events": [],
  "agent_actions": []
})";

std::string compact_text(const TraceSpan& span) {
  auto text = span_to_compact_json(span);
  EXPECT_TRUE(text.has_value()) << text.error().message;
  return text.has_value() ? std::string(*text) : std::string();
}

std::string pretty_text(const TraceSpan& span) {
  auto text = span_to_pretty_json(span);
  EXPECT_TRUE(text.has_value()) << text.error().message;
  return text.has_value() ? std::string(*text) : std::string();
}

// The token stream of a JSON text: everything but the whitespace between
// tokens. Two texts with equal token streams parse to equal values.
std::string tokens_of(std::string_view text) {
  std::string tokens;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      in_string = escaped || c != '"';
      escaped = !escaped && c == '\\';
    } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
      continue;
    } else {
      in_string = c == '"';
    }
    tokens += c;
  }
  return tokens;
}

TEST(SpanDocument, SpanWithEveryFieldMatchesTheGoldenTexts) {
  const TraceSpan span = full_span();
  EXPECT_EQ(pretty_text(span), kFullSpanPretty);
  EXPECT_EQ(compact_text(span), tokens_of(kFullSpanPretty));
}

TEST(SpanDocument, FreshSpanWritesNullsAndEmptyContainers) {
  TraceSpan span = new_span(id("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"),
                            TenantId{id("ffffffff-0000-4000-8000-000000000001")}, "chat_completion",
                            LLMProvider{LLMProvider::Kind::VLLm, {}}, "gpt-4", "");
  // Only what new_span draws at random or reads from the clock is fixed here.
  span.span_id = id("00112233-4455-4677-8899-aabbccddeeff");
  span.start_time = at(0, 0);
  EXPECT_EQ(pretty_text(span), kFreshSpanPretty);
  EXPECT_EQ(compact_text(span), tokens_of(kFreshSpanPretty));
}

TEST(SpanDocument, CompactAndPrettyCarryTheSameTokens) {
  TraceSpan span = full_span();
  for (int i = 0; i < 20; ++i) {
    span.tags.insert_or_assign("tag" + std::to_string(i), "value \"" + std::to_string(i) + "\"");
  }
  span.agent_actions.front().metadata.insert_or_assign("second", "entry\n");
  const std::string compact = compact_text(span);
  const std::string pretty = pretty_text(span);
  EXPECT_EQ(tokens_of(pretty), compact);
  EXPECT_EQ(tokens_of(compact), compact);  // no whitespace outside strings at all
  EXPECT_EQ(compact, compact_text(span));  // an unchanged span writes the same text again
}

std::string written(const auto& value) {
  return test::compact([&](JsonWriter& w) { return write_json(w, value); });
}

TEST(SpanDocumentTimestamp, FractionShowsTheFewestOf0369Digits) {
  const std::pair<UtcTimestamp, const char*> cases[] = {
      {at(0, 0), R"("2024-05-17T09:30:53Z")"},
      {at(0, 5'000'000), R"("2024-05-17T09:30:53.005Z")"},
      {at(0, 5'000), R"("2024-05-17T09:30:53.000005Z")"},
      {at(0, 5), R"("2024-05-17T09:30:53.000000005Z")"},
      {at(0, 120'000'000), R"("2024-05-17T09:30:53.120Z")"},
      {at(0, 120'001'000), R"("2024-05-17T09:30:53.120001Z")"},
      {at(0, 999'999'999), R"("2024-05-17T09:30:53.999999999Z")"},
      {UtcTimestamp{0, 0}, R"("1970-01-01T00:00:00Z")"},
      {UtcTimestamp{1'709'251'199, 500'000'000}, R"("2024-02-29T23:59:59.500Z")"},
      {UtcTimestamp{253'402'300'799, 1'000}, R"("9999-12-31T23:59:59.000001Z")"},
  };
  for (const auto& [timestamp, text] : cases)
    EXPECT_EQ(written(timestamp), text);
}

TEST(SpanDocumentEnumerations, ProviderForms) {
  using Kind = LLMProvider::Kind;
  const std::pair<LLMProvider, const char*> cases[] = {
      {{Kind::OpenAI, {}}, R"("OpenAI")"},
      {{Kind::Anthropic, {}}, R"("Anthropic")"},
      {{Kind::VLLm, {}}, R"("VLLm")"},
      {{Kind::SGLang, {}}, R"("SGLang")"},
      {{Kind::TGI, {}}, R"("TGI")"},
      {{Kind::Ollama, {}}, R"("Ollama")"},
      {{Kind::AzureOpenAI, {}}, R"("AzureOpenAI")"},
      {{Kind::Bedrock, {}}, R"("Bedrock")"},
      {LLMProvider::custom("my-gateway"), R"({"Custom":"my-gateway"})"},
      {LLMProvider::custom(""), R"({"Custom":""})"},
      {LLMProvider::custom("a\"b"), R"({"Custom":"a\"b"})"},
  };
  for (const auto& [provider, text] : cases)
    EXPECT_EQ(written(provider), text);
}

TEST(SpanDocumentFindings, SummariesAreKeySortedWithLowerCaseSeverity) {
  TraceSpan span = full_span();
  SecurityFinding pii;
  pii.id = id("bbbbbbbb-0000-4000-8000-000000000000");
  pii.severity = SecuritySeverity::Info;
  pii.finding_type = "pii";
  pii.description = "an e-mail address";
  pii.detected_at = at(0, 0);
  pii.confidence_score = 0.75;
  pii.metadata = one_entry("not", "summarised");
  span.security_findings.push_back(pii);
  auto text = findings_to_compact_json(span);
  ASSERT_TRUE(text.has_value()) << text.error().message;
  EXPECT_EQ(*text,
            R"([{"confidence_score":null,"description":"ignore previous instructions",)"
            R"("finding_type":"prompt_injection","id":"aaaaaaaa-bbbb-4ccc-9ddd-eeeeeeeeeeee",)"
            R"("location":"prompt","requires_alert":true,"severity":"critical"},)"
            R"({"confidence_score":0.75,"description":"an e-mail address","finding_type":"pii",)"
            R"("id":"bbbbbbbb-0000-4000-8000-000000000000","location":null,)"
            R"("requires_alert":false,"severity":"info"}])");
}

TEST(SpanDocumentFindings, InfiniteConfidenceIsNullAndNoFindingsIsAnEmptyArray) {
  SecurityFinding finding = injection_finding();
  finding.confidence_score = -std::numeric_limits<double>::infinity();
  EXPECT_TRUE(finding_summary(finding).find("confidence_score")->is_null());
  EXPECT_NE(written(finding).find(R"("confidence_score":null)"), std::string::npos);

  TraceSpan span = full_span();
  span.security_findings.clear();
  auto text = findings_to_compact_json(span);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "[]");
}

}  // namespace
}  // namespace pelnorix
