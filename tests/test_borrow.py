"""Borrow conflicts, which under the GIL only re-entry from an argument's __index__ can cause."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from support import last_action, raises, span_state

import pelnorix


class ReentrantIndex:
    """An integer argument whose conversion calls back into a span."""

    def __init__(self, action: Callable[[], Any], value: int = 1) -> None:
        self.action = action
        self.value = value
        self.calls = 0

    def __index__(self) -> int:
        self.calls += 1
        self.action()
        return self.value


# (parameter, call that passes the given integer argument to that parameter)
INTEGER_PARAMETERS: list[tuple[str, Callable[[Any, Any], Any]]] = [
    ("status_code", lambda span, v: span.set_error("e", v)),
    ("prompt_tokens", lambda span, v: span.set_token_counts(prompt_tokens=v, completion_tokens=1)),
    (
        "completion_tokens",
        lambda span, v: span.set_token_counts(prompt_tokens=1, completion_tokens=v),
    ),
    ("ttft_ms", lambda span, v: span.set_ttft_ms(v)),
    ("duration_ms", lambda span, v: span.report_action("tool_call", "x", duration_ms=v)),
]
IDS = [name for name, _ in INTEGER_PARAMETERS]


def prepared_span() -> pelnorix.TraceSpan:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_prompt("before")
    span.set_token_counts(prompt_tokens=3, completion_tokens=4)
    return span


@pytest.mark.parametrize(("parameter", "call"), INTEGER_PARAMETERS, ids=IDS)
@pytest.mark.parametrize("prop", ["prompt", "total_tokens", "trace_id", "is_complete"])
def test_reading_the_span_during_a_recording_call(
    parameter: str, call: Callable[[Any, Any], Any], prop: str
) -> None:
    span = prepared_span()
    before = span_state(span)
    argument = ReentrantIndex(lambda: getattr(span, prop))
    with raises(RuntimeError, "Already mutably borrowed", note=parameter):
        call(span, argument)
    assert argument.calls == 1
    assert span_state(span) == before


@pytest.mark.parametrize(("parameter", "call"), INTEGER_PARAMETERS, ids=IDS)
def test_recording_on_the_span_during_a_recording_call(
    parameter: str, call: Callable[[Any, Any], Any]
) -> None:
    span = prepared_span()
    before = span_state(span)
    argument = ReentrantIndex(lambda: span.set_prompt("inner"))
    with raises(RuntimeError, "Already borrowed", note=parameter):
        call(span, argument)
    assert span_state(span) == before


@pytest.mark.parametrize(("parameter", "call"), INTEGER_PARAMETERS, ids=IDS)
def test_the_span_is_usable_after_a_conflict(
    parameter: str, call: Callable[[Any, Any], Any]
) -> None:
    span = prepared_span()
    with pytest.raises(RuntimeError):
        call(span, ReentrantIndex(lambda: span.prompt))
    # Both kinds of borrow were released: reads and writes work again.
    call(span, 9)
    span.set_prompt("after")
    assert span.prompt == "after"
    assert span.trace_id
    nested_read = ReentrantIndex(lambda: None, value=200)
    span.set_error("e", nested_read)
    assert span.status_code == 200


def test_other_objects_are_free_during_a_recording_call() -> None:
    tracer = pelnorix.TamloxTracer()
    span = tracer.start_span("op", "openai", "m")
    other = tracer.start_span("op", "openai", "m")
    seen: list[Any] = []

    def touch_others() -> None:
        other.set_prompt("written during the call")
        seen.append(other.prompt)
        seen.append(tracer.tenant_id)
        seen.append(tracer.start_span("nested", "openai", "m").operation_name)

    span.set_error("e", ReentrantIndex(touch_others, value=503))
    assert span.status_code == 503
    assert seen == ["written during the call", tracer.tenant_id, "nested"]


def test_a_conflict_in_the_second_count_writes_neither() -> None:
    span = prepared_span()
    before = span_state(span)
    with pytest.raises(RuntimeError):
        span.set_token_counts(
            prompt_tokens=100, completion_tokens=ReentrantIndex(lambda: span.prompt)
        )
    assert span_state(span) == before
    assert (span.prompt_tokens, span.completion_tokens, span.total_tokens) == (3, 4, 7)


def test_swallowed_conflicts_do_not_leak_the_borrow() -> None:
    span = prepared_span()
    outcomes: list[str] = []

    def attempt(action: Callable[[], Any]) -> None:
        try:
            action()
        except RuntimeError as error:
            outcomes.append(str(error))

    def read_and_record() -> None:
        attempt(lambda: span.prompt)
        attempt(lambda: span.agent_actions_count)
        attempt(lambda: span.report_action("tool_call", "nested"))

    span.set_error("e", ReentrantIndex(read_and_record, value=418))
    span.report_action("tool_call", "outer", duration_ms=ReentrantIndex(read_and_record))
    conflicts = ["Already mutably borrowed", "Already mutably borrowed", "Already borrowed"]
    assert outcomes == 2 * conflicts
    assert span.status_code == 418
    assert span.is_failed
    assert span.agent_actions_count == 1
    assert last_action(span)["name"] == "outer"
