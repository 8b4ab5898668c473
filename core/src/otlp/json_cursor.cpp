#include "json_cursor.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "pelnorix/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelnorix::otlp_detail {
namespace {

// Bytes that end a plain run of string text: the closing quote, a backslash,
// a control character (not allowed raw) and any byte of a multi-byte
// character (checked on its own).
bool ends_plain_run(unsigned char c) noexcept {
  return c == '"' || c == '\\' || c < 0x20 || c >= 0x80;
}

// The first byte from `p` on that ends a plain run, or `end`.
const char* skip_plain(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
  while (end - p >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // As signed bytes, "below 0x20" covers both the control characters and
    // every byte from 0x80 up.
    const __m128i low_or_high = _mm_cmplt_epi8(block, _mm_set1_epi8(0x20));
    const __m128i quote = _mm_cmpeq_epi8(block, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'));
    const int marks = _mm_movemask_epi8(_mm_or_si128(low_or_high, _mm_or_si128(quote, backslash)));
    if (marks != 0) return p + __builtin_ctz(static_cast<unsigned>(marks));
    p += 16;
  }
#endif
  while (p != end && !ends_plain_run(static_cast<unsigned char>(*p)))
    ++p;
  return p;
}

bool in_range(unsigned char c, unsigned char low, unsigned char high) noexcept {
  return c >= low && c <= high;
}

// The length of the well-formed UTF-8 character at `p` (lead byte 0x80 or
// above), or 0: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t multibyte_length(const char* p, const char* end) noexcept {
  const auto at = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(p[i]); };
  const std::ptrdiff_t available = end - p;
  const unsigned char lead = at(0);
  if (in_range(lead, 0xC2, 0xDF)) {
    return available >= 2 && in_range(at(1), 0x80, 0xBF) ? 2 : 0;
  }
  if (in_range(lead, 0xE0, 0xEF)) {
    if (available < 3) return 0;
    const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
    return in_range(at(1), low, high) && in_range(at(2), 0x80, 0xBF) ? 3 : 0;
  }
  if (in_range(lead, 0xF0, 0xF4)) {
    if (available < 4) return 0;
    const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
    return in_range(at(1), low, high) && in_range(at(2), 0x80, 0xBF) && in_range(at(3), 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hexadecimal digits at `p` (which has at least four bytes), or -1.
long read_hex4(const char* p) noexcept {
  long value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

char* put_utf8(std::uint32_t code_point, char* out) noexcept {
  const auto byte = [](std::uint32_t value) { return static_cast<char>(value); };
  if (code_point < 0x80) {
    *out++ = byte(code_point);
  } else if (code_point < 0x800) {
    *out++ = byte(0xC0 | (code_point >> 6));
    *out++ = byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = byte(0xE0 | (code_point >> 12));
    *out++ = byte(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = byte(0x80 | (code_point & 0x3F));
  } else {
    *out++ = byte(0xF0 | (code_point >> 18));
    *out++ = byte(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = byte(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = byte(0x80 | (code_point & 0x3F));
  }
  return out;
}

}  // namespace

std::string excerpt(std::string_view text) {
  return std::string(text.substr(0, utf8_prefix_length(text, 64)));
}

bool JsonCursor::fail(std::string_view what) {
  if (!failed_) {
    failed_ = true;
    what_ = what;
    failed_at_ = static_cast<std::size_t>(pos_ - begin_);
  }
  return false;
}

void JsonCursor::add_context(std::string_view segment) {
  context_.emplace_back(segment);
}

void JsonCursor::add_index_context(std::size_t index) {
  // Built step by step: GCC 12 warns falsely (-Wrestrict) on "[" + text + "]".
  std::string segment = "[";
  segment += std::to_string(index);
  segment += ']';
  context_.push_back(std::move(segment));
}

std::string JsonCursor::error_message() const {
  std::string message;
  for (auto segment = context_.rbegin(); segment != context_.rend(); ++segment) {
    if (!message.empty() && segment->front() != '[') message += '.';
    message += excerpt(*segment);
  }
  if (!message.empty()) message += ": ";
  message += what_;
  message += " at byte ";
  message += std::to_string(failed_at_);
  return message;
}

void JsonCursor::skip_whitespace_run() noexcept {
  // The pretty layout has a line break and a run of indentation before every
  // member, skipped a block at a time.
#if defined(__SSE2__)
  while (end_ - pos_ >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pos_));
    const __m128i space = _mm_cmpeq_epi8(block, _mm_set1_epi8(' '));
    const __m128i newline = _mm_cmpeq_epi8(block, _mm_set1_epi8('\n'));
    const __m128i tab = _mm_cmpeq_epi8(block, _mm_set1_epi8('\t'));
    const __m128i carriage_return = _mm_cmpeq_epi8(block, _mm_set1_epi8('\r'));
    const auto blanks = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(space, newline), _mm_or_si128(tab, carriage_return))));
    if (blanks != 0xFFFF) {
      pos_ += __builtin_ctz(~blanks);
      return;
    }
    pos_ += 16;
  }
#endif
  while (pos_ != end_ && is_whitespace(*pos_))
    ++pos_;
}

bool JsonCursor::expected(char c) {
  if (pos_ == end_) return fail(std::string("unexpected end of text, expected '") + c + "'");
  return fail(std::string("expected '") + c + "'");
}

bool JsonCursor::read_bool(bool& out) {
  skip_whitespace();
  if (end_ - pos_ >= 4 && std::memcmp(pos_, "true", 4) == 0) {
    pos_ += 4;
    out = true;
    return true;
  }
  if (end_ - pos_ >= 5 && std::memcmp(pos_, "false", 5) == 0) {
    pos_ += 5;
    out = false;
    return true;
  }
  return fail("expected true or false");
}

bool JsonCursor::read_string(std::string_view& out) {
  skip_whitespace();
  if (pos_ == end_ || *pos_ != '"') return fail("expected a string");
  const char* const start = ++pos_;
  for (;;) {
    pos_ = skip_plain(pos_, end_);
    if (pos_ == end_) return fail("unterminated string");
    const auto c = static_cast<unsigned char>(*pos_);
    if (c == '"') {
      out = std::string_view(start, static_cast<std::size_t>(pos_ - start));
      ++pos_;
      return true;
    }
    if (c == '\\') return read_escaped_string(start, out);
    if (c < 0x20) return fail("raw control character in a string");
    const std::size_t length = multibyte_length(pos_, end_);
    if (length == 0) return fail("invalid UTF-8 in a string");
    pos_ += length;
  }
}

bool JsonCursor::read_escaped_string(const char* start, std::string_view& out) {
  // Decoded into the reused scratch text, then kept in the arena.
  scratch_.assign(start, pos_);
  for (;;) {
    const char* const run_end = skip_plain(pos_, end_);
    scratch_.append(pos_, run_end);
    pos_ = run_end;
    if (pos_ == end_) return fail("unterminated string");
    const auto c = static_cast<unsigned char>(*pos_);
    if (c == '"') {
      ++pos_;
      out = arena_.store(scratch_);
      return true;
    }
    if (c < 0x20) return fail("raw control character in a string");
    if (c >= 0x80) {
      const std::size_t length = multibyte_length(pos_, end_);
      if (length == 0) return fail("invalid UTF-8 in a string");
      scratch_.append(pos_, length);
      pos_ += length;
      continue;
    }
    if (end_ - pos_ < 2) return fail("unterminated string");
    char simple = 0;
    switch (pos_[1]) {
      case '"':
        simple = '"';
        break;
      case '\\':
        simple = '\\';
        break;
      case '/':
        simple = '/';
        break;
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      case 'u':
        if (!decode_unicode_escape()) return false;
        continue;
      default:
        return fail("invalid escape in a string");
    }
    scratch_ += simple;
    pos_ += 2;
  }
}

// At the backslash of "\uXXXX"; a high surrogate must be followed by the
// escape of a low one, and the pair stands for one character.
bool JsonCursor::decode_unicode_escape() {
  if (end_ - pos_ < 6) return fail("incomplete \\u escape");
  const long unit = read_hex4(pos_ + 2);
  if (unit < 0) return fail("invalid \\u escape");
  auto code_point = static_cast<std::uint32_t>(unit);
  if (code_point >= 0xDC00 && code_point <= 0xDFFF) return fail("unpaired surrogate escape");
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    if (end_ - pos_ < 12 || pos_[6] != '\\' || pos_[7] != 'u') {
      return fail("unpaired surrogate escape");
    }
    const long low = read_hex4(pos_ + 8);
    if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate escape");
    code_point =
        0x10000 + ((code_point - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
    pos_ += 12;
  } else {
    pos_ += 6;
  }
  char encoded[4];
  scratch_.append(encoded, put_utf8(code_point, encoded));
  return true;
}

bool JsonCursor::read_number_text(std::string_view& text, bool& integral) {
  skip_whitespace();
  const char* p = pos_;
  const auto digit = [&] { return p != end_ && *p >= '0' && *p <= '9'; };
  if (p != end_ && *p == '-') ++p;
  if (!digit()) return fail("expected a number");
  if (*p == '0') {
    ++p;
  } else {
    while (digit())
      ++p;
  }
  integral = true;
  if (p != end_ && *p == '.') {
    integral = false;
    ++p;
    if (!digit()) return fail("expected a digit after the decimal point");
    while (digit())
      ++p;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    integral = false;
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (!digit()) return fail("expected a digit in the exponent");
    while (digit())
      ++p;
  }
  text = std::string_view(pos_, static_cast<std::size_t>(p - pos_));
  pos_ = p;
  return true;
}

bool JsonCursor::read_unsigned(std::uint64_t max, std::uint64_t& out) {
  const char* const start = (skip_whitespace(), pos_);
  std::string_view text;
  bool integral = false;
  if (!read_number_text(text, integral)) return false;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool exact =
      integral && text.front() != '-' && error == std::errc() && end == text.data() + text.size();
  if (!exact || value > max) {
    pos_ = start;
    return fail("expected an integer from 0 to " + std::to_string(max));
  }
  out = value;
  return true;
}

bool JsonCursor::read_signed(std::int64_t min, std::int64_t max, std::int64_t& out) {
  const char* const start = (skip_whitespace(), pos_);
  std::string_view text;
  bool integral = false;
  if (!read_number_text(text, integral)) return false;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool exact = integral && error == std::errc() && end == text.data() + text.size();
  if (!exact || value < min || value > max) {
    pos_ = start;
    return fail("expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
  }
  out = value;
  return true;
}

bool JsonCursor::read_double(double& out) {
  const char* const start = (skip_whitespace(), pos_);
  std::string_view text;
  bool integral = false;
  if (!read_number_text(text, integral)) return false;
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    pos_ = start;
    return fail("number out of the range of a double");
  }
  out = value;
  return true;
}

}  // namespace pelnorix::otlp_detail
