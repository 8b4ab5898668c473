// Hexadecimal digits, written and read the same way everywhere: identifiers,
// JSON escapes, the OTLP encodings and the module's representations.
#pragma once

namespace pelnorix {

// Lower-case digits by value.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// The value of a digit of either case, or -1 for any other character.
constexpr int hex_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace pelnorix
