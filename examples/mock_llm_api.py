"""Offline answers of the openai and anthropic HTTP APIs, for the examples, the tests and the benchmark.

The real SDK clients talk to a `MockLLMAPI` through `httpx2.MockTransport`: it answers each request
with recorded-looking JSON or server-sent-event bodies. Planned replies are answered in order; when
none is planned, each API answers with a short default. A streamed body is produced chunk by chunk
while the client reads it, and can fail after a given number of chunks.

    api = MockLLMAPI()
    api.plan(chat_stream(text="Paris."))
    client = openai_client(api)
    for chunk in client.chat.completions.create(model="gpt-4o-mini", messages=..., stream=True):
        ...
"""

from __future__ import annotations

import json
from collections import deque
from collections.abc import AsyncIterator, Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import anthropic
import httpx2
import openai

Body = dict[str, Any]
Reply = Callable[[Body], httpx2.Response]
"""A planned answer: builds the response to the request whose JSON body it is given."""

OPENAI_MODEL = "gpt-4o-mini-2024-07-18"
ANTHROPIC_MODEL = "claude-sonnet-4-5-20250929"
CREATED = 1767225600


@dataclass(frozen=True)
class ToolCall:
    """A tool call the model asks for."""

    id: str
    name: str
    arguments: dict[str, Any]


class StreamedBody(httpx2.SyncByteStream, httpx2.AsyncByteStream):
    """A body handed out one chunk at a time, as the client reads it.

    `produced` counts the chunks handed out so far (a test compares it with what the caller has
    seen); after `fail_after` chunks reading fails as a dropped connection does.
    """

    def __init__(self, chunks: Sequence[bytes], fail_after: int | None = None) -> None:
        self.chunks = list(chunks)
        self.fail_after = fail_after
        self.produced = 0

    def _next_chunks(self) -> Iterator[bytes]:
        for index, chunk in enumerate(self.chunks):
            if index == self.fail_after:
                raise httpx2.ReadError("connection reset by peer")
            self.produced += 1
            yield chunk

    def __iter__(self) -> Iterator[bytes]:
        yield from self._next_chunks()

    async def __aiter__(self) -> AsyncIterator[bytes]:
        for chunk in self._next_chunks():
            yield chunk


class MockLLMAPI:
    """The handler of an `httpx2.MockTransport`: answers planned replies in order, else defaults."""

    def __init__(self, *replies: Reply) -> None:
        self.replies: deque[Reply] = deque(replies)
        self.requests: list[Body] = []
        self.bodies: list[StreamedBody] = []

    def plan(self, *replies: Reply) -> MockLLMAPI:
        self.replies.extend(replies)
        return self

    def __call__(self, request: httpx2.Request) -> httpx2.Response:
        body: Body = json.loads(request.content) if request.content else {}
        self.requests.append(body)
        reply = self.replies.popleft() if self.replies else _default_reply(request.url.path)
        response = reply(body)
        if isinstance(response.stream, StreamedBody):
            self.bodies.append(response.stream)
        return response


def openai_client(api: MockLLMAPI, **options: Any) -> openai.OpenAI:
    options.setdefault("max_retries", 0)
    return openai.OpenAI(
        api_key="sk-test", http_client=httpx2.Client(transport=httpx2.MockTransport(api)), **options
    )


def async_openai_client(api: MockLLMAPI, **options: Any) -> openai.AsyncOpenAI:
    options.setdefault("max_retries", 0)
    return openai.AsyncOpenAI(
        api_key="sk-test",
        http_client=httpx2.AsyncClient(transport=httpx2.MockTransport(api)),
        **options,
    )


def anthropic_client(api: MockLLMAPI, **options: Any) -> anthropic.Anthropic:
    options.setdefault("max_retries", 0)
    return anthropic.Anthropic(
        api_key="sk-ant-test",
        http_client=httpx2.Client(transport=httpx2.MockTransport(api)),
        **options,
    )


def async_anthropic_client(api: MockLLMAPI, **options: Any) -> anthropic.AsyncAnthropic:
    options.setdefault("max_retries", 0)
    return anthropic.AsyncAnthropic(
        api_key="sk-ant-test",
        http_client=httpx2.AsyncClient(transport=httpx2.MockTransport(api)),
        **options,
    )


# --- building blocks ------------------------------------------------------------------------


def _json(status: int, body: Body, headers: dict[str, str] | None = None) -> httpx2.Response:
    return httpx2.Response(status, json=body, headers=headers)


