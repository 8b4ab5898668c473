"""Every captured call shape, sync and async, against the real SDKs: what the span records, and
that the caller sees exactly what the bare client gives for the same answer."""

from __future__ import annotations

import asyncio
import json
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import anthropic
import openai
import pytest

import mock_llm_api as mock
import pelnorix_otel
from mock_llm_api import MockLLMAPI, ToolCall

WEATHER = ToolCall("call_w1", "get_weather", {"city": "Paris"})
QUESTION = "Weather in Paris?"
CHAT_MESSAGES: Any = [{"role": "system", "content": "Be brief."}, {"role": "user", "content": QUESTION}]
ANTHROPIC_ARGS: Any = dict(
    model="claude-sonnet-4-5", max_tokens=64, stop_sequences=["STOP"], system="Be brief.",
    messages=[{"role": "user", "content": QUESTION}],
)
RESPONSE_ARGS: Any = dict(model="gpt-4o-mini", instructions="Be brief.", input=QUESTION, max_output_tokens=64, temperature=0.2)
CHAT_ARGS: Any = dict(model="gpt-4o-mini", messages=CHAT_MESSAGES, max_tokens=64, temperature=0.2)
PARAMETERS = {"gen_ai.request.max_tokens": "64", "gen_ai.request.temperature": "0.2"}
PARIS = "The capital of France is Paris."


@dataclass(frozen=True)
class Shape:
    sdk: str
    reply: mock.Reply
    call: Callable[[Any], Any]
    text: str
    tokens: tuple[int, int | None]
    finish_reasons: list[str] | None
    streamed: bool
    operation: str = "chat"
    prompt: str = f"system: Be brief.\nuser: {QUESTION}"
    tool_call: bool = False


WITH_TOOL = f'{PARIS}\n[tool call] get_weather {{"city":"Paris"}} (call_w1)'
SHAPES = {
    "openai chat": Shape(
        "openai", mock.chat(PARIS, tool_calls=[WEATHER]),
        lambda c: c.chat.completions.create(**CHAT_ARGS), WITH_TOOL, (21, 8), ["tool_calls"], False, tool_call=True,
    ),
    "openai chat stream": Shape(
        "openai", mock.chat_stream(PARIS, tool_calls=[WEATHER]),
        lambda c: c.chat.completions.create(**CHAT_ARGS, stream=True), WITH_TOOL, (21, 8), ["tool_calls"], True,
        tool_call=True,
    ),
    "openai responses": Shape(
        "openai", mock.response(PARIS, tool_calls=[WEATHER]),
        lambda c: c.responses.create(**RESPONSE_ARGS), WITH_TOOL, (18, 8), ["completed"], False, tool_call=True,
    ),
    "openai responses stream": Shape(
        "openai", mock.response_stream(PARIS), lambda c: c.responses.create(**RESPONSE_ARGS, stream=True),
        PARIS, (18, 8), ["completed"], True,
    ),
    "openai responses.stream helper": Shape(
        "openai", mock.response_stream(PARIS), lambda c: c.responses.stream(**RESPONSE_ARGS),
        PARIS, (18, 8), ["completed"], True,
    ),
    "openai embeddings": Shape(
        "openai", mock.embedding(4), lambda c: c.embeddings.create(model="text-embedding-3-small", input=[QUESTION]),
        "", (5, None), None, False, operation="embeddings", prompt=QUESTION,
    ),
    "anthropic messages": Shape(
        "anthropic", mock.message(PARIS, tool_calls=[WEATHER]), lambda c: c.messages.create(**ANTHROPIC_ARGS),
        WITH_TOOL, (24, 9), ["tool_use"], False, tool_call=True,
    ),
    "anthropic messages stream": Shape(
        "anthropic", mock.message_stream(PARIS, tool_calls=[WEATHER]),
        lambda c: c.messages.create(**ANTHROPIC_ARGS, stream=True), WITH_TOOL, (24, 9), ["tool_use"], True,
        tool_call=True,
    ),
    "anthropic messages.stream helper": Shape(
        "anthropic", mock.message_stream(PARIS), lambda c: c.messages.stream(**ANTHROPIC_ARGS),
        PARIS, (24, 9), ["end_turn"], True,
    ),
}


