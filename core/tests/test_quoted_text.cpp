// The quoted form of the tracer's representation. The Python tests cover every
// valid text the interpreter can hand over; these cover the bytes it never
// would (malformed UTF-8), which must neither be copied nor read past.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "pelnorix/quoted_text.hpp"

namespace pelnorix {
namespace {

struct QuotedCase {
  std::string_view input;
  std::string_view quoted;
};

// U+FFFD as UTF-8.
#define REPLACEMENT "\xEF\xBF\xBD"

TEST(QuotedText, EscapesAndReplacesByteByByte) {
  const QuotedCase cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {std::string_view("a\0b", 3), "\"a\\0b\""},
      {"\t\r\n\\\"", "\"\\t\\r\\n\\\\\\\"\""},
      {"\x01\x7F", "\"\\u{1}\\u{7f}\""},
      {"\xC3\xA9\xE4\xB8\xAD", "\"\xC3\xA9\xE4\xB8\xAD\""},  // kept as they are
      {"\xE2\x80\x8B", "\"\\u{200b}\""},                     // zero-width space
      {"\xCC\x81", "\"\\u{301}\""},                          // combining mark
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      // Malformed: each offending byte becomes one U+FFFD.
      {"\x80", "\"" REPLACEMENT "\""},                    // stray continuation
      {"a\xE4\xB8", "\"a" REPLACEMENT REPLACEMENT "\""},  // truncated at the end
      {"\xE4\xB8z", "\"" REPLACEMENT REPLACEMENT "z\""},  // interrupted
      {"\xC0\xAF", "\"" REPLACEMENT REPLACEMENT "\""},    // overlong
      {"\xF4\x90\x80\x80", "\"" REPLACEMENT REPLACEMENT REPLACEMENT REPLACEMENT "\""},
      {"\xFF", "\"" REPLACEMENT "\""},
      {REPLACEMENT, "\"" REPLACEMENT "\""},
  };
  for (const QuotedCase& c : cases) {
    EXPECT_EQ(quote_text(c.input), std::string(c.quoted)) << "input bytes: " << c.input.size();
  }
}

#undef REPLACEMENT

}  // namespace
}  // namespace pelnorix
