// A text that may be absent, one pointer wide.
//
// The records carry several texts that are usually absent (an action's
// arguments, result, HTTP method, file operation; a span's response and error
// message) and are held in memory until exported. As std::optional<std::string>
// each of them costs 40 bytes whether present or not; here an absent text is a
// null pointer and a present one a single heap block holding its length and
// bytes, so it costs the same one allocation as a heap std::string.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace pelnorix {

class OptionalText {
 public:
  OptionalText() noexcept = default;
  OptionalText(std::nullopt_t) noexcept {}  // NOLINT: as std::optional
  // Implicit, as std::optional<std::string> is from a text. Throws
  // std::bad_alloc, or std::length_error for a text too long to hold.
  OptionalText(std::string_view text) : block_(make_block(text)) {}                // NOLINT
  OptionalText(const std::string& text) : OptionalText(std::string_view(text)) {}  // NOLINT
  OptionalText(const char* text) : OptionalText(std::string_view(text)) {}         // NOLINT

  OptionalText(const OptionalText& other)
      : block_(other.block_ == nullptr ? nullptr : make_block(*other)) {}
  OptionalText(OptionalText&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  ~OptionalText() { free_block(block_); }

  // Every assignment that copies makes the new block before it lets go of the
  // old one: a failure leaves the text as it was, and assigning a view of the
  // text itself is safe.
  OptionalText& operator=(const OptionalText& other) {
    if (this != &other) replace(other.block_ == nullptr ? nullptr : make_block(*other));
    return *this;
  }
  OptionalText& operator=(OptionalText&& other) noexcept {
    if (this != &other) replace(std::exchange(other.block_, nullptr));
    return *this;
  }
  OptionalText& operator=(std::nullopt_t) noexcept {
    reset();
    return *this;
  }
  OptionalText& operator=(std::string_view text) {
    replace(make_block(text));
    return *this;
  }
  OptionalText& operator=(const std::string& text) { return *this = std::string_view(text); }
  OptionalText& operator=(const char* text) { return *this = std::string_view(text); }

  std::string_view emplace(std::string_view text) {
    *this = text;
    return **this;
  }
  void reset() noexcept { replace(nullptr); }

  bool has_value() const noexcept { return block_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }

  // The text; only when present.
  std::string_view operator*() const noexcept {
    std::size_t size;
    std::memcpy(&size, block_, sizeof size);
    return {block_ + kHeader, size};
  }
  // The text; throws std::bad_optional_access when absent.
  std::string_view value() const {
    if (block_ == nullptr) throw std::bad_optional_access();
    return **this;
  }
  // The text, or an empty view when absent.
  std::string_view view() const noexcept { return block_ == nullptr ? std::string_view() : **this; }

  friend bool operator==(const OptionalText& a, const OptionalText& b) noexcept {
    return a.has_value() == b.has_value() && (!a || *a == *b);
  }
  friend bool operator==(const OptionalText& a, std::nullopt_t) noexcept { return !a; }
  // A text compares equal only to a present text with the same bytes.
  friend bool operator==(const OptionalText& a, std::string_view b) noexcept {
    return a && *a == b;
  }
  friend bool operator==(const OptionalText& a, const std::string& b) noexcept {
    return a == std::string_view(b);
  }
  friend bool operator==(const OptionalText& a, const char* b) noexcept {
    return a == std::string_view(b);
  }
  // Against the optional texts it stands in for, and the views the reader
  // gives: absent equals absent. Not templates, so that they, and not
  // std::optional's own comparison with any value (which would call an absent
  // text unequal to an empty optional), are chosen in either order.
  friend bool operator==(const OptionalText& a, const std::optional<std::string_view>& b) noexcept {
    return b ? a == *b : !a;
  }
  friend bool operator==(const OptionalText& a, const std::optional<std::string>& b) noexcept {
    return b ? a == std::string_view(*b) : !a;
  }

 private:
  static constexpr std::size_t kHeader = sizeof(std::size_t);

  static char* make_block(std::string_view text);
  static void free_block(char* block) noexcept {
    if (block != nullptr) ::operator delete(block);
  }
  void replace(char* block) noexcept {
    free_block(block_);
    block_ = block;
  }

  // Null when absent; otherwise the length (a std::size_t, read and written
  // through memcpy so that the block stays plain bytes) followed by that many
  // bytes, with no terminator: every reader takes a view.
  char* block_ = nullptr;
};

static_assert(sizeof(OptionalText) == sizeof(void*));

}  // namespace pelnorix
