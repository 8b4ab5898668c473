// How the string map packs a key and its value into its text area: the key's
// length, the key, the value's length, the value. Lengths are LEB128 (7 bits a
// byte, low first), so the usual short tag spends one byte on each, and the
// key comes first so that a probe compares it without decoding the value.
// Callers keep every length below 2^32.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelnorix::detail {

struct PackedPair {
  std::string_view key;
  std::string_view value;
  std::uint32_t packed_size;  // bytes from the start of the key's length
};

constexpr std::uint32_t length_size(std::uint64_t length) noexcept {
  std::uint32_t bytes = 1;
  for (; length >= 0x80; length >>= 7)
    ++bytes;
  return bytes;
}

// Computed in 64 bits, so that the caller can refuse a pair too large for the
// map's 32-bit offsets.
constexpr std::uint64_t packed_pair_size(std::string_view key, std::string_view value) noexcept {
  return length_size(key.size()) + std::uint64_t{key.size()} + length_size(value.size()) +
         value.size();
}

inline char* write_length(char* out, std::uint32_t length) noexcept {
  for (; length >= 0x80; length >>= 7)
    *out++ = static_cast<char>((length & 0x7F) | 0x80);
  *out++ = static_cast<char>(length);
  return out;
}

inline const char* read_length(const char* in, std::uint32_t& length) noexcept {
  auto byte = static_cast<unsigned char>(*in++);
  length = byte & 0x7Fu;
  for (int shift = 7; byte >= 0x80; shift += 7) {
    byte = static_cast<unsigned char>(*in++);
    length |= static_cast<std::uint32_t>(byte & 0x7Fu) << shift;
  }
  return in;
}

// Returns the end of the packed pair. The texts may overlap `out`'s pair
// only by lying before it.
inline char* write_packed_pair(char* out, std::string_view key, std::string_view value) noexcept {
  out = write_length(out, static_cast<std::uint32_t>(key.size()));
  std::memcpy(out, key.data(), key.size());
  out = write_length(out + key.size(), static_cast<std::uint32_t>(value.size()));
  std::memcpy(out, value.data(), value.size());
  return out + value.size();
}

inline std::string_view read_packed_key(const char* in) noexcept {
  std::uint32_t length;
  in = read_length(in, length);
  return {in, length};
}

inline PackedPair read_packed_pair(const char* pair) noexcept {
  std::uint32_t key_length;
  const char* key = read_length(pair, key_length);
  std::uint32_t value_length;
  const char* value = read_length(key + key_length, value_length);
  return {{key, key_length},
          {value, value_length},
          static_cast<std::uint32_t>(value + value_length - pair)};
}

// Puts `value` in place of the pair's value when it takes no more room and
// its length is as long to write, so that setting a tag again and again need
// not grow the texts. The bytes it leaves unused stay dead until the next
// regrowth. `value` may lie anywhere, the pair itself included.
inline bool overwrite_packed_value(char* pair, std::string_view value) noexcept {
  const PackedPair old = read_packed_pair(pair);
  if (value.size() > old.value.size() ||
      length_size(value.size()) != length_size(old.value.size())) {
    return false;
  }
  char* at = pair + (old.key.data() + old.key.size() - pair);
  at = write_length(at, static_cast<std::uint32_t>(value.size()));
  std::memmove(at, value.data(), value.size());
  return true;
}

}  // namespace pelnorix::detail
