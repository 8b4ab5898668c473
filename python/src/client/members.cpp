// The InstrumentedClient class and the instrument() function: their table
// entries and the type cell.
#include "boundary/callables.hpp"
#include "client/client.hpp"

namespace pelnorix::python {
namespace {

using Client = Members<PyInstrumentedClient>;

PyMethodDef client_methods[] = {
    Client::method<"start_span", &client_start_span, "operation_name, provider, model",
                   "Start a trace span via the attached tracer (convenience shortcut).">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_properties[] = {
    Client::property<&client_tracer>("tracer", "The attached :class:`TamloxTracer`."),
    Client::property<&client_wrapped_client>("wrapped_client",
                                             "The original (unwrapped) client object."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot client_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&client_repr>)},
    {Py_tp_getattro, reinterpret_cast<void*>(&getattro_entry<&client_getattr>)},
};

constexpr ClassDefinition kInstrumentedClientClass = define_class<PyInstrumentedClient>({
    .doc = "A wrapper around a Python LLM client that attaches an [`TamloxTracer`].\n\n"
           "Attribute access is delegated to the wrapped client, so it can be used\nas a "
           "drop-in replacement. The attached tracer is accessible via the\n``tracer`` "
           "property.",
    .own_slots = client_slots,
    .methods = client_methods,
    .properties = client_properties,
});

PyMethodDef instrument_definition = module_function<
    "instrument", &instrument_client, "client, *, tracer",
    "Instrument a Python LLM client with automatic tracing.\n\nWraps the client in an "
    ":class:`InstrumentedClient` that delegates\nattribute access to the original while "
    "attaching a tracer.\n\nArgs:\n    client: Any Python LLM client object (e.g. "
    "``openai.OpenAI(...)``).\n    tracer: Optional pre-configured :class:`TamloxTracer`. A "
    "default\n            tracer is created if omitted.\n\nReturns:\n    An "
    ":class:`InstrumentedClient` wrapping the original client.">();

}  // namespace

TypeCell& PyInstrumentedClient::type_cell() {
  static TypeCell cell(kInstrumentedClientClass);
  return cell;
}

PyMethodDef& instrument_function() {
  return instrument_definition;
}

}  // namespace pelnorix::python
