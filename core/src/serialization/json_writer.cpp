#include "pelnorix/json_writer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

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
  grow(kInitialCapacity);
  if (pretty_) ensure_line_start(kShortCopy);
}

void JsonWriter::grow(std::size_t count) {
  const std::size_t needed = length_ + count;
  // Doubling keeps appends amortised constant.
  const std::size_t capacity = std::max({capacity_ * 2, needed, kInitialCapacity});
  void* grown = std::realloc(buffer_.get(), capacity);
  if (grown == nullptr) throw std::bad_alloc();  // the old block is still ours, unchanged
  (void)buffer_.release();
  buffer_.reset(static_cast<char*>(grown));
  capacity_ = capacity;
}

void JsonWriter::ensure_line_start(std::size_t length) {
  length = std::max(length, kShortCopy);
  if (own_line_start_.empty() && indent_unit_ == "  " && length <= kTwoSpaceLines.size()) return;
  if (own_line_start_.size() >= length) return;
  // Twice the length asked for, so that nesting deeper step by step rebuilds
  // the text only a few times.
  std::string line = "\n";
  if (indent_unit_.empty()) {
    line.resize(2 * length, ' ');  // every line is the line break alone
  } else {
    while (line.size() < 2 * length)
      line += indent_unit_;
  }
  own_line_start_ = std::move(line);
}

void JsonWriter::write_line_break_and_indent(std::size_t level) {
  const std::size_t line = 1 + level * indent_unit_.size();
  if (line <= kShortCopy) {
    std::memcpy(reserve_tail(kShortCopy), line_start(), kShortCopy);
  } else {
    ensure_line_start(line);
    std::memcpy(reserve_tail(line), line_start(), line);
  }
  commit(line);
}

char* JsonWriter::begin_member_on_long_line(std::size_t comma, std::size_t line, std::size_t room) {
  ensure_line_start(line);
  char* out = reserve_tail(1 + line + room);
  out[0] = ',';
  std::memcpy(out + comma, line_start(), line);
  commit(comma + line);
  return out + comma + line;
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
  begin_member(frame, 0);
  return {};
}

JsonStatus JsonWriter::misplaced_key() const {
  if (key_pending_) return JsonStatus::failure("a key cannot follow a key; a value is due");
  return JsonStatus::failure("a key is valid only directly inside an object");
}

JsonStatus JsonWriter::key(std::string_view name) {
  if (!key_position_ok()) return misplaced_key();
  begin_member(open_.top(), 0);
  write_quoted(name);
  *reserve_tail(2) = ':';
  commit(1);
  if (pretty_) put_char(' ');
  key_pending_ = true;
  return {};
}

JsonStatus JsonWriter::long_literal_key(const JsonKeyLiteral& name) {
  const std::size_t length = name.text().size();
  char* out = begin_member(open_.top(), length + 4);
  out[0] = '"';
  std::memcpy(out + 1, name.text().data(), length);
  std::memcpy(out + 1 + length, "\": ", 3);
  commit(length + (pretty_ ? 4 : 3));
  key_pending_ = true;
  return {};
}

JsonStatus JsonWriter::open_container(std::uint8_t frame, char bracket) {
  PELNORIX_JSON_TRY(before_value());
  open_.push(frame);
  line_length_ = line_length_at(open_.size());
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
  line_length_ = line_length_at(open_.size());
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

void JsonWriter::write_quoted(std::string_view text) {
  char* out = reserve_tail(text.size() + 2 + json_detail::kEscapeSlack);
  *out++ = '"';
  out = escape_into(text, out);
  *out++ = '"';
  commit(static_cast<std::size_t>(out - (buffer_.get() + length_)));
}

void JsonWriter::write_escaped(std::string_view text) {
  char* const out = escape_into(text, reserve_tail(text.size() + json_detail::kEscapeSlack));
  commit(static_cast<std::size_t>(out - (buffer_.get() + length_)));
}

char* JsonWriter::escape_into(std::string_view text, char* out) {
  using namespace json_detail;
  const char* in = text.data();
  const char* const end = in + text.size();
  // The room made by the caller holds the rest of the input copied as it is,
  // plus the slack; an escape makes more room for itself. So every block or
  // word can be stored whole as soon as it is tested, and plain text costs
  // one pass, not a scan and a copy.
  const bool look_back = text.size() >= kWordBytes;
  for (;;) {
    const std::size_t plain = copy_plain_run(in, end, out, look_back);
    in += plain;
    out += plain;
    if (in == end) return out;
    // An escape: make room for it and for the rest, whose copy starts again
    // after it.
    const auto needed = static_cast<std::size_t>(end - in) - 1 + kMaxEscapeLength + kEscapeSlack;
    if (static_cast<std::size_t>(buffer_.get() + capacity_ - out) < needed) {
      // Growing keeps only the committed output: commit what is written.
      commit(static_cast<std::size_t>(out - (buffer_.get() + length_)));
      out = reserve_tail(needed);
    }
    out += write_escape(*in++, out);
  }
}

Expected<JsonText, JsonError> JsonWriter::take_text() && {
  if (!complete_) {
    return Unexpected{JsonError{"the top-level value is not complete"}};
  }
  JsonText text(std::move(buffer_), length_);
  capacity_ = 0;
  length_ = 0;
  return text;
}

}  // namespace pelnorix
