// Internal faults: failures of the platform (clock, random source) or of an
// internal invariant. They are not ordinary errors: they abandon the operation
// that met them and travel as a C++ exception until the Python call boundary
// turns them into PanicException. Ordinary, recoverable errors travel as values
// (see expected.hpp).
#pragma once

#include <stdexcept>
#include <string>

namespace pelnorix {

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

// Writes a short report of the fault to standard error (the moment it
// happens), then throws it.
[[noreturn]] void raise_fault(const std::string& message);

}  // namespace pelnorix
