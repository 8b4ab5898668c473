// JSON text writer: one sequence of operations, two layouts (compact and
// pretty). To be completed by the serialization work.
#pragma once

#include <string>

namespace pelnorix {

// A writer error; its text form is the message alone.
struct JsonError {
  std::string message;
};

}  // namespace pelnorix
