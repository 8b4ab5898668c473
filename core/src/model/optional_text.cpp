#include "pelnorix/optional_text.hpp"

#include <limits>
#include <stdexcept>

namespace pelnorix {

char* OptionalText::make_block(std::string_view text) {
  const std::size_t size = text.size();
  if (size > std::numeric_limits<std::size_t>::max() - kHeader) {
    throw std::length_error("OptionalText: text too long");
  }
  char* block = static_cast<char*>(::operator new(kHeader + size));
  std::memcpy(block, &size, sizeof size);
  // An empty view may have a null data pointer, which memcpy must not see.
  if (size != 0) std::memcpy(block + kHeader, text.data(), size);
  return block;
}

}  // namespace pelnorix