def make_client(sdk: str, asynchronous: bool, api: MockLLMAPI) -> Any:
    factory = {
        ("openai", False): mock.openai_client,
        ("openai", True): mock.async_openai_client,
        ("anthropic", False): mock.anthropic_client,
        ("anthropic", True): mock.async_anthropic_client,
    }[sdk, asynchronous]
    return factory(api)


def dump(item: Any) -> Any:
    return item.model_dump(warnings=False) if hasattr(item, "model_dump") else item


def consume(result: Any, api: MockLLMAPI) -> Any:
    """What the caller sees: the object, or each streamed item with the number of body chunks the
    transport had produced when the item arrived (the same with capture: nothing read ahead)."""
    if isinstance(result, (openai.Stream, anthropic.Stream)):
        return [(dump(item), api.bodies[-1].produced) for item in result]
    if hasattr(result, "__enter__"):  # a stream manager
        with result as stream:
            items = [(dump(item), api.bodies[-1].produced) for item in stream]
            final = stream.get_final_message() if hasattr(stream, "get_final_message") else stream.get_final_response()
            return items, dump(final)
    return dump(result)


async def consume_async(result: Any, api: MockLLMAPI) -> Any:
    if hasattr(result, "__aenter__") and not isinstance(result, (openai.AsyncStream, anthropic.AsyncStream)):
        async with result as stream:
            items = [(dump(item), api.bodies[-1].produced) async for item in stream]
            final = await (stream.get_final_message() if hasattr(stream, "get_final_message") else stream.get_final_response())
            return items, dump(final)
    result = await result
    if isinstance(result, (openai.AsyncStream, anthropic.AsyncStream)):
        return [(dump(item), api.bodies[-1].produced) async for item in result]
    return dump(result)


def run(shape: Shape, client: Any, api: MockLLMAPI, asynchronous: bool) -> Any:
    api.plan(shape.reply)
    if asynchronous:
        return asyncio.run(consume_async(shape.call(client), api))
    return consume(shape.call(client), api)


