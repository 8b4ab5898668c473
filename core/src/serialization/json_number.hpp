// Number text for JSON: plain decimal integers and binary64 in shortest
// round-trip form. Internal to the writer; everything is produced in the
// caller's small buffer, nothing is allocated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace pelnorix::json_detail {

inline constexpr std::size_t kMaxUint64Digits = 20;
inline constexpr std::size_t kMaxInt32Chars = 11;   // -2147483648
inline constexpr std::size_t kMaxDoubleChars = 24;  // -1.2345678901234567e-308

// Writes the decimal digits of `value` (no leading zeros, "0" for zero) to
// `out` and returns their count.
std::size_t format_uint64(std::uint64_t value, char* out) noexcept;

// Like format_uint64, with a leading '-' for negative values.
std::size_t format_int32(std::int32_t value, char* out) noexcept;

// "00" "01" ... "99": two digits per division halves the divisions.
inline constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes the two digits of a value below 100.
inline void format_two_digits(unsigned value, char* out) noexcept {
  out[0] = kDigitPairs[2 * value];
  out[1] = kDigitPairs[2 * value + 1];
}

// Writes exactly `width` digits of `value`, zero-padded on the left; digits of
// value beyond the width are dropped. Inline, so that a constant width becomes
// straight-line code.
inline void format_fixed_width(std::uint32_t value, std::size_t width, char* out) noexcept {
  std::size_t i = width;
  for (; i >= 2; i -= 2) {
    format_two_digits(value % 100, out + i - 2);
    value /= 100;
  }
  if (i == 1) out[0] = static_cast<char>('0' + value % 10);
}

// Writes a finite binary64 value: shortest round-trip digits, positional
// notation for decimal exponents -5 to 15 (a whole number ends in ".0"),
// scientific with an always-signed exponent otherwise. Returns the length.
std::size_t format_double(double value, char* out) noexcept;

}  // namespace pelnorix::json_detail
