// Internals of the random source, exposed so that their failure paths can be
// exercised directly. Not part of the public interface.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pelnorix::detail {

inline constexpr const char* kRandomFaultPrefix = "could not retrieve random bytes for uuid: ";

// The cause for a failed call: `result` is what the call returned (negative on
// failure, else the byte count), `err` the errno it left, `requested` the byte
// count asked for.
std::string random_failure_cause(ssize_t result, int err, std::size_t requested);

// Reads exactly out.size() bytes from `fd`, repeating short and interrupted
// reads. Raises the random-source fault on any failure.
void read_fully_from_fd(int fd, std::span<std::uint8_t> out);

// Fills `out` straight from the operating system, bypassing the buffer.
void fill_from_os(std::span<std::uint8_t> out);

enum class RandomBackend { GetRandom, DevURandom };

// The source chosen for this process (decided on first use).
RandomBackend random_backend();

}  // namespace pelnorix::detail
