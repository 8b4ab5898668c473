// Binary64 text: shortest round-trip digits in our positional/scientific
// layout, checked on fixed rows and on millions of random values.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pelnorix/json_writer.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

std::string written(double value) {
  return test::compact([&](JsonWriter& w) { return w.double_value(value); });
}

TEST(JsonNumberText, FixedRows) {
  const std::pair<double, const char*> rows[] = {
      {1.0, "1.0"},
      {-2.5, "-2.5"},
      {100.0, "100.0"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {0.00001, "0.00001"},
      {0.000012, "0.000012"},
      {0.000001, "1e-6"},
      {1.25e-7, "1.25e-7"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-std::numeric_limits<double>::max(), "-1.7976931348623157e+308"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {123.456, "123.456"},
      {1234567890123456.7, "1234567890123456.8"},  // e = 15, digits after the point
      {8999999999999999.0, "8999999999999999.0"},  // e = 15, 16 digits
      {0.5, "0.5"},
      {1e100, "1e+100"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
  };
  for (const auto& [value, text] : rows) {
    EXPECT_EQ(written(value), text) << "value " << value;
    EXPECT_EQ(std::strtod(text, nullptr), value) << text;
  }
}

TEST(JsonNumberText, NonFiniteValuesAreWrittenAsNull) {
  for (const double value :
       {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(written(value), "null");
  }
}

// What a number text says, read back without the writer's help.
struct ParsedNumber {
  std::string digits;  // significant digits, no leading or trailing zeros
  int exponent = 0;    // decimal exponent of the first significant digit
  bool scientific = false;
};

ParsedNumber parse_number_text(std::string_view text) {
  ParsedNumber parsed;
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  const std::size_t e = text.find('e');
  parsed.scientific = e != std::string_view::npos;
  const std::string_view mantissa = text.substr(0, e);
  const std::size_t point = mantissa.find('.');
  const std::size_t whole_digits = point == std::string_view::npos ? mantissa.size() : point;
  int first_significant = -1;
  for (std::size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.') continue;
    if (first_significant < 0 && mantissa[i] == '0') continue;
    if (first_significant < 0) first_significant = static_cast<int>(i);
    parsed.digits += mantissa[i];
  }
  while (!parsed.digits.empty() && parsed.digits.back() == '0')
    parsed.digits.pop_back();
  if (first_significant < 0) return parsed;  // zero
  const auto first = static_cast<std::size_t>(first_significant);
  parsed.exponent = first < whole_digits ? static_cast<int>(whole_digits - first) - 1
                                         : -static_cast<int>(first - whole_digits);
  if (parsed.scientific) parsed.exponent += std::atoi(std::string(text.substr(e + 1)).c_str());
  return parsed;
}

std::size_t shortest_digit_count(double magnitude) {
  char text[64];
  const auto result =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  return parse_number_text({text, static_cast<std::size_t>(result.ptr - text)}).digits.size();
}

bool rounds_trip_with(double magnitude, std::size_t significant_digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*e", static_cast<int>(significant_digits) - 1, magnitude);
  return std::strtod(text, nullptr) == magnitude;
}

// Checks one value's text against every rule; returns an empty string when it
// holds, otherwise what went wrong.
std::string check_text(double value, std::string_view text) {
  const std::string owned(text);
  char* end = nullptr;
  const double back = std::strtod(owned.c_str(), &end);
  if (end != owned.c_str() + owned.size()) return "not a whole number text";
  if (std::bit_cast<std::uint64_t>(back) != std::bit_cast<std::uint64_t>(value)) {
    return "does not read back to the same bits";
  }
  const ParsedNumber parsed = parse_number_text(text);
  const double magnitude = std::fabs(value);
  if (parsed.digits.size() != shortest_digit_count(magnitude)) return "not the shortest digits";
  if (parsed.digits.size() > 1 && rounds_trip_with(magnitude, parsed.digits.size() - 1)) {
    return "one digit fewer would read back too";
  }
  const bool positional_range = parsed.exponent >= -5 && parsed.exponent <= 15;
  if (parsed.scientific == positional_range) return "wrong notation for the exponent";
  if (parsed.scientific) {
    const std::size_t e = text.find('e');
    const char sign = text[e + 1];
    if (sign != '+' && sign != '-') return "exponent sign missing";
    if (text[e + 2] == '0') return "exponent with a leading zero";
    if (text[e - 1] == '0' || text[e - 1] == '.') return "mantissa with a trailing zero or point";
  } else {
    if (text.find('.') == std::string_view::npos) return "positional text without a point";
    if (text.back() == '.') return "positional text ending in a point";
  }
  return {};
}

// Writes all values as one array (one writer, as the document writer does)
// and checks each element.
void check_all(const std::vector<double>& values) {
  JsonWriter writer = JsonWriter::compact();
  ASSERT_TRUE(writer.begin_array().ok());
  for (const double value : values)
    ASSERT_TRUE(writer.double_value(value).ok());
  ASSERT_TRUE(writer.end_array().ok());
  const std::string text(std::move(writer).take_text()->view());
  std::string_view rest = std::string_view(text).substr(1, text.size() - 2);
  for (const double value : values) {
    const std::size_t comma = rest.find(',');
    const std::string_view element = rest.substr(0, comma);
    const std::string problem = check_text(value, element);
    ASSERT_TRUE(problem.empty()) << problem << ": " << element << " for bits " << std::hex
                                 << std::bit_cast<std::uint64_t>(value);
    rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
  }
}

TEST(JsonNumberText, RandomBitPatternsAcrossTheWholeExponentRange) {
  std::mt19937_64 random(2024);
  std::vector<double> values;
  constexpr std::size_t kCount = 1'000'000;
  values.reserve(kCount);
  while (values.size() < kCount) {
    const double value = std::bit_cast<double>(random());
    if (std::isfinite(value)) values.push_back(value);
  }
  check_all(values);
}

// Random bits rarely land where positional notation applies or at its edges,
// so draw there on purpose: decimal exponents -7 to 17, subnormals, and short
// decimal fractions.
TEST(JsonNumberText, RandomValuesAroundTheNotationBoundaries) {
  std::mt19937_64 random(99);
  std::vector<double> values;
  for (int i = 0; i < 200'000; ++i) {
    const std::uint64_t mantissa = random() & ((std::uint64_t{1} << 52) - 1);
    const std::uint64_t biased_exponent = 1023 - 25 + random() % 85;  // 2^-25 .. 2^59
    values.push_back(std::bit_cast<double>((biased_exponent << 52) | mantissa));
    values.push_back(std::bit_cast<double>(random() & ((std::uint64_t{1} << 52) - 1)));
    const auto digits = static_cast<double>(random() % 100000);
    const int exponent = static_cast<int>(random() % 25) - 10;
    values.push_back(digits * std::pow(10.0, exponent));
  }
  for (int exponent = -8; exponent <= 18; ++exponent) {
    const double power = std::pow(10.0, exponent);
    values.insert(values.end(), {power, std::nextafter(power, 0.0), std::nextafter(power, 1e300),
                                 -power, 9.5 * power});
  }
  check_all(values);
}

}  // namespace
}  // namespace pelnorix
