"""Request bodies of the native encoder, read by the official OTLP classes."""

from __future__ import annotations

import base64
import json
from collections.abc import Callable
from typing import Any

import pytest
from google.protobuf import json_format
from google.protobuf.descriptor import Descriptor, FieldDescriptor
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.trace.v1.trace_pb2 import Span, Status

from sample_spans import RESOURCE, TENANT_A, TENANT_B, typical_span, unix_nanos

import pelnorix
from pelnorix_otel._encoding import ContentPolicy, RequestEncoder
from pelnorix_otel._links import SpanLink, otlp_span_id, otlp_trace_id

def decoded_json(body: bytes) -> ExportTraceServiceRequest:
    """OTLP/JSON through the protobuf JSON parser, which reads ids as base64:
    every key must be a field's lowerCamelCase name, ids are turned from hex."""
    document = json.loads(body)

    def check(value: Any, message: Descriptor) -> None:
        for key, item in value.items():
            by_json_name = {f.json_name: f for f in message.fields}
            assert key in by_json_name, f"{key!r} is not a JSON name of {message.full_name}"
            field = by_json_name[key]
            if key in ("traceId", "spanId", "parentSpanId"):
                value[key] = base64.b64encode(bytes.fromhex(item)).decode()
            elif field.type == FieldDescriptor.TYPE_MESSAGE:
                for element in item if isinstance(item, list) else [item]:
                    check(element, field.message_type)

    check(document, ExportTraceServiceRequest.DESCRIPTOR)
    return json_format.Parse(json.dumps(document), ExportTraceServiceRequest())


def attributes(message: Any) -> dict[str, Any]:
    """Attribute values as Python values (string arrays as lists)."""
    values: dict[str, Any] = {}
    for kv in message.attributes:
        kind = kv.value.WhichOneof("value")
        if kind == "array_value":
            values[kv.key] = [v.string_value for v in kv.value.array_value.values]
        else:
            values[kv.key] = getattr(kv.value, kind)
    return values


def encode(items: list[tuple[str, SpanLink | None]], protocol: str = "http/protobuf",
           content: ContentPolicy = ContentPolicy()) -> bytes:
    encoder = RequestEncoder(protocol=protocol, resource=RESOURCE, content=content)  # type: ignore[arg-type]
    return encoder.encode(items)


def test_both_encodings_carry_the_mapped_spans() -> None:
    typical = typical_span(pelnorix.TamloxTracer(tenant_id=TENANT_A))
    failed = pelnorix.TamloxTracer(tenant_id=TENANT_B).start_span("embedding", "bedrock", "titan")
    failed.set_error("rate limited", 429)
    step = pelnorix.TamloxTracer(tenant_id=TENANT_A).start_span("invoke_agent", "", "planner")
    step.set_response("done")
    link = SpanLink(otlp_trace_id(step.trace_id), otlp_span_id(step.span_id))
    items = [(typical.to_json(), link), (failed.to_json(), None), (step.to_json(), None)]

    request = ExportTraceServiceRequest.FromString(encode(items))
    assert decoded_json(encode(items, "http/json")) == request

    # One ResourceSpans per tenant, in order of first appearance.
    assert [attributes(group.resource) for group in request.resource_spans] == [
        {**RESOURCE, "tenant.id": TENANT_A}, {**RESOURCE, "tenant.id": TENANT_B}]
    scope = request.resource_spans[0].scope_spans[0]
    assert (scope.scope.name, scope.scope.version) == ("pelnorix", "0.3.0")
    call, search, read, listing, agent = scope.spans
    document = typical.to_dict()

    assert call.trace_id.hex() == link.trace_id and call.parent_span_id.hex() == link.parent_span_id
    assert call.span_id.hex() == otlp_span_id(typical.span_id)
    assert (call.name, call.kind) == ("chat gpt-4", Span.SPAN_KIND_CLIENT)
    assert call.start_time_unix_nano == unix_nanos(document["start_time"])
    assert call.end_time_unix_nano == unix_nanos(document["end_time"])
    assert call.flags == 0x101
    assert call.status.code == Status.STATUS_CODE_UNSET
    values = attributes(call)
    assert json.loads(values.pop("gen_ai.input.messages")) == [
        {"role": "user", "parts": [{"type": "text", "content": typical.prompt}]}]
    assert json.loads(values.pop("gen_ai.output.messages")) == [
        {"role": "assistant", "parts": [{"type": "text", "content": typical.response}],
         "finish_reason": "length"}]
    assert values == {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
        "gen_ai.request.model": "gpt-4", "gen_ai.usage.input_tokens": 250,
        "gen_ai.usage.output_tokens": 250, "gen_ai.response.time_to_first_chunk": 0.12,
        "pelnorix.span.id": typical.span_id, "env": "production", "region": "eu-west-1",
        "user": "u-42", "gen_ai.request.temperature": 0.7,
        "gen_ai.response.finish_reasons": ["length"]}

    for child, action in zip([search, read, listing], document["agent_actions"]):
        assert child.trace_id == call.trace_id and child.parent_span_id == call.span_id
        assert child.span_id.hex() == otlp_span_id(action["id"])
        assert (child.name, child.kind) == (f"execute_tool {action['name']}", Span.SPAN_KIND_INTERNAL)
        assert child.end_time_unix_nano == unix_nanos(action["timestamp"])
        assert child.start_time_unix_nano == child.end_time_unix_nano - (action["duration_ms"] or 0) * 10**6
        assert attributes(child)["pelnorix.action.type"] == action["action_type"]
    assert attributes(search)["gen_ai.tool.call.result"] == "r" * 200
    assert listing.status.code == Status.STATUS_CODE_ERROR
    assert attributes(listing)["error.type"] == "_OTHER"

    assert agent.trace_id.hex() == otlp_trace_id(step.trace_id) and not agent.parent_span_id
    assert (agent.name, agent.kind) == ("invoke_agent planner", Span.SPAN_KIND_INTERNAL)
    assert attributes(agent)["gen_ai.agent.name"] == "planner"

    (failure,) = request.resource_spans[1].scope_spans[0].spans
    assert (failure.name, failure.status.code, failure.status.message) == (
        "embeddings titan", Status.STATUS_CODE_ERROR, "rate limited")
    assert attributes(failure) == {
        "gen_ai.operation.name": "embeddings", "gen_ai.provider.name": "aws.bedrock",
        "gen_ai.request.model": "titan", "error.type": "429", "http.response.status_code": 429,
        "pelnorix.span.id": failed.span_id}


