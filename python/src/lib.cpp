// The module definition and its execution step (multi-phase initialisation).
#include "boundary/convert.hpp"
#include "boundary/entry.hpp"
#include "boundary/python_api.hpp"
#include "client/client.hpp"
#include "configure.hpp"
#include "module_members.hpp"
#include "span/span.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kVersion = "0.3.0";

MemberFailure populate(PyObject* module) {
  Outcome version = text_value(kVersion);
  if (!version) return std::move(version).error();
  if (auto failure = add_named_value(module, "__version__", version->get())) return failure;
  if (auto failure = add_class(module, PyTamloxTracer::type_cell())) return failure;
  if (auto failure = add_class(module, PyTraceSpan::type_cell())) return failure;
  if (auto failure = add_class(module, PyInstrumentedClient::type_cell())) return failure;
  if (auto failure = add_function(module, configure_function())) return failure;
  if (auto failure = add_function(module, instrument_function())) return failure;
  return std::nullopt;
}

int execute_module(PyObject* module) noexcept {
  return execute_module_with(module, &populate);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    // The classes are process-wide objects; a sub-interpreter must not share
    // them, so importing there fails cleanly instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelnorix",
    "Pelnorix Python bindings.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelnorix::python

PyMODINIT_FUNC PyInit_pelnorix(void) {
  return PyModuleDef_Init(&pelnorix::python::module_definition);
}
