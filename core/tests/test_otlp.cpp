// Spans as OTLP: the mapping after the GenAI conventions, the content policy,
// grouping by tenant, and both encodings of the export request (the protobuf
// bytes against those of the official implementation).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/otlp.hpp"
#include "pelnorix/span_document.hpp"
#include "support.hpp"

namespace pelnorix::otlp {
namespace {

constexpr std::int64_t k20240517T093053 = 1'715'938'253;
constexpr UnixNanos kStart = static_cast<UnixNanos>(k20240517T093053) * 1'000'000'000 + 5;

Uuid id(std::string_view text) {
  auto parsed = parse_uuid(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.has_value() ? *parsed : Uuid{};
}

TraceSpan call_span(std::string operation = "chat_completion", LLMProvider provider = {},
                    std::string model = "gpt-4") {
  TraceSpan span = new_span(id("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"),
                            TenantId{id("ffffffff-0000-4000-8000-000000000001")},
                            std::move(operation), std::move(provider), std::move(model), "Hi?");
  span.span_id = id("00112233-4455-4677-8899-aabbccddeeff");
  span.start_time = UtcTimestamp{k20240517T093053, 5};
  return span;
}

// A mapped span document, with the text and arena its views point into.
struct Mapped {
  std::string document;
  TextArena arena;
  std::vector<Span> spans;
  bool completed = false;
};

std::unique_ptr<Mapped> mapped(const TraceSpan& span, const ContentPolicy& policy = {},
                               const std::optional<TraceLink>& link = {}) {
  auto result = std::make_unique<Mapped>();
  result->document = *span_to_compact_json(span);
  auto record = read_span_document(result->document, result->arena);
  EXPECT_TRUE(record.has_value()) << record.error().message;
  if (record) result->completed = map_span(*record, link, policy, result->arena, result->spans);
  return result;
}

const AnyValue* attribute(const Span& span, std::string_view key) {
  for (const KeyValue& kv : span.attributes) {
    if (kv.key == key) return &kv.value;
  }
  return nullptr;
}

std::string text_of(const Span& span, std::string_view key) {
  const AnyValue* value = attribute(span, key);
  if (value == nullptr) return "<absent>";
  if (value->type != AnyValue::Type::String) return "<not a string>";
  return std::string(value->text);
}

std::vector<std::string_view> keys_of(const Span& span) {
  std::vector<std::string_view> keys;
  for (const KeyValue& kv : span.attributes)
    keys.push_back(kv.key);
  return keys;
}

SpanId span_id(std::string_view hex) {
  SpanId bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return bytes;
}

TEST(Mapping, CallSpanFollowsTheConventions) {
  TraceSpan span = call_span();
  set_token_counts(span, 9, 7);
  span.time_to_first_token_ms = 120;
  span.tags.insert_or_assign("env", "prod");
  finish_with_response_at(span, "Paris.", UtcTimestamp{k20240517T093053 + 2, 7});
  const auto m = mapped(span);
  ASSERT_TRUE(m->completed);
  ASSERT_EQ(m->spans.size(), 1U);
  const Span& s = m->spans[0];
  EXPECT_EQ(s.trace_id, span.trace_id.bytes);
  EXPECT_EQ(s.span_id, span_id("8899aabbccddeeff"));
  EXPECT_FALSE(s.parent_span_id.has_value());
  EXPECT_EQ(s.name, "chat gpt-4");
  EXPECT_EQ(s.kind, SpanKind::Client);
  EXPECT_EQ(s.start_time, kStart);
  EXPECT_EQ(s.end_time, kStart + 2'000'000'002);
  EXPECT_EQ(s.status, StatusCode::Unset);
  EXPECT_EQ(keys_of(s), (std::vector<std::string_view>{
                            "gen_ai.operation.name", "gen_ai.provider.name", "gen_ai.request.model",
                            "gen_ai.usage.input_tokens", "gen_ai.usage.output_tokens",
                            "gen_ai.response.time_to_first_chunk", "gen_ai.input.messages",
                            "gen_ai.output.messages", "pelnorix.span.id", "env"}));
  EXPECT_EQ(text_of(s, "gen_ai.provider.name"), "openai");
  EXPECT_EQ(attribute(s, "gen_ai.usage.input_tokens")->integer, 9);
  EXPECT_EQ(attribute(s, "gen_ai.response.time_to_first_chunk")->number, 0.12);
  EXPECT_EQ(text_of(s, "gen_ai.input.messages"),
            R"([{"role":"user","parts":[{"type":"text","content":"Hi?"}]}])");
  EXPECT_EQ(text_of(s, "gen_ai.output.messages"),
            R"([{"role":"assistant","parts":[{"type":"text","content":"Paris."}],)"
            R"("finish_reason":"stop"}])");
  EXPECT_EQ(text_of(s, "pelnorix.span.id"), "00112233-4455-4677-8899-aabbccddeeff");
}

TEST(Mapping, OpenSpanEndsWhereItStarts) {
  TraceSpan span = call_span();
  span.prompt.clear();
  const auto m = mapped(span);
  const Span& s = m->spans[0];
  EXPECT_EQ(s.end_time, s.start_time);
  EXPECT_EQ(attribute(s, "pelnorix.span.open")->boolean, true);
  EXPECT_EQ(attribute(s, "gen_ai.input.messages"), nullptr);
  EXPECT_EQ(attribute(s, "gen_ai.output.messages"), nullptr);
}

TEST(Mapping, LinkPlacesTheSpanAndItsActionsInTheTrace) {
  TraceSpan span = call_span();
  span.parent_span_id = id("01234567-89ab-4def-8123-456789abcdef");
  add_agent_action(span, new_agent_action(AgentActionType::ToolCall, "search"));
  const TraceLink link{{0xAB, 0xCD}, span_id("0102030405060708")};
  const auto linked = mapped(span, {}, link);
  ASSERT_EQ(linked->spans.size(), 2U);
  for (const Span& s : linked->spans)
    EXPECT_EQ(s.trace_id, link.trace_id);
  EXPECT_EQ(linked->spans[0].parent_span_id, link.parent_span_id);
  EXPECT_EQ(linked->spans[1].parent_span_id, linked->spans[0].span_id);
  // Without a link, a parent recorded in the document is kept.
  EXPECT_EQ(mapped(span)->spans[0].parent_span_id, span_id("8123456789abcdef"));
}

struct Naming {
  std::string recorded;
  std::string operation;
};

class OperationNames : public testing::TestWithParam<Naming> {};

TEST_P(OperationNames, UseTheWellKnownValues) {
  const auto m = mapped(call_span(GetParam().recorded));
  EXPECT_EQ(text_of(m->spans[0], "gen_ai.operation.name"), GetParam().operation);
  EXPECT_EQ(m->spans[0].name, GetParam().operation + " gpt-4");
}

INSTANTIATE_TEST_SUITE_P(
    Recorded, OperationNames,
    testing::Values(Naming{"chat_completion", "chat"}, Naming{"Chat-Completions", "chat"},
                    Naming{"chat.completions", "chat"}, Naming{"messages", "chat"},
                    Naming{"completion", "text_completion"},
                    Naming{"text completion", "text_completion"}, Naming{"embedding", "embeddings"},
                    Naming{"EMBED", "embeddings"}, Naming{"generate_content", "generate_content"},
                    Naming{"rerank", "rerank"},
                    Naming{"Chat_Completion_Stream", "Chat_Completion_Stream"}, Naming{"", ""}));

struct ProviderCase {
  LLMProvider provider;
  std::string expected;  // empty: no attribute
};

class Providers : public testing::TestWithParam<ProviderCase> {};

TEST_P(Providers, NameTheConventionsValue) {
  const auto m = mapped(call_span("chat", GetParam().provider));
  const std::string expected = GetParam().expected.empty() ? "<absent>" : GetParam().expected;
  EXPECT_EQ(text_of(m->spans[0], "gen_ai.provider.name"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, Providers,
    testing::Values(ProviderCase{{LLMProvider::Kind::OpenAI, ""}, "openai"},
                    ProviderCase{{LLMProvider::Kind::Anthropic, ""}, "anthropic"},
                    ProviderCase{{LLMProvider::Kind::VLLm, ""}, "vllm"},
                    ProviderCase{{LLMProvider::Kind::SGLang, ""}, "sglang"},
                    ProviderCase{{LLMProvider::Kind::TGI, ""}, "tgi"},
                    ProviderCase{{LLMProvider::Kind::Ollama, ""}, "ollama"},
                    ProviderCase{{LLMProvider::Kind::AzureOpenAI, ""}, "azure.ai.openai"},
                    ProviderCase{{LLMProvider::Kind::Bedrock, ""}, "aws.bedrock"},
                    ProviderCase{LLMProvider::custom("My-Gateway"), "my-gateway"},
                    ProviderCase{LLMProvider::custom(""), ""}));

struct Failure {
  std::string label;
  OptionalText error;
  std::optional<std::uint16_t> status_code;
  std::string error_type;
};

class Failures : public testing::TestWithParam<Failure> {};

TEST_P(Failures, SetStatusErrorAndErrorType) {
  const Failure& f = GetParam();
  TraceSpan span = call_span();
  span.error_message = f.error;
  span.status_code = f.status_code;
  const auto m = mapped(span);
  const Span& s = m->spans[0];
  EXPECT_EQ(s.status, StatusCode::Error);
  EXPECT_EQ(s.status_message, f.error.view());
  EXPECT_EQ(text_of(s, "error.type"), f.error_type);
  if (f.status_code) {
    ASSERT_NE(attribute(s, "http.response.status_code"), nullptr);
    EXPECT_EQ(attribute(s, "http.response.status_code")->integer, *f.status_code);
  } else {
    EXPECT_EQ(attribute(s, "http.response.status_code"), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Recorded, Failures,
                         testing::Values(Failure{"message_and_code", "rate limited", 429, "429"},
                                         Failure{"message_only", "timeout", std::nullopt, "_OTHER"},
                                         Failure{"code_only", std::nullopt, 503, "503"}),
                         [](const auto& param_info) { return param_info.param.label; });

TEST(Mapping, StepsOfTheApplicationAreInternalAndNameTheirAgentOrTool) {
  TraceSpan agent = call_span("invoke_agent", LLMProvider::custom(""), "planner");
  TraceSpan tool = call_span("execute_tool", LLMProvider::custom(""), "search");
  finish_with_response_at(tool, "3 hits", UtcTimestamp{k20240517T093053 + 1, 0});
  const auto a = mapped(agent);
  const auto t = mapped(tool);
  EXPECT_EQ(a->spans[0].kind, SpanKind::Internal);
  EXPECT_EQ(a->spans[0].name, "invoke_agent planner");
  EXPECT_EQ(text_of(a->spans[0], "gen_ai.agent.name"), "planner");
  EXPECT_EQ(attribute(a->spans[0], "gen_ai.request.model"), nullptr);
  EXPECT_EQ(attribute(a->spans[0], "gen_ai.provider.name"), nullptr);
  EXPECT_EQ(t->spans[0].name, "execute_tool search");
  EXPECT_EQ(text_of(t->spans[0], "gen_ai.tool.name"), "search");
  EXPECT_EQ(text_of(t->spans[0], "gen_ai.tool.call.arguments"), "Hi?");
  EXPECT_EQ(text_of(t->spans[0], "gen_ai.tool.call.result"), "3 hits");
  EXPECT_EQ(attribute(t->spans[0], "gen_ai.input.messages"), nullptr);
  // A remote agent service is still called over the network.
  EXPECT_EQ(mapped(call_span("invoke_agent", {}, "assistant"))->spans[0].kind, SpanKind::Client);
}

AgentAction action_at(AgentActionType type, std::string name, std::int64_t seconds_after) {
  AgentAction action = new_agent_action(type, std::move(name));
  action.timestamp = UtcTimestamp{k20240517T093053 + seconds_after, 5};
  return action;
}

TEST(Mapping, ActionsBecomeToolSpansEndingWhenReported) {
  TraceSpan span = call_span();
  AgentAction search = action_at(AgentActionType::ToolCall, "search", 3);
  search = with_result(with_arguments(std::move(search), R"({"q":"x"})"), "Paris");
  search.duration_ms = 1500;
  add_agent_action(span, search);
  AgentAction command = action_at(AgentActionType::CommandExecution, "ls", 4);
  command.success = false;
  command.exit_code = 2;
  add_agent_action(span, command);
  AgentAction fetch = action_at(AgentActionType::WebAccess, "https://x", 4);
  fetch.success = false;
  fetch.http_method = "GET";
  fetch.http_status = 404;
  fetch.metadata.insert_or_assign("error.type", "NotFound");
  add_agent_action(span, fetch);

  const auto m = mapped(span);
  ASSERT_EQ(m->spans.size(), 4U);
  const Span& tool = m->spans[1];
  EXPECT_EQ(tool.name, "execute_tool search");
  EXPECT_EQ(tool.kind, SpanKind::Internal);
  EXPECT_EQ(tool.span_id, span_id_of(search.id));
  EXPECT_EQ(tool.end_time, kStart + 3'000'000'000);
  EXPECT_EQ(tool.start_time, kStart + 1'500'000'000);
  EXPECT_EQ(tool.status, StatusCode::Unset);
  EXPECT_EQ(text_of(tool, "gen_ai.operation.name"), "execute_tool");
  EXPECT_EQ(text_of(tool, "gen_ai.tool.name"), "search");
  EXPECT_EQ(text_of(tool, "pelnorix.action.type"), "tool_call");
  EXPECT_EQ(text_of(tool, "pelnorix.action.id"), to_string(search.id));
  EXPECT_EQ(text_of(tool, "gen_ai.tool.call.arguments"), R"({"q":"x"})");
  EXPECT_EQ(text_of(tool, "gen_ai.tool.call.result"), "Paris");

  const Span& failed_command = m->spans[2];
  EXPECT_EQ(failed_command.start_time, failed_command.end_time);
  EXPECT_EQ(failed_command.status, StatusCode::Error);
  EXPECT_EQ(text_of(failed_command, "error.type"), "2");
  EXPECT_EQ(attribute(failed_command, "process.exit.code")->integer, 2);

  const Span& failed_fetch = m->spans[3];
  EXPECT_EQ(text_of(failed_fetch, "http.request.method"), "GET");
  EXPECT_EQ(attribute(failed_fetch, "http.response.status_code")->integer, 404);
  EXPECT_EQ(text_of(failed_fetch, "error.type"), "NotFound");  // metadata overrides
}

struct TagCase {
  std::string key;
  std::string value;
  AnyValue::Type type;
  std::string shown;  // the value as text, the elements joined by '|'
};

class Tags : public testing::TestWithParam<TagCase> {};

std::string shown(const AnyValue& value) {
  switch (value.type) {
    case AnyValue::Type::String:
      return std::string(value.text);
    case AnyValue::Type::Bool:
      return value.boolean ? "true" : "false";
    case AnyValue::Type::Int:
      return std::to_string(value.integer);
    case AnyValue::Type::Double:
      return std::to_string(value.number);
    case AnyValue::Type::StringArray: {
      std::string joined;
      for (const std::string_view element : value.strings)
        joined += std::string(element) + "|";
      return joined;
    }
  }
  return {};
}

TEST_P(Tags, TakeTheTypeOfTheirAttribute) {
  const TagCase& c = GetParam();
  TraceSpan span = call_span();
  span.tags.insert_or_assign(c.key, c.value);
  const auto m = mapped(span);
  const AnyValue* value = attribute(m->spans[0], c.key);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->type, c.type);
  EXPECT_EQ(shown(*value), c.shown);
}

using Type = AnyValue::Type;
INSTANTIATE_TEST_SUITE_P(
    Typed, Tags,
    testing::Values(TagCase{"env", "42", Type::String, "42"},
                    TagCase{"gen_ai.request.max_tokens", "256", Type::Int, "256"},
                    TagCase{"gen_ai.request.seed", "-3", Type::Int, "-3"},
                    TagCase{"gen_ai.request.max_tokens", "lots", Type::String, "lots"},
                    TagCase{"gen_ai.request.max_tokens", "1.5", Type::String, "1.5"},
                    TagCase{"gen_ai.request.temperature", "0.5", Type::Double, "0.500000"},
                    TagCase{"gen_ai.request.top_p", "1", Type::Double, "1.000000"},
                    TagCase{"gen_ai.request.temperature", "nan", Type::String, "nan"},
                    TagCase{"gen_ai.response.finish_reasons", R"(["stop", "len\u0067th"])",
                            Type::StringArray, "stop|length|"},
                    TagCase{"gen_ai.response.finish_reasons", "[]", Type::StringArray, ""},
                    TagCase{"gen_ai.response.finish_reasons", "stop", Type::String, "stop"},
                    TagCase{"gen_ai.request.stop_sequences", R"(["a", 1])", Type::String,
                            R"(["a", 1])"},
                    // Tags replace what the mapping derives itself.
                    TagCase{"gen_ai.request.model", "gpt-4-0613", Type::String, "gpt-4-0613"},
                    TagCase{"gen_ai.operation.name", "chat.custom", Type::String, "chat.custom"}));

TEST(Mapping, OverridingTagsTakeTheDerivedAttributesPlace) {
  TraceSpan span = call_span();
  span.tags.insert_or_assign("gen_ai.request.model", "gpt-4-0613");
  span.tags.insert_or_assign("gen_ai.output.messages", "[]");
  span.tags.insert_or_assign("gen_ai.response.finish_reasons", R"(["length"])");
  finish_with_response_at(span, "cut", UtcTimestamp{k20240517T093053 + 1, 0});
  const auto m = mapped(span);
  const Span& s = m->spans[0];
  const std::vector<std::string_view> keys = keys_of(s);
  EXPECT_EQ(keys[2], "gen_ai.request.model");
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "gen_ai.request.model"), 1);
  EXPECT_EQ(text_of(s, "gen_ai.request.model"), "gpt-4-0613");
  EXPECT_EQ(text_of(s, "gen_ai.output.messages"), "[]");

  // Without the messages tag, the finish reason comes from its tag.
  TraceSpan other = call_span();
  other.tags.insert_or_assign("gen_ai.response.finish_reasons", R"(["length"])");
  finish_with_response_at(other, "cut", UtcTimestamp{k20240517T093053 + 1, 0});
  EXPECT_NE(text_of(mapped(other)->spans[0], "gen_ai.output.messages")
                .find(R"("finish_reason":"length")"),
            std::string::npos);
}

// Records every text it is handed and returns it in brackets; stops at "stop".
class RecordingRedactor final : public TextRedactor {
 public:
  bool redact(std::string_view text, std::string& redacted) override {
    seen.emplace_back(text);
    if (text == "stop") return false;
    redacted = "[" + std::string(text) + "]";
    return true;
  }
  std::vector<std::string> seen;
};

TraceSpan span_with_content() {
  TraceSpan span = call_span();
  span.tags.insert_or_assign("gen_ai.system_instructions", "be brief");
  span.tags.insert_or_assign("env", "prod");
  finish_with_response_at(span, "Paris.", UtcTimestamp{k20240517T093053 + 1, 0});
  finish_with_error_at(span, "late", std::nullopt, UtcTimestamp{k20240517T093053 + 1, 0});
  AgentAction action = action_at(AgentActionType::ToolCall, "search", 1);
  action = with_result(with_arguments(std::move(action), "q"), "");
  add_agent_action(span, action);
  return span;
}

TEST(ContentPolicy, RedactsEveryContentTextAndTheErrorMessage) {
  RecordingRedactor redactor;
  const auto m = mapped(span_with_content(), ContentPolicy{true, &redactor, std::nullopt});
  ASSERT_TRUE(m->completed);
  // Empty texts (the action's result) are not handed over; plain tags are not content.
  std::vector<std::string> seen = redactor.seen;
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"Hi?", "Paris.", "be brief", "late", "q"}));
  const Span& s = m->spans[0];
  EXPECT_NE(text_of(s, "gen_ai.input.messages").find(R"("content":"[Hi?]")"), std::string::npos);
  EXPECT_EQ(text_of(s, "gen_ai.system_instructions"), "[be brief]");
  EXPECT_EQ(text_of(s, "env"), "prod");
  EXPECT_EQ(s.status_message, "[late]");
  EXPECT_EQ(text_of(m->spans[1], "gen_ai.tool.call.arguments"), "[q]");
}

TEST(ContentPolicy, ExcludedContentLeavesOnlyTheFactsOfTheCall) {
  const auto m = mapped(span_with_content(), ContentPolicy{false, nullptr, std::nullopt});
  for (const Span& s : m->spans) {
    for (const std::string_view key :
         {"gen_ai.input.messages", "gen_ai.output.messages", "gen_ai.system_instructions",
          "gen_ai.tool.call.arguments", "gen_ai.tool.call.result"}) {
      EXPECT_EQ(attribute(s, key), nullptr) << key;
    }
  }
  EXPECT_EQ(text_of(m->spans[0], "env"), "prod");
  EXPECT_EQ(m->spans[0].status_message, "late");
}

TEST(ContentPolicy, StoppedRedactionStopsTheMapping) {
  RecordingRedactor redactor;
  TraceSpan span = call_span();
  span.prompt = "stop";
  EXPECT_FALSE(mapped(span, ContentPolicy{true, &redactor, std::nullopt})->completed);
}

struct CapCase {
  std::string label;
  std::size_t cap;
  std::string prompt;
  std::string input_messages;
};

class Caps : public testing::TestWithParam<CapCase> {};

TEST_P(Caps, CutMessagesInsideTheTextSoThatTheyStayJson) {
  const CapCase& c = GetParam();
  TraceSpan span = call_span();
  span.prompt = c.prompt;
  const auto m = mapped(span, ContentPolicy{true, nullptr, c.cap});
  const Span& s = m->spans[0];
  EXPECT_EQ(text_of(s, "gen_ai.input.messages"), c.input_messages);
  EXPECT_LE(text_of(s, "gen_ai.input.messages").size(), c.cap);
}

// The message form around the content takes 56 bytes.
constexpr std::string_view kBefore = R"([{"role":"user","parts":[{"type":"text","content":")";
constexpr std::string_view kAfter = R"("}]}])";
std::string message(std::string_view content) {
  return std::string(kBefore) + std::string(content) + std::string(kAfter);
}

