// Layout, error reporting, integers and string escaping of JsonWriter.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "pelnorix/json_writer.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

using Ops = std::function<JsonStatus(JsonWriter&)>;
using test::compact;
using test::pretty;

// The example document: {"a":1,"b":[true,null],"c":{}}
JsonStatus example(JsonWriter& w) {
  PELNORIX_JSON_TRY(w.begin_object());
  PELNORIX_JSON_TRY(w.key("a"));
  PELNORIX_JSON_TRY(w.uint8_value(1));
  PELNORIX_JSON_TRY(w.key("b"));
  PELNORIX_JSON_TRY(w.begin_array());
  PELNORIX_JSON_TRY(w.bool_value(true));
  PELNORIX_JSON_TRY(w.null_value());
  PELNORIX_JSON_TRY(w.end_array());
  PELNORIX_JSON_TRY(w.key("c"));
  PELNORIX_JSON_TRY(w.begin_object());
  PELNORIX_JSON_TRY(w.end_object());
  return w.end_object();
}

struct LayoutCase {
  const char* name;
  Ops ops;
  const char* compact;
  const char* pretty;
};

TEST(JsonWriterLayout, ExamplesInBothLayouts) {
  const LayoutCase cases[] = {
      {"example", example, R"({"a":1,"b":[true,null],"c":{}})",
       "{\n"
       "  \"a\": 1,\n"
       "  \"b\": [\n"
       "    true,\n"
       "    null\n"
       "  ],\n"
       "  \"c\": {}\n"
       "}"},
      // Empty containers have nothing between their brackets.
      {"empty object",
       [](JsonWriter& w) {
         PELNORIX_JSON_TRY(w.begin_object());
         return w.end_object();
       },
       "{}", "{}"},
      {"empty array",
       [](JsonWriter& w) {
         PELNORIX_JSON_TRY(w.begin_array());
         return w.end_array();
       },
       "[]", "[]"},
      {"only an empty member",
       [](JsonWriter& w) {
         PELNORIX_JSON_TRY(w.begin_object());
         PELNORIX_JSON_TRY(w.key("key"));
         PELNORIX_JSON_TRY(w.begin_object());
         PELNORIX_JSON_TRY(w.end_object());
         return w.end_object();
       },
       R"({"key":{}})", "{\n  \"key\": {}\n}"},
      {"nested arrays",
       [](JsonWriter& w) {
         PELNORIX_JSON_TRY(w.begin_array());
         PELNORIX_JSON_TRY(w.begin_array());
         PELNORIX_JSON_TRY(w.begin_object());
         PELNORIX_JSON_TRY(w.key("k"));
         PELNORIX_JSON_TRY(w.string_value("v"));
         PELNORIX_JSON_TRY(w.end_object());
         PELNORIX_JSON_TRY(w.end_array());
         PELNORIX_JSON_TRY(w.begin_array());
         PELNORIX_JSON_TRY(w.end_array());
         return w.end_array();
       },
       R"([[{"k":"v"}],[]])",
       "[\n"
       "  [\n"
       "    {\n"
       "      \"k\": \"v\"\n"
       "    }\n"
       "  ],\n"
       "  []\n"
       "]"},
      {"top-level string", [](JsonWriter& w) { return w.string_value("x"); }, "\"x\"", "\"x\""},
      {"top-level null", [](JsonWriter& w) { return w.null_value(); }, "null", "null"},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(compact(c.ops), c.compact);
    EXPECT_EQ(pretty(c.ops), c.pretty);
  }
}

TEST(JsonWriterLayout, IndentUnitAndInitialLevelAreConfigurable) {
  const std::string text = test::render(JsonWriter::pretty("\t", 1), example);
  EXPECT_EQ(text,
            "{\n"
            "\t\t\"a\": 1,\n"
            "\t\t\"b\": [\n"
            "\t\t\ttrue,\n"
            "\t\t\tnull\n"
            "\t\t],\n"
            "\t\t\"c\": {}\n"
            "\t}");
}

TEST(JsonWriterLayout, AnEmptyIndentUnitBreaksLinesWithoutIndenting) {
  EXPECT_EQ(test::render(JsonWriter::pretty("", 3), example),
            "{\n\"a\": 1,\n\"b\": [\ntrue,\nnull\n],\n\"c\": {}\n}");
}

