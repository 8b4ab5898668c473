// The TamloxTracer class: member tables, descriptions and the type cell.
#include "boundary/entry.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kClass = "TamloxTracer";

constexpr KeywordOnlyParameter kNewParams[] = {{"tenant_id"}, {"endpoint"}, {"enable_security"}};
constexpr FunctionDescription kNew{kClass, "__new__", {}, 0, 0, kNewParams};

constexpr std::string_view kStartSpanParams[] = {"operation_name", "provider", "model"};
constexpr FunctionDescription kStartSpan{kClass, "start_span", kStartSpanParams, 3, 0, {}};

PyMethodDef tracer_methods[] = {
    {"start_span", as_method(&fastcall_entry<&tracer_start_span, kStartSpan>),
     METH_FASTCALL | METH_KEYWORDS,
     "start_span($self, operation_name, provider, model)\n--\n\nStart a new trace span.\n\n"
     "Args:\n    operation_name: Name of the operation (e.g. ``\"chat_completion\"``).\n"
     "    provider: LLM provider string (``\"openai\"``, ``\"anthropic\"``, etc.).\n"
     "    model: Model name (e.g. ``\"gpt-4\"``).\n\n"
     "Returns:\n    A new :class:`TraceSpan` ready for recording."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef tracer_properties[] = {
    {"tenant_id", &getter_entry<&tracer_tenant_id>, nullptr, "Tenant identifier (UUID string).",
     nullptr},
    {"endpoint", &getter_entry<&tracer_endpoint>, nullptr, "Collector endpoint URL, or ``None``.",
     nullptr},
    {"enable_security", &getter_entry<&tracer_enable_security>, nullptr,
     "Whether security analysis is enabled.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot tracer_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<&tracer_new, kNew>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&tracer_repr>)},
};

constexpr ClassDefinition kTamloxTracerClass{
    "TamloxTracer",
    "TamloxTracer(*, tenant_id=None, endpoint=None, enable_security=None)\n--\n\n"
    "Security-aware LLM tracer.\n\nCreate one per application (or per tenant) and use it to "
    "start trace\nspans for each LLM call.",
    sizeof(Instance<PyTamloxTracer>),
    &dealloc_entry<PyTamloxTracer>,
    tracer_slots,
    tracer_methods,
    tracer_properties,
    true,
};

}  // namespace

TypeCell& PyTamloxTracer::type_cell() {
  static TypeCell cell(kTamloxTracerClass);
  return cell;
}

}  // namespace pelnorix::python
