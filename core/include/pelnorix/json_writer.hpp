// JSON text writer: one sequence of operations, two layouts (compact and
// pretty). The caller says which tokens to write; separators, newlines and
// indentation are decided here, in one place, so both layouts always carry the
// same tokens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pelnorix/expected.hpp"

namespace pelnorix {

// A writer error; its text form is the message alone.
struct JsonError {
  std::string message;
};

// Success, or the error that stopped the writer. Success is a null pointer so
// that the common path costs no more than returning a word.
class [[nodiscard]] JsonStatus {
 public:
  JsonStatus() noexcept = default;
  static JsonStatus failure(std::string message) {
    JsonStatus status;
    status.error_ = std::make_unique<JsonError>(JsonError{std::move(message)});
    return status;
  }

  bool ok() const noexcept { return error_ == nullptr; }
  explicit operator bool() const noexcept { return ok(); }

  // Only meaningful when !ok().
  const JsonError& error() const noexcept { return *error_; }
  JsonError take_error() && { return std::move(*error_); }

 private:
  std::unique_ptr<JsonError> error_;
};

// Passes the first error of a writer operation up to the caller at once.
#define PELNORIX_JSON_TRY(operation)                                                     \
  do {                                                                                   \
    if (::pelnorix::JsonStatus json_try_status_ = (operation); !json_try_status_.ok()) { \
      return json_try_status_;                                                           \
    }                                                                                    \
  } while (false)

class JsonValue;
class JsonWriter;

// A key fixed in the source text, checked when the program is compiled to
// need no escaping. Short keys also carry their whole token, `"key": `,
// padded to a fixed size, so that writing one is a single fixed-size copy.
class JsonKeyLiteral {
 public:
  static constexpr std::size_t kTokenBytes = 32;

  template <std::size_t N>
  consteval JsonKeyLiteral(const char (&text)[N])  // NOLINT: built from literals
      : text_(text, N - 1) {
    for (const char c : text_) {
      // Not a constant expression, so a key that would need escaping does
      // not compile.
      if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') throw "key needs escaping";
    }
    if (has_token()) {
      std::size_t i = 0;
      token_[i++] = '"';
      for (const char c : text_)
        token_[i++] = c;
      token_[i++] = '"';
      token_[i++] = ':';
      token_[i++] = ' ';
    }
  }

  constexpr std::string_view text() const noexcept { return text_; }
  // Whether token() holds `"key": `; the rest of it is padding.
  constexpr bool has_token() const noexcept { return text_.size() + 4 <= kTokenBytes; }
  constexpr const std::array<char, kTokenBytes>& token() const noexcept { return token_; }

 private:
  std::string_view text_;
  std::array<char, kTokenBytes> token_{};
};

// Handed to the formatter of JsonWriter::formatted_string: every fragment it
// appends is escaped and becomes part of one JSON string.
class JsonStringFragments {
 public:
  void append(std::string_view fragment);

 private:
  friend class JsonWriter;
  explicit JsonStringFragments(JsonWriter& writer) noexcept : writer_(writer) {}
  JsonWriter& writer_;
};

class JsonWriter {
 public:
  static constexpr std::size_t kInitialCapacity = 128;

  // No whitespace at all between tokens.
  static JsonWriter compact() { return JsonWriter(false, {}, 0); }

  // One member or element per line, each indented by `indent_unit` once per
  // nesting level, starting at `initial_level`.
  static JsonWriter pretty(std::string indent_unit = "  ", std::size_t initial_level = 0) {
    return JsonWriter(true, std::move(indent_unit), initial_level);
  }

  JsonStatus begin_object();
  JsonStatus end_object();
  JsonStatus begin_array();
  JsonStatus end_array();

  // Valid only directly inside an object, where a member's key is due.
  JsonStatus key(std::string_view name);
  // The same for a key fixed in the source, copied without a scan.
  JsonStatus literal_key(JsonKeyLiteral name);

  JsonStatus null_value();
  JsonStatus bool_value(bool value);
  JsonStatus uint8_value(std::uint8_t value) { return uint64_value(value); }
  JsonStatus uint16_value(std::uint16_t value) { return uint64_value(value); }
  JsonStatus uint32_value(std::uint32_t value) { return uint64_value(value); }
  JsonStatus uint64_value(std::uint64_t value);
  JsonStatus int32_value(std::int32_t value);
  // Shortest round-trip digits; NaN and infinities have no JSON form and are
  // written as null.
  JsonStatus double_value(double value);
  JsonStatus string_value(std::string_view text);

