"""Many threads using one tracer at once."""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterator

import pytest

import pelnorix

THREADS = 8
SPANS_PER_THREAD = 500


@pytest.fixture
def frequent_switches() -> Iterator[None]:
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        yield
    finally:
        sys.setswitchinterval(previous)


def test_threads_share_a_tracer(frequent_switches: None) -> None:
    tracer = pelnorix.TamloxTracer(endpoint="http://collector")
    start = threading.Barrier(THREADS)
    errors: list[BaseException] = []
    seen_ids: list[set[str]] = [set() for _ in range(THREADS)]

    def work(index: int) -> None:
        try:
            start.wait()
            for n in range(SPANS_PER_THREAD):
                span = tracer.start_span(f"op-{index}", "openai", "m")
                span.set_prompt(f"prompt {index} {n}")
                span.set_token_counts(prompt_tokens=n, completion_tokens=index)
                span.set_ttft_ms(n)
                span.add_tag("thread", str(index))
                if n % 2:
                    span.set_response("ok")
                else:
                    span.set_error("failed", 500 + index)
                assert span.prompt == f"prompt {index} {n}"
                assert span.total_tokens == n + index
                assert span.is_complete and span.is_failed == (n % 2 == 0)
                assert span.operation_name == f"op-{index}"
                seen_ids[index].add(span.span_id)
                del span
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    workers = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(timeout=120)
    assert not any(worker.is_alive() for worker in workers)
    assert errors == []
    all_ids = set().union(*seen_ids)
    assert len(all_ids) == THREADS * SPANS_PER_THREAD


def test_one_span_passed_between_threads() -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    errors: list[BaseException] = []

    def record(n: int) -> None:
        try:
            span.add_tag(f"k{n}", "v")
            span.set_prompt(f"p{n}")
            _ = span.prompt
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=record, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    assert span.prompt in {f"p{n}" for n in range(THREADS)}


def test_recording_while_another_thread_exports(frequent_switches: None) -> None:
    # to_dict and security_findings hand the text to Python's json; while it parses, other
    # threads run, and recording on the span must not be refused then.
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    for index in range(200):
        span.report_action("tool_call", f"setup-{index}", arguments="{}", result="ok")
    exporting, recorded = threading.Event(), threading.Event()
    errors: list[BaseException] = []

    def export() -> None:
        try:
            while not recorded.is_set():
                span.to_dict()
                span.security_findings()
                exporting.set()
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)
            exporting.set()

    exporter = threading.Thread(target=export)
    exporter.start()
    exporting.wait()
    try:
        for index in range(1000):
            span.add_tag(f"key-{index}", str(index))
            span.report_action("tool_call", f"during-{index}")
            span.set_prompt(f"prompt {index}")
    finally:
        recorded.set()
        exporter.join(timeout=120)
    assert errors == []
    document = span.to_dict()
    assert document["tags"] == {f"key-{index}": str(index) for index in range(1000)}
    assert [action["name"] for action in document["agent_actions"][200:]] == [
        f"during-{index}" for index in range(1000)
    ]
    assert document["prompt"] == "prompt 999"