def _sse(events: Sequence[tuple[str | None, Any]], fail_after: int | None) -> httpx2.Response:
    chunks = []
    for name, data in events:
        text = data if isinstance(data, str) else json.dumps(data)
        chunks.append(((f"event: {name}\n" if name else "") + f"data: {text}\n\n").encode())
    return httpx2.Response(
        200,
        headers={"content-type": "text/event-stream"},
        stream=StreamedBody(chunks, fail_after),
    )


def error(status: int, message: str = "", *, provider: str = "openai") -> Reply:
    """An error answer as each API words it (429 carries a Retry-After of 0 seconds)."""
    headers = {"retry-after": "0"} if status == 429 else {}
    kind = {400: "invalid_request_error", 429: "rate_limit_error", 529: "overloaded_error"}.get(
        status, "api_error"
    )
    text = message or f"simulated {kind}"

    def reply(request: Body) -> httpx2.Response:
        if provider == "anthropic":
            body: Body = {"type": "error", "error": {"type": kind, "message": text}}
        else:
            body = {"error": {"message": text, "type": kind, "param": None, "code": None}}
        return _json(status, body, headers)

    return reply


# --- openai chat completions --------------------------------------------------------------


def _openai_tool_calls(tool_calls: Sequence[ToolCall]) -> list[Body]:
    return [
        {
            "id": call.id,
            "type": "function",
            "function": {"name": call.name, "arguments": json.dumps(call.arguments)},
        }
        for call in tool_calls
    ]


def chat(
    text: str | None = "The capital of France is Paris.",
    *,
    tool_calls: Sequence[ToolCall] = (),
    usage: tuple[int, int] = (21, 8),
    model: str = OPENAI_MODEL,
) -> Reply:
    def reply(request: Body) -> httpx2.Response:
        message: Body = {"role": "assistant", "content": text, "refusal": None}
        if tool_calls:
            message["tool_calls"] = _openai_tool_calls(tool_calls)
        return _json(
            200,
            {
                "id": "chatcmpl-Bx9k2mQ7rT1vW3yZ5aC8eF0gH",
                "object": "chat.completion",
                "created": CREATED,
                "model": model,
                "choices": [
                    {
                        "index": 0,
                        "message": message,
                        "logprobs": None,
                        "finish_reason": "tool_calls" if tool_calls else "stop",
                    }
                ],
                "usage": {
                    "prompt_tokens": usage[0],
                    "completion_tokens": usage[1],
                    "total_tokens": usage[0] + usage[1],
                },
                "system_fingerprint": "fp_e4fa3702df",
            },
        )

    return reply


