#include "pelnorix/json_writer.hpp"

#include <algorithm>
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

void JsonWriter::put(std::string_view bytes) {
  std::memcpy(reserve_tail(bytes.size()), bytes.data(), bytes.size());
  commit(bytes.size());
}

void JsonWriter::write_line_break_and_indent(std::size_t level) {
  const std::size_t unit = indent_unit_.size();
  char* out = reserve_tail(1 + level * unit);
  *out++ = '\n';
  for (std::size_t i = 0; i < level; ++i, out += unit)
    std::memcpy(out, indent_unit_.data(), unit);
  commit(1 + level * unit);
}

void JsonWriter::begin_member(std::uint8_t& frame) {
  if ((frame & NestingStack::kHasMember) != 0) put_char(',');
  frame |= NestingStack::kHasMember;
  if (pretty_) write_line_break_and_indent(initial_level_ + open_.size());
}

JsonStatus JsonWriter::before_value() {
  if (open_.empty()) {
    if (complete_) return JsonStatus::failure("a JSON text holds only one top-level value");
    return {};
  }
  std::uint8_t& frame = open_.top();
  if ((frame & NestingStack::kObject) != 0) {
    if (!key_pending_) return JsonStatus::failure("a value inside an object needs a key first");
    key_pending_ = false;  // the key already wrote the separator
    return {};
  }
  begin_member(frame);
  return {};
}

JsonStatus JsonWriter::key(std::string_view name) {
  if (open_.empty() || (open_.top() & NestingStack::kObject) == 0) {
    return JsonStatus::failure("a key is valid only directly inside an object");
  }
  if (key_pending_) return JsonStatus::failure("a key cannot follow a key; a value is due");
  begin_member(open_.top());
  put_char('"');
  write_escaped(name);
  put(pretty_ ? std::string_view("\": ") : std::string_view("\":"));
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
  // Room for the rest of the input copied as it is, plus one word of slack;
  // an escape makes more room for itself. So every word can be stored whole
  // as soon as it is tested, and plain text costs one pass, not a scan and a
  // copy.
  char* out = reserve_tail(text.size() + kWordBytes);
  for (;;) {
    std::size_t remaining = static_cast<std::size_t>(end - in);
    std::uint64_t word;
    if (remaining >= kWordBytes) {
      word = load_word(in);
    } else if (remaining != 0) {
      word = tail_word(end, remaining, text.size() >= kWordBytes);
    } else {
      break;
    }
    store_word(out, word);
    const std::uint64_t marks = escape_marks(word);
    if (marks == 0) {
      const std::size_t plain = std::min(remaining, kWordBytes);
      in += plain;
      out += plain;
      continue;
    }
    const std::size_t plain = first_marked_byte(marks);
    in += plain;
    out += plain;
    remaining -= plain;
    commit(static_cast<std::size_t>(out - (buffer_.data() + length_)));
    out = reserve_tail(remaining + kMaxEscapeLength + kWordBytes);
    out += write_escape(*in++, out);
  }
  commit(static_cast<std::size_t>(out - (buffer_.data() + length_)));
}

Expected<std::string, JsonError> JsonWriter::take_text() && {
  if (!complete_) {
    return Unexpected{JsonError{"the top-level value is not complete"}};
  }
  buffer_.resize(length_);
  return std::move(buffer_);
}

}  // namespace pelnorix
