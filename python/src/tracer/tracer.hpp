// TamloxTracer: tenant identifier, endpoint and security switch, and the
// starting of spans. The construction and span-starting logic is shared with
// configure() and InstrumentedClient.start_span.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "boundary/error.hpp"
#include "boundary/python_api.hpp"
#include "boundary/type_cells.hpp"
#include "pelnorix/enums.hpp"
#include "pelnorix/trace_span.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix::python {

struct PyTamloxTracer {
  static constexpr const char* kClassName = "TamloxTracer";
  static TypeCell& type_cell();

  std::optional<std::string> endpoint;
  TenantId tenant_id;
  bool enable_security = true;
};

// From the three converted (optional) values: parses the tenant text
// (ValueError "Invalid tenant_id UUID: ..."), or draws a random tenant; an
// absent switch means true.
Result<PyTamloxTracer> build_tracer(std::optional<std::string_view> tenant_id,
                                    std::optional<std::string_view> endpoint,
                                    std::optional<bool> enable_security);

// Wraps a tracer record in a new TamloxTracer object.
Outcome new_tracer_object(PyTamloxTracer record);

// Maps a provider text, lower-cased with full Unicode rules, to a provider.
Result<LLMProvider> provider_from_text(std::string_view text);

// The record of a new span stamped with the tracer's tenant. Callers that hold
// a borrow of the tracer may release it before wrapping the record.
Result<TraceSpan> new_span_record(const PyTamloxTracer& tracer, std::string_view operation_name,
                                  std::string_view provider, std::string_view model);

// Entries of the class.
Outcome tracer_new(PyTypeObject* type, std::optional<std::string_view> tenant_id,
                   std::optional<std::string_view> endpoint, std::optional<bool> enable_security);
Outcome tracer_repr(const PyTamloxTracer& self);
Outcome tracer_start_span(const PyTamloxTracer& self, std::string_view operation_name,
                          std::string_view provider, std::string_view model);

}  // namespace pelnorix::python
