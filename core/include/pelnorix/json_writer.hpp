// JSON text writer: one sequence of operations, two layouts (compact and
// pretty). The caller says which tokens to write; separators, newlines and
// indentation are decided here, in one place, so both layouts always carry the
// same tokens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// The finished text of a writer: the very block the writer filled, handed
// over without a copy.
class JsonText {
 public:
  JsonText() noexcept = default;

  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  operator std::string_view() const noexcept { return view(); }  // NOLINT: a text is a view

  friend bool operator==(const JsonText& text, std::string_view other) noexcept {
    return text.view() == other;
  }

 private:
  friend class JsonWriter;
  struct Release {
    void operator()(char* block) const noexcept { std::free(block); }
  };
  using Block = std::unique_ptr<char, Release>;

  JsonText(Block data, std::size_t size) noexcept : data_(std::move(data)), size_(size) {}

  Block data_;
  std::size_t size_ = 0;
};

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
  [[gnu::always_inline]] JsonStatus literal_key(const JsonKeyLiteral& name) {
    if (!key_position_ok()) return misplaced_key();
    if (!name.has_token()) return long_literal_key(name);
    write_key_token(open_.top(), name);
    return {};
  }
  // The key of a member that follows another member of the object being
  // written, for record writers whose members are fixed in the source: there
  // the checks of literal_key() hold by construction, and the separator is
  // known to be due. Only the layout's separator, line break and the token
  // are written.
  [[gnu::always_inline]] JsonStatus following_literal_key(const JsonKeyLiteral& name) {
    if (!name.has_token()) return literal_key(name);
    std::uint8_t known = NestingStack::kObject | NestingStack::kHasMember;
    write_key_token(known, name);
    return {};
  }

  JsonStatus null_value() { return put_token("null"); }
  JsonStatus bool_value(bool value) { return value ? put_token("true") : put_token("false"); }
  JsonStatus uint8_value(std::uint8_t value) { return uint64_value(value); }
  JsonStatus uint16_value(std::uint16_t value) { return uint64_value(value); }
  JsonStatus uint32_value(std::uint32_t value) { return uint64_value(value); }
  JsonStatus uint64_value(std::uint64_t value);
  JsonStatus int32_value(std::int32_t value);
  // Shortest round-trip digits; NaN and infinities have no JSON form and are
  // written as null.
  JsonStatus double_value(double value);
  JsonStatus string_value(std::string_view text) {
    PELNORIX_JSON_TRY(before_value());
    write_quoted(text);
    after_value();
    return {};
  }

  // A string whose every byte JSON writes as itself (printable ASCII other
  // than '"' and '\\': identifiers, timestamps, names fixed in the source),
  // copied without the escape scan. Text that breaks this rule would come out
  // unescaped, so only such text may be passed.
  JsonStatus verbatim_string(std::string_view text) {
    PELNORIX_JSON_TRY(before_value());
    char* out = reserve_tail(text.size() + 2);
    out[0] = '"';
    std::memcpy(out + 1, text.data(), text.size());
    out[text.size() + 1] = '"';
    commit(text.size() + 2);
    after_value();
    return {};
  }
  // The same for text that `format(char* out)` writes straight into the
  // output: at most MaxLength bytes, their count returned.
  template <std::size_t MaxLength, typename Format>
  JsonStatus verbatim_string(Format&& format) {
    PELNORIX_JSON_TRY(before_value());
    char* out = reserve_tail(MaxLength + 2);
    out[0] = '"';
    const std::size_t length = std::forward<Format>(format)(out + 1);
    out[length + 1] = '"';
    commit(length + 2);
    after_value();
    return {};
  }

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
  Expected<JsonText, JsonError> take_text() &&;

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

  // Every short copy below is a fixed-size one of this many bytes into spare
  // room, committing only the bytes that belong: a constant-size copy is a
  // pair of moves, where a copy of varying size is a call.
  static constexpr std::size_t kShortCopy = 32;

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
  template <std::size_t N>
  JsonStatus put_token(const char (&token)[N]) {
    PELNORIX_JSON_TRY(before_value());
    std::memcpy(reserve_tail(N), token, N);  // the terminator lands in spare room
    commit(N - 1);
    after_value();
    return {};
  }

  // Writes the separator and the line break that precede a member or element
  // of the container `frame`, and returns where the member starts, with at
  // least `room` bytes of spare room there.
  [[gnu::always_inline]] char* begin_member(std::uint8_t& frame, std::size_t room) {
    const std::size_t comma = (frame & NestingStack::kHasMember) != 0 ? 1 : 0;
    frame |= NestingStack::kHasMember;
    const std::size_t line = line_length_;
    if (line > kShortCopy) return begin_member_on_long_line(comma, line, room);
    char* out = reserve_tail(1 + kShortCopy + room);
    out[0] = ',';
    if (pretty_) std::memcpy(out + comma, line_start(), kShortCopy);
    commit(comma + line);
    return out + comma + line;
  }
  char* begin_member_on_long_line(std::size_t comma, std::size_t line, std::size_t room);
  [[gnu::always_inline]] void write_key_token(std::uint8_t& frame, const JsonKeyLiteral& name) {
    char* out = begin_member(frame, JsonKeyLiteral::kTokenBytes);
    std::memcpy(out, name.token().data(), JsonKeyLiteral::kTokenBytes);
    // The compact layout takes the token without its final space.
    commit(name.text().size() + (pretty_ ? 4 : 3));
    key_pending_ = true;
  }
  JsonStatus open_container(std::uint8_t frame, char bracket);
  JsonStatus close_container(std::uint8_t frame, char bracket);
  // A line break and the indentation of `level`, from line_start().
  void write_line_break_and_indent(std::size_t level);
  std::size_t line_length_at(std::size_t depth) const noexcept {
    return pretty_ ? 1 + (initial_level_ + depth) * indent_unit_.size() : 0;
  }
  void ensure_line_start(std::size_t length);

  // The escaped text between double quotes.
  void write_quoted(std::string_view text);
  void write_escaped(std::string_view text);
  // Escapes `text` to `out`, the end of the output or past it, where spare
  // room for the whole text plus the escape slack has been made; returns
  // where the output ends. Output before `out` may be committed on the way.
  char* escape_into(std::string_view text, char* out);

  // Room for at least `count` more bytes at the end of the output.
  char* reserve_tail(std::size_t count) {
    if (capacity_ - length_ < count) grow(count);
    return buffer_.get() + length_;
  }
  void commit(std::size_t count) noexcept { length_ += count; }
  void grow(std::size_t count);
  void put_char(char c) {
    *reserve_tail(1) = c;
    commit(1);
  }
  bool key_position_ok() const noexcept {
    return !key_pending_ && !open_.empty() && (open_.top() & NestingStack::kObject) != 0;
  }
  JsonStatus misplaced_key() const;
  JsonStatus long_literal_key(const JsonKeyLiteral& name);

  // The output lives in buffer_[0, length_); the rest, up to capacity_, is
  // spare room that is never filled in advance. A plain heap block rather
  // than a std::string: growing it is a realloc, which the allocator can
  // often do in place (and for large texts by remapping pages), and the
  // finished block becomes the JsonText as it is.
  JsonText::Block buffer_;
  std::size_t capacity_ = 0;
  std::size_t length_ = 0;
  bool pretty_;
  std::string indent_unit_;
  std::size_t initial_level_;
  // A line break followed by indentation units, at least kShortCopy bytes, so
  // that the start of any line up to that length is one fixed-size copy. The
  // two-space unit of every document needs no text of its own.
  std::string own_line_start_;
  const char* line_start() const noexcept {
    return own_line_start_.empty() ? kTwoSpaceLines.data() : own_line_start_.data();
  }
  static constexpr std::array<char, 128> kTwoSpaceLines = [] {
    std::array<char, 128> line{};
    line[0] = '\n';
    for (std::size_t i = 1; i < line.size(); ++i)
      line[i] = ' ';
    return line;
  }();
  NestingStack open_;
  // The length of the line break and indentation that start a member at the
  // current depth in the pretty layout; 0 in the compact layout.
  std::size_t line_length_ = 0;
  bool key_pending_ = false;  // a key was written and its value is due
  bool complete_ = false;     // the top-level value has been written
};

inline void JsonStringFragments::append(std::string_view fragment) {
  writer_.write_escaped(fragment);
}

}  // namespace pelnorix