TEST(JsonWriterLayout, DeepNestingBeyondTheInlineFrames) {
  constexpr std::size_t kDepth = 100;
  const Ops deep = [](JsonWriter& w) {
    for (std::size_t i = 0; i < kDepth; ++i) {
      PELNORIX_JSON_TRY(w.begin_object());
      PELNORIX_JSON_TRY(w.key("k"));
    }
    PELNORIX_JSON_TRY(w.begin_array());
    PELNORIX_JSON_TRY(w.end_array());
    for (std::size_t i = 0; i < kDepth; ++i)
      PELNORIX_JSON_TRY(w.end_object());
    return JsonStatus();
  };
  std::string expected;
  for (std::size_t i = 0; i < kDepth; ++i)
    expected += "{\"k\":";
  expected += "[]" + std::string(kDepth, '}');
  EXPECT_EQ(compact(deep), expected);

  const auto line = [](std::size_t level, std::string_view text) {
    return "\n" + std::string(2 * level, ' ') + std::string(text);
  };
  std::string expected_pretty = "{";
  for (std::size_t level = 1; level < kDepth; ++level)
    expected_pretty += line(level, "\"k\": {");
  expected_pretty += line(kDepth, "\"k\": []");
  for (std::size_t level = kDepth; level-- > 0;)
    expected_pretty += line(level, "}");
  EXPECT_EQ(pretty(deep), expected_pretty);
}

