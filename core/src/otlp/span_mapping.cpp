// A span document as OTLP spans, after the OpenTelemetry semantic conventions
// for generative AI: one span for the call, one child per agent action.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "../serialization/json_escape.hpp"
#include "json_cursor.hpp"
#include "pelnorix/fault.hpp"
#include "pelnorix/json_writer.hpp"
#include "pelnorix/otlp.hpp"
#include "pelnorix/utf8.hpp"

namespace pelnorix::otlp {
namespace {

constexpr std::string_view kInvokeAgent = "invoke_agent";
constexpr std::string_view kExecuteTool = "execute_tool";
constexpr std::string_view kInputMessages = "gen_ai.input.messages";
constexpr std::string_view kOutputMessages = "gen_ai.output.messages";
constexpr std::string_view kFinishReasons = "gen_ai.response.finish_reasons";
// error.type when nothing names the error more precisely.
constexpr std::string_view kOtherError = "_OTHER";

struct OperationAlias {
  std::string_view alias;  // lower case, '_' between words
  std::string_view name;   // the well-known gen_ai.operation.name
};

constexpr OperationAlias kOperationAliases[] = {
    {"chat", "chat"},
    {"chat_completion", "chat"},
    {"chat_completions", "chat"},
    {"chatcompletion", "chat"},
    {"messages", "chat"},
    {"completion", "text_completion"},
    {"completions", "text_completion"},
    {"text_completion", "text_completion"},
    {"text_completions", "text_completion"},
    {"embed", "embeddings"},
    {"embedding", "embeddings"},
    {"embeddings", "embeddings"},
    {"create_embedding", "embeddings"},
    {"create_embeddings", "embeddings"},
    {"generate_content", "generate_content"},
    {"create_agent", "create_agent"},
    {"invoke_agent", kInvokeAgent},
    {"execute_tool", kExecuteTool},
};

// The well-known operation a recorded name stands for (compared without case,
// with '-', '.' and ' ' read as '_'), or the recorded name itself.
std::string_view operation_name(std::string_view recorded) noexcept {
  char normal[24];
  if (recorded.size() > sizeof normal) return recorded;
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    char c = recorded[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '-' || c == '.' || c == ' ') c = '_';
    normal[i] = c;
  }
  const std::string_view normalized(normal, recorded.size());
  for (const OperationAlias& alias : kOperationAliases) {
    if (alias.alias == normalized) return alias.name;
  }
  return recorded;
}

std::string_view ascii_lower(std::string_view text, TextArena& arena) {
  std::size_t first_upper = 0;
  while (first_upper < text.size() && !(text[first_upper] >= 'A' && text[first_upper] <= 'Z'))
    ++first_upper;
  if (first_upper == text.size()) return text;
  char* lowered = arena.allocate(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    lowered[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return {lowered, text.size()};
}

// gen_ai.provider.name; empty for a custom provider with an empty name.
std::string_view provider_name(const SpanRecordView& record, TextArena& arena) {
  using Kind = LLMProvider::Kind;
  switch (record.provider) {
    case Kind::OpenAI:
      return "openai";
    case Kind::Anthropic:
      return "anthropic";
    case Kind::VLLm:
      return "vllm";
    case Kind::SGLang:
      return "sglang";
    case Kind::TGI:
      return "tgi";
    case Kind::Ollama:
      return "ollama";
    case Kind::AzureOpenAI:
      return "azure.ai.openai";
    case Kind::Bedrock:
      return "aws.bedrock";
    case Kind::Custom:
      break;
  }
  return ascii_lower(record.custom_provider, arena);
}

// How the value of a tag (or action metadata entry) is exported, by its key.
enum class Form : std::uint8_t { Text, Content, Int, Double, StringArray };

struct KnownKey {
  std::string_view key;
  Form form;
};

constexpr KnownKey kKnownKeys[] = {
    {kInputMessages, Form::Content},
    {kOutputMessages, Form::Content},
    {"gen_ai.system_instructions", Form::Content},
    {"gen_ai.tool.call.arguments", Form::Content},
    {"gen_ai.tool.call.result", Form::Content},
    {"gen_ai.tool.definitions", Form::Content},
    {"gen_ai.prompt", Form::Content},
    {"gen_ai.completion", Form::Content},
    {"gen_ai.request.max_tokens", Form::Int},
    {"gen_ai.request.choice.count", Form::Int},
    {"gen_ai.request.seed", Form::Int},
    {"gen_ai.usage.input_tokens", Form::Int},
    {"gen_ai.usage.output_tokens", Form::Int},
    {"gen_ai.usage.cache_read.input_tokens", Form::Int},
    {"gen_ai.usage.cache_creation.input_tokens", Form::Int},
    {"gen_ai.embeddings.dimension.count", Form::Int},
    {"http.response.status_code", Form::Int},
    {"server.port", Form::Int},
    {"process.exit.code", Form::Int},
    {"gen_ai.request.temperature", Form::Double},
    {"gen_ai.request.top_p", Form::Double},
    {"gen_ai.request.top_k", Form::Double},
    {"gen_ai.request.frequency_penalty", Form::Double},
    {"gen_ai.request.presence_penalty", Form::Double},
    {"gen_ai.response.time_to_first_chunk", Form::Double},
    {kFinishReasons, Form::StringArray},
    {"gen_ai.request.stop_sequences", Form::StringArray},
    {"gen_ai.request.encoding_formats", Form::StringArray},
};

// Keys in the namespaces of the conventions, which the mapping may derive
// itself and tags may then override.
bool in_known_namespace(std::string_view key) noexcept {
  for (const std::string_view prefix :
       {"gen_ai.", "error.", "http.", "server.", "process.", "pelnorix."}) {
    if (key.starts_with(prefix)) return true;
  }
  return false;
}

Form form_of(std::string_view key) noexcept {
  if (!in_known_namespace(key)) return Form::Text;
  for (const KnownKey& known : kKnownKeys) {
    if (known.key == key) return known.form;
  }
  return Form::Text;
}

std::optional<std::int64_t> decimal_int(std::string_view text) noexcept {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
  return value;
}

std::optional<double> decimal_double(std::string_view text) noexcept {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return {};
  return value;
}

// The elements of a JSON array of strings such as ["stop"], or nothing when
// the text is anything else.
std::optional<std::vector<std::string_view>> string_array(std::string_view text, TextArena& arena) {
  otlp_detail::JsonCursor in(text, arena);
  std::vector<std::string_view> elements;
  const bool read = otlp_detail::read_array(
      in, [&](std::size_t) { return in.read_string(elements.emplace_back()); });
  if (!read || !in.at_end()) return {};
  return elements;
}

std::size_t escaped_size(unsigned char byte) noexcept {
  const char code = json_detail::kEscapeTable[byte];
  return code == 0 ? 1 : code == 'u' ? json_detail::kMaxEscapeLength : 2;
}

std::size_t escaped_length(std::string_view text) noexcept {
  std::size_t length = 0;
  for (const char c : text)
    length += escaped_size(static_cast<unsigned char>(c));
  return length;
}

// The longest prefix of `text`, ending on a character boundary, whose JSON
// string form takes at most `budget` bytes.
std::size_t escaped_prefix_length(std::string_view text, std::size_t budget) noexcept {
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    used += escaped_size(static_cast<unsigned char>(text[i]));
    if (used > budget) return utf8_prefix_length(text, i);
  }
  return text.size();
}

JsonText taken(JsonWriter&& writer) {
  Expected<JsonText, JsonError> text = std::move(writer).take_text();
  if (!text) raise_fault("message JSON: " + text.error().message);
  return std::move(*text);
}

// The conventions' message form with one text part:
// [{"role":..,"parts":[{"type":"text","content":..}],"finish_reason":..}].
JsonText message_json(std::string_view role, std::string_view content,
                      std::optional<std::string_view> finish_reason) {
  JsonWriter w = JsonWriter::compact();
  JsonStatus status = [&]() -> JsonStatus {
    PELNORIX_JSON_TRY(w.begin_array());
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.literal_key("role"));
    PELNORIX_JSON_TRY(w.string_value(role));
    PELNORIX_JSON_TRY(w.literal_key("parts"));
    PELNORIX_JSON_TRY(w.begin_array());
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.literal_key("type"));
    PELNORIX_JSON_TRY(w.string_value("text"));
    PELNORIX_JSON_TRY(w.literal_key("content"));
    PELNORIX_JSON_TRY(w.string_value(content));
    PELNORIX_JSON_TRY(w.end_object());
    PELNORIX_JSON_TRY(w.end_array());
    if (finish_reason) {
      PELNORIX_JSON_TRY(w.literal_key("finish_reason"));
      PELNORIX_JSON_TRY(w.string_value(*finish_reason));
    }
    PELNORIX_JSON_TRY(w.end_object());
    return w.end_array();
  }();
  if (!status) raise_fault("message JSON: " + status.error().message);
  return taken(std::move(w));
}

