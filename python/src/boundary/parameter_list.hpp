// A callable's parameter list as Python writes it ("error, status_code" or
// "action_type, name, *, arguments"), read at compile time together with the
// parameter types of its operation: the names, which are keyword-only (after
// "*") or positional-only (before "/"), which are required (every parameter
// whose type is not std::optional) and the text signature.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "boundary/description.hpp"

namespace pelnorix::python {

// A string literal as a template argument.
template <std::size_t N>
struct FixedText {
  char chars[N]{};
  // Implicit, so that a literal is written as it is: method<"set_prompt", ...>.
  constexpr FixedText(const char (&text)[N]) noexcept {  // NOLINT(google-explicit-constructor)
    std::copy_n(text, N, chars);
  }
};

// The characters of a FixedText argument as an ordinary constant, and the
// text they hold. Under -fsanitize=undefined GCC 12 cannot tell at compile
// time that a pointer into such a constant is not null, so compile-time code
// avoids the library calls that test it (string_view::find, std::string's
// constructor and append from a pointer): see append_text.
template <FixedText Text>
inline constexpr auto kTextChars = [] {
  std::array<char, sizeof(Text.chars)> chars{};
  for (std::size_t i = 0; i < chars.size(); ++i)
    chars[i] = Text.chars[i];
  return chars;
}();

template <FixedText Text>
constexpr std::string_view text_of() noexcept {
  return {kTextChars<Text>.data(), kTextChars<Text>.size() - 1};
}

// The text `Build::text()` (a std::string made at compile time) in static
// storage, with its terminating null, for the interpreter's tables.
template <typename Build>
inline constexpr auto kStaticText = [] {
  constexpr std::size_t size = Build::text().size();
  std::array<char, size + 1> chars{};
  const std::string text = Build::text();
  std::copy(text.begin(), text.end(), chars.begin());
  return chars;
}();

// Appends character by character, which tests no pointer (see kTextChars).
constexpr void append_text(std::string& text, std::string_view part) {
  for (char c : part)
    text.push_back(c);
}

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

namespace parameter_text {

constexpr std::string_view trimmed(std::string_view text) noexcept {
  while (!text.empty() && text.front() == ' ')
    text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ')
    text.remove_suffix(1);
  return text;
}

constexpr std::size_t entry_count(std::string_view list) noexcept {
  if (trimmed(list).empty()) return 0;
  return static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
}

template <std::size_t N>
constexpr std::array<std::string_view, N> entries(std::string_view list) noexcept {
  std::array<std::string_view, N> split{};
  // By index rather than with find, whose null test of the pointer it finds
  // is not a constant expression under GCC 12's -fsanitize=undefined.
  for (std::string_view& entry : split) {
    std::size_t comma = 0;
    while (comma < list.size() && list[comma] != ',')
      ++comma;
    entry = trimmed(list.substr(0, comma));
    list = comma < list.size() ? list.substr(comma + 1) : std::string_view();
  }
  return split;
}

constexpr bool is_name(std::string_view entry) noexcept {
  if (entry.empty() || (entry.front() >= '0' && entry.front() <= '9')) return false;
  return std::all_of(entry.begin(), entry.end(), [](char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

}  // namespace parameter_text

// `List` names the parameters whose types are `Types...`, in order.
template <FixedText List, typename... Types>
struct ParameterList {
 private:
  static constexpr std::size_t kEntryCount = parameter_text::entry_count(text_of<List>());
  static constexpr auto kEntries = parameter_text::entries<kEntryCount>(text_of<List>());

  static constexpr std::size_t occurrences(std::string_view marker) noexcept {
    return static_cast<std::size_t>(std::count(kEntries.begin(), kEntries.end(), marker));
  }
  static constexpr std::size_t position(std::string_view marker) noexcept {
    return static_cast<std::size_t>(std::find(kEntries.begin(), kEntries.end(), marker) -
                                    kEntries.begin());
  }
  static constexpr std::size_t kStar = position("*");
  static constexpr std::size_t kSlash = position("/");
  static constexpr bool kHasStar = kStar < kEntryCount;
  static constexpr bool kHasSlash = kSlash < kEntryCount;

  static_assert(occurrences("*") <= 1 && occurrences("/") <= 1,
                "a parameter list has at most one keyword-only and one positional-only marker");
  static_assert(!kHasSlash || !kHasStar || kSlash < kStar,
                "the positional-only marker must come before the keyword-only marker");
  static_assert(!kHasStar || kStar + 1 < kEntryCount,
                "a keyword-only marker must be followed by a name");
  static_assert(!kHasSlash || kSlash > 0, "a positional-only marker must follow a name");

 public:
  static constexpr std::size_t kPositionalCount = (kHasStar ? kStar : kEntryCount) - kHasSlash;
  static constexpr std::size_t kKeywordOnlyCount = kHasStar ? kEntryCount - kStar - 1 : 0;
  static constexpr std::size_t kCount = kPositionalCount + kKeywordOnlyCount;
  static constexpr std::size_t kPositionalOnly = kHasSlash ? kSlash : 0;

  static_assert(kCount == sizeof...(Types),
                "the parameter list must name every parameter of the operation");

  static constexpr std::array<std::string_view, kCount> kNames = [] {
    std::array<std::string_view, kCount> names{};
    std::size_t next = 0;
    for (std::string_view entry : kEntries) {
      if (entry != "*" && entry != "/" && next < kCount) names[next++] = entry;
    }
    return names;
  }();
  static constexpr std::array<bool, kCount> kOptional{kIsOptional<Types>...};

  static_assert(std::all_of(kNames.begin(), kNames.end(), parameter_text::is_name),
                "every parameter name must be a Python identifier");
  static_assert(
      [] {
        for (std::size_t i = 0; i < kCount; ++i) {
          if (std::count(kNames.begin(), kNames.end(), kNames[i]) != 1) return false;
        }
        return true;
      }(),
      "parameter names must be distinct");
  static_assert(
      [] {
        for (std::size_t i = 1; i < kPositionalCount; ++i) {
          if (kOptional[i - 1] && !kOptional[i]) return false;
        }
        return true;
      }(),
      "optional positional parameters must trail the required ones");

  static constexpr std::size_t kRequiredPositional = static_cast<std::size_t>(
      std::count(kOptional.begin(), kOptional.begin() + kPositionalCount, false));

  static constexpr std::array<std::string_view, kPositionalCount> kPositional = [] {
    std::array<std::string_view, kPositionalCount> positional{};
    std::copy_n(kNames.begin(), kPositionalCount, positional.begin());
    return positional;
  }();
  static constexpr std::array<KeywordOnlyParameter, kKeywordOnlyCount> kKeywordOnly = [] {
    std::array<KeywordOnlyParameter, kKeywordOnlyCount> keyword_only{};
    for (std::size_t i = 0; i < kKeywordOnlyCount; ++i) {
      keyword_only[i] = {kNames[kPositionalCount + i], !kOptional[kPositionalCount + i]};
    }
    return keyword_only;
  }();

  static constexpr FunctionDescription describe(std::string_view class_name,
                                                std::string_view function_name) noexcept {
    return {class_name,          function_name,   kPositional,
            kRequiredPositional, kPositionalOnly, kKeywordOnly};
  }

  // "error, status_code=None": what the text signature shows between its
  // parentheses after any "$self".
  static constexpr std::string signature() {
    std::string text;
    const auto append = [&text](std::string_view entry) {
      if (!text.empty()) append_text(text, ", ");
      append_text(text, entry);
    };
    for (std::size_t i = 0; i < kCount; ++i) {
      if (kHasSlash && i == kPositionalOnly) append("/");
      if (kHasStar && i == kPositionalCount) append("*");
      append(kNames[i]);
      if (kOptional[i]) append_text(text, "=None");
    }
    if (kHasSlash && kPositionalOnly == kCount) append("/");
    return text;
  }
};

}  // namespace pelnorix::python
