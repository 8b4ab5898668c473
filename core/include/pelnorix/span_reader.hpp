// Reading span documents (the text that the span's JSON export writes) back
// into views of their fields, for the exporters. The reader is strict: every
// key of every record exactly once (in any order), no other key, each value of
// its documented form and range. It accepts any JSON whitespace and escapes
// (\u escapes with surrogate pairs included), so a document that passed
// through another JSON writer reads the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/enums.hpp"
#include "pelnorix/expected.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix {

// Storage for texts that are not a plain slice of the document (strings with
// escapes, texts built while mapping). What it hands out stays in place for
// the arena's life.
class TextArena {
 public:
  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;
  TextArena(TextArena&&) noexcept = default;
  TextArena& operator=(TextArena&&) noexcept = default;

  // Uninitialised room for `size` bytes.
  char* allocate(std::size_t size);
  std::string_view store(std::string_view text);

 private:
  static constexpr std::size_t kBlockBytes = 16 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

struct TextPair {
  std::string_view key;
  std::string_view value;
};

// Nanoseconds since 1970-01-01T00:00:00Z.
using UnixNanos = std::uint64_t;

struct ActionRecordView {
  Uuid id;
  AgentActionType action_type = AgentActionType::ToolCall;
  std::string_view name;
  std::optional<std::string_view> arguments;
  std::optional<std::string_view> result;
  std::optional<std::uint64_t> duration_ms;
  bool success = true;
  std::optional<std::int32_t> exit_code;
  std::optional<std::string_view> http_method;
  std::optional<std::uint16_t> http_status;
  std::optional<std::string_view> file_operation;
  UnixNanos timestamp = 0;
  std::vector<TextPair> metadata;
};

// The fields of a span document. Texts are views into the document or into
// the arena given to the reader. Security findings and span events are checked
// like everything else but only counted: nothing that records spans fills them.
struct SpanRecordView {
  Uuid trace_id;
  Uuid span_id;
  std::optional<Uuid> parent_span_id;
  Uuid tenant_id;
  std::string_view operation_name;
  UnixNanos start_time = 0;
  std::optional<UnixNanos> end_time;
  LLMProvider::Kind provider = LLMProvider::Kind::OpenAI;
  std::string_view custom_provider;  // the name of a Custom provider
  std::string_view model_name;
  std::string_view prompt;
  std::optional<std::string_view> response;
  std::optional<std::uint32_t> prompt_tokens;
  std::optional<std::uint32_t> completion_tokens;
  std::optional<std::uint32_t> total_tokens;
  std::optional<std::uint64_t> time_to_first_token_ms;
  std::optional<std::uint64_t> duration_ms;
  std::optional<std::uint16_t> status_code;
  std::optional<std::string_view> error_message;
  std::optional<double> estimated_cost_usd;
  std::optional<std::uint8_t> security_score;
  std::size_t security_findings_count = 0;
  std::vector<TextPair> tags;
  std::size_t events_count = 0;
  std::vector<ActionRecordView> agent_actions;
};

struct DocumentError {
  std::string message;  // what is wrong and at which byte offset
};

// Reads one span document. Escaped strings are decoded into `arena`, which
// must outlive the result, as must `text`.
Expected<SpanRecordView, DocumentError> read_span_document(std::string_view text, TextArena& arena);

// Parses an RFC 3339 UTC instant as the documents write it (YYYY-MM-DDTHH:MM:SS,
// an optional fraction of 1 to 9 digits, Z), between 1970 and the last instant
// whose nanosecond count fits 64 bits.
std::optional<UnixNanos> parse_utc_timestamp(std::string_view text) noexcept;

}  // namespace pelnorix