TEST(JsonWriterLayout, OutputGrowsPastTheInitialCapacity) {
  const std::string long_text(10'000, 'x');
  const Ops many = [&](JsonWriter& w) {
    PELNORIX_JSON_TRY(w.begin_array());
    for (int i = 0; i < 100; ++i)
      PELNORIX_JSON_TRY(w.uint32_value(123456789));
    PELNORIX_JSON_TRY(w.string_value(long_text));
    return w.end_array();
  };
  std::string expected = "[";
  for (int i = 0; i < 100; ++i)
    expected += "123456789,";
  expected += "\"" + long_text + "\"]";
  EXPECT_EQ(compact(many), expected);
}

// Literal keys of up to 28 bytes are copied as a prebuilt token, longer
// ones piece by piece; both must give what key() gives.
TEST(JsonWriterLayout, LiteralKeysMatchEscapedKeys) {
  static constexpr JsonKeyLiteral kKeys[] = {"", "time_to_first_token_ms",
                                             "key_of_twenty_eight_bytes_ab",
                                             "key_of_twenty_nine_bytes_abcd", "inner/\x7f\xc3\xa9"};
  // Each key but the last holds its position as a number; the last is nested
  // in an object under the one before it.
  const auto document = [](bool literal) -> Ops {
    return [literal](JsonWriter& w) {
      const auto put_key = [&](const JsonKeyLiteral& k) {
        return literal ? w.literal_key(k) : w.key(k.text());
      };
      PELNORIX_JSON_TRY(w.begin_object());
      for (std::uint8_t i = 0; i < 3; ++i) {
        PELNORIX_JSON_TRY(put_key(kKeys[i]));
        PELNORIX_JSON_TRY(w.uint8_value(static_cast<std::uint8_t>(i + 1)));
      }
      PELNORIX_JSON_TRY(put_key(kKeys[3]));
      PELNORIX_JSON_TRY(w.begin_object());
      PELNORIX_JSON_TRY(put_key(kKeys[4]));
      PELNORIX_JSON_TRY(w.null_value());
      PELNORIX_JSON_TRY(w.end_object());
      return w.end_object();
    };
  };
  EXPECT_EQ(compact(document(true)), compact(document(false)));
  EXPECT_EQ(pretty(document(true)), pretty(document(false)));
  EXPECT_EQ(compact(document(true)),
            "{\"\":1,\"time_to_first_token_ms\":2,\"key_of_twenty_eight_bytes_ab\":3,"
            "\"key_of_twenty_nine_bytes_abcd\":{\"inner/\x7f\xc3\xa9\":null}}");
}

struct MisuseCase {
  const char* name;
  Ops valid_prefix;  // every operation here succeeds
  Ops misuse;        // this one must be refused
};

TEST(JsonWriterErrors, MisuseIsReportedWithAMessage) {
  const Ops nothing = [](JsonWriter&) { return JsonStatus(); };
  const Ops in_object = [](JsonWriter& w) { return w.begin_object(); };
  const Ops in_array = [](JsonWriter& w) { return w.begin_array(); };
  const Ops after_key = [](JsonWriter& w) {
    PELNORIX_JSON_TRY(w.begin_object());
    return w.key("k");
  };
  const Ops complete = [](JsonWriter& w) { return w.uint8_value(1); };
  const MisuseCase cases[] = {
      {"key at top level", nothing, [](JsonWriter& w) { return w.key("k"); }},
      {"key inside an array", in_array, [](JsonWriter& w) { return w.key("k"); }},
      {"key after a key", after_key, [](JsonWriter& w) { return w.key("k2"); }},
      {"literal key after a key", after_key, [](JsonWriter& w) { return w.literal_key("k2"); }},
      {"literal key inside an array", in_array, [](JsonWriter& w) { return w.literal_key("k"); }},
      {"value where a key is due", in_object, [](JsonWriter& w) { return w.null_value(); }},
      {"string where a key is due", in_object, [](JsonWriter& w) { return w.string_value("v"); }},
      {"container where a key is due", in_object, [](JsonWriter& w) { return w.begin_array(); }},
      {"closing an array as an object", in_array, [](JsonWriter& w) { return w.end_object(); }},
      {"closing an object as an array", in_object, [](JsonWriter& w) { return w.end_array(); }},
      {"closing with a value due", after_key, [](JsonWriter& w) { return w.end_object(); }},
      {"closing with nothing open", nothing, [](JsonWriter& w) { return w.end_array(); }},
      {"second top-level value", complete, [](JsonWriter& w) { return w.null_value(); }},
      {"second top-level container", complete, [](JsonWriter& w) { return w.begin_object(); }},
      {"closing after completion", complete, [](JsonWriter& w) { return w.end_object(); }},
  };
  for (const MisuseCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (JsonWriter (*make)() :
         {+[] { return JsonWriter::compact(); }, +[] { return JsonWriter::pretty(); }}) {
      JsonWriter writer = make();
      ASSERT_TRUE(c.valid_prefix(writer).ok());
      const JsonStatus status = c.misuse(writer);
      ASSERT_FALSE(status.ok());
      EXPECT_FALSE(status.error().message.empty());
    }
  }
}

TEST(JsonWriterErrors, TextIsRefusedUntilTheTopLevelValueIsComplete) {
  EXPECT_FALSE(JsonWriter::compact().take_text().has_value());
  JsonWriter open = JsonWriter::pretty();
  ASSERT_TRUE(open.begin_array().ok());
  ASSERT_TRUE(open.uint8_value(1).ok());
  const auto text = std::move(open).take_text();
  ASSERT_FALSE(text.has_value());
  EXPECT_FALSE(text.error().message.empty());
}

TEST(JsonWriterErrors, AWriterWhoseTextWasTakenRefusesMore) {
  JsonWriter writer = JsonWriter::compact();
  ASSERT_TRUE(writer.string_value("first").ok());
  EXPECT_EQ(std::move(writer).take_text()->view(), "\"first\"");
  EXPECT_FALSE(writer.string_value("second").ok());  // NOLINT: use after take_text on purpose
}

TEST(JsonWriterIntegers, PlainDecimalAtEveryWidth) {
  using Limits64 = std::numeric_limits<std::uint64_t>;
  const std::pair<Ops, const char*> cases[] = {
      {[](JsonWriter& w) { return w.uint8_value(0); }, "0"},
      {[](JsonWriter& w) { return w.uint8_value(255); }, "255"},
      {[](JsonWriter& w) { return w.uint16_value(65535); }, "65535"},
      {[](JsonWriter& w) { return w.uint32_value(4294967295U); }, "4294967295"},
      {[](JsonWriter& w) { return w.uint64_value(10); }, "10"},
      {[](JsonWriter& w) { return w.uint64_value(100); }, "100"},
      {[](JsonWriter& w) { return w.uint64_value(Limits64::max()); }, "18446744073709551615"},
      {[](JsonWriter& w) { return w.int32_value(0); }, "0"},
      {[](JsonWriter& w) { return w.int32_value(-1); }, "-1"},
      {[](JsonWriter& w) { return w.int32_value(-2147483647 - 1); }, "-2147483648"},
      {[](JsonWriter& w) { return w.int32_value(2147483647); }, "2147483647"},
  };
  for (const auto& [ops, expected] : cases)
    EXPECT_EQ(compact(ops), expected);
}

TEST(JsonWriterIntegers, AgreeWithStdToStringAcrossMagnitudes) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20'000; ++i) {
    // Shift so that every digit count from 1 to 20 is drawn.
    const std::uint64_t value = random() >> (random() % 64);
    const auto signed_value = static_cast<std::int32_t>(static_cast<std::uint32_t>(random()));
    EXPECT_EQ(compact([&](JsonWriter& w) { return w.uint64_value(value); }), std::to_string(value));
    EXPECT_EQ(compact([&](JsonWriter& w) { return w.int32_value(signed_value); }),
              std::to_string(signed_value));
  }
}