INSTANTIATE_TEST_SUITE_P(Cut, Caps,
                         testing::Values(CapCase{"fits", 61, "abcde", message("abcde")},
                                         CapCase{"ascii", 59, "abcdef", message("abc")},
                                         // An escape is never split: \" needs two bytes.
                                         CapCase{"escape", 59, "ab\"cd", message("ab")},
                                         // Nor a character: é is two bytes.
                                         CapCase{"character", 58, "a\xc3\xa9", message("a")},
                                         // A cap below the message form itself cuts the JSON text.
                                         CapCase{"too_small", 10, "abc",
                                                 std::string(kBefore.substr(0, 10))}),
                         [](const auto& param_info) { return param_info.param.label; });

TEST(Caps, ApplyToEveryStringValueNameAndStatusMessage) {
  TraceSpan span = call_span("chat", LLMProvider{}, "model-with-a-long-name");
  span.tags.insert_or_assign("env", "\xc3\xa9\xc3\xa9\xc3\xa9");
  span.tags.insert_or_assign("gen_ai.response.finish_reasons", R"(["stopped", "x"])");
  finish_with_error_at(span, "a long error", std::nullopt, UtcTimestamp{k20240517T093053 + 1, 0});
  const auto m = mapped(span, ContentPolicy{true, nullptr, 5});
  const Span& s = m->spans[0];
  EXPECT_EQ(text_of(s, "env"), "\xc3\xa9\xc3\xa9");
  EXPECT_EQ(shown(*attribute(s, "gen_ai.response.finish_reasons")), "stopp|x|");
  EXPECT_EQ(s.name, "chat ");
  EXPECT_EQ(s.status_message, "a lon");
}

