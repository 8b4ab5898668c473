#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "pelnorix/uuid.hpp"

namespace pelnorix {
namespace {

constexpr const char* kCanonical = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b";

class AcceptedForms : public testing::TestWithParam<const char*> {};

TEST_P(AcceptedForms, ParseToTheSameIdentifier) {
  const auto parsed = parse_uuid(GetParam());
  ASSERT_TRUE(parsed.has_value()) << parsed.error().message;
  EXPECT_EQ(to_string(*parsed), kCanonical);
}

INSTANTIATE_TEST_SUITE_P(
    Uuid, AcceptedForms,
    testing::Values("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B",
                    "3f2B8c1E-9d4A-4e7B-b5C6-0a1D2e3F4a5B", "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b",
                    "3F2B8C1E9D4A4E7BB5C60A1D2E3F4A5B", "{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b}",
                    "{3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B}",
                    "urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
                    "urn:uuid:3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B"));

struct Rejection {
  std::string input;
  std::string message;
};

// Readable test names: the input with unprintable bytes escaped.
void PrintTo(const Rejection& r, std::ostream* os) {
  *os << '"';
  for (const char c : r.input) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      *os << c;
    } else {
      constexpr char kDigits[] = "0123456789ABCDEF";
      *os << "\\x" << kDigits[byte >> 4] << kDigits[byte & 0xF];
    }
  }
  *os << '"';
}

class RejectedForms : public testing::TestWithParam<Rejection> {};

TEST_P(RejectedForms, GiveTheExactMessage) {
  const auto parsed = parse_uuid(GetParam().input);
  ASSERT_FALSE(parsed.has_value()) << "accepted: " << GetParam().input;
  EXPECT_EQ(parsed.error().message, GetParam().message);
}

