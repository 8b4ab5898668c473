"""A span's recorded values through its life: properties, finishing and token counts."""

from __future__ import annotations

import gc
import time
from collections.abc import Callable
from typing import Any

import pytest
from support import UUID4, last_action, span_state

import pelnorix

U32_MAX = 4294967295


def test_fresh_span(span: pelnorix.TraceSpan) -> None:
    assert UUID4.fullmatch(span.trace_id)
    assert UUID4.fullmatch(span.span_id)
    assert span.trace_id != span.span_id
    assert (span.operation_name, span.model_name) == ("chat_completion", "gpt-4")
    assert span.prompt == ""
    for absent in (
        "response",
        "error_message",
        "duration_ms",
        "prompt_tokens",
        "completion_tokens",
        "total_tokens",
        "status_code",
        "security_score",
    ):
        assert getattr(span, absent) is None, absent
    assert span.is_complete is False
    assert span.is_failed is False
    assert span.security_findings_count == 0
    assert span.agent_actions_count == 0


def test_identifiers_are_stable_and_fresh_per_span(tracer: pelnorix.TamloxTracer) -> None:
    spans = [tracer.start_span("op", "openai", "m") for _ in range(50)]
    ids = {s.trace_id for s in spans} | {s.span_id for s in spans}
    assert len(ids) == 100
    first = spans[0]
    trace_id, span_id = first.trace_id, first.span_id
    first.set_prompt("p")
    first.set_error("e", 500)
    first.set_response("r")
    assert (first.trace_id, first.span_id) == (trace_id, span_id)
    # Spans of one tracer share no recorded state.
    assert (spans[1].prompt, spans[1].is_complete) == ("", False)


def test_set_prompt_replaces() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    assert span.set_prompt("first") is None
    span.set_prompt("second")
    assert span.prompt == "second"
    span.set_prompt("")
    assert span.prompt == ""
    big = "x" * 1_000_000
    span.set_prompt(big)
    assert span.prompt == big


# Each step is (method, args, kwargs); the expected state after all steps is
# (prompt_tokens, completion_tokens, total_tokens).
TOKEN_SEQUENCES = [
    ([((), {"prompt_tokens": 10, "completion_tokens": 5})], (10, 5, 15)),
    (
        [((), {"prompt_tokens": 10, "completion_tokens": 5}), ((), {"prompt_tokens": 7})],
        (7, None, None),
    ),
    (
        [((), {"prompt_tokens": 10, "completion_tokens": 5}), ((), {"completion_tokens": 2})],
        (None, 2, None),
    ),
    ([((), {"prompt_tokens": 10, "completion_tokens": 5}), ((), {})], (None, None, None)),
    (
        [
            ((), {"prompt_tokens": 10, "completion_tokens": 5}),
            ((), {"prompt_tokens": None, "completion_tokens": None}),
        ],
        (None, None, None),
    ),
    ([((), {"prompt_tokens": 0, "completion_tokens": 0})], (0, 0, 0)),
    ([((), {"prompt_tokens": True})], (1, None, None)),
    ([((), {"prompt_tokens": U32_MAX, "completion_tokens": 0})], (U32_MAX, 0, U32_MAX)),
    # A sum past the 32-bit range must not wrap round to a small count.
    ([((), {"prompt_tokens": U32_MAX, "completion_tokens": 1})], (U32_MAX, 1, U32_MAX)),
    ([((), {"prompt_tokens": U32_MAX, "completion_tokens": U32_MAX})], (U32_MAX, U32_MAX, U32_MAX)),
    (
        [((), {"prompt_tokens": 3_000_000_000, "completion_tokens": 2_000_000_000})],
        (3_000_000_000, 2_000_000_000, U32_MAX),
    ),
]