std::string_view decimal_text(std::int64_t value, TextArena& arena) {
  char digits[24];
  const auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  return arena.store({digits, static_cast<std::size_t>(end - digits)});
}

class Mapper {
 public:
  Mapper(const ContentPolicy& policy, TextArena& arena) : policy_(policy), arena_(arena) {}

  TextArena& arena() { return arena_; }
  bool include_content() const { return policy_.include_content; }

  std::string_view capped(std::string_view text) const noexcept {
    if (!policy_.max_attribute_bytes) return text;
    return text.substr(0, utf8_prefix_length(text, *policy_.max_attribute_bytes));
  }

  // The text as the user's redaction leaves it (empty texts are not handed
  // over). False when the redactor stopped.
  bool redacted(std::string_view text, std::string_view& out) {
    if (policy_.redactor == nullptr || text.empty()) {
      out = text;
      return true;
    }
    scratch_.clear();
    if (!policy_.redactor->redact(text, scratch_)) return false;
    out = arena_.store(scratch_);
    return true;
  }

  // The message form of one text, cut (when a cap is set) inside the text so
  // that the whole stays valid JSON within the cap; only a cap too small for
  // the message form itself cuts the JSON.
  std::string_view messages(std::string_view role, std::string_view content,
                            std::optional<std::string_view> finish_reason) {
    JsonText json = message_json(role, content, finish_reason);
    const std::optional<std::size_t> cap = policy_.max_attribute_bytes;
    if (cap && json.size() > *cap) {
      const std::size_t overhead = json.size() - escaped_length(content);
      if (overhead <= *cap) {
        json =
            message_json(role, content.substr(0, escaped_prefix_length(content, *cap - overhead)),
                         finish_reason);
      }
    }
    return arena_.store(json);
  }

