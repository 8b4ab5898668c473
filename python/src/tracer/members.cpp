// The TamloxTracer class: its constructor, methods, properties and type cell.
#include "boundary/callables.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {
namespace {

using Tracer = Members<PyTamloxTracer>;

using TracerNew =
    Tracer::Constructor<&tracer_new, "*, tenant_id, endpoint, enable_security",
                        "Security-aware LLM tracer.\n\nCreate one per application (or per "
                        "tenant) and use it to start trace\nspans for each LLM call.">;

PyMethodDef tracer_methods[] = {
    Tracer::method<"start_span", &tracer_start_span, "operation_name, provider, model",
                   "Start a new trace span.\n\n"
                   "Args:\n    operation_name: Name of the operation (e.g. "
                   "``\"chat_completion\"``).\n"
                   "    provider: LLM provider string (``\"openai\"``, ``\"anthropic\"``, etc.).\n"
                   "    model: Model name (e.g. ``\"gpt-4\"``).\n\n"
                   "Returns:\n    A new :class:`TraceSpan` ready for recording.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tracer_properties[] = {
    Tracer::field<&PyTamloxTracer::tenant_id, &TenantId::uuid>("tenant_id",
                                                               "Tenant identifier (UUID string)."),
    Tracer::field<&PyTamloxTracer::endpoint>("endpoint", "Collector endpoint URL, or ``None``."),
    Tracer::field<&PyTamloxTracer::enable_security>("enable_security",
                                                    "Whether security analysis is enabled."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot tracer_slots[] = {
    TracerNew::slot(),
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&tracer_repr>)},
};

constexpr ClassDefinition kTamloxTracerClass = define_class<PyTamloxTracer>({
    .doc = TracerNew::kClassDoc,
    .own_slots = tracer_slots,
    .methods = tracer_methods,
    .properties = tracer_properties,
});

}  // namespace

TypeCell& PyTamloxTracer::type_cell() {
  static TypeCell cell(kTamloxTracerClass);
  return cell;
}

}  // namespace pelnorix::python
