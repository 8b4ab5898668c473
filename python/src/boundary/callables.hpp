// The interpreter's table entries of a class's methods and properties, and of
// module-level functions, each made from one description: the operation, the
// name, the parameter list as Python writes it and the docstring's body. The
// binder's description and the text signature come from the parameter list
// and the operation's parameter types (see parameter_list.hpp).
//
//   using Span = Members<PyTraceSpan>;
//   Span::method<"set_error", &span_set_error, "error, status_code", "Record ...">()
//   Span::field<&PyTraceSpan::record, &TraceSpan::prompt>("prompt", "The prompt ...")
#pragma once

#include <functional>
#include <string>
#include <type_traits>

#include "boundary/convert.hpp"
#include "boundary/entry.hpp"
#include "boundary/parameter_list.hpp"
#include "boundary/python_api.hpp"

namespace pelnorix::python {

// "name(self_marker, a, b=None)\n--\n\n" followed by the docstring's body:
// the form from which the interpreter derives __text_signature__ and __doc__.
constexpr std::string documented_signature(std::string_view name, std::string_view self_marker,
                                           const std::string& parameters, std::string_view body) {
  std::string text;
  append_text(text, name);
  text += '(';
  append_text(text, self_marker);
  if (!self_marker.empty() && !parameters.empty()) append_text(text, ", ");
  append_text(text, parameters);
  append_text(text, ")\n--\n\n");
  append_text(text, body);
  return text;
}

// The value a field-reading property returns: the member reached from the
// record through each of `Path` in turn (a data member, or a const member
// function without parameters).
template <auto First, auto... Rest, typename Object>
decltype(auto) follow(const Object& object) {
  if constexpr (sizeof...(Rest) == 0) {
    return std::invoke(First, object);
  } else {
    return follow<Rest...>(std::invoke(First, object));
  }
}

template <typename Native, auto... Path>
Outcome read_field(const Native& self) {
  return to_python(follow<Path...>(self));
}

// A callable described by its operation, name, parameter list and docstring.
template <auto Op, FixedText Name, FixedText List, FixedText Body>
struct Described {
  using Traits = OperationTraits<decltype(Op)>;
  using Parameters = typename Traits::template Parameters<List>;
  static constexpr std::string_view kName = text_of<Name>();
  static constexpr std::string_view kBody = text_of<Body>();
};

template <typename Native>
constexpr std::string_view class_name_of() noexcept {
  if constexpr (std::is_void_v<Native>) {
    return {};
  } else {
    return Native::kClassName;
  }
}

// The binder's description of a callable of the class whose record is Native
// (void: a module-level function). Internal to each file, like a description
// written out there, so that the compiler treats each entry as a function of
// that file alone and inlines its one-off steps into it.
template <typename Callable, typename Native>
static constexpr FunctionDescription kDescriptionOf =
    Callable::Parameters::describe(class_name_of<Native>(), Callable::kName);

template <typename Native>
struct Members {
  // A method; one without parameters takes none at all (METH_NOARGS).
  template <FixedText Name, auto Op, FixedText List, FixedText Body>
  static PyMethodDef method() {
    using Callable = Described<Op, Name, List, Body>;
    using Self = typename Callable::Traits::Self;
    static_assert(std::is_same_v<Self, const Native&> || std::is_same_v<Self, Native&> ||
                      std::is_same_v<Self, PyObject*>,
                  "a method operation takes the record of its class or the raw self first");
    struct Doc {
      static constexpr std::string text() {
        return documented_signature(Callable::kName, "$self", Callable::Parameters::signature(),
                                    Callable::kBody);
      }
    };
    if constexpr (Callable::Parameters::kCount == 0) {
      return {kTextChars<Name>.data(), as_method(&noargs_entry<Op>), METH_NOARGS,
              kStaticText<Doc>.data()};
    } else {
      return {kTextChars<Name>.data(),
              as_method(&fastcall_entry<Op, kDescriptionOf<Callable, Native>>),
              METH_FASTCALL | METH_KEYWORDS, kStaticText<Doc>.data()};
    }
  }

  // A read-only property computed by `Getter`.
  template <auto Getter>
  static constexpr PyGetSetDef property(const char* name, const char* doc) {
    return {name, &getter_entry<Getter>, nullptr, doc, nullptr};
  }

  // A read-only property that returns a member of the record as it is.
  template <auto... Path>
  static constexpr PyGetSetDef field(const char* name, const char* doc) {
    return property<&read_field<Native, Path...>>(name, doc);
  }

  // The constructor (tp_new), documented in the class's docstring.
  template <auto Op, FixedText List, FixedText ClassBody>
  struct Constructor {
    using Callable = Described<Op, "__new__", List, ClassBody>;
    static_assert(std::is_same_v<typename Callable::Traits::Self, PyTypeObject*>,
                  "a constructor's operation takes the class being instantiated first");
    struct Doc {
      static constexpr std::string text() {
        return documented_signature(Native::kClassName, "", Callable::Parameters::signature(),
                                    Callable::kBody);
      }
    };
    static constexpr const char* kClassDoc = kStaticText<Doc>.data();
    static constexpr PyType_Slot slot() {
      return {Py_tp_new, reinterpret_cast<void*>(&new_entry<Op, kDescriptionOf<Callable, Native>>)};
    }
  };
};

// A module-level function. Not METH_STATIC: with it the interpreter would pass
// no module and report None as the function's __self__.
template <FixedText Name, auto Op, FixedText List, FixedText Body>
PyMethodDef module_function() {
  using Callable = Described<Op, Name, List, Body>;
  static_assert(std::is_same_v<typename Callable::Traits::Self, ModuleArg>,
                "a module function's operation takes ModuleArg first");
  struct Doc {
    static constexpr std::string text() {
      return documented_signature(Callable::kName, "", Callable::Parameters::signature(),
                                  Callable::kBody);
    }
  };
  return {kTextChars<Name>.data(), as_method(&fastcall_entry<Op, kDescriptionOf<Callable, void>>),
          METH_FASTCALL | METH_KEYWORDS, kStaticText<Doc>.data()};
}

}  // namespace pelnorix::python
