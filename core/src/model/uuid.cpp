#include "pelnorix/uuid.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "pelnorix/hex.hpp"
#include "pelnorix/random_source.hpp"

namespace pelnorix {
namespace {

// --- Formatting ---------------------------------------------------------------

#if !defined(__SSE2__)
struct HexPairs {
  std::array<char, 512> chars{};
  constexpr HexPairs() {
    for (std::size_t byte = 0; byte < 256; ++byte) {
      chars[2 * byte] = kHexDigits[byte >> 4];
      chars[2 * byte + 1] = kHexDigits[byte & 0xF];
    }
  }
};
constexpr HexPairs kHexPairs;
#endif

// --- Parsing ------------------------------------------------------------------

struct HexValues {
  std::array<std::int8_t, 256> value{};
  constexpr HexValues() {
    for (std::size_t c = 0; c < value.size(); ++c)
      value[c] = static_cast<std::int8_t>(hex_digit_value(static_cast<char>(c)));
  }
};
constexpr HexValues kHexValues;

int hex_value(char c) noexcept {
  return kHexValues.value[static_cast<unsigned char>(c)];
}

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::size_t kGroupEnds[4] = {8, 13, 18, 23};
constexpr std::size_t kGroupStarts[5] = {0, 9, 14, 19, 24};
constexpr std::size_t kGroupLengths[5] = {8, 4, 4, 4, 12};

// Where the 32 digits sit in the hyphenated form.
constexpr std::array<std::uint8_t, 32> kHyphenatedDigitAt = [] {
  std::array<std::uint8_t, 32> at{};
  std::size_t digit = 0;
  for (std::uint8_t pos = 0; pos < kUuidTextLength; ++pos) {
    if (pos != 8 && pos != 13 && pos != 18 && pos != 23) at[digit++] = pos;
  }
  return at;
}();

// Decodes exactly 32 hex digits, found after the hyphens at kGroupEnds when
// `hyphenated`. Returns false on any deviation. Checks once at the end rather
// than per digit: an invalid digit makes the accumulated value negative.
bool decode_digits(std::string_view text, bool hyphenated, Uuid& out) noexcept {
  int invalid = 0;
  if (hyphenated) {
    for (const std::size_t at : kGroupEnds)
      invalid |= text[at] != '-' ? -1 : 0;
  }
  for (std::size_t i = 0; i < out.bytes.size(); ++i) {
    const std::size_t high_at = hyphenated ? kHyphenatedDigitAt[2 * i] : 2 * i;
    const std::size_t low_at = hyphenated ? kHyphenatedDigitAt[2 * i + 1] : 2 * i + 1;
    const int high = hex_value(text[high_at]);
    const int low = hex_value(text[low_at]);
    invalid |= high | low;
    out.bytes[i] =
        static_cast<std::uint8_t>((static_cast<unsigned>(high) << 4) | static_cast<unsigned>(low));
  }
  return invalid >= 0;
}

bool try_parse(std::string_view text, Uuid& out) noexcept {
  switch (text.size()) {
    case 32:
      return decode_digits(text, false, out);
    case 36:
      return decode_digits(text, true, out);
    case 38:
      return text.front() == '{' && text.back() == '}' &&
             decode_digits(text.substr(1, kUuidTextLength), true, out);
    case 45:
      return text.starts_with(kUrnPrefix) &&
             decode_digits(text.substr(kUrnPrefix.size()), true, out);
    default:
      return false;
  }
}

bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 character starting at `text[at]`, or 0
// when the bytes there do not form one.
std::size_t utf8_character_length(std::string_view text, std::size_t at) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char second_min = 0x80;
  unsigned char second_max = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_min = 0xA0;  // overlong
    if (lead == 0xED) second_max = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_min = 0x90;  // overlong
    if (lead == 0xF4) second_max = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byte(1) < second_min || byte(1) > second_max) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(byte(i))) return 0;
  }
  return length;
}

std::string length_message(std::size_t length) {
  return "invalid length: expected length 32 for simple format, found " + std::to_string(length);
}

std::string group_count_message(std::size_t count) {
  return "invalid group count: expected 5, found " + std::to_string(count);
}

std::string group_length_message(std::size_t group, std::size_t expected, std::size_t actual) {
  return "invalid group length in group " + std::to_string(group) + ": expected " +
         std::to_string(expected) + ", found " + std::to_string(actual);
}

