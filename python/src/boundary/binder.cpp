#include "boundary/binder.hpp"

#include "boundary/convert.hpp"

#include <string>
#include <vector>

namespace pelnorix::python {
namespace {

std::string full_name(const FunctionDescription& d) {
  std::string name;
  if (!d.class_name.empty()) {
    name += d.class_name;
    name += '.';
  }
  name += d.function_name;
  name += "()";
  return name;
}

PyError type_error(std::string message) {
  return PyError::lazy(PyExc_TypeError, std::move(message));
}

PyError too_many_positional(const FunctionDescription& d, std::size_t given) {
  std::string message = full_name(d);
  if (d.required_positional == d.positional.size()) {
    message += " takes " + std::to_string(d.positional.size());
  } else {
    message += " takes from " + std::to_string(d.required_positional) + " to " +
               std::to_string(d.positional.size());
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  return type_error(std::move(message));
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_quoted(const std::vector<std::string_view>& names) {
  std::string joined;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) joined += ',';
      joined += (i + 1 == names.size()) ? " and " : " ";
    }
    joined += '\'';
    joined += names[i];
    joined += '\'';
  }
  return joined;
}

PyError missing(const FunctionDescription& d, std::string_view kind,
                const std::vector<std::string_view>& names) {
  std::string message = full_name(d) + " missing " + std::to_string(names.size()) + " required " +
                        std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ") +
                        join_quoted(names);
  return type_error(std::move(message));
}

BindFailure bind_positional(const FunctionDescription& d, std::size_t given,
                            std::span<PyObject*> slots, auto&& value_at) {
  if (given > d.positional.size()) return too_many_positional(d, given);
  for (std::size_t i = 0; i < given; ++i)
    slots[i] = value_at(i);
  return std::nullopt;
}

PyError unexpected_keyword(const FunctionDescription& d, std::string_view name) {
  return type_error(full_name(d) + " got an unexpected keyword argument '" + std::string(name) +
                    "'");
}

// A name holding an unpaired surrogate has no UTF-8 form, so it matches no
// parameter; the message shows it escaped, as it cannot carry it verbatim.
PyError unencodable_keyword(const FunctionDescription& d, PyObject* name) {
  PyErr_Clear();
  PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(name, "utf-8", "backslashreplace"));
  if (!escaped) return fetch_error_or_resume_panic();
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(escaped.get(), &bytes, &size) < 0)
    return fetch_error_or_resume_panic();
  return unexpected_keyword(d, std::string_view(bytes, static_cast<std::size_t>(size)));
}

BindFailure bind_keyword(const FunctionDescription& d, PyObject* name, PyObject* value,
                         std::span<PyObject*> slots) {
  const std::optional<std::string_view> utf8 = utf8_view(name);
  if (!utf8) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return unencodable_keyword(d, name);
    return fetch_error_or_resume_panic();
  }
  const std::string_view text = *utf8;

  std::size_t slot = slots.size();
  for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
    if (d.keyword_only[i].name == text) slot = d.positional.size() + i;
  }
  if (slot == slots.size()) {
    for (std::size_t i = d.positional_only; i < d.positional.size(); ++i) {
      if (d.positional[i] == text) slot = i;
    }
  }
  if (slot == slots.size()) return unexpected_keyword(d, text);
  if (slots[slot] != nullptr) {
    return type_error(full_name(d) + " got multiple values for argument '" + std::string(text) +
                      "'");
  }
  slots[slot] = value;
  return std::nullopt;
}

BindFailure check_required(const FunctionDescription& d, std::span<PyObject*> slots) {
  std::vector<std::string_view> names;
  for (std::size_t i = 0; i < d.required_positional; ++i) {
    if (slots[i] == nullptr) names.push_back(d.positional[i]);
  }
  if (!names.empty()) return missing(d, "positional", names);
  for (std::size_t i = 0; i < d.keyword_only.size(); ++i) {
    if (d.keyword_only[i].required && slots[d.positional.size() + i] == nullptr) {
      names.push_back(d.keyword_only[i].name);
    }
  }
  if (!names.empty()) return missing(d, "keyword", names);
  return std::nullopt;
}

}  // namespace

BindFailure bind_fastcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, std::span<PyObject*> slots) {
  const auto given = static_cast<std::size_t>(nargs);
  if (auto failure = bind_positional(d, given, slots, [&](std::size_t i) { return args[i]; })) {
    return failure;
  }
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    if (keyword_count < 0) return fetch_error_or_resume_panic();
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);
      if (name == nullptr) return fetch_error_or_resume_panic();
      if (auto failure = bind_keyword(d, name, args[nargs + k], slots)) return failure;
    }
  }
  return check_required(d, slots);
}

BindFailure bind_tuple_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                            std::span<PyObject*> slots) {
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return fetch_error_or_resume_panic();
  PyObject* item_error = nullptr;  // set if the tuple refuses an index it reported
  if (auto failure = bind_positional(d, static_cast<std::size_t>(nargs), slots, [&](std::size_t i) {
        PyObject* item = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
        if (item == nullptr) item_error = Py_None;
        return item;
      })) {
    return failure;
  }
  if (item_error != nullptr) return fetch_error_or_resume_panic();
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (auto failure = bind_keyword(d, name, value, slots)) return failure;
    }
  }
  return check_required(d, slots);
}

}  // namespace pelnorix::python