@pytest.mark.parametrize("redump", [
    lambda text: json.dumps(json.loads(text)),
    lambda text: json.dumps(json.loads(text), indent="\t", ensure_ascii=False),
    lambda text: json.dumps(json.loads(text), separators=(",", ":")),
], ids=["ascii_escapes", "tabs_unicode", "compact"])
def test_documents_rewritten_by_json_encode_the_same(redump: Callable[[str], str]) -> None:
    span = typical_span(pelnorix.TamloxTracer())
    assert encode([(redump(span.to_json()), None)]) == encode([(span.to_json(), None)])


def test_content_policy() -> None:
    span = typical_span(pelnorix.TamloxTracer())
    span.set_error("card 4111 declined")
    seen: list[str] = []

    def redact(text: str) -> str:
        seen.append(text)
        return text.replace("4111", "****")

    request = ExportTraceServiceRequest.FromString(
        encode([(span.to_json(), None)], content=ContentPolicy(redact=redact, max_attribute_bytes=600)))
    call = request.resource_spans[0].scope_spans[0].spans[0]
    assert call.status.message == "card **** declined"
    assert sorted(seen) == sorted([span.prompt, span.response, '{"q": "x"}', "r" * 200,
                                   "card 4111 declined"])
    values = attributes(call)
    # Cut inside the text: still the message form, within the cap.
    messages = json.loads(values["gen_ai.output.messages"])
    assert len(values["gen_ai.output.messages"].encode()) <= 600
    assert "r" * 500 in messages[0]["parts"][0]["content"]

    bare = ExportTraceServiceRequest.FromString(
        encode([(span.to_json(), None)], content=ContentPolicy(include_content=False)))
    for exported in bare.resource_spans[0].scope_spans[0].spans:
        assert not {"gen_ai.input.messages", "gen_ai.output.messages", "gen_ai.tool.call.arguments",
                    "gen_ai.tool.call.result"} & attributes(exported).keys()
    assert bare.resource_spans[0].scope_spans[0].spans[0].status.message == "card 4111 declined"


def test_redaction_failures_reach_the_caller() -> None:
    span = typical_span(pelnorix.TamloxTracer())
    raised = LookupError("vault unavailable")

    def failing(text: str) -> str:
        raise raised

    with pytest.raises(LookupError) as caught:
        encode([(span.to_json(), None)], content=ContentPolicy(redact=failing))
    assert caught.value is raised
    with pytest.raises(TypeError, match="'int' object is not an instance of 'str'") as wrong:
        encode([(span.to_json(), None)], content=ContentPolicy(redact=lambda text: 5))  # type: ignore[arg-type,return-value]
    assert wrong.value.__notes__ == ["while processing the result of redact"]


DOCUMENT = pelnorix.TamloxTracer().start_span("chat", "openai", "m").to_json()


@pytest.mark.parametrize(("items", "error", "message"), [
    ([(DOCUMENT, None), ("{}", None)], ValueError,
     r"items\[1\]: invalid span document: missing key 'trace_id' in span at byte 2"),
    ([(DOCUMENT.replace('"OpenAI"', '"openai"'), None)], ValueError, "provider: unknown provider 'openai'"),
    ([(DOCUMENT,)], TypeError, r"items\[0\]: expected a \(span document, link\) pair"),
    ([(b"{}", None)], TypeError, "'bytes' object is not an instance of 'str'"),
    ([(DOCUMENT, ("ab", "cd"))], ValueError, "link trace_id must be 32 hexadecimal digits"),
    ([(DOCUMENT, ("0" * 32, "xyz"))], ValueError, "link parent_span_id must be 16 hexadecimal digits"),
    ([(DOCUMENT, "link")], TypeError, "the link must be a SpanLink"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_invalid_items_are_refused(items: Any, error: type[Exception], message: str) -> None:
    with pytest.raises(error, match=message):
        encode(items)


@pytest.mark.parametrize(("arguments", "error"), [
    ({"protocol": "grpc"}, ValueError),
    ({"resource": {"n": 2**63}}, ValueError),
    ({"resource": {"n": [1]}}, TypeError),
    ({"resource": {1: "x"}}, TypeError),
    ({"content": (True, None, 10)}, TypeError),
    ({"content": ContentPolicy(redact="x")}, TypeError),  # type: ignore[arg-type]
    ({"content": ContentPolicy(max_attribute_bytes=-1)}, ValueError),
    ({"content": ContentPolicy(include_content=1)}, TypeError),  # type: ignore[arg-type]
])
def test_encoder_configuration_is_checked(arguments: dict[str, Any], error: type[Exception]) -> None:
    with pytest.raises(error):
        RequestEncoder(**{"protocol": "http/json", "resource": {}, **arguments})
    assert RequestEncoder(protocol="http/json", resource={}).content_type == "application/json"
    assert RequestEncoder(protocol="http/protobuf", resource={}).content_type == "application/x-protobuf"