// The message must stay valid UTF-8, so a byte that does not start a
// well-formed character is shown as U+FFFD; a well-formed one is shown whole.
std::string character_message(std::string_view scanned, std::size_t at, std::size_t position) {
  const std::size_t length = utf8_character_length(scanned, at);
  const std::string_view shown =
      length == 0 ? std::string_view("\xEF\xBF\xBD") : scanned.substr(at, length);
  std::string message = "invalid character: found `";
  message.append(shown);
  message += "` at ";
  message += std::to_string(position);
  return message;
}

std::string failure_message(std::string_view input) {
  std::string_view examined = input;
  if (input.size() == 38 && input.front() == '{' && input.back() == '}') {
    examined = input.substr(1, kUuidTextLength);
  } else if (input.size() == 45 && input.starts_with(kUrnPrefix)) {
    examined = input.substr(kUrnPrefix.size());
  }
  if (examined.empty()) return length_message(0);

  std::string_view scanned = examined;
  std::size_t offset = 0;
  bool simple_candidate = false;
  if (examined.size() >= 2 && examined.front() == '{' && examined.back() == '}') {
    scanned = examined.substr(1, examined.size() - 2);
    offset = 1;
  } else if (examined.starts_with(kUrnPrefix)) {
    scanned = examined.substr(kUrnPrefix.size());
    offset = kUrnPrefix.size();
  } else {
    simple_candidate = true;
  }
  if (scanned.empty()) return group_count_message(1);

  std::size_t hyphens = 0;
  std::size_t hyphen_at[4] = {};
  for (std::size_t i = 0; i < scanned.size(); ++i) {
    const char c = scanned[i];
    if (c == '-') {
      if (hyphens < 4) hyphen_at[hyphens] = i;
      ++hyphens;
    } else if (hex_value(c) < 0) {
      return character_message(scanned, i, offset + i + 1);
    }
  }
  if (simple_candidate && hyphens == 0) return length_message(examined.size());
  if (hyphens != 4) return group_count_message(hyphens + 1);
  for (std::size_t group = 0; group < 4; ++group) {
    if (hyphen_at[group] != kGroupEnds[group]) {
      return group_length_message(group, kGroupLengths[group],
                                  hyphen_at[group] - kGroupStarts[group]);
    }
  }
  return group_length_message(4, kGroupLengths[4], scanned.size() - kGroupStarts[4]);
}

}  // namespace

Uuid generate_uuid_v4() {
  Uuid id;
  fill_os_random(std::span<std::uint8_t>(id.bytes));
  id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);
  id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);
  return id;
}

void format_uuid(const Uuid& id, char* out) noexcept {
#if defined(__SSE2__)
  // All 32 digits at once: split the bytes into nibbles, interleave them high
  // first, and map 0-9 to '0'-'9' and 10-15 to 'a'-'f'; then place the five
  // groups around their hyphens.
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(id.bytes.data()));
  const __m128i low_nibbles = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
  const __m128i low = _mm_and_si128(bytes, low_nibbles);
  const auto to_hex = [](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    const __m128i digits = _mm_add_epi8(nibbles, _mm_set1_epi8('0'));
    return _mm_add_epi8(digits, _mm_and_si128(letters, _mm_set1_epi8('a' - '0' - 10)));
  };
  char digits[32];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(digits), to_hex(_mm_unpacklo_epi8(high, low)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(digits + 16), to_hex(_mm_unpackhi_epi8(high, low)));
  std::memcpy(out, digits, 8);
  out[8] = '-';
  std::memcpy(out + 9, digits + 8, 4);
  out[13] = '-';
  std::memcpy(out + 14, digits + 12, 4);
  out[18] = '-';
  std::memcpy(out + 19, digits + 16, 4);
  out[23] = '-';
  std::memcpy(out + 24, digits + 20, 12);
#else
  std::size_t pos = 0;
  for (std::size_t i = 0; i < id.bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[pos++] = '-';
    const char* pair = &kHexPairs.chars[2 * id.bytes[i]];
    out[pos++] = pair[0];
    out[pos++] = pair[1];
  }
#endif
}

std::string to_string(const Uuid& id) {
  std::string text(kUuidTextLength, '\0');
  format_uuid(id, text.data());
  return text;
}

Expected<Uuid, UuidParseError> parse_uuid(std::string_view text) {
  Uuid id;
  if (try_parse(text, id)) return id;
  return Unexpected{UuidParseError{failure_message(text)}};
}

}  // namespace pelnorix