// The escaping rules restated independently of the writer's table.
std::string reference_escape(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string written_string(std::string_view text) {
  return compact([&](JsonWriter& w) { return w.string_value(text); });
}

TEST(JsonWriterStrings, EveryByteIsEscapedByTheTable) {
  for (int byte = 0; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    const std::string text(1, static_cast<char>(byte));
    EXPECT_EQ(written_string(text), reference_escape(text));
  }
  // Pinned without the reference: lower-case hex, DEL and '/' left as they
  // are, the short escapes, and the empty string.
  EXPECT_EQ(written_string(std::string_view("\x00\x1b\x1f\x7f", 4)),
            "\"\\u0000\\u001b\\u001f\x7f\"");
  EXPECT_EQ(written_string("\t\r\f\b/"), R"("\t\r\f\b/")");
  EXPECT_EQ(written_string(""), R"("")");
}

TEST(JsonWriterStrings, KeysAreEscapedLikeValues) {
  const std::string text = compact([](JsonWriter& w) {
    PELNORIX_JSON_TRY(w.begin_object());
    PELNORIX_JSON_TRY(w.key("a\"b\n"));
    PELNORIX_JSON_TRY(w.bool_value(false));
    return w.end_object();
  });
  EXPECT_EQ(text, R"({"a\"b\n":false})");
}

// The scan tests sixteen bytes at a time, then eight, then the padded last
// bytes: every special byte must be found at every offset within and across
// those blocks, also next to bytes >= 0x80.
TEST(JsonWriterStrings, SpecialBytesAreFoundAtEveryOffset) {
  const char specials[] = {'"', '\\', '\n', '\x00', '\x1f', '\x01'};
  const char fillers[] = {'a', '\x80', '\xff', '\x20', '\x21', '\x5b', '\x5d'};
  for (const char filler : fillers) {
    for (const char special : specials) {
      for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
          std::string text(length, filler);
          text[at] = special;
          ASSERT_EQ(written_string(text), reference_escape(text))
              << "filler " << int(filler) << " special " << int(special) << " at " << at;
        }
      }
    }
  }
}

// Long texts are scanned 64 bytes at a time: a special byte must be found at
// every offset of such a block and of the blocks and words after it, and
// escapes that outgrow the output's room on the way must keep what precedes.
TEST(JsonWriterStrings, SpecialBytesAreFoundInLongTexts) {
  const std::size_t lengths[] = {63, 64, 65, 80, 127, 128, 129, 200};
  for (const std::size_t length : lengths) {
    for (std::size_t at = 0; at < length; ++at) {
      for (const char special : {'"', '\\', '\x1f'}) {
        std::string text(length, 'a');
        text[at] = special;
        ASSERT_EQ(written_string(text), reference_escape(text)) << length << " at " << at;
      }
    }
  }
  std::string dense;
  for (int i = 0; i < 5'000; ++i)
    dense += i % 3 == 0 ? std::string(70, 'b') : std::string("\"\x01");
  EXPECT_EQ(written_string(dense), reference_escape(dense));
}

TEST(JsonWriterStrings, RandomTextMatchesTheReferenceEscaper) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 2'000; ++i) {
    std::string text(random() % 200, '\0');
    const bool sparse = i % 2 == 0;  // mostly plain text, or mostly escapes
    for (char& c : text) {
      const std::uint64_t draw = random();
      c = static_cast<char>(sparse && draw % 16 != 0 ? 'a' + draw % 26 : (draw >> 8) & 0xFF);
    }
    ASSERT_EQ(written_string(text), reference_escape(text));
  }
}

TEST(JsonWriterStrings, FormattedStringEscapesEachFragmentWithinOneString) {
  const std::string text = compact([](JsonWriter& w) {
    PELNORIX_JSON_TRY(w.begin_array());
    PELNORIX_JSON_TRY(w.formatted_string([](JsonStringFragments& s) {
      s.append("2024-");
      s.append("\"q\"");
      s.append("");
      s.append("\n");
    }));
    PELNORIX_JSON_TRY(w.formatted_string([](JsonStringFragments&) {}));
    return w.end_array();
  });
  EXPECT_EQ(text, R"(["2024-\"q\"\n",""])");
}

}  // namespace
}  // namespace pelnorix
