// The constant description of a callable's parameters, from which the binder
// produces its slots and its TypeError messages.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace pelnorix::python {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required = false;
};

struct FunctionDescription {
  std::string_view class_name;  // empty for module-level functions
  std::string_view function_name;
  std::span<const std::string_view> positional;  // each may also be given by keyword
  std::size_t required_positional = 0;           // the first ones are required
  std::size_t positional_only = 0;
  std::span<const KeywordOnlyParameter> keyword_only;

  constexpr std::size_t parameter_count() const noexcept {
    return positional.size() + keyword_only.size();
  }
  constexpr std::string_view parameter_name(std::size_t index) const noexcept {
    return index < positional.size() ? positional[index]
                                     : keyword_only[index - positional.size()].name;
  }
};

}  // namespace pelnorix::python
