// A strict pull reader of JSON text (RFC 8259): the caller asks for the token
// it expects next, the cursor checks it and moves on. Strings come back as
// views of the text when they hold no escape, and decoded into an arena when
// they do; their bytes are checked to be UTF-8. Internal to the exporters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/span_reader.hpp"

namespace pelnorix::otlp_detail {

// At most the first 64 bytes of a text (cut on a character boundary), for
// messages that quote what they found.
std::string excerpt(std::string_view text);

class JsonCursor {
 public:
  JsonCursor(std::string_view text, TextArena& arena) noexcept
      : begin_(text.data()), pos_(text.data()), end_(text.data() + text.size()), arena_(arena) {}

  // Records the first failure ("what at byte N") and returns false, so that
  // readers can `return in.fail(...)`. Later failures keep the first one.
  bool fail(std::string_view what);
  bool failed() const noexcept { return failed_; }
  // Names the member or element in which the failure happened; called on
  // the way out, innermost first.
  void add_context(std::string_view segment);
  void add_index_context(std::size_t index);  // "[index]"
  // "where: what at byte N".
  std::string error_message() const;

  // Each skips whitespace first. The structural ones are inline: a document
  // is mostly punctuation between short strings.
  // True when `c` was next (and is consumed).
  bool consume(char c) noexcept {
    skip_whitespace();
    if (pos_ == end_ || *pos_ != c) return false;
    ++pos_;
    return true;
  }
  bool expect(char c) { return consume(c) || expected(c); }
  // True when `c` is next (not consumed).
  bool peek(char c) noexcept {
    skip_whitespace();
    return pos_ != end_ && *pos_ == c;
  }
  bool at_end() noexcept {
    skip_whitespace();
    return pos_ == end_;
  }
  // True when `null` was next (and is consumed).
  bool consume_null() noexcept {
    skip_whitespace();
    if (end_ - pos_ < 4 || std::memcmp(pos_, "null", 4) != 0) return false;
    pos_ += 4;
    return true;
  }

  bool read_string(std::string_view& out);
  bool read_bool(bool& out);
  // An integer in [0, max]: no sign, fraction or exponent.
  bool read_unsigned(std::uint64_t max, std::uint64_t& out);
  // An integer in [min, max].
  bool read_signed(std::int64_t min, std::int64_t max, std::int64_t& out);
  bool read_double(double& out);

 private:
  static bool is_whitespace(char c) noexcept {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
  }
  void skip_whitespace() noexcept {
    if (pos_ != end_ && is_whitespace(*pos_)) skip_whitespace_run();
  }
  void skip_whitespace_run() noexcept;
  bool expected(char c);  // the failure of expect
  bool read_number_text(std::string_view& text, bool& integral);
  bool read_escaped_string(const char* start, std::string_view& out);
  bool decode_unicode_escape();

  const char* begin_;
  const char* pos_;
  const char* end_;
  TextArena& arena_;
  bool failed_ = false;
  std::string what_;
  std::size_t failed_at_ = 0;
  std::vector<std::string> context_;  // innermost first
  std::string scratch_;               // the string being decoded
};

// Reads an object whose members are exactly `keys`, each once, in any order
// (the documented order is tried first). `read_member(index)` reads the value
// of keys[index]. `record` names the object in messages.
template <std::size_t N, typename ReadMember>
bool read_record(JsonCursor& in, const std::string_view (&keys)[N], std::string_view record,
                 ReadMember&& read_member) {
  static_assert(N <= 32, "the seen-set is one 32-bit word");
  if (!in.expect('{')) return false;
  std::uint32_t seen = 0;
  std::size_t expected = 0;
  if (!in.consume('}')) {
    do {
      std::string_view key;
      if (!in.read_string(key)) return false;
      std::size_t index = expected < N && keys[expected] == key ? expected : N;
      for (std::size_t i = 0; i < N && index == N; ++i) {
        if (keys[i] == key) index = i;
      }
      if (index == N)
        return in.fail("unknown key '" + excerpt(key) + "' in " + std::string(record));
      const std::uint32_t bit = std::uint32_t{1} << index;
      if ((seen & bit) != 0) return in.fail("duplicate key '" + std::string(key) + "'");
      seen |= bit;
      expected = index + 1;
      if (!in.expect(':')) return false;
      if (!read_member(index)) {
        in.add_context(key);
        return false;
      }
    } while (in.consume(','));
    if (!in.consume('}')) return in.fail("expected ',' or '}'");
  }
  for (std::size_t i = 0; i < N; ++i) {
    if ((seen & (std::uint32_t{1} << i)) == 0) {
      return in.fail("missing key '" + std::string(keys[i]) + "' in " + std::string(record));
    }
  }
  return true;
}

// Reads an array, calling `read_element(index)` for each element.
template <typename ReadElement>
bool read_array(JsonCursor& in, ReadElement&& read_element) {
  if (!in.expect('[')) return false;
  if (in.consume(']')) return true;
  std::size_t index = 0;
  do {
    if (!read_element(index)) {
      in.add_index_context(index);
      return false;
    }
    ++index;
  } while (in.consume(','));
  return in.consume(']') || in.fail("expected ',' or ']'");
}

}  // namespace pelnorix::otlp_detail