def chat_stream(
    text: str = "The capital of France is Paris.",
    *,
    tool_calls: Sequence[ToolCall] = (),
    usage: tuple[int, int] = (21, 8),
    model: str = OPENAI_MODEL,
    fail_after: int | None = None,
) -> Reply:
    """Chunks of a streamed chat completion: a role chunk, the text a word at a time, the tool calls
    (name first, then the arguments in two pieces), the finish chunk and, when the request asked
    for it with stream_options.include_usage, a usage chunk with no choices."""

    def reply(request: Body) -> httpx2.Response:
        with_usage = bool((request.get("stream_options") or {}).get("include_usage"))
        base: Body = {
            "id": "chatcmpl-Bx9k2mQ7rT1vW3yZ5aC8eF0gH",
            "object": "chat.completion.chunk",
            "created": CREATED,
            "model": model,
            "system_fingerprint": "fp_e4fa3702df",
        }
        if with_usage:
            base["usage"] = None

        def chunk(delta: Body, finish_reason: str | None = None) -> tuple[str | None, Any]:
            choice = {"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish_reason}
            return None, {**base, "choices": [choice]}

        events = [chunk({"role": "assistant", "content": "", "refusal": None})]
        words = text.split(" ") if text else []
        events += [chunk({"content": (" " if i else "") + word}) for i, word in enumerate(words)]
        for index, call in enumerate(tool_calls):
            arguments = json.dumps(call.arguments)
            middle = len(arguments) // 2
            head = {"index": index, "id": call.id, "type": "function"}
            events.append(chunk({"tool_calls": [{**head, "function": {"name": call.name, "arguments": ""}}]}))
            for piece in (arguments[:middle], arguments[middle:]):
                events.append(chunk({"tool_calls": [{"index": index, "function": {"arguments": piece}}]}))
        events.append(chunk({}, "tool_calls" if tool_calls else "stop"))
        if with_usage:
            total = {"prompt_tokens": usage[0], "completion_tokens": usage[1], "total_tokens": sum(usage)}
            events.append((None, {**base, "choices": [], "usage": total}))
        events.append((None, "[DONE]"))
        return _sse(events, fail_after)

    return reply


# --- openai responses ---------------------------------------------------------------------


def _response_object(
    text: str, tool_calls: Sequence[ToolCall], usage: tuple[int, int], model: str, status: str
) -> Body:
    output: list[Body] = []
    if text:
        output.append(
            {
                "id": "msg_67ccd3acc8d48190a77525dc6de64b4104becb25c6e4f2d3",
                "type": "message",
                "status": "completed",
                "role": "assistant",
                "content": [{"type": "output_text", "text": text, "annotations": []}],
            }
        )
    for call in tool_calls:
        output.append(
            {
                "id": f"fc_{call.id}",
                "type": "function_call",
                "status": "completed",
                "call_id": call.id,
                "name": call.name,
                "arguments": json.dumps(call.arguments),
            }
        )
    return {
        "id": "resp_67ccd3a9da748190baa7f1570fe91ac604becb25c6e4f2d3",
        "object": "response",
        "created_at": CREATED,
        "status": status,
        "error": None,
        "incomplete_details": None,
        "instructions": None,
        "model": model,
        "output": output,
        "parallel_tool_calls": True,
        "tool_choice": "auto",
        "tools": [],
        "usage": {
            "input_tokens": usage[0],
            "input_tokens_details": {"cached_tokens": 0},
            "output_tokens": usage[1],
            "output_tokens_details": {"reasoning_tokens": 0},
            "total_tokens": sum(usage),
        },
    }


def response(
    text: str = "The capital of France is Paris.",
    *,
    tool_calls: Sequence[ToolCall] = (),
    usage: tuple[int, int] = (18, 8),
    model: str = OPENAI_MODEL,
) -> Reply:
    return lambda request: _json(200, _response_object(text, tool_calls, usage, model, "completed"))


def response_stream(
    text: str = "The capital of France is Paris.",
    *,
    usage: tuple[int, int] = (18, 8),
    model: str = OPENAI_MODEL,
    fail_after: int | None = None,
) -> Reply:
    """Events of a streamed response: created, the text a word at a time, completed."""

    def reply(request: Body) -> httpx2.Response:
        done = _response_object(text, (), usage, model, "completed")
        started = {**done, "status": "in_progress", "output": [], "usage": None}
        item = done["output"][0]
        events: list[tuple[str | None, Any]] = [
            ("response.created", {"type": "response.created", "response": started}),
            (
                "response.output_item.added",
                {
                    "type": "response.output_item.added",
                    "output_index": 0,
                    "item": {**item, "status": "in_progress", "content": []},
                },
            ),
            (
                "response.content_part.added",
                {
                    "type": "response.content_part.added",
                    "item_id": item["id"],
                    "output_index": 0,
                    "content_index": 0,
                    "part": {"type": "output_text", "text": "", "annotations": []},
                },
            ),
        ]
        for i, word in enumerate(text.split(" ")):
            events.append(
                (
                    "response.output_text.delta",
                    {
                        "type": "response.output_text.delta",
                        "item_id": item["id"],
                        "output_index": 0,
                        "content_index": 0,
                        "delta": (" " if i else "") + word,
                        "logprobs": [],
                    },
                )
            )
        part_done = {"item_id": item["id"], "output_index": 0, "content_index": 0}
        events.append(
            (
                "response.output_text.done",
                {"type": "response.output_text.done", **part_done, "text": text, "logprobs": []},
            )
        )
        events.append(
            (
                "response.content_part.done",
                {"type": "response.content_part.done", **part_done, "part": item["content"][0]},
            )
        )
        events.append(
            (
                "response.output_item.done",
                {"type": "response.output_item.done", "output_index": 0, "item": item},
            )
        )
        events.append(("response.completed", {"type": "response.completed", "response": done}))
        numbered = [(name, {**data, "sequence_number": n}) for n, (name, data) in enumerate(events)]
        return _sse(numbered, fail_after)

    return reply


# --- openai embeddings --------------------------------------------------------------------


def embedding(dimensions: int = 8, *, model: str = "text-embedding-3-small") -> Reply:
    def reply(request: Body) -> httpx2.Response:
        inputs = request.get("input")
        count = len(inputs) if isinstance(inputs, list) else 1
        data = [
            {"object": "embedding", "index": i, "embedding": [0.125 * (i + 1)] * dimensions}
            for i in range(count)
        ]
        return _json(
            200,
            {
                "object": "list",
                "data": data,
                "model": model,
                "usage": {"prompt_tokens": 5 * count, "total_tokens": 5 * count},
            },
        )

    return reply


# --- anthropic messages -------------------------------------------------------------------


def _anthropic_usage(usage: tuple[int, int]) -> Body:
    return {
        "input_tokens": usage[0],
        "cache_creation_input_tokens": 0,
        "cache_read_input_tokens": 0,
        "output_tokens": usage[1],
        "service_tier": "standard",
    }


def message(
    text: str | None = "The capital of France is Paris.",
    *,
    tool_calls: Sequence[ToolCall] = (),
    usage: tuple[int, int] = (24, 9),
    model: str = ANTHROPIC_MODEL,
) -> Reply:
    def reply(request: Body) -> httpx2.Response:
        content: list[Body] = [{"type": "text", "text": text}] if text else []
        content += [
            {"type": "tool_use", "id": call.id, "name": call.name, "input": call.arguments}
            for call in tool_calls
        ]
        return _json(
            200,
            {
                "id": "msg_01XFDUDYJgAACzvnptvVoYEL",
                "type": "message",
                "role": "assistant",
                "model": model,
                "content": content,
                "stop_reason": "tool_use" if tool_calls else "end_turn",
                "stop_sequence": None,
                "usage": _anthropic_usage(usage),
            },
        )

    return reply


def message_stream(
    text: str = "The capital of France is Paris.",
    *,
    tool_calls: Sequence[ToolCall] = (),
    usage: tuple[int, int] = (24, 9),
    model: str = ANTHROPIC_MODEL,
    fail_after: int | None = None,
    error_after: int | None = None,
) -> Reply:
    """Events of a streamed message: message_start, a ping, the text a word at a time, the tool
    calls with their input in two pieces, message_delta and message_stop. `error_after` puts an
    `overloaded_error` event after that many events, as the API does when it is overloaded."""

    def reply(request: Body) -> httpx2.Response:
        started: Body = {
            "id": "msg_01XFDUDYJgAACzvnptvVoYEL",
            "type": "message",
            "role": "assistant",
            "model": model,
            "content": [],
            "stop_reason": None,
            "stop_sequence": None,
            "usage": _anthropic_usage((usage[0], 1)),
        }
        events: list[tuple[str | None, Any]] = [
            ("message_start", {"type": "message_start", "message": started}),
            ("ping", {"type": "ping"}),
        ]
        index = 0
        if text:
            events.append(
                (
                    "content_block_start",
                    {"type": "content_block_start", "index": 0, "content_block": {"type": "text", "text": ""}},
                )
            )
            for i, word in enumerate(text.split(" ")):
                delta = {"type": "text_delta", "text": (" " if i else "") + word}
                events.append(
                    ("content_block_delta", {"type": "content_block_delta", "index": 0, "delta": delta})
                )
            events.append(("content_block_stop", {"type": "content_block_stop", "index": 0}))
            index = 1
        for call in tool_calls:
            block = {"type": "tool_use", "id": call.id, "name": call.name, "input": {}}
            events.append(
                ("content_block_start", {"type": "content_block_start", "index": index, "content_block": block})
            )
            arguments = json.dumps(call.arguments)
            middle = len(arguments) // 2
            for piece in (arguments[:middle], arguments[middle:]):
                delta = {"type": "input_json_delta", "partial_json": piece}
                events.append(
                    ("content_block_delta", {"type": "content_block_delta", "index": index, "delta": delta})
                )
            events.append(("content_block_stop", {"type": "content_block_stop", "index": index}))
            index += 1
        events.append(
            (
                "message_delta",
                {
                    "type": "message_delta",
                    "delta": {"stop_reason": "tool_use" if tool_calls else "end_turn", "stop_sequence": None},
                    "usage": {"output_tokens": usage[1]},
                },
            )
        )
        events.append(("message_stop", {"type": "message_stop"}))
        if error_after is not None:
            overloaded = {"type": "error", "error": {"type": "overloaded_error", "message": "Overloaded"}}
            events = events[:error_after] + [("error", overloaded)]
        return _sse(events, fail_after)

    return reply


def _default_reply(path: str) -> Reply:
    if path.endswith("/embeddings"):
        return embedding()
    if path.endswith("/responses"):
        return _by_stream(response(), response_stream())
    if path.endswith("/messages"):
        return _by_stream(message(), message_stream())
    return _by_stream(chat(), chat_stream())


def _by_stream(plain: Reply, streamed: Reply) -> Reply:
    return lambda request: (streamed if request.get("stream") else plain)(request)