@pytest.mark.parametrize(("steps", "expected"), TOKEN_SEQUENCES)
def test_token_counts(
    steps: list[tuple[tuple[Any, ...], dict[str, Any]]], expected: tuple[Any, ...]
) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    for args, kwargs in steps:
        assert span.set_token_counts(*args, **kwargs) is None
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == expected


def finish_calls(span: pelnorix.TraceSpan, calls: list[tuple[str, tuple[Any, ...]]]) -> None:
    for method, args in calls:
        assert getattr(span, method)(*args) is None


# (calls, response, error_message, status_code, is_failed)
FINISHING = [
    ([("set_response", ("ok",))], "ok", None, None, False),
    ([("set_error", ("timeout", 504))], None, "timeout", 504, True),
    ([("set_error", ("timeout",))], None, "timeout", None, True),
    ([("set_error", ("timeout", 504)), ("set_response", ("ok",))], "ok", "timeout", 504, True),
    ([("set_response", ("ok",)), ("set_error", ("late", 500))], "ok", "late", 500, True),
    ([("set_error", ("x", 404)), ("set_error", ("y",))], None, "y", None, True),
    ([("set_error", ("x", 404)), ("set_error", ("y", None))], None, "y", None, True),
    ([("set_response", ("a",)), ("set_response", ("b",))], "b", None, None, False),
    ([("set_error", ("", 0))], None, "", 0, True),
    ([("set_response", ("",))], "", None, None, False),
]


@pytest.mark.parametrize(("calls", "response", "error", "status", "failed"), FINISHING)
def test_finishing(
    calls: list[tuple[str, tuple[Any, ...]]],
    response: str | None,
    error: str | None,
    status: int | None,
    failed: bool,
) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_prompt("p")
    span.set_token_counts(prompt_tokens=1, completion_tokens=2)
    finish_calls(span, calls)
    assert span.is_complete is True
    assert span.is_failed is failed
    assert (span.response, span.error_message, span.status_code) == (response, error, status)
    assert type(span.duration_ms) is int and 0 <= span.duration_ms < 60_000
    # Finishing touches nothing else.
    assert span.prompt == "p"
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (1, 2, 3)


def test_other_methods_do_not_complete_the_span() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_prompt("p")
    span.set_token_counts(prompt_tokens=1)
    span.set_ttft_ms(5)
    span.add_tag("k", "v")
    assert (span.is_complete, span.is_failed, span.duration_ms) == (False, False, None)


def test_duration_measures_the_wall_time_since_start() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    time.sleep(0.03)
    span.set_response("ok")
    first = span.duration_ms
    assert first is not None and 25 <= first < 5_000
    time.sleep(0.03)
    span.set_error("later")
    # A second finishing call measures again from the same start.
    assert span.duration_ms is not None and span.duration_ms >= first + 25


@pytest.mark.parametrize("finish", [("set_response", ("ok",)), ("set_error", ("boom", 500))])
def test_recording_after_completion_keeps_the_outcome(finish: tuple[str, tuple[Any, ...]]) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    finish_calls(span, [finish])

    def outcome() -> tuple[Any, ...]:
        return (span.is_complete, span.is_failed, span.response, span.duration_ms, span.status_code)

    before = outcome()
    span.set_prompt("late prompt")
    span.set_token_counts(prompt_tokens=1, completion_tokens=1)
    span.add_tag("k", "v")
    span.set_ttft_ms(1)
    action_id = span.report_action("skill_invocation", "summarise", success=False)
    assert outcome() == before
    assert span.prompt == "late prompt"
    assert span.total_tokens == 2
    assert (last_action(span)["id"], last_action(span)["success"]) == (action_id, False)


