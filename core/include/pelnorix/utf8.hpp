// UTF-8 helpers shared by the trace model and the exporters.
#pragma once

#include <cstddef>
#include <string_view>

namespace pelnorix {

// The length of the longest prefix of `text` that holds at most `max_bytes`
// bytes and ends on a character boundary. `text` must be valid UTF-8: the cut
// backs off over continuation bytes (10xxxxxx) only.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) noexcept;

}  // namespace pelnorix