std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    text += kDigits[static_cast<unsigned char>(c) >> 4];
    text += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return text;
}

// One request with every kind of value, a parent and a status, and a second
// span with neither.
ExportRequest sample_request() {
  static const std::string long_text(200, 'x');
  ExportRequest request{{"pelnorix", "0.3.0"}, {}};
  ResourceSpans& group = request.resource_spans.emplace_back();
  group.resource = {{"service.name", AnyValue::string("svc")}, {"n", AnyValue::of_int(-1)}};
  group.spans.reserve(2);
  Span& span = group.spans.emplace_back();
  for (std::uint8_t i = 0; i < 16; ++i)
    span.trace_id[i] = i;
  span.span_id = span_id("1011121314151617");
  span.parent_span_id = span_id("2021222324252627");
  span.name = "chat gpt-4";
  span.kind = SpanKind::Client;
  span.start_time = 1'715'938'253'123'456'789;
  span.end_time = 1'715'938'254'123'456'789;
  span.attributes = {{"s", AnyValue::string(long_text)},
                     {"b", AnyValue::of_bool(true)},
                     {"i", AnyValue::of_int(-5)},
                     {"d", AnyValue::of_double(0.25)},
                     {"a", AnyValue::of_strings({"stop", "len"})}};
  span.status = StatusCode::Error;
  span.status_message = "boom";
  Span& second = group.spans.emplace_back();
  second.trace_id = span.trace_id;
  second.span_id = span_id("3031323334353637");
  second.kind = SpanKind::Internal;
  second.start_time = 5;
  second.end_time = 6;
  return request;
}

