// The TraceSpan class: its methods, properties and type cell.
#include "boundary/callables.hpp"
#include "span/span.hpp"

namespace pelnorix::python {
namespace {

using Span = Members<PyTraceSpan>;

// Registration order matters to introspection: the export methods and
// report_action take their places around the recording methods.
PyMethodDef span_methods[] = {
    Span::method<"security_findings", &span_security_findings, "",
                 "Security findings as a list of dicts.">(),
    Span::method<"set_prompt", &span_set_prompt, "prompt", "Set the prompt text for this span.">(),
    Span::method<"set_response", &span_set_response, "response",
                 "Record a successful response and mark the span as complete.">(),
    Span::method<"set_error", &span_set_error, "error, status_code",
                 "Record an error and mark the span as complete.">(),
    Span::method<"set_token_counts", &span_set_token_counts, "*, prompt_tokens, completion_tokens",
                 "Set token counts for this span.">(),
    Span::method<"set_ttft_ms", &span_set_ttft_ms, "ttft_ms",
                 "Set the time-to-first-token in milliseconds.">(),
    Span::method<"add_tag", &span_add_tag, "key, value",
                 "Add a custom tag (key-value pair) to this span.">(),
    Span::method<"report_action", &span_report_action,
                 "action_type, name, *, arguments, result, duration_ms, success",
                 "Report an agent action on this span.\n\nArgs:\n"
                 "    action_type: One of ``\"tool_call\"``, ``\"skill_invocation\"``,\n"
                 "                 ``\"command_execution\"``, ``\"web_access\"``, "
                 "``\"file_access\"``.\n"
                 "    name: Name of the tool, skill, command, URL, or file path.\n"
                 "    arguments: Optional arguments or parameters.\n"
                 "    result: Optional result (truncated to 4KB).\n"
                 "    duration_ms: Optional duration in milliseconds.\n"
                 "    success: Whether the action succeeded (default ``True``).\n\n"
                 "Returns:\n    The action ID (UUID string).">(),
    Span::method<"to_dict", &span_to_dict, "", "Serialise the span to a Python dictionary.">(),
    Span::method<"to_json", &span_to_json, "", "Serialise the span to a JSON string.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef span_properties[] = {
    Span::field<&PyTraceSpan::record, &TraceSpan::trace_id>(
        "trace_id", "Unique trace identifier (UUID string)."),
    Span::field<&PyTraceSpan::record, &TraceSpan::span_id>("span_id",
                                                           "Unique span identifier (UUID string)."),
    Span::field<&PyTraceSpan::record, &TraceSpan::operation_name>(
        "operation_name", "Operation name (e.g. ``\"chat_completion\"``)."),
    Span::field<&PyTraceSpan::record, &TraceSpan::model_name>("model_name",
                                                              "Model name (e.g. ``\"gpt-4\"``)."),
    Span::field<&PyTraceSpan::record, &TraceSpan::prompt>(
        "prompt", "The prompt text recorded for this span."),
    Span::field<&PyTraceSpan::record, &TraceSpan::response>(
        "response", "The response text, or ``None`` if not yet recorded."),
    Span::field<&PyTraceSpan::record, &TraceSpan::is_complete>(
        "is_complete", "Whether the span has been completed (response or error recorded)."),
    Span::field<&PyTraceSpan::record, &TraceSpan::is_failed>(
        "is_failed", "Whether the span ended with an error."),
    Span::field<&PyTraceSpan::record, &TraceSpan::duration_ms>(
        "duration_ms", "Duration in milliseconds, or ``None`` if still in progress."),
    Span::field<&PyTraceSpan::record, &TraceSpan::prompt_tokens>(
        "prompt_tokens", "Prompt token count, or ``None`` if not set."),
    Span::field<&PyTraceSpan::record, &TraceSpan::completion_tokens>(
        "completion_tokens", "Completion token count, or ``None`` if not set."),
    Span::field<&PyTraceSpan::record, &TraceSpan::total_tokens>(
        "total_tokens", "Total token count, or ``None`` if not set."),
    Span::field<&PyTraceSpan::record, &TraceSpan::security_score>(
        "security_score", "Overall security score (0\u2013100), or ``None`` if not analysed."),
    Span::field<&PyTraceSpan::record, &TraceSpan::error_message>(
        "error_message", "Error message if the span failed, or ``None``."),
    Span::field<&PyTraceSpan::record, &TraceSpan::status_code>(
        "status_code", "HTTP status code of the response, or ``None``."),
    Span::property<&span_security_findings_count>(
        "security_findings_count", "Number of security findings attached to this span."),
    Span::property<&span_agent_actions_count>("agent_actions_count",
                                              "Number of agent actions recorded on this span."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot span_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<&span_repr>)},
};

constexpr ClassDefinition kTraceSpanClass = define_class<PyTraceSpan>({
    .doc = "A single trace span representing one LLM interaction.\n\nCreated via "
           "[`TamloxTracer.start_span`]. Use setters to record the\nprompt, response, token "
           "counts, and completion status.",
    .own_slots = span_slots,
    .methods = span_methods,
    .properties = span_properties,
});

}  // namespace

TypeCell& PyTraceSpan::type_cell() {
  static TypeCell cell(kTraceSpanClass);
  return cell;
}

Outcome new_span_object(TraceSpan&& record) {
  return make_instance<PyTraceSpan>(std::move(record));
}

}  // namespace pelnorix::python
