#include "pelnorix/utf8.hpp"

namespace pelnorix {

std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) noexcept {
  if (text.size() <= max_bytes) return text.size();
  // Back off to the start of the character that straddles (or begins at) the
  // limit, so that the kept part ends on a character boundary.
  std::size_t cut = max_bytes;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    --cut;
  return cut;
}

Utf8Character decode_utf8_character(std::string_view text, std::size_t at) noexcept {
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

}  // namespace pelnorix
