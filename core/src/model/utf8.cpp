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

}  // namespace pelnorix
