"""Encoded requests delivered to a real OpenTelemetry collector (rotel), and
what it decoded from them. rotel drops JSON keys it does not know without a
word, so the checks are on the values it printed, not on acceptance."""

from __future__ import annotations

import pytest
from collector import CollectedSpan, Collector
from sample_spans import RESOURCE, TENANT_A, typical_span, unix_nanos

import pelnorix
from pelnorix_otel._encoding import ContentPolicy, RequestEncoder
from pelnorix_otel._links import SpanLink, otlp_span_id, otlp_trace_id


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("protocol", ["http/protobuf", "http/json"])
def test_collector_decodes_the_spans(collector: Collector, protocol: str, compress: bool) -> None:
    tracer = pelnorix.TamloxTracer(tenant_id=TENANT_A)
    typical = typical_span(tracer)
    failed = tracer.start_span("chat_completion", "anthropic", "claude-3")
    failed.set_prompt("hello")
    failed.set_error("overloaded", 529)
    link = SpanLink(otlp_trace_id(failed.trace_id), otlp_span_id(failed.span_id))
    encoder = RequestEncoder(protocol=protocol, resource=RESOURCE,  # type: ignore[arg-type]
                             content=ContentPolicy(max_attribute_bytes=4096))
    body = encoder.encode([(failed.to_json(), None), (typical.to_json(), link)])

    since = collector.mark()
    assert collector.post(body, encoder.content_type, compress=compress) == 200
    spans = collector.wait_for_spans(5, since=since)
    by_name: dict[str, CollectedSpan] = {span.name: span for span in spans}
    assert sorted(by_name) == ["chat claude-3", "chat gpt-4", "execute_tool /srv/data.csv",
                               "execute_tool ls /srv", "execute_tool web_search"]

    root = by_name["chat claude-3"]
    assert (root.trace_id, root.span_id, root.parent_id) == (
        otlp_trace_id(failed.trace_id), otlp_span_id(failed.span_id), "")
    assert root.resource["service.name"] == "Str(checkout)"
    assert root.resource["deployment.count"] == "Int(3)"
    assert root.resource["tenant.id"] == f"Str({TENANT_A})"
    assert root.scope == "pelnorix 0.3.0"
    assert (root.kind, root.status_code, root.status_message) == (
        "SPAN_KIND_CLIENT", "STATUS_CODE_ERROR", "overloaded")
    assert root.start_time == unix_nanos(failed.to_dict()["start_time"])
    assert root.end_time == unix_nanos(failed.to_dict()["end_time"])
    assert root.attributes["error.type"] == "Str(529)"
    assert root.attributes["http.response.status_code"] == "Int(529)"
    assert root.attributes["gen_ai.provider.name"] == "Str(anthropic)"

    call = by_name["chat gpt-4"]
    assert (call.trace_id, call.parent_id) == (root.trace_id, root.span_id)
    assert call.attributes["gen_ai.operation.name"] == "Str(chat)"
    assert call.attributes["gen_ai.usage.input_tokens"] == "Int(250)"
    assert call.attributes["gen_ai.response.time_to_first_chunk"] == "Double(0.12)"
    assert call.attributes["gen_ai.request.temperature"] == "Double(0.7)"
    assert call.attributes["gen_ai.response.finish_reasons"] == "Slice(Str(length))"
    assert call.attributes["env"] == "Str(production)"
    assert "\U0001f600" in call.attributes["gen_ai.input.messages"]
    assert call.status_code == "STATUS_CODE_UNSET"

    document = typical.to_dict()
    for action in document["agent_actions"]:
        child = by_name[f"execute_tool {action['name']}"]
        assert (child.trace_id, child.parent_id) == (call.trace_id, call.span_id)
        assert child.span_id == otlp_span_id(action["id"])
        assert child.kind == "SPAN_KIND_INTERNAL"
        assert child.end_time == unix_nanos(action["timestamp"])
        assert child.end_time - child.start_time == (action["duration_ms"] or 0) * 10**6
        assert child.attributes["gen_ai.tool.name"] == f"Str({action['name']})"
        assert child.attributes["pelnorix.action.type"] == f"Str({action['action_type']})"
        assert child.status_code == ("STATUS_CODE_UNSET" if action["success"] else "STATUS_CODE_ERROR")
    assert by_name["execute_tool web_search"].attributes["gen_ai.tool.call.arguments"] == 'Str({"q": "x"})'
