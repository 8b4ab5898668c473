#include "pelnorix/fault.hpp"

#include <cstdio>

namespace pelnorix {

void raise_fault(const std::string& message) {
  // One unbuffered write per report, so that the line is not interleaved with
  // other output even when several threads fail at once.
  const std::string line = "pelnorix: internal fault: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  throw Fault(message);
}

}  // namespace pelnorix
