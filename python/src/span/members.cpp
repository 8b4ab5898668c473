// The TraceSpan class: member tables, descriptions and the type cell.
#include "boundary/entry.hpp"
#include "span/span.hpp"

namespace pelnorix::python {
namespace {

constexpr std::string_view kClass = "TraceSpan";

constexpr std::string_view kPromptParams[] = {"prompt"};
constexpr FunctionDescription kSetPrompt{kClass, "set_prompt", kPromptParams, 1, 0, {}};

constexpr std::string_view kResponseParams[] = {"response"};
constexpr FunctionDescription kSetResponse{kClass, "set_response", kResponseParams, 1, 0, {}};

constexpr std::string_view kErrorParams[] = {"error", "status_code"};
constexpr FunctionDescription kSetError{kClass, "set_error", kErrorParams, 1, 0, {}};

constexpr KeywordOnlyParameter kTokenCountParams[] = {{"prompt_tokens"}, {"completion_tokens"}};
constexpr FunctionDescription kSetTokenCounts{kClass, "set_token_counts", {}, 0,
                                              0,      kTokenCountParams};

constexpr std::string_view kTtftParams[] = {"ttft_ms"};
constexpr FunctionDescription kSetTtftMs{kClass, "set_ttft_ms", kTtftParams, 1, 0, {}};

constexpr std::string_view kTagParams[] = {"key", "value"};
constexpr FunctionDescription kAddTag{kClass, "add_tag", kTagParams, 2, 0, {}};

constexpr std::string_view kActionParams[] = {"action_type", "name"};
constexpr KeywordOnlyParameter kActionKeywordParams[] = {
    {"arguments"}, {"result"}, {"duration_ms"}, {"success"}};
constexpr FunctionDescription kReportAction{kClass, "report_action",     kActionParams, 2,
                                            0,      kActionKeywordParams};

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

// Registration order matters to introspection: the export methods and
// report_action take their places around the recording methods.
PyMethodDef span_methods[] = {
    {"security_findings", as_method(&noargs_entry<&span_security_findings>), METH_NOARGS,
     "security_findings($self)\n--\n\nSecurity findings as a list of dicts."},
    {"set_prompt", as_method(&fastcall_entry<&span_set_prompt, kSetPrompt>), kFastCall,
     "set_prompt($self, prompt)\n--\n\nSet the prompt text for this span."},
    {"set_response", as_method(&fastcall_entry<&span_set_response, kSetResponse>), kFastCall,
     "set_response($self, response)\n--\n\nRecord a successful response and mark the span as "
     "complete."},
    {"set_error", as_method(&fastcall_entry<&span_set_error, kSetError>), kFastCall,
     "set_error($self, error, status_code=None)\n--\n\nRecord an error and mark the span as "
     "complete."},
    {"set_token_counts", as_method(&fastcall_entry<&span_set_token_counts, kSetTokenCounts>),
     kFastCall,
     "set_token_counts($self, *, prompt_tokens=None, completion_tokens=None)\n--\n\nSet token "
     "counts for this span."},
    {"set_ttft_ms", as_method(&fastcall_entry<&span_set_ttft_ms, kSetTtftMs>), kFastCall,
     "set_ttft_ms($self, ttft_ms)\n--\n\nSet the time-to-first-token in milliseconds."},
    {"add_tag", as_method(&fastcall_entry<&span_add_tag, kAddTag>), kFastCall,
     "add_tag($self, key, value)\n--\n\nAdd a custom tag (key-value pair) to this span."},
    {"report_action", as_method(&fastcall_entry<&span_report_action, kReportAction>), kFastCall,
     "report_action($self, action_type, name, *, arguments=None, result=None, duration_ms=None, "
     "success=None)\n--\n\nReport an agent action on this span.\n\nArgs:\n"
     "    action_type: One of ``\"tool_call\"``, ``\"skill_invocation\"``,\n"
     "                 ``\"command_execution\"``, ``\"web_access\"``, ``\"file_access\"``.\n"
     "    name: Name of the tool, skill, command, URL, or file path.\n"
     "    arguments: Optional arguments or parameters.\n"
     "    result: Optional result (truncated to 4KB).\n"
     "    duration_ms: Optional duration in milliseconds.\n"
     "    success: Whether the action succeeded (default ``True``).\n\n"
     "Returns:\n    The action ID (UUID string)."},
    {"to_dict", as_method(&noargs_entry<&span_to_dict>), METH_NOARGS,
     "to_dict($self)\n--\n\nSerialise the span to a Python dictionary."},
    {"to_json", as_method(&noargs_entry<&span_to_json>), METH_NOARGS,
     "to_json($self)\n--\n\nSerialise the span to a JSON string."},
    {nullptr, nullptr, 0, nullptr},
};

template <auto Op>
constexpr PyGetSetDef property(const char* name, const char* doc) {
  return {name, &getter_entry<Op>, nullptr, doc, nullptr};
}

PyGetSetDef span_properties[] = {
    property<&span_trace_id>("trace_id", "Unique trace identifier (UUID string)."),
    property<&span_span_id>("span_id", "Unique span identifier (UUID string)."),
    property<&span_operation_name>("operation_name",
                                   "Operation name (e.g. ``\"chat_completion\"``)."),
    property<&span_model_name>("model_name", "Model name (e.g. ``\"gpt-4\"``)."),
    property<&span_prompt>("prompt", "The prompt text recorded for this span."),
    property<&span_response>("response", "The response text, or ``None`` if not yet recorded."),
    property<&span_is_complete>("is_complete",
                                "Whether the span has been completed (response or error "
                                "recorded)."),
    property<&span_is_failed>("is_failed", "Whether the span ended with an error."),
    property<&span_duration_ms>("duration_ms",
                                "Duration in milliseconds, or ``None`` if still in progress."),
    property<&span_prompt_tokens>("prompt_tokens", "Prompt token count, or ``None`` if not set."),
    property<&span_completion_tokens>("completion_tokens",
                                      "Completion token count, or ``None`` if not set."),
    property<&span_total_tokens>("total_tokens", "Total token count, or ``None`` if not set."),
    property<&span_security_score>("security_score",
                                   "Overall security score (0\u2013100), or ``None`` if not "
                                   "analysed."),
    property<&span_error_message>("error_message",
                                  "Error message if the span failed, or ``None``."),
    property<&span_status_code>("status_code", "HTTP status code of the response, or ``None``."),
    property<&span_security_findings_count>("security_findings_count",
                                            "Number of security findings attached to this span."),
    property<&span_agent_actions_count>("agent_actions_count",
                                        "Number of agent actions recorded on this span."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot span_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&span_repr>)},
};

constexpr ClassDefinition kTraceSpanClass{
    "TraceSpan",
    "A single trace span representing one LLM interaction.\n\nCreated via "
    "[`TamloxTracer.start_span`]. Use setters to record the\nprompt, response, token counts, "
    "and completion status.",
    sizeof(Instance<PyTraceSpan>),
    &dealloc_entry<PyTraceSpan>,
    span_slots,
    span_methods,
    span_properties,
    false,
};

}  // namespace

TypeCell& PyTraceSpan::type_cell() {
  static TypeCell cell(kTraceSpanClass);
  return cell;
}

Outcome new_span_object(TraceSpan record) {
  return make_instance(PyTraceSpan{std::move(record)});
}

}  // namespace pelnorix::python
