"""An openai chat with a tool call and a streamed answer, traced by pelnorix_otel with no span code.

The real `openai` client runs offline here: its HTTP client answers from `mock_llm_api` through
`httpx2.MockTransport`. Against the real service, drop `http_client=...` and set OPENAI_API_KEY.
The whole conversation is one trace: the assistant's run, the two model calls and the tool step.
It is printed at the end and, when OTEL_EXPORTER_OTLP_ENDPOINT is set, exported there.
"""

from __future__ import annotations

import json
import os
from typing import Any

import httpx2
import openai

import pelnorix_otel
from mock_llm_api import MockLLMAPI, ToolCall, chat_stream

WEATHER_TOOL: Any = {
    "type": "function",
    "function": {
        "name": "get_weather",
        "description": "The current weather in a city.",
        "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]},
    },
}


def get_weather(city: str) -> str:
    return json.dumps({"city": city, "temperature_c": 18, "sky": "sunny"})


def offline_api() -> httpx2.Client:
    """What the service would answer: first a tool call, then the answer, both streamed."""
    api = MockLLMAPI(
        chat_stream("", tool_calls=[ToolCall("call_8fQ2", "get_weather", {"city": "Paris"})], usage=(84, 17)),
        chat_stream("It is 18 °C and sunny in Paris right now.", usage=(121, 14)),
    )
    return httpx2.Client(transport=httpx2.MockTransport(api))


def ask(client: openai.OpenAI, messages: list[Any]) -> tuple[str, dict[int, list[str]]]:
    """One streamed turn: prints the text as it arrives, collects the tool calls."""
    text: list[str] = []
    calls: dict[int, list[str]] = {}  # index -> [id, name, arguments]
    stream = client.chat.completions.create(
        model="gpt-4o-mini", messages=messages, tools=[WEATHER_TOOL], stream=True
    )
    for chunk in stream:
        delta = chunk.choices[0].delta
        if delta.content:
            print(delta.content, end="", flush=True)
            text.append(delta.content)
        for call in delta.tool_calls or ():
            slot = calls.setdefault(call.index, ["", "", ""])
            slot[0] = call.id or slot[0]
            if call.function is not None:
                slot[1] = call.function.name or slot[1]
                slot[2] += call.function.arguments or ""
    return "".join(text), calls


@pelnorix_otel.step("weather-assistant")
def assistant(client: openai.OpenAI, question: str) -> str:
    messages: list[Any] = [{"role": "user", "content": question}]
    while True:
        text, calls = ask(client, messages)
        if not calls:
            print()
            return text
        messages.append(
            {
                "role": "assistant",
                "content": text or None,
                "tool_calls": [
                    {"id": call_id, "type": "function", "function": {"name": name, "arguments": arguments}}
                    for call_id, name, arguments in calls.values()
                ],
            }
        )
        for call_id, name, arguments in calls.values():
            with pelnorix_otel.step(name, kind="tool") as span:
                span.add_tag("gen_ai.tool.call.id", call_id)
                span.set_prompt(arguments)
                result = get_weather(**json.loads(arguments))
                span.set_response(result)
            messages.append({"role": "tool", "tool_call_id": call_id, "content": result})


def main() -> None:
    exporter = None
    if os.environ.get("OTEL_EXPORTER_OTLP_ENDPOINT"):
        from pelnorix_otel import OTLPExporter

        exporter = OTLPExporter(service_name="openai-chat-example")
    # The two lines a program adds: where spans go, and the traced client.
    pelnorix_otel.set_sink(collector := pelnorix_otel.SpanCollector(forward=exporter))
    client = pelnorix_otel.capture(openai.OpenAI(api_key="sk-offline", http_client=offline_api()))

    assistant(client, "What is the weather in Paris?")
    print()
    print(collector.render())
    if exporter is not None:
        exporter.shutdown(timeout=10)
        print(f"exported to {exporter.settings.endpoint}: {exporter.counters()}")


if __name__ == "__main__":
    main()