TEST(Writers, ProtobufIsByteForByteTheOfficialEncoding) {
  // opentelemetry-proto's ExportTraceServiceRequest.SerializeToString() of
  // the same request; "@" stands for the 200 bytes of 'x' (hex 78).
  std::string expected =
      "0ae9030a290a150a0c736572766963652e6e616d6512050a037376630a100a016e120b18ffffffffffffffffff"
      "0112bb030a110a0870656c6e6f7269781205302e332e3012ed020a10000102030405060708090a0b0c0d0e0f12"
      "081011121314151617220820212223242526272a0a63686174206770742d34300339158fedf1bf3cd017411559"
      "882dc03cd0174ad1010a017312cb010ac801@4a070a0162120210014a100a0169120b18fbffffffffffffffff01"
      "4a0e0a0164120921000000000000d03f4a160a016112112a0f0a060a0473746f700a050a036c656e7a08120462"
      "6f6f6d180285010101000012360a10000102030405060708090a0b0c0d0e0f1208303132333435363730013905"
      "00000000000000410600000000000000850101010000";
  std::string long_text_hex;
  for (int i = 0; i < 200; ++i)
    long_text_hex += "78";
  expected.replace(expected.find('@'), 1, long_text_hex);
  EXPECT_EQ(hex(to_protobuf(sample_request())), expected);
  EXPECT_EQ(to_protobuf(ExportRequest{}), "");
}

