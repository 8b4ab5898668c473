"""Traces that nest: steps and captured calls started inside a step hang under it, across
decorated generators, asyncio tasks and a thread pool."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import pytest

import mock_llm_api as mock
import pelnorix
import pelnorix_otel
from mock_llm_api import MockLLMAPI
from pelnorix_otel import CollectedSpan, SpanCollector, carry_context, current_step, step

MESSAGES: Any = [{"role": "user", "content": "Capital of France?"}]


def by_name(recorder: SpanCollector) -> dict[str, CollectedSpan]:
    return {f"{item.span.operation_name} {item.span.model_name}": item for item in recorder.collected}


def assert_tree(recorder: SpanCollector, parents: dict[str, str | None]) -> None:
    """One trace, and each named span under the named parent (None: the root)."""
    items = by_name(recorder)
    assert sorted(items) == sorted(parents)
    assert len({item.trace_id for item in items.values()}) == 1
    for name, parent in parents.items():
        expected = items[parent].span_id if parent else None
        assert items[name].parent_span_id == expected, name


def test_calls_and_steps_inside_a_step_belong_to_its_trace(api: MockLLMAPI, recorder: SpanCollector) -> None:
    client = pelnorix_otel.capture(mock.openai_client(api))
    with step("planner") as planner:
        assert current_step() is planner
        client.chat.completions.create(model="gpt-a", messages=MESSAGES)
        with step("get_weather", kind="tool"):
            client.chat.completions.create(model="gpt-b", messages=MESSAGES)
    assert current_step() is None
    client.chat.completions.create(model="outside", messages=MESSAGES)

    *inside, outside = recorder.collected
    assert outside.link is None  # started outside every step: exported as its own trace
    recorder._items.remove(outside)
    assert_tree(recorder, {
        "invoke_agent planner": None,
        "chat gpt-a": "invoke_agent planner",
        "execute_tool get_weather": "invoke_agent planner",
        "chat gpt-b": "execute_tool get_weather",
    })
    root = by_name(recorder)["invoke_agent planner"].span
    assert root.to_dict()["provider"] == {"Custom": ""} and root.response == "" and not root.is_failed


def _sync(inner: Callable[[], None]) -> Callable[[], str]:
    @step("work")
    def work() -> str:
        inner()
        return "done"

    return work


def _coroutine(inner: Callable[[], None]) -> Callable[[], Any]:
    @step("work")
    async def work() -> str:
        await asyncio.sleep(0)
        inner()
        return "done"

    return lambda: asyncio.run(work())


def _generator(inner: Callable[[], None]) -> Callable[[], Any]:
    @step("work")
    def work() -> Iterator[int]:
        yield 1
        inner()
        yield 2
        return

    def consume() -> str:
        seen = []
        for item in work():
            seen.append((item, current_step()))  # the consumer between yields: not inside "work"
        assert [item for item, _ in seen] == [1, 2] and {span and span.model_name for _, span in seen} == {"outer"}
        return "done"

    return consume


def _async_generator(inner: Callable[[], None]) -> Callable[[], Any]:
    @step("work")
    async def work() -> AsyncIterator[int]:
        yield 1
        inner()
        yield 2

    async def consume() -> str:
        seen = [(item, current_step()) async for item in work()]
        assert [item for item, _ in seen] == [1, 2] and {span and span.model_name for _, span in seen} == {"outer"}
        return "done"

    return lambda: asyncio.run(consume())


DECORATED = {"function": _sync, "coroutine": _coroutine, "generator": _generator, "async generator": _async_generator}


@pytest.mark.parametrize("fails", [False, True], ids=["returns", "raises"])
@pytest.mark.parametrize("kind", DECORATED)
def test_a_decorated_step_nests_and_fails_with_the_exception(kind: str, fails: bool, recorder: SpanCollector) -> None:
    error = ValueError("bad input")

    def inner() -> None:
        with step("lookup", kind="tool"):
            pass
        if fails:
            raise error

    run = DECORATED[kind](inner)
    with step("outer"):
        if fails:
            with pytest.raises(ValueError) as caught:
                run()
            assert caught.value is error
        else:
            assert run() == "done"

    assert_tree(recorder, {
        "invoke_agent outer": None, "invoke_agent work": "invoke_agent outer", "execute_tool lookup": "invoke_agent work",
    })
    work = by_name(recorder)["invoke_agent work"].span
    assert work.is_failed == fails and work.error_message == ("ValueError: bad input" if fails else None)
    assert work.to_dict()["tags"].get("error.type") == ("ValueError" if fails else None)


def test_a_generator_step_left_early_ends_without_failing(recorder: SpanCollector) -> None:
    @step("numbers")
    def numbers() -> Iterator[int]:
        yield from range(10)

    for number in numbers():
        if number == 2:
            break
    [item] = recorder.collected
    assert item.span.is_complete and not item.span.is_failed


def test_what_the_step_recorded_on_its_span_is_kept(recorder: SpanCollector) -> None:
    with step("answer") as answered:
        answered.set_response("42")
    with step("refused") as refused:
        refused.set_error("policy: not allowed", 403)
    spans = {span.model_name: span for span in recorder.spans}
    assert spans["answer"].response == "42" and not spans["answer"].is_failed
    assert (spans["refused"].error_message, spans["refused"].status_code) == ("policy: not allowed", 403)


def test_concurrent_tasks_each_nest_under_their_own_step(api: MockLLMAPI, recorder: SpanCollector) -> None:
    client = pelnorix_otel.capture(mock.async_openai_client(api))

    async def lookup(city: str) -> None:
        async with step(city, kind="tool"):
            await asyncio.sleep(0)  # the two tasks interleave here
            await client.chat.completions.create(model=f"gpt-{city}", messages=MESSAGES)

    async def run() -> None:
        async with step("trip"):
            await asyncio.gather(lookup("paris"), lookup("rome"))

    asyncio.run(run())
    assert_tree(recorder, {
        "invoke_agent trip": None,
        "execute_tool paris": "invoke_agent trip",
        "execute_tool rome": "invoke_agent trip",
        "chat gpt-paris": "execute_tool paris",
        "chat gpt-rome": "execute_tool rome",
    })


def test_carry_context_takes_the_step_into_a_thread_pool(api: MockLLMAPI, recorder: SpanCollector) -> None:
    client = pelnorix_otel.capture(mock.openai_client(api))

    def lookup(city: str) -> str:
        with step(city, kind="tool"):
            client.chat.completions.create(model=f"gpt-{city}", messages=MESSAGES)
        return city

    cities = ["paris", "rome", "oslo", "lima"]
    with step("trip"), ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(carry_context(lookup), cities)) == cities
        uncarried = pool.submit(current_step).result()
    assert uncarried is None  # a pool thread does not see the step by itself

    parents: dict[str, str | None] = {"invoke_agent trip": None}
    for city in cities:
        parents[f"execute_tool {city}"] = "invoke_agent trip"
        parents[f"chat gpt-{city}"] = f"execute_tool {city}"
    assert_tree(recorder, parents)


def test_inner_work_inherits_the_tracer_and_sink_of_its_step(api: MockLLMAPI, recorder: SpanCollector) -> None:
    tracer = pelnorix.TamloxTracer()
    own = SpanCollector()
    client = pelnorix_otel.capture(mock.openai_client(api))
    with step("agent", tracer=tracer, sink=own):
        with step("tool", kind="tool"):
            client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES)
    assert recorder.spans == []
    assert {span.to_dict()["tenant_id"] for span in own.spans} == {tracer.tenant_id}
    assert len(own.spans) == 3


def test_a_sink_that_fails_does_not_reach_the_traced_code(
    api: MockLLMAPI, caplog: pytest.LogCaptureFixture
) -> None:
    class Broken:
        def export(self, span: pelnorix.TraceSpan, *, link: Any = None) -> bool:
            raise OSError("disk full")

    client = pelnorix_otel.capture(mock.openai_client(api), sink=Broken())
    with step("agent", sink=Broken()):
        answer = client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES)
    assert answer.choices[0].message.content == "The capital of France is Paris."
    assert "the sink failed: disk full" in caplog.text
