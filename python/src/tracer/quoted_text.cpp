#include "tracer/quoted_text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace pelnorix {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Characters that would be invisible, ambiguous or would merge with the
// preceding one when printed: they are shown by code point instead.
constexpr CodePointRange kEscapedRanges[] = {
#include "tracer/unicode_escape_table.inc"
};

constexpr bool ranges_are_sorted_and_disjoint() {
  for (std::size_t i = 1; i < std::size(kEscapedRanges); ++i) {
    if (kEscapedRanges[i - 1].last >= kEscapedRanges[i].first) return false;
  }
  return true;
}
static_assert(ranges_are_sorted_and_disjoint(), "the binary search needs ordered ranges");

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr std::string_view kReplacementCharacterUtf8 = "\xEF\xBF\xBD";

bool needs_code_point_escape(char32_t code_point) {
  // Endpoints are mostly ASCII: answer those without searching the table.
  if (code_point < 0x80) return code_point < 0x20 || code_point == 0x7F;
  const auto* after = std::upper_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), code_point,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return after != std::begin(kEscapedRanges) && code_point <= std::prev(after)->last;
}

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

// Texts come validated from the interpreter, but a stray byte must still not
// make us read past the end: it decodes as U+FFFD and consumes one byte.
Decoded decode_one(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};

  std::size_t length = 0;
  char32_t code_point = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0U) == 0xC0U) {
    length = 2;
    code_point = lead & 0x1FU;
    minimum = 0x80;
  } else if ((lead & 0xF0U) == 0xE0U) {
    length = 3;
    code_point = lead & 0x0FU;
    minimum = 0x800;
  } else if ((lead & 0xF8U) == 0xF0U) {
    length = 4;
    code_point = lead & 0x07U;
    minimum = 0x10000;
  } else {
    return {kReplacementCharacter, 1};
  }
  if (text.size() - at < length) return {kReplacementCharacter, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const auto continuation = static_cast<unsigned char>(text[at + i]);
    if ((continuation & 0xC0U) != 0x80U) return {kReplacementCharacter, 1};
    code_point = (code_point << 6U) | (continuation & 0x3FU);
  }
  if (code_point < minimum || code_point > 0x10FFFF) return {kReplacementCharacter, 1};
  return {code_point, length};
}

void append_code_point_escape(std::string& out, char32_t code_point) {
  static constexpr std::array<char, 16> kHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                                      '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  std::array<char, 8> digits{};
  std::size_t count = 0;
  do {
    digits[count++] = kHexDigits[code_point & 0xFU];
    code_point >>= 4U;
  } while (code_point != 0);
  out += "\\u{";
  while (count > 0)
    out += digits[--count];
  out += '}';
}

}  // namespace

std::string quote_text(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded decoded = decode_one(utf8, at);
    const char32_t code_point = decoded.code_point;
    switch (code_point) {
      case U'\0':
        out += "\\0";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      default:
        if (needs_code_point_escape(code_point)) {
          append_code_point_escape(out, code_point);
        } else if (code_point == kReplacementCharacter) {
          // Also what a stray byte decodes to: its one byte cannot be copied.
          out += kReplacementCharacterUtf8;
        } else {
          out.append(utf8, at, decoded.length);
        }
        break;
    }
    at += decoded.length;
  }
  out += '"';
  return out;
}

}  // namespace pelnorix