# Calls that must fail, each with the exception it raises.
FAILING_CALLS: list[tuple[Callable[[Any], Any], type[BaseException]]] = [
    (lambda s: s.set_prompt(5), TypeError),
    (lambda s: s.set_prompt("\udc80"), UnicodeEncodeError),
    (lambda s: s.set_prompt(), TypeError),
    (lambda s: s.set_response(None), TypeError),
    (lambda s: s.set_response("bad \ud800"), UnicodeEncodeError),
    (lambda s: s.set_error("e", 70000), OverflowError),
    (lambda s: s.set_error("e", -1), OverflowError),
    (lambda s: s.set_error("e", 2**70), OverflowError),
    (lambda s: s.set_error("e", "500"), TypeError),
    (lambda s: s.set_error(None, 500), TypeError),
    (lambda s: s.set_token_counts(prompt_tokens=1, completion_tokens=-1), OverflowError),
    (lambda s: s.set_token_counts(prompt_tokens=1, completion_tokens=1.0), TypeError),
    (lambda s: s.set_token_counts(1, 2), TypeError),
    (lambda s: s.set_ttft_ms(None), TypeError),
    (lambda s: s.set_ttft_ms(-1), OverflowError),
    (lambda s: s.add_tag("env", 1), TypeError),
    (lambda s: s.add_tag(1, "x"), TypeError),
    (lambda s: s.add_tag("k"), TypeError),
    (lambda s: s.report_action("Tool_Call", "x"), ValueError),
    # The kind is checked after a long result has been converted (and cut).
    (lambda s: s.report_action("tool_call ", "x", result="r" * 9000), ValueError),
    (lambda s: s.report_action("tool_call", 5), TypeError),
    (lambda s: s.report_action("tool_call", "x", success=0), TypeError),
    (lambda s: s.report_action("tool_call", "x", duration_ms=2**64), OverflowError),
    (lambda s: s.report_action("tool_call", "x", "a"), TypeError),
    (lambda s: s.report_action("tool_call"), TypeError),
    (lambda s: s.report_action("tool_call", "x", extra=1), TypeError),
]


@pytest.mark.parametrize("finished", [False, True], ids=["open", "finished"])
@pytest.mark.parametrize(("call", "exception"), FAILING_CALLS)
def test_a_failing_call_changes_nothing(
    call: Callable[[Any], Any], exception: type[BaseException], finished: bool
) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_prompt("p")
    span.set_token_counts(prompt_tokens=1, completion_tokens=2)
    span.add_tag("env", "prod")
    span.set_ttft_ms(12)
    span.report_action("tool_call", "earlier", result="r")
    if finished:
        span.set_error("earlier", 500)
    before = span_state(span)
    with pytest.raises(exception):
        call(span)
    assert span_state(span) == before
    # The failed call released the span again.
    span.report_action("tool_call", "later")
    assert span.agent_actions_count == 2


def test_span_outlives_its_tracer() -> None:
    span = pelnorix.TamloxTracer(endpoint="x").start_span("op", "openai", "m")
    gc.collect()
    span.set_prompt("still here")
    span.set_response("ok")
    assert (span.prompt, span.response, span.is_complete) == ("still here", "ok", True)


def test_property_values_are_independent_copies() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_prompt("one")
    read = span.prompt
    span.set_prompt("two")
    assert read == "one"


def test_tags_keep_one_value_per_key() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    assert span.add_tag("env", "a") is None
    span.add_tag("env", "b")
    span.add_tag("", "")
    span.add_tag("\u00e9", "\U0001f600")
    assert span.to_dict()["tags"] == {"env": "b", "": "", "\u00e9": "\U0001f600"}


def test_finishing_keeps_tags_ttft_and_identity() -> None:
    tracer = pelnorix.TamloxTracer()
    span = tracer.start_span("op", "openai", "m")
    span.add_tag("k", "v")
    span.set_ttft_ms(42)
    before = span.to_dict()
    span.set_error("e", 500)
    after = span.to_dict()
    assert after["tags"] == {"k": "v"}
    assert after["time_to_first_token_ms"] == 42
    for key in ("trace_id", "span_id", "tenant_id", "start_time", "provider", "operation_name"):
        assert after[key] == before[key]
    assert after["tenant_id"] == tracer.tenant_id
