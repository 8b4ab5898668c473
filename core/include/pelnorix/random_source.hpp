// Bytes from the operating system's cryptographic random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelnorix {

// Fills `out` with bytes drawn from the operating system (getrandom, or
// /dev/urandom where getrandom is unusable). Bytes may be served from a
// per-process buffer refilled from the OS; no byte is ever handed out twice,
// and a forked child never sees bytes its parent held.
// Throws Fault "could not retrieve random bytes for uuid: <cause>" on failure.
void fill_os_random(std::span<std::uint8_t> out);

}  // namespace pelnorix
