// Provider texts to LLMProvider values.
#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "boundary/convert.hpp"
#include "boundary/interned_names.hpp"
#include "boundary/ref.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {
namespace {

using Kind = LLMProvider::Kind;

constexpr std::array<std::pair<std::string_view, Kind>, 10> kKnownProviders{{
    {"openai", Kind::OpenAI},
    {"anthropic", Kind::Anthropic},
    {"vllm", Kind::VLLm},
    {"sglang", Kind::SGLang},
    {"tgi", Kind::TGI},
    {"ollama", Kind::Ollama},
    {"azure_openai", Kind::AzureOpenAI},
    {"azure-openai", Kind::AzureOpenAI},
    {"azureopenai", Kind::AzureOpenAI},
    {"bedrock", Kind::Bedrock},
}};

bool is_ascii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Full Unicode lower-casing (final sigma included) is the interpreter's own
// str.lower, called on an exact str so that no subclass can override it. ASCII
// texts, the usual case, lower the same way without the round trip.
Result<std::string> lowercase(std::string_view text) {
  if (is_ascii(text)) {
    std::string lowered(text);
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
  }
  PyRef exact =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!exact) return fail(fetch_error_or_resume_panic());
  PyObject* args[] = {exact.get()};
  PyRef lowered = PyRef::steal(PyObject_VectorcallMethod(names::lower(), args, 1, nullptr));
  if (!lowered) return fail(fetch_error_or_resume_panic());
  Result<std::string_view> utf8 = text_from_python(lowered.get());
  if (!utf8) return fail(std::move(utf8).error());
  return std::string(*utf8);
}

}  // namespace

Result<LLMProvider> provider_from_text(std::string_view text) {
  Result<std::string> lowered = lowercase(text);
  if (!lowered) return fail(std::move(lowered).error());
  for (const auto& [name, kind] : kKnownProviders) {
    if (*lowered == name) return LLMProvider{kind, {}};
  }
  return LLMProvider::custom(std::move(*lowered));
}

}  // namespace pelnorix::python
