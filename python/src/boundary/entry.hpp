// The generic binder: from a native operation and its constant description it
// generates the C entry point that the interpreter calls.
//
// The operation's first parameter says how `self` is reached:
//   const N&       shared borrow of the instance's native record N
//   N&             exclusive borrow
//   ModuleArg      module-level function, no borrow
//   PyTypeObject*  constructor (tp_new), the class being instantiated
//   PyObject*      raw self without borrow (for lookups that borrow later)
// The remaining parameters are converted from the bound arguments in order,
// each through FromPython<T>. Every entry runs: attach -> bind -> borrow ->
// convert -> run -> release borrow -> raise or return -> detach, and no C++
// exception gets past it.
#pragma once

#include <array>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "boundary/attach.hpp"
#include "boundary/binder.hpp"
#include "boundary/borrow.hpp"
#include "boundary/class_instance.hpp"
#include "boundary/convert.hpp"
#include "boundary/description.hpp"
#include "boundary/error.hpp"
#include "boundary/panic.hpp"
#include "boundary/parameter_list.hpp"
#include "boundary/python_api.hpp"
#include "pelnorix/fault.hpp"

namespace pelnorix::python {

struct ModuleArg {
  PyObject* module;
};

// Sets RecursionError for an entry reached with too little of the C stack
// left. Out of line, so that the check adds next to nothing to every entry.
void raise_stack_exhausted() noexcept;

// Turns an escaping C++ exception into the exception Python sees (set on
// return): MemoryError when an allocation failed, PanicException for a fault.
void raise_escaped_exception(std::exception_ptr escaped) noexcept;

// Runs `body` (returning Outcome) as one boundary entry and hands the result
// to the interpreter: a new reference, or null with an exception set. On a
// thread whose C stack is nearly used up (a runaway chain of calls through
// the module) the entry raises RecursionError instead of going deeper.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  AttachGuard attached;
  if (attached.stack_nearly_exhausted()) [[unlikely]] {
    raise_stack_exhausted();
    return nullptr;
  }
  try {
    Outcome outcome = body();
    if (outcome) return std::move(*outcome).release();
    std::move(outcome).error().raise();
  } catch (...) {
    raise_escaped_exception(std::current_exception());
  }
  return nullptr;
}

// ---- reaching self --------------------------------------------------------

template <typename SelfArg>
struct SelfAccess;

template <typename Native, BorrowKind Kind>
using Borrowed = std::conditional_t<Kind == BorrowKind::Shared, const Native&, Native&>;

// Runs `body` on the record behind `self` under a borrow of the given kind,
// held exactly while `body` runs, and returns what `body` returns (a Result
// of any type); a self of another class or a refused borrow is the error.
template <typename Native, BorrowKind Kind, typename Body>
auto with_borrowed(PyObject* self, Body&& body)
    -> std::invoke_result_t<Body&, Borrowed<Native, Kind>> {
  Result<PyTypeObject*> type = Native::type_cell().get();
  if (!type) return fail(std::move(type).error());
  if (!PyObject_TypeCheck(self, *type)) {
    return fail(PyError::cast_failure(self, Native::kClassName));
  }
  Instance<Native>* instance = as_instance<Native>(self);
  auto borrow = BorrowGuard<Kind>::take(instance->borrow);
  if (!borrow) return fail(std::move(borrow).error());
  return body(static_cast<Borrowed<Native, Kind>>(instance->native));
}

template <typename Native>
struct SelfAccess<const Native&> {
  template <typename Body>
  static Outcome with(PyObject* self, Body&& body) {
    return with_borrowed<Native, BorrowKind::Shared>(self, std::forward<Body>(body));
  }
};

template <typename Native>
struct SelfAccess<Native&> {
  template <typename Body>
  static Outcome with(PyObject* self, Body&& body) {
    return with_borrowed<Native, BorrowKind::Exclusive>(self, std::forward<Body>(body));
  }
};

template <>
struct SelfAccess<ModuleArg> {
  template <typename Body>
  static Outcome with(PyObject* module, Body&& body) {
    return body(ModuleArg{module});
  }
};

template <>
struct SelfAccess<PyObject*> {
  template <typename Body>
  static Outcome with(PyObject* self, Body&& body) {
    return body(self);
  }
};

// ---- operations -------------------------------------------------------------

template <typename F>
struct OperationTraits;

template <typename SelfArg, typename... Params>
struct OperationTraits<Outcome (*)(SelfArg, Params...)> {
  using Self = SelfArg;
  static constexpr std::size_t arity = sizeof...(Params);
  using Converted = std::tuple<std::optional<Params>...>;
  // The operation's parameters as `List` names them.
  template <FixedText List>
  using Parameters = ParameterList<List, Params...>;
};