  // One JSON string made of the fragments that `formatter` appends to the
  // JsonStringFragments it is given; each fragment is escaped on its own.
  template <typename Formatter>
  JsonStatus formatted_string(Formatter&& formatter) {
    PELNORIX_JSON_TRY(before_value());
    put_char('"');
    JsonStringFragments fragments(*this);
    std::forward<Formatter>(formatter)(fragments);
    put_char('"');
    after_value();
    return {};
  }

  // A whole generic value tree; objects write their members in key order.
  JsonStatus json_value(const JsonValue& value);

  // Ends the writer's life and yields the text, or an error when the
  // top-level value is not complete yet. A writer whose text was taken holds
  // nothing and refuses further values.
  Expected<std::string, JsonError> take_text() &&;

 private:
  friend class JsonStringFragments;

  // Open containers, innermost last. Frames live inline for the nesting depths
  // that documents have, so a writer allocates nothing besides its output.
  class NestingStack {
   public:
    static constexpr std::uint8_t kObject = 1;
    static constexpr std::uint8_t kHasMember = 2;

    bool empty() const noexcept { return size_ == 0; }
    std::size_t size() const noexcept { return size_; }
    std::uint8_t& top() noexcept { return size_ <= kInline ? inline_[size_ - 1] : spill_.back(); }
    std::uint8_t top() const noexcept {
      return size_ <= kInline ? inline_[size_ - 1] : spill_.back();
    }
    void push(std::uint8_t frame);
    void pop() noexcept;

   private:
    static constexpr std::size_t kInline = 32;
    std::array<std::uint8_t, kInline> inline_{};
    std::vector<std::uint8_t> spill_;  // frames beyond the inline ones
    std::size_t size_ = 0;
  };

  JsonWriter(bool pretty, std::string indent_unit, std::size_t initial_level);

  JsonStatus before_value() {
    // Directly after a key is the most common place for a value; the key
    // has already written the separator.
    if (key_pending_) {
      key_pending_ = false;
      return {};
    }
    return before_value_elsewhere();
  }
  JsonStatus before_value_elsewhere();
  void after_value() noexcept {
    if (open_.empty()) complete_ = true;
  }
  // The separator and line break that precede a member or element.
  void begin_member(std::uint8_t& frame) {
    if ((frame & NestingStack::kHasMember) != 0) put_char(',');
    frame |= NestingStack::kHasMember;
    if (pretty_) write_line_break_and_indent(initial_level_ + open_.size());
  }
  JsonStatus open_container(std::uint8_t frame, char bracket);
  JsonStatus close_container(std::uint8_t frame, char bracket);
  void write_line_break_and_indent(std::size_t level);

  void write_escaped(std::string_view text);

  // Room for at least `count` more bytes at the end of the output.
  char* reserve_tail(std::size_t count) {
    if (buffer_.size() - length_ < count) grow(count);
    return buffer_.data() + length_;
  }
  void commit(std::size_t count) noexcept { length_ += count; }
  void grow(std::size_t count);
  void put_char(char c) {
    *reserve_tail(1) = c;
    commit(1);
  }
  // Inline, so that copies of constant size become plain moves.
  void put(std::string_view bytes) {
    std::memcpy(reserve_tail(bytes.size()), bytes.data(), bytes.size());
    commit(bytes.size());
  }
  JsonStatus check_key_position() const {
    if (!key_pending_ && !open_.empty() && (open_.top() & NestingStack::kObject) != 0) return {};
    return misplaced_key();
  }
  JsonStatus misplaced_key() const;

  // The output lives in buffer_[0, length_); the rest of buffer_ is spare room,
  // so appending never goes through std::string's per-call bookkeeping.
  std::string buffer_;
  std::size_t length_ = 0;
  bool pretty_;
  std::string indent_unit_;
  std::size_t initial_level_;
  NestingStack open_;
  bool key_pending_ = false;  // a key was written and its value is due
  bool complete_ = false;     // the top-level value has been written
};

inline void JsonStringFragments::append(std::string_view fragment) {
  writer_.write_escaped(fragment);
}

}  // namespace pelnorix
