// encode_request(): span documents in, the body of one OTLP export request
// out. Everything Python-facing is converted first; the encoding itself runs
// without the GIL unless a redaction callable must be called along the way.
#include "encode_request.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "boundary/convert.hpp"
#include "pelnorix/otlp.hpp"

namespace pelnorix::python {
namespace {

// The span documents and links of the items. The document texts are views
// into str objects held here, so Python code run later (the redaction) cannot
// free them.
struct HeldItems {
  std::vector<PyRef> texts;
  std::vector<otlp::EncodeItem> items;
};

PyError item_error(PyObject* type, std::size_t index, std::string_view what) {
  return PyError::lazy(type, "items[" + std::to_string(index) + "]: " + std::string(what));
}

template <std::size_t N>
bool hex_bytes(std::string_view text, std::array<std::uint8_t, N>& out) {
  if (text.size() != 2 * N) return false;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < N; ++i) {
    const int high = digit(text[2 * i]);
    const int low = digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

Result<std::optional<otlp::TraceLink>> link_from_python(PyObject* link, std::size_t index) {
  if (link == Py_None) return std::optional<otlp::TraceLink>{};
  if (!PyTuple_Check(link) || PyTuple_Size(link) != 2) {
    return fail(item_error(PyExc_TypeError, index,
                           "the link must be a SpanLink (trace_id, parent_span_id) or None"));
  }
  otlp::TraceLink ids;
  Result<std::string_view> trace_id = text_from_python(PyTuple_GetItem(link, 0));
  if (!trace_id) return fail(std::move(trace_id).error());
  Result<std::string_view> parent = text_from_python(PyTuple_GetItem(link, 1));
  if (!parent) return fail(std::move(parent).error());
  if (!hex_bytes(*trace_id, ids.trace_id)) {
    return fail(item_error(PyExc_ValueError, index, "link trace_id must be 32 hexadecimal digits"));
  }
  if (!hex_bytes(*parent, ids.parent_span_id)) {
    return fail(
        item_error(PyExc_ValueError, index, "link parent_span_id must be 16 hexadecimal digits"));
  }
  return std::optional<otlp::TraceLink>{ids};
}

Result<HeldItems> items_from_python(PyObject* items) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(items));
  if (!iterator) return fail(fetch_error());
  HeldItems held;
  for (std::size_t index = 0;; ++index) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) {
      return fail(item_error(PyExc_TypeError, index, "expected a (span document, link) pair"));
    }
    PyObject* text = PyTuple_GetItem(item.get(), 0);
    Result<std::string_view> document = text_from_python(text);
    if (!document) return fail(std::move(document).error());
    Result<std::optional<otlp::TraceLink>> link =
        link_from_python(PyTuple_GetItem(item.get(), 1), index);
    if (!link) return fail(std::move(link).error());
    held.texts.push_back(PyRef::borrow(text));
    held.items.push_back({*document, *link});
  }
  if (PyErr_Occurred() != nullptr) return fail(fetch_error());
  return held;
}

// The resource's keys and texts copied into `arena`: Python code that runs
// later may change the dictionary.
Result<std::vector<otlp::KeyValue>> resource_from_python(PyObject* resource, TextArena& arena) {
  std::vector<otlp::KeyValue> attributes;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(resource, &position, &key, &value)) {
    Result<std::string_view> name = text_from_python(key);
    if (!name) return fail(std::move(name).error());
    otlp::AnyValue converted;
    if (PyBool_Check(value)) {
      converted = otlp::AnyValue::of_bool(value == Py_True);
    } else if (PyLong_Check(value)) {
      const long long number = PyLong_AsLongLong(value);
      if (number == -1 && PyErr_Occurred() != nullptr) return fail(fetch_error());
      converted = otlp::AnyValue::of_int(number);
    } else if (PyFloat_Check(value)) {
      const double number = PyFloat_AsDouble(value);
      if (!std::isfinite(number)) {
        return fail_with(PyExc_ValueError,
                         "resource attribute '" + std::string(*name) + "' must be a finite number");
      }
      converted = otlp::AnyValue::of_double(number);
    } else {
      Result<std::string_view> text = text_from_python(value);
      if (!text) return fail(std::move(text).error());
      converted = otlp::AnyValue::string(arena.store(*text));
    }
    attributes.push_back({arena.store(*name), std::move(converted)});
  }
  return attributes;
}

// The user's redaction callable. A failure (its exception, a result that is
// not a str) is kept to be raised unchanged once the encoding has stopped.
class CallableRedactor final : public otlp::TextRedactor {
 public:
  explicit CallableRedactor(PyObject* callable) noexcept : callable_(callable) {}

  bool redact(std::string_view text, std::string& redacted) override {
    Outcome argument = text_value(text);
    if (!argument) return stop(std::move(argument).error());
    PyObject* arguments[] = {argument->get()};
    PyRef result = PyRef::steal(PyObject_Vectorcall(callable_, arguments, 1, nullptr));
    if (!result) return stop(fetch_error());
    Result<std::string_view> converted = text_from_python(result.get());
    if (!converted) {
      return stop(std::move(converted).error().with_note("while processing the result of redact"));
    }
    redacted.assign(*converted);
    return true;
  }

  PyError take_failure() && { return std::move(*failure_); }

 private:
  bool stop(PyError error) {
    failure_.emplace(std::move(error));
    return false;
  }

  PyObject* callable_;
  std::optional<PyError> failure_;
};

// Lets other Python threads run while the calling one does native work that
// touches no Python object.
class GilReleased {
 public:
  GilReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace

Outcome encode_request(ModuleArg /*module*/, PyObject* items, DictArg resource, bool json,
                       bool include_content, std::optional<PyObject*> redact,
                       std::optional<std::uint64_t> max_attribute_bytes,
                       std::string_view scope_name, std::string_view scope_version) {
  if (redact && PyCallable_Check(*redact) == 0) {
    return fail(PyError::cast_failure(*redact, "callable").with_note("while processing 'redact'"));
  }
  Result<HeldItems> held = items_from_python(items);
  if (!held) return fail(std::move(held).error());
  TextArena arena;
  Result<std::vector<otlp::KeyValue>> attributes = resource_from_python(resource.object, arena);
  if (!attributes) return fail(std::move(attributes).error());
  const std::string owned_scope_name(scope_name);
  const std::string owned_scope_version(scope_version);

  std::optional<CallableRedactor> redactor;
  if (redact) redactor.emplace(*redact);
  otlp::ContentPolicy policy;
  policy.include_content = include_content;
  policy.redactor = redactor ? &*redactor : nullptr;
  if (max_attribute_bytes)
    policy.max_attribute_bytes = static_cast<std::size_t>(*max_attribute_bytes);

  const auto encode = [&] {
    return otlp::encode_export_request(held->items, *attributes,
                                       {owned_scope_name, owned_scope_version}, policy,
                                       json ? otlp::Encoding::Json : otlp::Encoding::Protobuf);
  };
  Expected<std::string, otlp::EncodeError> body = [&] {
    if (redactor) return encode();
    GilReleased released;
    return encode();
  }();
  if (!body) {
    otlp::EncodeError error = std::move(body).error();
    if (error.kind == otlp::EncodeError::Kind::Stopped) {
      return fail(std::move(*redactor).take_failure());
    }
    return fail(
        item_error(PyExc_ValueError, error.item, "invalid span document: " + error.message));
  }
  return bytes_value(*body);
}

}  // namespace pelnorix::python
