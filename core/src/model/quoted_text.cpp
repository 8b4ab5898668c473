#include "pelnorix/quoted_text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "pelnorix/hex.hpp"
#include "pelnorix/utf8.hpp"

namespace pelnorix {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

// Characters that would be invisible, ambiguous or would merge with the
// preceding one when printed: they are shown by code point instead.
constexpr CodePointRange kEscapedRanges[] = {
#include "unicode_escape_table.inc"
};

constexpr bool ranges_are_sorted_and_disjoint() {
  for (std::size_t i = 1; i < std::size(kEscapedRanges); ++i) {
    if (kEscapedRanges[i - 1].last >= kEscapedRanges[i].first) return false;
  }
  return true;
}
static_assert(ranges_are_sorted_and_disjoint(), "the binary search needs ordered ranges");

constexpr std::string_view kReplacementCharacterUtf8 = "\xEF\xBF\xBD";

bool needs_code_point_escape(char32_t code_point) {
  // Endpoints are mostly ASCII: answer those without searching the table.
  if (code_point < 0x80) return code_point < 0x20 || code_point == 0x7F;
  const auto* after = std::upper_bound(
      std::begin(kEscapedRanges), std::end(kEscapedRanges), code_point,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return after != std::begin(kEscapedRanges) && code_point <= std::prev(after)->last;
}

void append_code_point_escape(std::string& out, char32_t code_point) {
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
    const Utf8Character decoded = decode_utf8_character(utf8, at);
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
