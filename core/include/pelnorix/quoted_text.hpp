// The quoted, escaped form of a text used by representations (a double
// quote, each character escaped where it would be invisible or ambiguous,
// a double quote), as the tracer's representation shows its endpoint.
#pragma once

#include <string>
#include <string_view>

namespace pelnorix {

// `utf8` must be valid UTF-8 (texts arrive validated from the interpreter).
std::string quote_text(std::string_view utf8);

}  // namespace pelnorix