@pytest.mark.parametrize("asynchronous", [False, True], ids=["sync", "async"])
@pytest.mark.parametrize("name", SHAPES)
def test_a_call_gives_one_span_and_the_caller_sees_what_the_bare_client_gives(
    name: str, asynchronous: bool, recorder: pelnorix_otel.SpanCollector
) -> None:
    shape = SHAPES[name]
    bare_api, traced_api = MockLLMAPI(), MockLLMAPI()
    bare = run(shape, make_client(shape.sdk, asynchronous, bare_api), bare_api, asynchronous)
    traced_client = pelnorix_otel.capture(make_client(shape.sdk, asynchronous, traced_api))
    assert run(shape, traced_client, traced_api, asynchronous) == bare

    # The request went out as the caller made it; an openai chat stream also asks for usage.
    sent = traced_api.requests[0]
    if name == "openai chat stream":
        assert sent.pop("stream_options") == {"include_usage": True}
    assert sent == bare_api.requests[0]

    [span] = recorder.spans
    record = span.to_dict()
    tags = record["tags"]
    assert (span.operation_name, record["provider"]) == (shape.operation, "OpenAI" if shape.sdk == "openai" else "Anthropic")
    assert span.model_name == sent["model"]
    assert span.prompt == shape.prompt
    assert span.response == shape.text and not span.is_failed
    assert (span.prompt_tokens, span.completion_tokens) == shape.tokens
    assert (record["time_to_first_token_ms"] is not None) == shape.streamed
    if shape.streamed:
        assert 0 <= record["time_to_first_token_ms"] <= record["duration_ms"]
    assert tags["server.address"] in ("api.openai.com", "api.anthropic.com") and tags["server.port"] == "443"
    if shape.operation == "embeddings":
        assert tags["gen_ai.embeddings.dimension.count"] == "4"
        return
    assert tags["gen_ai.response.model"].startswith(("gpt-4o-mini-", "claude-sonnet-4-5-"))
    assert tags["gen_ai.response.id"].startswith(("chatcmpl-", "resp_", "msg_"))
    assert json.loads(tags["gen_ai.response.finish_reasons"]) == shape.finish_reasons
    # (current anthropic releases take no temperature)
    expected = {**PARAMETERS, "gen_ai.request.temperature": None} if shape.sdk == "anthropic" else PARAMETERS
    assert {key: tags.get(key) for key in PARAMETERS} == expected
    question = {"role": "user", "parts": [{"type": "text", "content": QUESTION}]}
    assert json.loads(tags["gen_ai.input.messages"])[-1] == question
    if shape.sdk == "anthropic" or "responses" in name:
        assert json.loads(tags["gen_ai.system_instructions"]) == [{"type": "text", "content": "Be brief."}]
    [output] = json.loads(tags["gen_ai.output.messages"])
    assert output["role"] == "assistant" and output["parts"][0] == {"type": "text", "content": PARIS}
    if shape.tool_call:
        assert output["parts"][1] == {
            "type": "tool_call", "id": "call_w1", "name": "get_weather", "arguments": {"city": "Paris"},
        }
        assert output["finish_reason"] == "tool_call"
    else:
        assert len(output["parts"]) == 1 and output["finish_reason"] == "stop"


def test_a_conversation_with_tool_results_and_sdk_objects_reads_as_one_prompt(
    api: MockLLMAPI, recorder: pelnorix_otel.SpanCollector
) -> None:
    """The caller passes the model's own answer objects back, with the tool's result."""
    openai_client = pelnorix_otel.capture(mock.openai_client(api.plan(mock.chat(None, tool_calls=[WEATHER]), mock.chat())))
    asked = openai_client.chat.completions.create(model="gpt-4o-mini", messages=CHAT_MESSAGES)
    history = [*CHAT_MESSAGES, asked.choices[0].message, {"role": "tool", "tool_call_id": "call_w1", "content": "21 C"}]
    openai_client.chat.completions.create(model="gpt-4o-mini", messages=history)

    anthropic_client = pelnorix_otel.capture(
        mock.anthropic_client(api.plan(mock.message(None, tool_calls=[WEATHER]), mock.message()))
    )
    answer = anthropic_client.messages.create(**ANTHROPIC_ARGS)
    result = {"type": "tool_result", "tool_use_id": "call_w1", "content": [{"type": "text", "text": "21 C"}]}
    messages = [*ANTHROPIC_ARGS["messages"], {"role": "assistant", "content": answer.content}, {"role": "user", "content": [result]}]
    anthropic_client.messages.create(**{**ANTHROPIC_ARGS, "messages": messages})

    expected = (
        f"system: Be brief.\nuser: {QUESTION}\n"
        'assistant: [tool call] get_weather {"city":"Paris"} (call_w1)\n'
        "ROLE: [tool result call_w1] 21 C"
    )
    openai_span, anthropic_span = recorder.spans[1], recorder.spans[3]
    assert openai_span.prompt == expected.replace("ROLE", "tool")
    assert anthropic_span.prompt == expected.replace("ROLE", "user")
    assert recorder.spans[0].response == recorder.spans[2].response == '[tool call] get_weather {"city":"Paris"} (call_w1)'
    for span in (openai_span, anthropic_span):
        parts = [part for message in json.loads(span.to_dict()["tags"]["gen_ai.input.messages"]) for part in message["parts"]]
        assert {"type": "tool_call_response", "id": "call_w1", "response": "21 C"} in parts