  // Every string value leaves through here, so every one is capped.
  KeyValue attribute(std::string_view key, AnyValue value) const {
    if (value.type == AnyValue::Type::String) value.text = capped(value.text);
    for (std::string_view& element : value.strings)
      element = capped(element);
    return {key, std::move(value)};
  }

  void put(std::vector<KeyValue>& attributes, std::string_view key, AnyValue value) const {
    attributes.push_back(attribute(key, std::move(value)));
  }

  void put_text(std::vector<KeyValue>& attributes, std::string_view key,
                std::string_view text) const {
    put(attributes, key, AnyValue::string(text));
  }

  // A tag or metadata entry, typed by its key. One whose key is among the
  // first `derived` attributes takes that attribute's place.
  bool put_tag(std::vector<KeyValue>& attributes, std::size_t derived, const TextPair& tag) {
    AnyValue value = AnyValue::string(tag.value);
    switch (form_of(tag.key)) {
      case Form::Text:
        break;
      case Form::Content:
        if (!policy_.include_content) return true;
        if (!redacted(tag.value, value.text)) return false;
        break;
      case Form::Int:
        if (auto number = decimal_int(tag.value)) value = AnyValue::of_int(*number);
        break;
      case Form::Double:
        if (auto number = decimal_double(tag.value)) value = AnyValue::of_double(*number);
        break;
      case Form::StringArray:
        if (auto elements = string_array(tag.value, arena_)) {
          value = AnyValue::of_strings(std::move(*elements));
        }
        break;
    }
    if (in_known_namespace(tag.key)) {
      for (std::size_t i = 0; i < derived; ++i) {
        if (attributes[i].key == tag.key) {
          attributes[i] = attribute(tag.key, std::move(value));
          return true;
        }
      }
    }
    put(attributes, tag.key, std::move(value));
    return true;
  }

  bool put_tags(std::vector<KeyValue>& attributes, const std::vector<TextPair>& tags) {
    const std::size_t derived = attributes.size();
    for (const TextPair& tag : tags) {
      if (!put_tag(attributes, derived, tag)) return false;
    }
    return true;
  }

 private:
  const ContentPolicy& policy_;
  TextArena& arena_;
  std::string scratch_;
};

const TextPair* find_tag(const std::vector<TextPair>& tags, std::string_view key) noexcept {
  for (const TextPair& tag : tags) {
    if (tag.key == key) return &tag;
  }
  return nullptr;
}

