#include <cstring>

#include "pelnorix/span_reader.hpp"

namespace pelnorix {

char* TextArena::allocate(std::size_t size) {
  if (size > left_) {
    // A text larger than a quarter block gets a block of its own, so that
    // the rest of the current block is not wasted on it.
    if (size > kBlockBytes / 4) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
      return blocks_.back().get();
    }
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockBytes));
    next_ = blocks_.back().get();
    left_ = kBlockBytes;
  }
  char* room = next_;
  next_ += size;
  left_ -= size;
  return room;
}

std::string_view TextArena::store(std::string_view text) {
  if (text.empty()) return {};
  char* room = allocate(text.size());
  std::memcpy(room, text.data(), text.size());
  return {room, text.size()};
}

}  // namespace pelnorix
