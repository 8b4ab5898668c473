"""A nested trace of captured calls and steps, exported into a real OpenTelemetry collector (rotel):
one trace id, each span under its parent, the captured content as the conventions' attributes."""

from __future__ import annotations

import asyncio
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import openai
import pytest

import mock_llm_api as mock
import pelnorix_otel
from collector import CollectedSpan, Collector
from mock_llm_api import MockLLMAPI, ToolCall
from pelnorix_otel import OTLPExporter, SpanCollector, carry_context, step

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"
QUESTION: Any = [{"role": "user", "content": "Weather in Paris?"}]


def _strings(value: str) -> list[str]:
    """The texts of rotel's ``Slice(Str(a), Str(b))``."""
    return [item[4:-1] for item in value[len("Slice(") : -1].split(", ")]


def _json(value: str) -> Any:
    assert value.startswith("Str(") and value.endswith(")")
    return json.loads(value[4:-1])


def test_a_nested_trace_arrives_with_its_parent_links(
    collector: Collector, recorder: SpanCollector, api: MockLLMAPI
) -> None:
    call = ToolCall("call_8fQ2", "get_weather", {"city": "Paris"})
    api.plan(mock.chat_stream("", tool_calls=[call], usage=(84, 17)), mock.error(429))
    anthropic_api = MockLLMAPI(mock.message("18 °C, sunny.", usage=(30, 6)))
    openai_client = pelnorix_otel.capture(mock.async_openai_client(api))
    anthropic_client = pelnorix_otel.capture(mock.anthropic_client(anthropic_api))

    @step("weather")
    def get_weather(city: str) -> str:  # runs on a pool thread, inside the agent's trace
        reply = anthropic_client.messages.create(
            model="claude-sonnet-4-5", max_tokens=64, messages=[{"role": "user", "content": city}]
        )
        return str(reply.content[0].text)  # type: ignore[union-attr]

    async def answer() -> None:  # an asyncio task of its own: a call that fails with 429
        with pytest.raises(openai.RateLimitError):
            await openai_client.chat.completions.create(model="gpt-4o-mini", messages=QUESTION)

    @step("assistant")
    async def assistant() -> None:
        stream = await openai_client.chat.completions.create(model="gpt-4o-mini", messages=QUESTION, stream=True)
        async for _ in stream:
            pass
        with step("get_weather", kind="tool") as tool, ThreadPoolExecutor(1) as pool:
            tool.set_prompt(json.dumps(call.arguments))
            tool.set_response(await asyncio.get_running_loop().run_in_executor(pool, carry_context(get_weather), "Paris"))
        await asyncio.create_task(answer())

    since = collector.mark()
    with OTLPExporter(endpoint=collector.endpoint, service_name="capture-e2e") as exporter:
        pelnorix_otel.set_sink(exporter)  # the recorder fixture puts the default back afterwards
        asyncio.run(assistant())
        assert exporter.flush(timeout=30)
        assert (exporter.counters().sent, exporter.counters().dropped_total) == (6, 0)

    spans = collector.wait_for_spans(6, since=since)
    named: dict[str, list[CollectedSpan]] = {}
    for span in spans:
        named.setdefault(span.name, []).append(span)
    (agent,) = named["invoke_agent assistant"]
    streamed, failed = sorted(named["chat gpt-4o-mini"], key=lambda span: span.start_time)
    (tool,) = named["execute_tool get_weather"]
    (inner,) = named["invoke_agent weather"]
    (claude,) = named["chat claude-sonnet-4-5"]

    assert {span.trace_id for span in spans} == {agent.trace_id}
    parents = [(span.parent_id, parent.span_id) for span, parent in [
        (streamed, agent), (tool, agent), (inner, tool), (claude, inner), (failed, agent)
    ]]
    assert agent.parent_id == "" and all(parent == expected for parent, expected in parents)
    assert (agent.kind, tool.kind, streamed.kind) == ("SPAN_KIND_INTERNAL", "SPAN_KIND_INTERNAL", "SPAN_KIND_CLIENT")

    # The streamed call: the tool call it asked for, its usage, its time to first token.
    attributes = streamed.attributes
    assert _json(attributes["gen_ai.output.messages"])[0]["parts"] == [
        {"type": "tool_call", "id": "call_8fQ2", "name": "get_weather", "arguments": {"city": "Paris"}}
    ]
    assert _strings(attributes["gen_ai.response.finish_reasons"]) == ["tool_calls"]
    assert (attributes["gen_ai.usage.input_tokens"], attributes["gen_ai.usage.output_tokens"]) == ("Int(84)", "Int(17)")
    assert attributes["gen_ai.response.time_to_first_chunk"].startswith("Double(")
    assert attributes["gen_ai.provider.name"] == "Str(openai)"
    assert _json(tool.attributes["gen_ai.tool.call.arguments"]) == {"city": "Paris"}
    assert claude.attributes["gen_ai.provider.name"] == "Str(anthropic)"
    assert claude.attributes["gen_ai.usage.input_tokens"] == "Int(30)"
    assert (failed.status_code, failed.attributes["http.response.status_code"]) == ("STATUS_CODE_ERROR", "Int(429)")
    assert failed.attributes["error.type"] == "Str(RateLimitError)"


@pytest.mark.parametrize(
    "example, agent",
    [("openai_chat.py", "invoke_agent weather-assistant"), ("anthropic_agent.py", "invoke_agent travel-agent")],
)
def test_the_example_exports_its_trace(collector: Collector, example: str, agent: str) -> None:
    environment = {key: value for key, value in os.environ.items() if not key.startswith("OTEL_")}
    environment["OTEL_EXPORTER_OTLP_ENDPOINT"] = collector.endpoint
    since = collector.mark()
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / example)], capture_output=True, text=True, env=environment, timeout=120
    )
    assert done.returncode == 0, done.stderr
    spans = collector.wait_for_spans(4, since=since)  # the step, two model calls and the tool between them
    (root,) = [span for span in spans if span.name == agent]
    assert {span.trace_id for span in spans} == {root.trace_id}
    assert sorted(span.parent_id == root.span_id for span in spans) == [False, True, True, True]