TEST(Writers, JsonUsesHexIdsDecimalStringsAndIntegerEnums) {
  ExportRequest request = sample_request();
  request.resource_spans[0].spans[0].attributes.resize(4);
  request.resource_spans[0].spans[0].attributes[0].value = AnyValue::string("x");
  EXPECT_EQ(
      to_json(request),
      R"({"resourceSpans":[{"resource":{"attributes":[)"
      R"({"key":"service.name","value":{"stringValue":"svc"}},{"key":"n","value":{"intValue":"-1"}}]},)"
      R"("scopeSpans":[{"scope":{"name":"pelnorix","version":"0.3.0"},"spans":[)"
      R"({"traceId":"000102030405060708090a0b0c0d0e0f","spanId":"1011121314151617",)"
      R"("parentSpanId":"2021222324252627","flags":257,"name":"chat gpt-4","kind":3,)"
      R"("startTimeUnixNano":"1715938253123456789","endTimeUnixNano":"1715938254123456789",)"
      R"("attributes":[{"key":"s","value":{"stringValue":"x"}},{"key":"b","value":{"boolValue":true}},)"
      R"({"key":"i","value":{"intValue":"-5"}},{"key":"d","value":{"doubleValue":0.25}}],)"
      R"("status":{"message":"boom","code":2}},)"
      R"({"traceId":"000102030405060708090a0b0c0d0e0f","spanId":"3031323334353637","flags":257,)"
      R"("kind":1,"startTimeUnixNano":"5","endTimeUnixNano":"6"}]}]}]})");
  request.resource_spans[0].spans[0].attributes = {{"a", AnyValue::of_strings({"stop"})}};
  EXPECT_NE(to_json(request).find(
                R"({"key":"a","value":{"arrayValue":{"values":[{"stringValue":"stop"}]}}})"),
            std::string::npos);
  EXPECT_EQ(to_json(ExportRequest{}), R"({"resourceSpans":[]})");
}

