// The InstrumentedClient class and the instrument() function: member tables,
// descriptions and the type cell.
#include "client/client.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kClass = "InstrumentedClient";

constexpr std::string_view kStartSpanParams[] = {"operation_name", "provider", "model"};
constexpr FunctionDescription kStartSpan{kClass, "start_span", kStartSpanParams, 3, 0, {}};

constexpr std::string_view kInstrumentParams[] = {"client"};
constexpr KeywordOnlyParameter kInstrumentKeywordParams[] = {{"tracer"}};
constexpr FunctionDescription kInstrument{
    {}, "instrument", kInstrumentParams, 1, 0, kInstrumentKeywordParams};

PyMethodDef client_methods[] = {
    {"start_span", as_method(&fastcall_entry<&client_start_span, kStartSpan>),
     METH_FASTCALL | METH_KEYWORDS,
     "start_span($self, operation_name, provider, model)\n--\n\nStart a trace span via the "
     "attached tracer (convenience shortcut)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_properties[] = {
    {"tracer", &getter_entry<&client_tracer>, nullptr, "The attached :class:`TamloxTracer`.",
     nullptr},
    {"wrapped_client", &getter_entry<&client_wrapped_client>, nullptr,
     "The original (unwrapped) client object.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot client_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&client_repr>)},
    {Py_tp_getattro, reinterpret_cast<void*>(&getattro_entry<&client_getattr>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_entry<PyInstrumentedClient>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_entry<PyInstrumentedClient>)},
};

constexpr ClassDefinition kInstrumentedClientClass{
    "InstrumentedClient",
    "A wrapper around a Python LLM client that attaches an [`TamloxTracer`].\n\n"
    "Attribute access is delegated to the wrapped client, so it can be used\nas a drop-in "
    "replacement. The attached tracer is accessible via the\n``tracer`` property.",
    sizeof(Instance<PyInstrumentedClient>),
    &dealloc_entry<PyInstrumentedClient>,
    client_slots,
    client_methods,
    client_properties,
    false,
    true,
};

// Not METH_STATIC: with it the interpreter would pass no module and report
// None as the function's __self__.
PyMethodDef instrument_definition = {
    "instrument", as_method(&fastcall_entry<&instrument_client, kInstrument>),
    METH_FASTCALL | METH_KEYWORDS,
    "instrument(client, *, tracer=None)\n--\n\nInstrument a Python LLM client with automatic "
    "tracing.\n\nWraps the client in an :class:`InstrumentedClient` that delegates\nattribute "
    "access to the original while attaching a tracer.\n\nArgs:\n    client: Any Python LLM "
    "client object (e.g. ``openai.OpenAI(...)``).\n    tracer: Optional pre-configured "
    ":class:`TamloxTracer`. A default\n            tracer is created if omitted.\n\nReturns:\n"
    "    An :class:`InstrumentedClient` wrapping the original client."};

}  // namespace

TypeCell& PyInstrumentedClient::type_cell() {
  static TypeCell cell(kInstrumentedClientClass);
  return cell;
}

PyMethodDef& instrument_function() {
  return instrument_definition;
}

}  // namespace pelnorix::python