template <typename T>
bool convert_parameter(PyObject* slot, std::string_view name, std::optional<T>& into,
                       std::optional<PyError>& failure) {
  Result<T> converted = FromPython<T>::convert(slot);
  if (converted) {
    into.emplace(std::move(*converted));
    return true;
  }
  std::string note = "while processing '";
  note += name;
  note += '\'';
  failure.emplace(std::move(converted).error().with_note(note));
  return false;
}

template <auto Op, const FunctionDescription& Desc, typename SelfArg, std::size_t... I>
Outcome convert_and_run(SelfArg self, std::span<PyObject* const> slots, std::index_sequence<I...>) {
  using Traits = OperationTraits<decltype(Op)>;
  typename Traits::Converted converted;
  std::optional<PyError> failure;
  // Left to right, stopping at the first failure: nothing is written before
  // every argument has converted.
  const bool all_converted =
      (convert_parameter(slots[I], Desc.parameter_name(I), std::get<I>(converted), failure) && ...);
  if (!all_converted) return fail(std::move(*failure));
  return Op(self, std::move(*std::get<I>(converted))...);
}

template <auto Op, const FunctionDescription& Desc>
Outcome bound_call(PyObject* self, std::span<PyObject* const> slots) {
  using Traits = OperationTraits<decltype(Op)>;
  return SelfAccess<typename Traits::Self>::with(self, [&](typename Traits::Self self_arg) {
    return convert_and_run<Op, Desc, typename Traits::Self>(
        self_arg, slots, std::make_index_sequence<Traits::arity>{});
  });
}

template <auto Op, const FunctionDescription& Desc>
constexpr void check_description() {
  static_assert(Desc.parameter_count() == OperationTraits<decltype(Op)>::arity,
                "the description and the operation disagree on the parameters");
}

// ---- entry shapes -----------------------------------------------------------

// METH_FASTCALL | METH_KEYWORDS
template <auto Op, const FunctionDescription& Desc>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  check_description<Op, Desc>();
  return guarded([&]() -> Outcome {
    std::array<PyObject*, Desc.parameter_count()> slots{};
    if (BindFailure failure = bind_fastcall(Desc, args, nargs, kwnames, slots)) {
      return fail(std::move(*failure));
    }
    return bound_call<Op, Desc>(self, slots);
  });
}

// Strong references to bound values for the lifetime of the holder. It lives
// inside an entry, which holds the GIL, so the references are dropped directly
// rather than by the release rule of PyRef.
template <std::size_t N>
class HeldArguments {
 public:
  explicit HeldArguments(const std::array<PyObject*, N>& values) noexcept : values_(values) {
    for (PyObject* value : values_)
      Py_XINCREF(value);
  }
  ~HeldArguments() {
    for (PyObject* value : values_)
      Py_XDECREF(value);
  }
  HeldArguments(const HeldArguments&) = delete;
  HeldArguments& operator=(const HeldArguments&) = delete;

 private:
  std::array<PyObject*, N> values_;
};

// tp_new: arguments as a tuple and a dictionary. Unlike a fast call's vector,
// the dictionary does not keep its values alive: a later conversion may run
// Python code (a numpy-named type's __module__ or truth slot) that empties it,
// while an earlier converted text still points into its value. So every bound
// value is held until the operation has run.
template <auto Op, const FunctionDescription& Desc>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  check_description<Op, Desc>();
  static_assert(std::is_same_v<typename OperationTraits<decltype(Op)>::Self, PyTypeObject*>);
  return guarded([&]() -> Outcome {
    std::array<PyObject*, Desc.parameter_count()> slots{};
    if (BindFailure failure = bind_tuple_dict(Desc, args, kwargs, slots)) {
      return fail(std::move(*failure));
    }
    const HeldArguments held(slots);
    return convert_and_run<Op, Desc, PyTypeObject*>(
        type, slots, std::make_index_sequence<Desc.parameter_count()>{});
  });
}

template <auto Op>
Outcome self_only_call(PyObject* self) {
  using Traits = OperationTraits<decltype(Op)>;
  static_assert(Traits::arity == 0);
  return SelfAccess<typename Traits::Self>::with(
      self, [](typename Traits::Self self_arg) { return Op(self_arg); });
}

// METH_NOARGS
template <auto Op>
PyObject* noargs_entry(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded([&] { return self_only_call<Op>(self); });
}

// Property getter.
template <auto Op>
PyObject* getter_entry(PyObject* self, void* /*closure*/) noexcept {
  return guarded([&] { return self_only_call<Op>(self); });
}

// tp_repr
template <auto Op>
PyObject* repr_entry(PyObject* self) noexcept {
  return guarded([&] { return self_only_call<Op>(self); });
}

// tp_getattro: the operation receives the raw self and the name.
template <Outcome (*Op)(PyObject*, PyObject*)>
PyObject* getattro_entry(PyObject* self, PyObject* name) noexcept {
  return guarded([&] { return Op(self, name); });
}

// The interpreter's method tables store every entry as PyCFunction.
template <typename Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace pelnorix::python
