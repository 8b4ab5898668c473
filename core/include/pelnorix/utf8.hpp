// UTF-8 helpers shared by the trace model and the exporters.
#pragma once

#include <cstddef>
#include <string_view>

namespace pelnorix {

// The length of the longest prefix of `text` that holds at most `max_bytes`
// bytes and ends on a character boundary. `text` must be valid UTF-8: the cut
// backs off over continuation bytes (10xxxxxx) only.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) noexcept;

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

struct Utf8Character {
  char32_t code_point;
  std::size_t length;  // in bytes, at least 1
};

// The character that starts at byte `at` (< text.size()). A byte that does
// not start a well-formed character (a stray continuation, a truncated or
// overlong sequence, a code point above U+10FFFF) decodes as U+FFFD and
// consumes one byte, so that a reader never runs past the end.
Utf8Character decode_utf8_character(std::string_view text, std::size_t at) noexcept;

}  // namespace pelnorix
