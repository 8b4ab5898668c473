"""Calls that fail, and streams that end early: the caller gets what the bare client gives, and the
span still finishes, with the error, the HTTP status and the partial answer."""

from __future__ import annotations

import asyncio
import gc
from collections.abc import Callable
from typing import Any

import httpx2
import pytest

import mock_llm_api as mock
import pelnorix_otel
from mock_llm_api import MockLLMAPI

MESSAGES: Any = [{"role": "user", "content": "Capital of France?"}]
CHAT: Any = dict(model="gpt-4o-mini", messages=MESSAGES)
ANTHROPIC: Any = dict(model="claude-sonnet-4-5", max_tokens=64, messages=MESSAGES)


def _refused(request: dict[str, Any]) -> httpx2.Response:
    raise httpx2.ConnectError("connection refused")


def _chat(client: Any) -> Any:
    return client.chat.completions.create(**CHAT)


def _chat_stream(client: Any) -> Any:
    return client.chat.completions.create(**CHAT, stream=True)


def _messages(client: Any) -> Any:
    return client.messages.create(**ANTHROPIC)


def _messages_helper(client: Any) -> Any:
    with client.messages.stream(**ANTHROPIC) as stream:
        return stream.get_final_text()


ERRORS = {
    "openai 429": ("openai", _chat, mock.error(429), 429),
    "openai 500": ("openai", _chat, mock.error(500), 500),
    "openai 400 on a stream": ("openai", _chat_stream, mock.error(400), 400),
    "openai refused": ("openai", _chat, _refused, None),
    "anthropic 429": ("anthropic", _messages, mock.error(429, provider="anthropic"), 429),
    "anthropic 529 on messages.stream": ("anthropic", _messages_helper, mock.error(529, provider="anthropic"), 529),
}


def _failure(call: Callable[[Any], Any], client: Any) -> BaseException:
    with pytest.raises(Exception) as caught:
        call(client)
    return caught.value


@pytest.mark.parametrize("name", ERRORS)
def test_an_sdk_error_reaches_the_caller_as_without_capture_and_fails_the_span(
    name: str, recorder: pelnorix_otel.SpanCollector
) -> None:
    sdk, call, reply, status = ERRORS[name]
    make = mock.openai_client if sdk == "openai" else mock.anthropic_client
    bare = _failure(call, make(MockLLMAPI(reply)))
    traced = _failure(call, pelnorix_otel.capture(make(MockLLMAPI(reply))))
    assert (type(traced), str(traced), getattr(traced, "status_code", None)) == (type(bare), str(bare), status)

    [span] = recorder.spans
    assert span.is_failed and span.response is None
    assert span.error_message == f"{type(traced).__qualname__}: {traced}"
    assert span.to_dict()["tags"]["error.type"] == type(traced).__qualname__
    assert span.status_code == status


async def _read_async(stream: Any, count: int | None) -> list[Any]:
    items = []
    async for item in stream:
        items.append(item)
        if len(items) == count:
            break
    return items


def _ended(how: str, stream: Any, count: int | None = None) -> None:
    """Read ``count`` items (all when None), then end the stream as a caller may."""
    if how.startswith("async"):

        async def read() -> None:
            live = await stream
            await _read_async(live, count)
            if how == "async close":
                await live.close()

        asyncio.run(read())
        return
    if how == "with":
        with stream as live:
            for index, _ in enumerate(live, 1):
                if index == count:
                    break
        return
    iterator = iter(stream)
    for index, _ in enumerate(iterator if count != 0 else (), 1):
        if index == count:
            break
    if how == "close":
        stream.close()
    elif how == "drop":
        del stream, iterator
        gc.collect()


STREAM_ENDS = {
    # name: (client, call, reply, how the caller ends it, items read, end, partial text, error)
    "connection lost mid-way": (
        mock.openai_client, _chat_stream, mock.chat_stream(fail_after=4), "read", None,
        "error", "The capital of", "APIConnectionError: Connection error.",
    ),
    "connection lost mid-way, async": (
        mock.async_openai_client, _chat_stream, mock.chat_stream(fail_after=4), "async read", None,
        "error", "The capital of", "APIConnectionError: Connection error.",
    ),
    "an error event mid-way": (
        mock.anthropic_client, lambda c: c.messages.create(**ANTHROPIC, stream=True),
        mock.message_stream(error_after=5), "read", None, "error", "The capital", "APIStatusError: Overloaded",
    ),
    "closed by the caller": (
        mock.openai_client, _chat_stream, mock.chat_stream(), "close", 3, "closed_by_caller", "The capital", None,
    ),
    "closed by the caller, async": (
        mock.async_openai_client, _chat_stream, mock.chat_stream(), "async close", 3,
        "closed_by_caller", "The capital", None,
    ),
    "left by a with block": (
        mock.anthropic_client, lambda c: c.messages.stream(**ANTHROPIC), mock.message_stream(), "with", 5,
        "closed_by_caller", "The capital", None,
    ),
    "dropped half read": (
        mock.openai_client, lambda c: c.responses.create(model="gpt-4o-mini", input="Capital?", stream=True),
        mock.response_stream(), "drop", 5, "abandoned", "The capital", None,
    ),
    "dropped unread": (
        mock.anthropic_client, lambda c: c.messages.create(**ANTHROPIC, stream=True), mock.message_stream(),
        "drop", 0, "abandoned", "", None,
    ),
}


@pytest.mark.parametrize("name", STREAM_ENDS)
def test_a_stream_that_ends_early_finishes_its_span_with_the_partial_answer_and_why(
    name: str, recorder: pelnorix_otel.SpanCollector
) -> None:
    make, call, reply, how, count, end, text, error = STREAM_ENDS[name]
    client = pelnorix_otel.capture(make(MockLLMAPI(reply)))
    if error is None:
        _ended(how, call(client), count)
    else:
        with pytest.raises(Exception) as caught:
            _ended(how, call(client), count)
        assert f"{type(caught.value).__qualname__}: {caught.value}".startswith(error)

    [span] = recorder.spans
    tags = span.to_dict()["tags"]
    assert tags["pelnorix.stream.end"] == end
    assert span.response == text
    assert span.is_failed == (error is not None) and (span.error_message or "").startswith(error or "")
    assert span.status_code is None  # a 200 stream that broke off has no HTTP error status