std::string_view uuid_text(const Uuid& id, TextArena& arena) {
  char* text = arena.allocate(kUuidTextLength);
  format_uuid(id, text);
  return {text, kUuidTextLength};
}

std::string_view joined_name(std::string_view operation, std::string_view subject,
                             TextArena& arena) {
  if (subject.empty()) return operation;
  char* name = arena.allocate(operation.size() + 1 + subject.size());
  std::memcpy(name, operation.data(), operation.size());
  name[operation.size()] = ' ';
  std::memcpy(name + operation.size() + 1, subject.data(), subject.size());
  return {name, operation.size() + 1 + subject.size()};
}

// The finish reason of the derived output message: the first of the
// finish-reasons tag, else "stop".
std::string_view finish_reason(const std::vector<TextPair>& tags, TextArena& arena) {
  if (const TextPair* tag = find_tag(tags, kFinishReasons)) {
    if (auto reasons = string_array(tag->value, arena); reasons && !reasons->empty()) {
      return reasons->front();
    }
  }
  return "stop";
}

bool put_content_attributes(Mapper& m, const SpanRecordView& record, std::string_view operation,
                            std::vector<KeyValue>& attributes) {
  if (!m.include_content()) return true;
  std::string_view text;
  if (operation == kExecuteTool) {
    // A tool step's input and output are the tool call's arguments and result.
    if (!record.prompt.empty()) {
      if (!m.redacted(record.prompt, text)) return false;
      m.put_text(attributes, "gen_ai.tool.call.arguments", text);
    }
    if (record.response) {
      if (!m.redacted(*record.response, text)) return false;
      m.put_text(attributes, "gen_ai.tool.call.result", text);
    }
    return true;
  }
  if (!record.prompt.empty() && find_tag(record.tags, kInputMessages) == nullptr) {
    if (!m.redacted(record.prompt, text)) return false;
    m.put_text(attributes, kInputMessages, m.messages("user", text, std::nullopt));
  }
  if (record.response && find_tag(record.tags, kOutputMessages) == nullptr) {
    if (!m.redacted(*record.response, text)) return false;
    m.put_text(attributes, kOutputMessages,
               m.messages("assistant", text, finish_reason(record.tags, m.arena())));
  }
  return true;
}

bool map_call_span(Mapper& m, const SpanRecordView& record, const std::optional<TraceLink>& link,
                   Span& span) {
  TextArena& arena = m.arena();
  span.trace_id = link ? link->trace_id : record.trace_id.bytes;
  span.span_id = span_id_of(record.span_id);
  if (link) {
    span.parent_span_id = link->parent_span_id;
  } else if (record.parent_span_id) {
    span.parent_span_id = span_id_of(*record.parent_span_id);
  }
  const std::string_view operation = operation_name(record.operation_name);
  const std::string_view provider = provider_name(record, arena);
  const bool agent_step = operation == kInvokeAgent;
  const bool tool_step = operation == kExecuteTool;
  // Steps of the application's own code run in this process.
  span.kind = (agent_step || tool_step) && provider.empty() ? SpanKind::Internal : SpanKind::Client;
  span.name = m.capped(joined_name(operation, record.model_name, arena));
  span.start_time = record.start_time;
  span.end_time = record.end_time.value_or(record.start_time);

  std::vector<KeyValue>& attributes = span.attributes;
  attributes.reserve(12 + record.tags.size());
  m.put_text(attributes, "gen_ai.operation.name", operation);
  if (!provider.empty()) m.put_text(attributes, "gen_ai.provider.name", provider);
  if (!record.model_name.empty()) {
    const std::string_view key = agent_step  ? "gen_ai.agent.name"
                                 : tool_step ? "gen_ai.tool.name"
                                             : "gen_ai.request.model";
    m.put_text(attributes, key, record.model_name);
  }
  if (record.prompt_tokens) {
    m.put(attributes, "gen_ai.usage.input_tokens", AnyValue::of_int(*record.prompt_tokens));
  }
  if (record.completion_tokens) {
    m.put(attributes, "gen_ai.usage.output_tokens", AnyValue::of_int(*record.completion_tokens));
  }
  if (record.time_to_first_token_ms) {
    m.put(attributes, "gen_ai.response.time_to_first_chunk",
          AnyValue::of_double(static_cast<double>(*record.time_to_first_token_ms) / 1000.0));
  }
  if (!put_content_attributes(m, record, operation, attributes)) return false;
  if (record.error_message || record.status_code) {
    m.put_text(attributes, "error.type",
               record.status_code ? decimal_text(*record.status_code, arena) : kOtherError);
    span.status = StatusCode::Error;
    if (record.error_message && !m.redacted(*record.error_message, span.status_message)) {
      return false;
    }
    span.status_message = m.capped(span.status_message);
  }
  if (record.status_code) {
    m.put(attributes, "http.response.status_code", AnyValue::of_int(*record.status_code));
  }
  m.put_text(attributes, "pelnorix.span.id", uuid_text(record.span_id, arena));
  if (record.estimated_cost_usd && std::isfinite(*record.estimated_cost_usd)) {
    m.put(attributes, "pelnorix.estimated_cost_usd",
          AnyValue::of_double(*record.estimated_cost_usd));
  }
  if (record.security_score) {
    m.put(attributes, "pelnorix.security_score", AnyValue::of_int(*record.security_score));
  }
  if (!record.end_time) m.put(attributes, "pelnorix.span.open", AnyValue::of_bool(true));
  return m.put_tags(attributes, record.tags);
}

