"""An anthropic agent loop traced by pelnorix_otel: the model asks for a tool, the tool runs in a
traced step, the answer comes back; every piece lands in one trace with no span code.

The real `anthropic` client runs offline here: its HTTP client answers from `mock_llm_api`
through `httpx2.MockTransport`. Against the real service, drop `http_client=...` and set
ANTHROPIC_API_KEY. The trace is printed at the end and, when OTEL_EXPORTER_OTLP_ENDPOINT is set,
exported there.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from typing import Any

import anthropic
import httpx2

import pelnorix_otel
from mock_llm_api import MockLLMAPI, ToolCall, message_stream

TOOLS: Any = [
    {
        "name": "find_flights",
        "description": "Direct flights between two cities on a date.",
        "input_schema": {
            "type": "object",
            "properties": {"origin": {"type": "string"}, "destination": {"type": "string"}, "date": {"type": "string"}},
            "required": ["origin", "destination", "date"],
        },
    }
]


def find_flights(origin: str, destination: str, date: str) -> str:
    return f"{origin}-{destination} {date}: AF1234 07:05, AF1240 12:30, AF1252 18:45"


RUN_TOOL: dict[str, Callable[..., str]] = {"find_flights": find_flights}


def offline_api() -> httpx2.Client:
    """What the service would answer: a tool request, then the answer, streamed."""
    request = ToolCall("toolu_01A9", "find_flights", {"origin": "Paris", "destination": "Rome", "date": "2026-03-02"})
    api = MockLLMAPI(
        message_stream("I'll look up the flights.", tool_calls=[request], usage=(412, 61)),
        message_stream("There are three direct flights; the earliest, AF1234, leaves at 07:05.", usage=(503, 27)),
    )
    return httpx2.Client(transport=httpx2.MockTransport(api))


@pelnorix_otel.step("travel-agent")
def agent(client: anthropic.Anthropic, question: str) -> str:
    messages: list[Any] = [{"role": "user", "content": question}]
    while True:
        with client.messages.stream(
            model="claude-sonnet-4-5", max_tokens=1024, tools=TOOLS, messages=messages
        ) as stream:
            for text in stream.text_stream:
                print(text, end="", flush=True)
            reply = stream.get_final_message()
        print()
        if reply.stop_reason != "tool_use":
            return "".join(block.text for block in reply.content if block.type == "text")
        messages.append({"role": "assistant", "content": reply.content})
        results = []
        for block in reply.content:
            if block.type == "tool_use":
                with pelnorix_otel.step(block.name, kind="tool") as span:
                    span.add_tag("gen_ai.tool.call.id", block.id)
                    span.set_prompt(json.dumps(block.input))
                    output = RUN_TOOL[block.name](**block.input)
                    span.set_response(output)
                results.append({"type": "tool_result", "tool_use_id": block.id, "content": output})
        messages.append({"role": "user", "content": results})


def main() -> None:
    exporter = None
    if os.environ.get("OTEL_EXPORTER_OTLP_ENDPOINT"):
        from pelnorix_otel import OTLPExporter

        exporter = OTLPExporter(service_name="anthropic-agent-example")
    # The two lines a program adds: where spans go, and the traced client.
    pelnorix_otel.set_sink(collector := pelnorix_otel.SpanCollector(forward=exporter))
    client = pelnorix_otel.capture(anthropic.Anthropic(api_key="sk-ant-offline", http_client=offline_api()))

    agent(client, "Which direct flights go from Paris to Rome on 2 March 2026?")
    print()
    print(collector.render())
    if exporter is not None:
        exporter.shutdown(timeout=10)
        print(f"exported to {exporter.settings.endpoint}: {exporter.counters()}")


if __name__ == "__main__":
    main()
