#include "pelnorix/json_writer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "json_escape.hpp"
#include "json_number.hpp"

namespace pelnorix {

void JsonWriter::NestingStack::push(std::uint8_t frame) {
  if (size_ < kInline) {
    inline_[size_] = frame;
  } else {
    spill_.push_back(frame);
  }
  ++size_;
}

void JsonWriter::NestingStack::pop() noexcept {
  if (size_ > kInline) spill_.pop_back();
  --size_;
}

JsonWriter::JsonWriter(bool pretty, std::string indent_unit, std::size_t initial_level)
    : pretty_(pretty), indent_unit_(std::move(indent_unit)), initial_level_(initial_level) {
  buffer_.resize(kInitialCapacity);
}

void JsonWriter::grow(std::size_t count) {
  // Doubling keeps appends amortised constant; the zero fill of the new room
  // costs no more than the copy that the reallocation does anyway.
  buffer_.resize(std::max(buffer_.size() * 2, length_ + count));
}

void JsonWriter::write_line_break_and_indent(std::size_t level) {
  const std::size_t unit = indent_unit_.size();
  char* out = reserve_tail(1 + level * unit);
  *out++ = '\n';
  for (std::size_t i = 0; i < level; ++i, out += unit)
    std::memcpy(out, indent_unit_.data(), unit);
  commit(1 + level * unit);
}

JsonStatus JsonWriter::before_value_elsewhere() {
  if (open_.empty()) {
    if (complete_) return JsonStatus::failure("a JSON text holds only one top-level value");
    return {};
  }
  std::uint8_t& frame = open_.top();
  if ((frame & NestingStack::kObject) != 0) {
    return JsonStatus::failure("a value inside an object needs a key first");
  }
  begin_member(frame);
  return {};
}

JsonStatus JsonWriter::misplaced_key() const {
  if (key_pending_) return JsonStatus::failure("a key cannot follow a key; a value is due");
  return JsonStatus::failure("a key is valid only directly inside an object");
}

JsonStatus JsonWriter::key(std::string_view name) {
  PELNORIX_JSON_TRY(check_key_position());
  begin_member(open_.top());
  put_char('"');
  write_escaped(name);
  put(pretty_ ? std::string_view("\": ") : std::string_view("\":"));
  key_pending_ = true;
  return {};
}

JsonStatus JsonWriter::literal_key(JsonKeyLiteral name) {
  PELNORIX_JSON_TRY(check_key_position());
  begin_member(open_.top());
  const std::size_t length = name.text().size();
  // The compact layout takes the token without its final space.
  const std::size_t token_length = length + (pretty_ ? 4 : 3);
  if (name.has_token()) {
    std::memcpy(reserve_tail(JsonKeyLiteral::kTokenBytes), name.token().data(),
                JsonKeyLiteral::kTokenBytes);
  } else {
    char* out = reserve_tail(length + 4);
    out[0] = '"';
    std::memcpy(out + 1, name.text().data(), length);
    std::memcpy(out + 1 + length, "\": ", 3);
  }
  commit(token_length);
  key_pending_ = true;
  return {};
}

JsonStatus JsonWriter::open_container(std::uint8_t frame, char bracket) {
  PELNORIX_JSON_TRY(before_value());
  open_.push(frame);
  put_char(bracket);
  return {};
}

JsonStatus JsonWriter::close_container(std::uint8_t frame, char bracket) {
  if (open_.empty() || (open_.top() & NestingStack::kObject) != frame) {
    return JsonStatus::failure(bracket == '}' ? "no object is open to be closed"
                                              : "no array is open to be closed");
  }
  if (key_pending_) return JsonStatus::failure("an object cannot close while a value is due");
  const bool had_member = (open_.top() & NestingStack::kHasMember) != 0;
  open_.pop();
  if (pretty_ && had_member) write_line_break_and_indent(initial_level_ + open_.size());
  put_char(bracket);
  after_value();
  return {};
}

JsonStatus JsonWriter::begin_object() {
  return open_container(NestingStack::kObject, '{');
}
JsonStatus JsonWriter::end_object() {
  return close_container(NestingStack::kObject, '}');
}
JsonStatus JsonWriter::begin_array() {
  return open_container(0, '[');
}
JsonStatus JsonWriter::end_array() {
  return close_container(0, ']');
}

JsonStatus JsonWriter::null_value() {
  PELNORIX_JSON_TRY(before_value());
  put("null");
  after_value();
  return {};
}

JsonStatus JsonWriter::bool_value(bool value) {
  PELNORIX_JSON_TRY(before_value());
  put(value ? std::string_view("true") : std::string_view("false"));
  after_value();
  return {};
}

JsonStatus JsonWriter::uint64_value(std::uint64_t value) {
  PELNORIX_JSON_TRY(before_value());
  commit(json_detail::format_uint64(value, reserve_tail(json_detail::kMaxUint64Digits)));
  after_value();
  return {};
}

JsonStatus JsonWriter::int32_value(std::int32_t value) {
  PELNORIX_JSON_TRY(before_value());
  commit(json_detail::format_int32(value, reserve_tail(json_detail::kMaxInt32Chars)));
  after_value();
  return {};
}

JsonStatus JsonWriter::double_value(double value) {
  if (!std::isfinite(value)) return null_value();
  PELNORIX_JSON_TRY(before_value());
  commit(json_detail::format_double(value, reserve_tail(json_detail::kMaxDoubleChars)));
  after_value();
  return {};
}

JsonStatus JsonWriter::string_value(std::string_view text) {
  PELNORIX_JSON_TRY(before_value());
  put_char('"');
  write_escaped(text);
  put_char('"');
  after_value();
  return {};
}

void JsonWriter::write_escaped(std::string_view text) {
  using namespace json_detail;
  const char* in = text.data();
  const char* const end = in + text.size();
  // Room for the rest of the input copied as it is, plus one block of slack;
  // an escape makes more room for itself. So every block or word can be
  // stored whole as soon as it is tested, and plain text costs one pass, not
  // a scan and a copy.
  constexpr std::size_t kSlack = kBlockBytes;
  char* out = reserve_tail(text.size() + kSlack);
  for (;;) {
    std::size_t remaining = static_cast<std::size_t>(end - in);
    std::size_t plain = 0;
    bool escape = false;
    if (kHasBlockScan && remaining >= kBlockBytes) {
      const unsigned marks = copy_block_and_mark(in, out);
      escape = marks != 0;
      plain = escape ? static_cast<std::size_t>(std::countr_zero(marks)) : kBlockBytes;
    } else if (remaining != 0) {
      // Whole words, then the last bytes padded to a word.
      const std::uint64_t word = remaining >= kWordBytes
                                     ? load_word(in)
                                     : tail_word(end, remaining, text.size() >= kWordBytes);
      store_word(out, word);
      const std::uint64_t marks = escape_marks(word);
      escape = marks != 0;
      plain = escape ? first_marked_byte(marks) : std::min(remaining, kWordBytes);
    } else {
      break;
    }
    in += plain;
    out += plain;
    if (!escape) continue;
    remaining -= plain;
    commit(static_cast<std::size_t>(out - (buffer_.data() + length_)));
    out = reserve_tail(remaining + kMaxEscapeLength + kSlack);
    out += write_escape(*in++, out);
  }
  commit(static_cast<std::size_t>(out - (buffer_.data() + length_)));
}

Expected<std::string, JsonError> JsonWriter::take_text() && {
  if (!complete_) {
    return Unexpected{JsonError{"the top-level value is not complete"}};
  }
  buffer_.resize(length_);
  std::string text = std::move(buffer_);
  buffer_.clear();
  length_ = 0;
  return text;
}

}  // namespace pelnorix