constexpr std::uint64_t kNanosPerMilli = 1'000'000;

bool map_action_span(Mapper& m, const ActionRecordView& action, const Span& parent, Span& span) {
  TextArena& arena = m.arena();
  span.trace_id = parent.trace_id;
  span.span_id = span_id_of(action.id);
  span.parent_span_id = parent.span_id;
  span.name = m.capped(joined_name(kExecuteTool, action.name, arena));
  span.kind = SpanKind::Internal;
  // An action is recorded when it is reported, which is when it has ended:
  // it started its duration earlier.
  span.end_time = action.timestamp;
  const std::uint64_t duration = action.duration_ms.value_or(0);
  span.start_time = duration > action.timestamp / kNanosPerMilli
                        ? 0
                        : action.timestamp - duration * kNanosPerMilli;

  std::vector<KeyValue>& attributes = span.attributes;
  attributes.reserve(8 + action.metadata.size());
  m.put_text(attributes, "gen_ai.operation.name", kExecuteTool);
  if (!action.name.empty()) m.put_text(attributes, "gen_ai.tool.name", action.name);
  m.put_text(attributes, "pelnorix.action.type", canonical_text(action.action_type));
  m.put_text(attributes, "pelnorix.action.id", uuid_text(action.id, arena));
  if (m.include_content()) {
    std::string_view text;
    if (action.arguments) {
      if (!m.redacted(*action.arguments, text)) return false;
      m.put_text(attributes, "gen_ai.tool.call.arguments", text);
    }
    if (action.result) {
      if (!m.redacted(*action.result, text)) return false;
      m.put_text(attributes, "gen_ai.tool.call.result", text);
    }
  }
  if (action.exit_code) m.put(attributes, "process.exit.code", AnyValue::of_int(*action.exit_code));
  if (action.http_method) m.put_text(attributes, "http.request.method", *action.http_method);
  if (action.http_status) {
    m.put(attributes, "http.response.status_code", AnyValue::of_int(*action.http_status));
  }
  if (action.file_operation) {
    m.put_text(attributes, "pelnorix.action.file_operation", *action.file_operation);
  }
  if (!action.success) {
    span.status = StatusCode::Error;
    m.put_text(attributes, "error.type",
               action.http_status ? decimal_text(*action.http_status, arena)
               : action.exit_code ? decimal_text(*action.exit_code, arena)
                                  : kOtherError);
  }
  return m.put_tags(attributes, action.metadata);
}

}  // namespace

SpanId span_id_of(const Uuid& id) noexcept {
  SpanId span_id;
  std::copy(id.bytes.begin() + 8, id.bytes.end(), span_id.begin());
  return span_id;
}

bool map_span(const SpanRecordView& record, const std::optional<TraceLink>& link,
              const ContentPolicy& policy, TextArena& arena, std::vector<Span>& out) {
  Mapper m(policy, arena);
  Span call;
  if (!map_call_span(m, record, link, call)) return false;
  out.push_back(std::move(call));
  const std::size_t parent = out.size() - 1;
  for (const ActionRecordView& action : record.agent_actions) {
    Span child;
    if (!map_action_span(m, action, out[parent], child)) return false;
    out.push_back(std::move(child));
  }
  return true;
}

}  // namespace pelnorix::otlp
