// InstrumentedClient: a client object paired with a tracer. Attribute reads
// that the wrapper does not answer itself go to the client.
#pragma once

#include <optional>
#include <string_view>

#include "boundary/entry.hpp"
#include "boundary/python_api.hpp"
#include "boundary/ref.hpp"
#include "boundary/type_cells.hpp"
#include "boundary/typed_args.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {

struct PyInstrumentedClient {
  static constexpr const char* kClassName = "InstrumentedClient";
  static TypeCell& type_cell();

  PyRef wrapped_client;
  PyRef tracer;  // always a TamloxTracer

  PyInstrumentedClient(PyRef client, PyRef attached_tracer) noexcept
      : wrapped_client(std::move(client)), tracer(std::move(attached_tracer)) {}
  PyInstrumentedClient(PyInstrumentedClient&&) noexcept = default;
  PyInstrumentedClient& operator=(PyInstrumentedClient&&) = delete;
  // The client goes before the tracer (members would go the other way round).
  ~PyInstrumentedClient() { clear(); }

  // Garbage collection: a client may hold its own wrapper.
  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

  // What the wrapper holds, or None once the collector has cleared it.
  PyObject* client_or_none() const noexcept;
};

// instrument(client, *, tracer=None)
Outcome instrument_client(ModuleArg module, PyObject* client,
                          std::optional<InstanceOf<PyTamloxTracer>> tracer);

// Entries of the class.
Outcome client_tracer(const PyInstrumentedClient& self);
Outcome client_wrapped_client(const PyInstrumentedClient& self);
Outcome client_start_span(const PyInstrumentedClient& self, std::string_view operation_name,
                          std::string_view provider, std::string_view model);
Outcome client_repr(const PyInstrumentedClient& self);
Outcome client_getattr(PyObject* self, PyObject* name);

// The module-level function's definition, added to the module by lib.cpp.
PyMethodDef& instrument_function();

}  // namespace pelnorix::python
