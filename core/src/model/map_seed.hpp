// Hash seeds for string maps: distinct for every map, unpredictable from
// outside, and cheap enough to draw for every span.
#pragma once

#include <cstdint>

namespace pelnorix::detail {

// A fresh seed. The first call on a thread reads OS randomness and throws
// Fault when that fails.
std::uint64_t next_map_seed();

}  // namespace pelnorix::detail