TEST(EncodeRequest, GroupsSpansByTenantAndNamesTheItemAtFault) {
  TraceSpan first = call_span();
  TraceSpan second = call_span();
  second.tenant_id = TenantId{id("eeeeeeee-0000-4000-8000-000000000002")};
  const std::string a(*span_to_pretty_json(first));
  const std::string b(*span_to_pretty_json(second));
  const std::vector<EncodeItem> items = {{a, {}}, {b, {}}, {a, {}}};
  const std::vector<KeyValue> resource = {{"service.name", AnyValue::string("svc")},
                                          {"tenant.id", AnyValue::string("given")}};
  auto body = encode_export_request(items, resource, {"pelnorix", "0.3.0"}, {}, Encoding::Json);
  ASSERT_TRUE(body.has_value()) << body.error().message;
  const std::string& json = *body;
  const std::size_t tenant_a = json.find("ffffffff-0000-4000-8000-000000000001");
  const std::size_t tenant_b = json.find("eeeeeeee-0000-4000-8000-000000000002");
  EXPECT_LT(tenant_a, tenant_b);
  EXPECT_EQ(json.find("given"), std::string::npos);
  EXPECT_EQ(json.find("ffffffff-0000-4000-8000-000000000001", tenant_a + 1), std::string::npos);
  // The first tenant's group holds both of its spans, before the second group.
  const std::size_t second_span = json.find("\"spanId\"", json.find("\"spanId\"") + 1);
  EXPECT_LT(second_span, tenant_b);

  const std::vector<EncodeItem> bad = {{a, {}}, {"{}", {}}};
  auto refused = encode_export_request(bad, resource, {}, {}, Encoding::Protobuf);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, EncodeError::Kind::InvalidDocument);
  EXPECT_EQ(refused.error().item, 1U);
  EXPECT_EQ(refused.error().message, "missing key 'trace_id' in span at byte 2");

  RecordingRedactor redactor;
  first.prompt = "stop";
  const std::string stops(*span_to_pretty_json(first));
  const std::vector<EncodeItem> stopping = {{a, {}}, {stops, {}}};
  auto stopped = encode_export_request(
      stopping, resource, {}, ContentPolicy{true, &redactor, std::nullopt}, Encoding::Protobuf);
  ASSERT_FALSE(stopped.has_value());
  EXPECT_EQ(stopped.error().kind, EncodeError::Kind::Stopped);
  EXPECT_EQ(stopped.error().item, 1U);
}

}  // namespace
}  // namespace pelnorix::otlp
