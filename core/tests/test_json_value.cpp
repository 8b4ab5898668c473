// The generic value tree: key order, replacement, non-finite numbers, writing.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

#include "pelnorix/json_value.hpp"
#include "pelnorix/json_writer.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

std::string written(const JsonValue& value, JsonWriter writer = JsonWriter::compact()) {
  return test::render(std::move(writer), [&](JsonWriter& w) { return w.json_value(value); });
}

TEST(JsonValueObject, KeepsKeysInAscendingByteOrderWhateverTheInsertionOrder) {
  JsonObject object;
  // Bytes >= 0x80 sort after ASCII (unsigned order), upper case before lower.
  for (const char* key : {"\xc3\xa9", "b", "", "B", "a", "ab", "\x7f"}) {
    object.insert_or_assign(key, JsonValue(key));
  }
  std::string order;
  for (const JsonObject::Member& member : object)
    order += "[" + member.key + "]";
  EXPECT_EQ(order, "[][B][a][ab][b][\x7f][\xc3\xa9]");
}

TEST(JsonValueObject, InsertingAPresentKeyReplacesItsValue) {
  JsonObject object;
  object.insert_or_assign("k", true);
  object.insert_or_assign("other", nullptr);
  object.insert_or_assign("k", "second");
  ASSERT_EQ(object.size(), 2U);
  ASSERT_NE(object.find("k"), nullptr);
  EXPECT_EQ(object.find("k")->as_string(), "second");
  EXPECT_EQ(object.find("missing"), nullptr);
}

TEST(JsonValueNumber, NonFiniteNumbersBecomeNull) {
  EXPECT_TRUE(JsonValue::number(std::numeric_limits<double>::quiet_NaN()).is_null());
  EXPECT_TRUE(JsonValue::number(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue::number(-std::numeric_limits<double>::infinity()).is_null());
  EXPECT_EQ(JsonValue::number(-0.0).kind(), JsonValue::Kind::Number);
  EXPECT_EQ(JsonValue::number(0.25).as_number(), 0.25);
}

TEST(JsonValueText, AStringLiteralIsAStringNotABoolean) {
  EXPECT_EQ(JsonValue("text").kind(), JsonValue::Kind::String);
  EXPECT_EQ(JsonValue(true).kind(), JsonValue::Kind::Boolean);
}

TEST(JsonValueWriting, TreesWriteInBothLayouts) {
  JsonObject inner;
  inner.insert_or_assign("z", JsonValue::number(1.5));
  inner.insert_or_assign("a", JsonArray{});
  JsonObject outer;
  outer.insert_or_assign("list", JsonArray{nullptr, false, JsonValue::number(-0.0), "s"});
  outer.insert_or_assign("inner", std::move(inner));
  outer.insert_or_assign("empty", JsonObject{});
  const JsonValue tree(std::move(outer));

  EXPECT_EQ(written(tree), R"({"empty":{},"inner":{"a":[],"z":1.5},"list":[null,false,-0.0,"s"]})");
  EXPECT_EQ(written(tree, JsonWriter::pretty()),
            "{\n"
            "  \"empty\": {},\n"
            "  \"inner\": {\n"
            "    \"a\": [],\n"
            "    \"z\": 1.5\n"
            "  },\n"
            "  \"list\": [\n"
            "    null,\n"
            "    false,\n"
            "    -0.0,\n"
            "    \"s\"\n"
            "  ]\n"
            "}");
}

TEST(JsonValueWriting, AValueInsideAnOpenObjectStillNeedsItsKey) {
  JsonWriter writer = JsonWriter::compact();
  ASSERT_TRUE(writer.begin_object().ok());
  EXPECT_FALSE(writer.json_value(JsonValue(JsonArray{})).ok());
}

}  // namespace
}  // namespace pelnorix
