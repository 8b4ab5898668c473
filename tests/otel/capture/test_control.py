"""Capture is opt-in and reversible, records each call once, and leaves the call as it was."""

from __future__ import annotations

import asyncio
from typing import Any

import anthropic
import openai
import pytest

import mock_llm_api as mock
import pelnorix
import pelnorix_otel
from mock_llm_api import MockLLMAPI
from pelnorix_otel import SpanCollector

MESSAGES: Any = [{"role": "user", "content": "Capital of France?"}]
CHAT: Any = dict(model="gpt-4o-mini", messages=MESSAGES)
ANTHROPIC: Any = dict(model="claude-sonnet-4-5", max_tokens=64, messages=MESSAGES)


def test_capture_all_captures_every_client_until_undone(api: MockLLMAPI, recorder: SpanCollector) -> None:
    original = openai.resources.chat.completions.Completions.create
    own = SpanCollector()
    with pelnorix_otel.capture_all(own) as captured:
        with pytest.raises(RuntimeError):
            pelnorix_otel.capture_all()
        mock.openai_client(api).chat.completions.create(**CHAT)
        asyncio.run(mock.async_anthropic_client(api).messages.create(**ANTHROPIC))
        with mock.openai_client(api).responses.stream(model="gpt-4o-mini", input="Capital?") as stream:
            stream.until_done()
        with mock.anthropic_client(api).messages.stream(**ANTHROPIC) as helper:
            helper.until_done()
        with pelnorix_otel.step("agent"):  # the sink given to capture_all is the default meanwhile
            pass
        assert captured.active
    assert not captured.active
    assert openai.resources.chat.completions.Completions.create is original
    mock.openai_client(api).chat.completions.create(**CHAT)

    assert [span.model_name for span in own.spans] == ["gpt-4o-mini", "claude-sonnet-4-5", "gpt-4o-mini", "claude-sonnet-4-5", "agent"]
    assert [span.to_dict()["provider"] for span in own.spans[:2]] == ["OpenAI", "Anthropic"]
    assert recorder.spans == []  # nothing after undo, and the earlier default is back
    assert pelnorix_otel._sinks.default_sink() is recorder


def test_a_call_captured_twice_gives_one_span(api: MockLLMAPI, recorder: SpanCollector) -> None:
    traced = pelnorix_otel.capture(pelnorix_otel.capture(mock.openai_client(api)))
    with pelnorix_otel.capture_all():
        traced.chat.completions.create(**CHAT)
        with traced.chat.completions.stream(**CHAT) as stream:  # the helper calls create itself
            stream.until_done()
    assert len(recorder.spans) == 2
    assert recorder.spans[1].completion_tokens == 8  # the helper's stream asked for usage too


def test_an_instrumented_client_is_captured_with_its_tracer(api: MockLLMAPI, recorder: SpanCollector) -> None:
    tracer = pelnorix.TamloxTracer()
    instrumented = pelnorix.instrument(mock.anthropic_client(api), tracer=tracer)
    traced = pelnorix_otel.capture(instrumented)
    assert isinstance(traced, pelnorix.InstrumentedClient) and traced.tracer is tracer
    assert isinstance(traced.wrapped_client, anthropic.Anthropic)
    traced.messages.create(**ANTHROPIC)
    [span] = recorder.spans
    assert span.to_dict()["tenant_id"] == tracer.tenant_id


def test_the_traced_client_stands_in_for_the_client(api: MockLLMAPI, recorder: SpanCollector) -> None:
    client = mock.openai_client(api)
    traced = pelnorix_otel.capture(client)
    assert isinstance(traced, openai.OpenAI) and traced.api_key == client.api_key
    with traced as entered:
        entered.with_options(timeout=5).chat.completions.create(**CHAT)  # still traced
        entered.chat.completions.with_raw_response.create(**CHAT)  # the raw HTTP response: not recorded
    assert len(recorder.spans) == 1
    with pytest.raises(TypeError, match="openai or anthropic client"):
        pelnorix_otel.capture(object())


def test_arguments_are_sent_as_the_caller_gave_them(api: MockLLMAPI, recorder: SpanCollector) -> None:
    traced = pelnorix_otel.capture(mock.openai_client(api))
    traced.chat.completions.create(model="gpt-4o-mini", messages=(message for message in MESSAGES))
    choices: list[Any] = [{"include_usage": False}, None]
    for options in choices:
        for _ in traced.chat.completions.create(**CHAT, stream=True, stream_options=options):
            pass
    assert api.requests[0]["messages"] == MESSAGES  # a generator of messages is sent, not used up
    assert [request.get("stream_options") for request in api.requests[1:]] == [{"include_usage": False}, None]
    assert recorder.spans[0].prompt == "user: Capital of France?"
    assert recorder.spans[1].prompt_tokens is None  # no usage unless capture may ask for it


def test_a_retried_call_is_one_span_of_the_whole_wait(recorder: SpanCollector) -> None:
    client = pelnorix_otel.capture(mock.openai_client(MockLLMAPI(mock.error(429), mock.chat()), max_retries=1))
    client.chat.completions.create(**CHAT)
    [span] = recorder.spans
    assert not span.is_failed and span.response == "The capital of France is Paris."
