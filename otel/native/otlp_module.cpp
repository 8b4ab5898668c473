// The module pelnorix_otel._otlp: its definition and execution step.
#include "boundary/entry.hpp"
#include "boundary/python_api.hpp"
#include "encode_request.hpp"
#include "module_members.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kEncodeParams[] = {"items", "resource"};
constexpr KeywordOnlyParameter kEncodeKeywordParams[] = {
    {"json", true},       {"include_content", true},
    {"redact", true},     {"max_attribute_bytes", true},
    {"scope_name", true}, {"scope_version", true},
};
constexpr FunctionDescription kEncodeRequest{{}, "encode_request",    kEncodeParams, 2,
                                             0,  kEncodeKeywordParams};

PyMethodDef encode_request_definition = {
    "encode_request", as_method(&fastcall_entry<&encode_request, kEncodeRequest>),
    METH_FASTCALL | METH_KEYWORDS,
    "encode_request(items, resource, *, json, include_content, redact, max_attribute_bytes, "
    "scope_name, scope_version)\n--\n\n"
    "The body of one OTLP ExportTraceServiceRequest holding every (span document, link) pair\n"
    "of ``items``: protobuf, or OTLP/JSON when ``json`` is true."};

MemberFailure populate(PyObject* module) {
  return add_function(module, encode_request_definition);
}

int execute_module(PyObject* module) noexcept {
  return execute_module_with(module, &populate);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute_module)},
    // The boundary's process-wide state is not per interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelnorix_otel._otlp",
    "Native OTLP encoding of pelnorix span documents.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelnorix::python

PyMODINIT_FUNC PyInit__otlp(void) {
  return PyModuleDef_Init(&pelnorix::python::module_definition);
}
