#include "json_escape.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace pelnorix::json_detail {
namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// High bit set in each byte of `word` that is zero. A borrow can only mark
// bytes above a true zero byte, so the lowest marked byte is always exact.
constexpr std::uint64_t zero_bytes(std::uint64_t word) noexcept {
  return (word - kOnes) & ~word & kHighBits;
}

// Marks the bytes below 0x20, the double quotes and the backslashes of eight
// bytes at once; the lowest mark is the first byte needing an escape.
constexpr std::uint64_t escape_marks(std::uint64_t word) noexcept {
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighBits;
  const std::uint64_t quote = zero_bytes(word ^ (kOnes * '"'));
  const std::uint64_t backslash = zero_bytes(word ^ (kOnes * '\\'));
  return control | quote | backslash;
}

std::size_t first_marked_byte(std::uint64_t marks) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(marks)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(marks)) / 8;
  }
}

std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

}  // namespace

std::size_t plain_prefix_length(const char* data, std::size_t size) noexcept {
  std::size_t i = 0;
  // Two words per round keeps the loop overhead below the cost of the tests.
  for (; i + 16 <= size; i += 16) {
    const std::uint64_t low = escape_marks(load_word(data + i));
    const std::uint64_t high = escape_marks(load_word(data + i + 8));
    if ((low | high) != 0) {
      return low != 0 ? i + first_marked_byte(low) : i + 8 + first_marked_byte(high);
    }
  }
  for (; i + 8 <= size; i += 8) {
    const std::uint64_t marks = escape_marks(load_word(data + i));
    if (marks != 0) return i + first_marked_byte(marks);
  }
  for (; i < size; ++i) {
    if (kEscapeTable[static_cast<unsigned char>(data[i])] != 0) return i;
  }
  return size;
}

std::size_t write_escape(unsigned char byte, char* out) noexcept {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  const char code = kEscapeTable[byte];
  out[0] = '\\';
  out[1] = code;
  if (code != 'u') return 2;
  out[2] = '0';
  out[3] = '0';
  out[4] = kHexDigits[byte >> 4];
  out[5] = kHexDigits[byte & 0xF];
  return kMaxEscapeLength;
}

}  // namespace pelnorix::json_detail