std::string length(int n) {
  return "invalid length: expected length 32 for simple format, found " + std::to_string(n);
}
std::string groups(int n) {
  return "invalid group count: expected 5, found " + std::to_string(n);
}
std::string group_length(int group, int expected, int found) {
  return "invalid group length in group " + std::to_string(group) + ": expected " +
         std::to_string(expected) + ", found " + std::to_string(found);
}
std::string character(const std::string& c, int at) {
  return "invalid character: found `" + c + "` at " + std::to_string(at);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RejectedForms,
    testing::Values(Rejection{"", length(0)}, Rejection{"not-a-uuid", character("n", 1)},
                    Rejection{"12345", length(5)}, Rejection{"1234-5678", groups(2)},
                    Rejection{"3f2b8c1-9d4a-4e7b-b5c6-0a1d2e3f4a5b", group_length(0, 8, 7)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5bc", group_length(4, 12, 13)},
                    Rejection{" 3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", character(" ", 1)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b ", character(" ", 37)},
                    Rejection{"URN:UUID:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", character("U", 1)},
                    // A hyphen in the wrong place, for each group.
                    Rejection{"3f2b8c1e9-d4a-4e7b-b5c6-0a1d2e3f4a5b", group_length(0, 8, 9)},
                    Rejection{"3f2b8c1e-9d4-a4e7b-b5c6-0a1d2e3f4a5b", group_length(1, 4, 3)},
                    Rejection{"3f2b8c1e-9d4a-4e7bb-5c6-0a1d2e3f4a5b", group_length(2, 4, 5)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5-c60a1d2e3f4a5b", group_length(3, 4, 2)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5", group_length(4, 12, 11)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5c6-", group_length(4, 12, 0)},
                    Rejection{"-3f2b8c1e-9d4a-4e7b-b5c6", group_length(0, 8, 0)},
                    Rejection{"----", group_length(0, 8, 0)}, Rejection{"-", groups(2)},
                    Rejection{"3f2b8c1e-9d4a-4e7b-b5c6-0a1d-2e3f4a5b", groups(6)},
                    // 31 and 33 digits: the simple form's length.
                    Rejection{"3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5", length(31)},
                    Rejection{"3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b0", length(33)},
                    // Wrappers: the position counts the characters before the scanned part.
                    Rejection{"{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5}", group_length(4, 12, 11)},
                    Rejection{"{0a-x}", character("x", 5)}, Rejection{"{x}", character("x", 2)},
                    Rejection{"{abc}", groups(1)}, Rejection{"{}", groups(1)},
                    Rejection{"{", character("{", 1)}, Rejection{"}", character("}", 1)},
                    Rejection{"urn:uuid:", groups(1)}, Rejection{"urn:uuid:zz", character("z", 10)},
                    Rejection{"urn:uuid:3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b", groups(1)},
                    Rejection{"urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5bc",
                              group_length(4, 12, 13)},
                    Rejection{"urn:uuid:{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5}", character("{", 10)},
                    // The exact-length wrappers hand their inner 36 characters on unmarked,
                    // so positions inside them count from the inner text.
                    Rejection{"{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5g}", character("g", 36)},
                    Rejection{"{3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b0000}", length(36)},
                    Rejection{"urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5g", character("g", 36)},
                    Rejection{"{{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a}}", group_length(4, 12, 10)},
                    Rejection{"{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b)", character("{", 1)},
                    // Non-ASCII: the whole UTF-8 character, or U+FFFD where the bytes do
                    // not form one; the position is in bytes.
                    Rejection{"ab\xC3\xA9", character("\xC3\xA9", 3)},
                    Rejection{"\xE2\x82\xAC-", character("\xE2\x82\xAC", 1)},
                    Rejection{"a\xF0\x9F\x98\x80", character("\xF0\x9F\x98\x80", 2)},
                    Rejection{"ab\xFF", character("\xEF\xBF\xBD", 3)},
                    Rejection{"ab\x80", character("\xEF\xBF\xBD", 3)},
                    Rejection{"ab\xC3", character("\xEF\xBF\xBD", 3)},
                    Rejection{"\xE2\x82", character("\xEF\xBF\xBD", 1)},
                    Rejection{"\xC0\x80", character("\xEF\xBF\xBD", 1)},
                    Rejection{"\xED\xA0\x80", character("\xEF\xBF\xBD", 1)},
                    Rejection{"\xF4\x90\x80\x80", character("\xEF\xBF\xBD", 1)},
                    Rejection{std::string("ab\0cd", 5), character(std::string(1, '\0'), 3)}));

// Feeds the parser exactly-sized heap copies, so that the address sanitizer
// catches any read past the input.
std::optional<std::string> accepted_text(const std::string& input) {
  auto copy = std::make_unique<char[]>(input.size());
  std::copy(input.begin(), input.end(), copy.get());
  const auto parsed = parse_uuid(std::string_view(copy.get(), input.size()));
  if (!parsed.has_value()) {
    EXPECT_FALSE(parsed.error().message.empty());
    return std::nullopt;
  }
  return to_string(*parsed);
}

void expect_round_trip(const std::string& input) {
  const auto text = accepted_text(input);
  if (!text) return;
  const auto again = parse_uuid(*text);
  ASSERT_TRUE(again.has_value()) << *text;
  EXPECT_EQ(to_string(*again), *text);
  for (const char c : *text) {
    EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-') << *text;
  }
}

TEST(UuidParserFuzz, ArbitraryBytesNeverMisbehave) {
  std::mt19937_64 rng(20240607);
  const std::string alphabet = "0123456789abcdefABCDEF-{}urn:id \x80\xC3\xFF";
  for (int round = 0; round < 20000; ++round) {
    const std::size_t len = rng() % 50;
    std::string input(len, '\0');
    const bool from_alphabet = rng() % 2 == 0;
    for (char& c : input) {
      c = from_alphabet ? alphabet[rng() % alphabet.size()] : static_cast<char>(rng() % 256);
    }
    expect_round_trip(input);
  }
}

TEST(UuidParserFuzz, MutationsOfValidFormsNeverMisbehave) {
  std::mt19937_64 rng(77);
  const std::vector<std::string> seeds = {
      "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b",
      "{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b}", "urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"};
  const std::string replacements = "0aF-{}:gz \xC3\xA9";
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string input = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !input.empty(); ++e) {
      const std::size_t at = rng() % input.size();
      switch (rng() % 3) {
        case 0:
          input[at] = replacements[rng() % replacements.size()];
          break;
        case 1:
          input.erase(at, 1);
          break;
        default:
          input.insert(at, 1, replacements[rng() % replacements.size()]);
      }
    }
    if (accepted_text(input)) ++accepted;
    expect_round_trip(input);
  }
  EXPECT_GT(accepted, 0);  // digit swaps keep some inputs valid
}

TEST(UuidGeneration, SetsVersionAndVariantKeepsTheOtherBitsRandomAndNeverRepeats) {
  constexpr int kSamples = 5000;
  std::set<std::string> seen;
  int ones[128] = {};
  for (int i = 0; i < kSamples; ++i) {
    const Uuid id = generate_uuid_v4();
    const std::string text = to_string(id);
    ASSERT_EQ(text.size(), kUuidTextLength);
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
    EXPECT_TRUE(seen.insert(text).second) << "repeated " << text;
    for (int bit = 0; bit < 128; ++bit)
      ones[bit] += (id.bytes[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1;
  }
  // Each of the 122 free bits should be set in roughly half of the identifiers.
  for (int bit = 0; bit < 128; ++bit) {
    if (bit >= 48 && bit < 52) continue;   // version
    if (bit == 64 || bit == 65) continue;  // variant
    EXPECT_GT(ones[bit], kSamples * 4 / 10) << "bit " << bit;
    EXPECT_LT(ones[bit], kSamples * 6 / 10) << "bit " << bit;
  }
}

TEST(UuidText, FormatsEveryByteValueInLowerCase) {
  Uuid id;
  for (int start = 0; start < 256; start += 16) {
    for (std::size_t i = 0; i < 16; ++i)
      id.bytes[i] = static_cast<std::uint8_t>(start + static_cast<int>(i));
    const std::string text = to_string(id);
    char expected[40];
    std::snprintf(expected, sizeof expected,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  id.bytes[0], id.bytes[1], id.bytes[2], id.bytes[3], id.bytes[4], id.bytes[5],
                  id.bytes[6], id.bytes[7], id.bytes[8], id.bytes[9], id.bytes[10], id.bytes[11],
                  id.bytes[12], id.bytes[13], id.bytes[14], id.bytes[15]);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(parse_uuid(text)->bytes, id.bytes);
  }
}

}  // namespace
}  // namespace pelnorix
