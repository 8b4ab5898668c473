// The tracer's construction, representation and span starting.
#include <string>

#include "boundary/class_instance.hpp"
#include "boundary/convert.hpp"
#include "pelnorix/quoted_text.hpp"
#include "pelnorix/trace_span.hpp"
#include "span/span.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {

Result<PyTamloxTracer> build_tracer(std::optional<std::string_view> tenant_id,
                                    std::optional<std::string_view> endpoint,
                                    std::optional<bool> enable_security) {
  PyTamloxTracer tracer;
  if (tenant_id) {
    auto parsed = parse_uuid(*tenant_id);
    if (!parsed) {
      return fail_with(PyExc_ValueError, "Invalid tenant_id UUID: " + parsed.error().message);
    }
    tracer.tenant_id = TenantId{*parsed};
  } else {
    tracer.tenant_id = TenantId::generate();
  }
  if (endpoint) tracer.endpoint.emplace(*endpoint);
  tracer.enable_security = enable_security.value_or(true);
  return tracer;
}

Outcome new_tracer_object(PyTamloxTracer record) {
  return make_instance<PyTamloxTracer>(std::move(record));
}

Result<TraceSpan> new_span_record(const PyTamloxTracer& tracer, std::string_view operation_name,
                                  std::string_view provider, std::string_view model) {
  Result<LLMProvider> mapped = provider_from_text(provider);
  if (!mapped) return fail(std::move(mapped).error());
  // The trace identifier is drawn before new_span draws the span identifier.
  const Uuid trace_id = generate_uuid_v4();
  return new_span(trace_id, tracer.tenant_id, std::string(operation_name), std::move(*mapped),
                  std::string(model), std::string());
}

Outcome tracer_new(PyTypeObject* type, std::optional<std::string_view> tenant_id,
                   std::optional<std::string_view> endpoint, std::optional<bool> enable_security) {
  Result<PyTamloxTracer> tracer = build_tracer(tenant_id, endpoint, enable_security);
  if (!tracer) return fail(std::move(tracer).error());
  return make_instance_of<PyTamloxTracer>(type, std::move(*tracer));
}

Outcome tracer_repr(const PyTamloxTracer& self) {
  std::string text = "TamloxTracer(tenant_id='";
  text += to_string(self.tenant_id);
  text += "', endpoint=";
  if (self.endpoint) {
    text += "Some(";
    text += quote_text(*self.endpoint);
    text += ')';
  } else {
    text += "None";
  }
  text += ", security=";
  text += self.enable_security ? "true" : "false";
  text += ')';
  return text_value(text);
}

Outcome tracer_start_span(const PyTamloxTracer& self, std::string_view operation_name,
                          std::string_view provider, std::string_view model) {
  Result<TraceSpan> record = new_span_record(self, operation_name, provider, model);
  if (!record) return fail(std::move(record).error());
  return new_span_object(std::move(*record));
}

}  // namespace pelnorix::python
