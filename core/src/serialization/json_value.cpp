#include "pelnorix/json_value.hpp"

#include <algorithm>
#include <cmath>

#include "pelnorix/json_writer.hpp"

namespace pelnorix {
namespace {

// std::string compares through char_traits<char>::compare, which is memcmp:
// unsigned byte order, whatever the signedness of char.
bool key_less(const JsonObject::Member& member, std::string_view key) noexcept {
  return std::string_view(member.key) < key;
}

}  // namespace

JsonValue JsonValue::number(double value) noexcept {
  JsonValue result;
  if (std::isfinite(value)) result.data_ = value;
  return result;
}

void JsonObject::insert_or_assign(std::string key, JsonValue value) {
  const auto place = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  if (place != members_.end() && place->key == key) {
    place->value = std::move(value);
  } else {
    members_.insert(place, Member{std::move(key), std::move(value)});
  }
}

const JsonValue* JsonObject::find(std::string_view key) const noexcept {
  const auto place = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  return place != members_.end() && place->key == key ? &place->value : nullptr;
}

// Part of the writer, kept here so that the writer itself does not depend on
// the value tree.
JsonStatus JsonWriter::json_value(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::Null:
      return null_value();
    case JsonValue::Kind::Boolean:
      return bool_value(value.as_bool());
    case JsonValue::Kind::Number:
      return double_value(value.as_number());
    case JsonValue::Kind::String:
      return string_value(value.as_string());
    case JsonValue::Kind::Array:
      PELNORIX_JSON_TRY(begin_array());
      for (const JsonValue& element : value.as_array())
        PELNORIX_JSON_TRY(json_value(element));
      return end_array();
    case JsonValue::Kind::Object:
      PELNORIX_JSON_TRY(begin_object());
      for (const JsonObject::Member& member : value.as_object()) {
        PELNORIX_JSON_TRY(key(member.key));
        PELNORIX_JSON_TRY(json_value(member.value));
      }
      return end_object();
  }
  return JsonStatus::failure("unknown JSON value kind");
}

}  // namespace pelnorix
