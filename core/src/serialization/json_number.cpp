#include "json_number.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace pelnorix::json_detail {
namespace {

// Writes the digits of `value` so that they end just before `end`; returns
// where they start.
char* digits_backwards(std::uint64_t value, char* end) noexcept {
  while (value >= 100) {
    const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    end -= 2;
    end[0] = kDigitPairs[pair];
    end[1] = kDigitPairs[pair + 1];
  }
  if (value >= 10) {
    const std::size_t pair = static_cast<std::size_t>(value) * 2;
    end -= 2;
    end[0] = kDigitPairs[pair];
    end[1] = kDigitPairs[pair + 1];
  } else {
    *--end = static_cast<char>('0' + value);
  }
  return end;
}

// The shortest round-trip decimal form of a positive finite value: the
// significant digits d1...dn and the exponent e of d1.
struct ShortestDecimal {
  char digits[17];
  std::size_t count;
  int exponent;
};

ShortestDecimal shortest_decimal(double magnitude) noexcept {
  // Without a precision, to_chars yields the shortest digits that read back
  // exactly (nearest among them); the scientific form separates them cleanly
  // from the exponent: d[.ddd]e(+|-)xx.
  char text[32];
  const auto result =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const char* const end = result.ptr;
  ShortestDecimal decimal{};
  const char* p = text;
  decimal.digits[decimal.count++] = *p++;
  if (*p == '.') {
    for (++p; *p != 'e'; ++p)
      decimal.digits[decimal.count++] = *p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p++ == '-';
  int exponent = 0;
  for (; p != end; ++p)
    exponent = exponent * 10 + (*p - '0');
  decimal.exponent = negative_exponent ? -exponent : exponent;
  return decimal;
}

// The number of decimal digits of `value`, four magnitudes per division.
std::size_t decimal_digit_count(std::uint64_t value) noexcept {
  std::size_t count = 1;
  for (;;) {
    if (value < 10) return count;
    if (value < 100) return count + 1;
    if (value < 1000) return count + 2;
    if (value < 10000) return count + 3;
    value /= 10000;
    count += 4;
  }
}

char* fill(char* out, char c, std::size_t count) noexcept {
  std::memset(out, c, count);
  return out + count;
}

char* copy(char* out, const char* from, std::size_t count) noexcept {
  std::memcpy(out, from, count);
  return out + count;
}

}  // namespace

std::size_t format_uint64(std::uint64_t value, char* out) noexcept {
  // Counted first, so that the digits go straight to their place.
  const std::size_t count = decimal_digit_count(value);
  digits_backwards(value, out + count);
  return count;
}

std::size_t format_int32(std::int32_t value, char* out) noexcept {
  if (value >= 0) return format_uint64(static_cast<std::uint64_t>(value), out);
  out[0] = '-';
  // Negating in 64 bits keeps -2147483648 representable.
  const auto magnitude = static_cast<std::uint64_t>(-static_cast<std::int64_t>(value));
  return 1 + format_uint64(magnitude, out + 1);
}

std::size_t format_double(double value, char* out) noexcept {
  char* p = out;
  if (std::signbit(value)) {
    *p++ = '-';
    value = -value;
  }
  if (value == 0.0) return static_cast<std::size_t>(copy(p, "0.0", 3) - out);

  const ShortestDecimal decimal = shortest_decimal(value);
  const auto n = static_cast<int>(decimal.count);
  const int e = decimal.exponent;
  const char* const digits = decimal.digits;
  const std::size_t count = decimal.count;

  if (e >= -5 && e <= 15) {
    if (e >= n - 1) {
      p = copy(p, digits, count);
      p = fill(p, '0', static_cast<std::size_t>(e - n + 1));
      p = copy(p, ".0", 2);
    } else if (e >= 0) {
      const auto whole = static_cast<std::size_t>(e + 1);
      p = copy(p, digits, whole);
      *p++ = '.';
      p = copy(p, digits + whole, count - whole);
    } else {
      p = copy(p, "0.", 2);
      p = fill(p, '0', static_cast<std::size_t>(-e - 1));
      p = copy(p, digits, count);
    }
  } else {
    *p++ = digits[0];
    if (count > 1) {
      *p++ = '.';
      p = copy(p, digits + 1, count - 1);
    }
    *p++ = 'e';
    *p++ = e > 0 ? '+' : '-';
    p += format_uint64(static_cast<std::uint64_t>(e > 0 ? e : -e), p);
  }
  return static_cast<std::size_t>(p - out);
}

}  // namespace pelnorix::json_detail
