// Escaping of string bytes for JSON text. Internal to the writer.
#pragma once

#include <array>
#include <cstddef>

namespace pelnorix::json_detail {

// For each byte: 0 when it is written as itself, otherwise the character that
// follows the backslash of its escape ('u' for the \u00XX form).
inline constexpr std::array<char, 256> kEscapeTable = [] {
  std::array<char, 256> table{};
  for (std::size_t byte = 0; byte < 0x20; ++byte)
    table[byte] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  return table;
}();

inline constexpr std::size_t kMaxEscapeLength = 6;  // \u00XX

// How many leading bytes of [data, data + size) need no escape.
std::size_t plain_prefix_length(const char* data, std::size_t size) noexcept;

// Writes the escape sequence of a byte that needs one (at most
// kMaxEscapeLength bytes) and returns its length.
std::size_t write_escape(unsigned char byte, char* out) noexcept;

}  // namespace pelnorix::json_detail
