"""The public API used the way an application uses it, fully annotated so that a
strict type check against the shipped stubs proves the stubs fit real use."""

from __future__ import annotations

import json
from typing import Any

import pytest

import pelnorix
from pelnorix import TamloxTracer

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"


class EchoClient:
    """Stands in for an LLM SDK client."""

    model: str = "echo-1"

    def complete(self, prompt: str) -> str:
        return prompt.upper()


def traced_completion(
    client: pelnorix.InstrumentedClient, prompt: str
) -> tuple[pelnorix.TraceSpan, str]:
    span: pelnorix.TraceSpan = client.start_span("chat_completion", "openai", client.model)
    span.set_prompt(prompt)
    span.add_tag("env", "test")
    action_id: str = span.report_action(
        "tool_call",
        "lookup",
        arguments='{"q": "capital"}',
        result="found",
        duration_ms=5,
        success=True,
    )
    answer: str = client.complete(prompt)
    span.set_token_counts(prompt_tokens=len(prompt.split()), completion_tokens=1)
    span.set_ttft_ms(3)
    span.set_response(answer)
    return span, action_id


def test_traced_call() -> None:
    tracer = TamloxTracer(tenant_id=TENANT, endpoint="http://localhost:4318")
    client = pelnorix.instrument(EchoClient(), tracer=tracer)
    span, action_id = traced_completion(client, "what is the capital")

    assert span.is_complete and not span.is_failed
    assert span.response == "WHAT IS THE CAPITAL"
    total: int | None = span.total_tokens
    assert total == 5
    duration: int | None = span.duration_ms
    assert duration is not None and duration >= 0
    assert span.agent_actions_count == 1
    assert len(action_id) == 36


def test_failed_call() -> None:
    span = TamloxTracer().start_span("embedding", "anthropic", "m")
    span.set_error("rate limited", 429)
    code: int | None = span.status_code
    message: str | None = span.error_message
    assert (code, message) == (429, "rate limited")
    assert span.is_failed


def test_export() -> None:
    span, action_id = traced_completion(pelnorix.instrument(EchoClient()), "hello")
    text: str = span.to_json()
    document: dict[str, Any] = span.to_dict()
    findings: list[dict[str, Any]] = span.security_findings()

    assert json.loads(text) == document
    assert document["trace_id"] == span.trace_id
    actions: list[dict[str, Any]] = document["agent_actions"]
    assert [action["id"] for action in actions] == [action_id]
    assert findings == [] and span.security_findings_count == 0
    summary: str = repr(span)
    assert summary.endswith("complete=true)")


def test_configure_and_instrument() -> None:
    tracer: TamloxTracer = pelnorix.configure(
        {"tenant_id": TENANT, "endpoint": "http://collector", "enable_security": False}
    )
    assert tracer.tenant_id == TENANT
    endpoint: str | None = tracer.endpoint
    assert endpoint == "http://collector"
    assert tracer.enable_security is False

    client = pelnorix.instrument(EchoClient(), tracer=tracer)
    assert client.tracer is tracer
    assert isinstance(client.wrapped_client, EchoClient)
    assert client.model == "echo-1"
    assert client.start_span("op", "vllm", "m").to_dict()["tenant_id"] == TENANT

    version: str = pelnorix.__version__
    assert version == "0.3.0"
    assert "instrument" in pelnorix.__all__


def test_errors_an_application_handles() -> None:
    span = TamloxTracer().start_span("op", "openai", "m")
    with pytest.raises(ValueError, match="^Invalid action_type: 'Tool_Call'"):
        span.report_action("Tool_Call", "search")
    with pytest.raises(ValueError, match="^Invalid tenant_id UUID: "):
        pelnorix.configure({"tenant_id": "not-a-uuid"})
    with pytest.raises(OverflowError):
        span.set_error("bad status", 70000)
    assert span.agent_actions_count == 0 and not span.is_complete
