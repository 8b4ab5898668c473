// A generic JSON value tree, for records whose written form is easier to
// build than to stream (the finding summaries, whose keys come in sorted
// order). Objects keep their members in ascending byte order of the keys.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pelnorix {

class JsonValue;

using JsonArray = std::vector<JsonValue>;

class JsonObject {
 public:
  struct Member;

  // Inserts the member at its place in key order, or replaces the value of a
  // present key.
  void insert_or_assign(std::string key, JsonValue value);

  // The value stored under `key`, or nullptr.
  const JsonValue* find(std::string_view key) const noexcept;

  // Defined below, where Member is complete (as every compiler needs it to be).
  std::size_t size() const noexcept;
  bool empty() const noexcept;
  std::vector<Member>::const_iterator begin() const noexcept;
  std::vector<Member>::const_iterator end() const noexcept;

 private:
  std::vector<Member> members_;  // sorted by key, each key once
};

class JsonValue {
 public:
  enum class Kind { Null, Boolean, Number, String, Array, Object };

  // Defined below, where JsonObject::Member is complete.
  JsonValue() noexcept;
  JsonValue(std::nullptr_t) noexcept;  // NOLINT
  JsonValue(bool value) noexcept;      // NOLINT
  JsonValue(std::string text);         // NOLINT
  JsonValue(const char* text);         // NOLINT: not bool
  JsonValue(JsonArray elements);       // NOLINT
  JsonValue(JsonObject members);       // NOLINT

  // A number when finite; NaN and infinities have no JSON form and become null.
  static JsonValue number(double value) noexcept;

  Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }
  bool is_null() const noexcept { return kind() == Kind::Null; }

  // Each accessor requires the matching kind.
  bool as_bool() const { return std::get<bool>(data_); }
  double as_number() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  const JsonArray& as_array() const { return std::get<JsonArray>(data_); }
  const JsonObject& as_object() const { return std::get<JsonObject>(data_); }

 private:
  // Alternatives in the order of Kind.
  std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> data_;
};

struct JsonObject::Member {
  std::string key;
  JsonValue value;
};

inline JsonValue::JsonValue() noexcept = default;
inline JsonValue::JsonValue(std::nullptr_t) noexcept {}
inline JsonValue::JsonValue(bool value) noexcept : data_(value) {}
inline JsonValue::JsonValue(std::string text) : data_(std::move(text)) {}
inline JsonValue::JsonValue(const char* text) : data_(std::string(text)) {}
inline JsonValue::JsonValue(JsonArray elements) : data_(std::move(elements)) {}
inline JsonValue::JsonValue(JsonObject members) : data_(std::move(members)) {}

inline std::size_t JsonObject::size() const noexcept {
  return members_.size();
}
inline bool JsonObject::empty() const noexcept {
  return members_.empty();
}
inline std::vector<JsonObject::Member>::const_iterator JsonObject::begin() const noexcept {
  return members_.begin();
}
inline std::vector<JsonObject::Member>::const_iterator JsonObject::end() const noexcept {
  return members_.end();
}

}  // namespace pelnorix
