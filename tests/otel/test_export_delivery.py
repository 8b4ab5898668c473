"""The exporter against a receiver that fails: every span handed over is delivered or
counted, the application's thread is never held, and failures are logged once."""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Iterator
from typing import Any

import pytest

import pelnorix
from fault_server import Answer, FaultServer
from pelnorix_otel import DropReason, ExportCounters, OTLPExporter
from pelnorix_otel._encoding import ContentPolicy
from pelnorix_otel._links import otlp_span_id

Make = Callable[..., OTLPExporter]


@pytest.fixture
def make(receiver: FaultServer) -> Iterator[Make]:
    """Exporters to the test's receiver (JSON, so that it can tell the spans apart);
    only flush() sends, and every one is shut down after the test."""
    made: list[OTLPExporter] = []

    def make(**options: Any) -> OTLPExporter:
        settings: dict[str, Any] = {
            "endpoint": receiver.url,
            "protocol": "http/json",
            "schedule_delay": 600.0,
            "retry_deadline": 20.0,
        }
        settings.update(options)
        exporter = OTLPExporter(**settings)
        made.append(exporter)
        return exporter

    yield make
    for exporter in made:
        exporter.shutdown(timeout=1.0)


def spans(count: int, prompt: str = "What is the capital of France?") -> list[pelnorix.TraceSpan]:
    tracer = pelnorix.TamloxTracer()
    made = []
    for number in range(count):
        span = tracer.start_span("chat_completion", "openai", "gpt-4")
        span.set_prompt(f"{prompt} #{number}")
        span.set_response("Paris.")
        made.append(span)
    return made


def ids(of: list[pelnorix.TraceSpan]) -> list[str]:
    return [otlp_span_id(span.span_id) for span in of]


def accounted(counters: ExportCounters) -> ExportCounters:
    """The counters, after checking that they place every span handed over."""
    assert counters.handed_over == (
        counters.queued + counters.sending + counters.sent + counters.dropped_total
    ), counters
    return counters


def export_all(exporter: OTLPExporter, batch: list[pelnorix.TraceSpan]) -> None:
    assert all(exporter.export(span, link=None) for span in batch)


@pytest.mark.parametrize(
    "failures",
    [
        [Answer(429, {"Retry-After": "1"})],
        [Answer(503), Answer(503)],
        [Answer(502), Answer(504, {"Retry-After": "not a number"})],
    ],
    ids=["429 with Retry-After", "503 twice", "502 then 504"],
)
def test_transient_answers_are_retried_until_delivered(
    make: Make, receiver: FaultServer, failures: list[Answer]
) -> None:
    receiver.script(*failures)
    exporter = make()
    batch = spans(3)
    export_all(exporter, batch)
    assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert (counters.sent, counters.dropped_total) == (3, 0)
    assert counters.retried_requests == len(failures)
    assert receiver.span_ids() == ids(batch)


def test_retry_after_beyond_the_deadline_gives_up_at_once(make: Make, receiver: FaultServer) -> None:
    # Retrying sooner than asked is not an option, and waiting 120 s would pass
    # the deadline: the batch is given up without a second request.
    receiver.script(Answer(429, {"Retry-After": "120"}))
    exporter = make(retry_deadline=5.0)
    export_all(exporter, spans(2))
    assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert counters.dropped[DropReason.UNDELIVERED] == 2
    assert counters.retried_requests == 0


@pytest.mark.parametrize("status", [400, 401, 404, 500])
def test_answers_that_must_not_be_retried_drop_the_batch(
    make: Make, receiver: FaultServer, status: int
) -> None:
    receiver.script(Answer(status, {"Content-Type": "application/json"}, b'{"message": "no"}'))
    exporter = make()
    export_all(exporter, spans(2))
    assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert counters.dropped[DropReason.REJECTED] == 2
    assert counters.retried_requests == 0
    export_all(exporter, spans(1))  # the next batch goes out as usual
    assert exporter.flush(timeout=30)
    assert accounted(exporter.counters()).sent == 1


def test_a_receiver_that_cannot_be_reached_costs_its_spans_and_one_warning(
    make: Make, caplog: pytest.LogCaptureFixture
) -> None:
    closed = FaultServer()
    url = closed.url
    closed.close()  # nothing listens on this port now: connections are refused
    exporter = make(endpoint=url, retry_deadline=1.0)
    with caplog.at_level(logging.WARNING, logger="pelnorix_otel"):
        for _ in range(3):
            export_all(exporter, spans(2))
            assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert counters.dropped[DropReason.UNDELIVERED] == 6
    refused = [r for r in caplog.records if "ConnectionRefusedError" in r.getMessage()]
    gave_up = [r for r in caplog.records if "retry deadline" in r.getMessage()]
    assert (len(refused), len(gave_up)) == (1, 1), caplog.text


def test_failures_are_logged_once_per_kind_and_once_more_on_recovery(
    make: Make, receiver: FaultServer, caplog: pytest.LogCaptureFixture
) -> None:
    receiver.script(Answer(503), Answer(503), Answer(), Answer(503))
    exporter = make()
    with caplog.at_level(logging.WARNING, logger="pelnorix_otel"):
        for _ in range(3):  # 503 503 200, 503 200, 200
            export_all(exporter, spans(1))
            assert exporter.flush(timeout=30)
    assert accounted(exporter.counters()).sent == 3
    messages = [record.getMessage() for record in caplog.records]
    assert sum("answered 503" in m for m in messages) == 2, messages  # once per episode
    assert sum("spans reach" in m and "again" in m for m in messages) == 2, messages


@pytest.mark.parametrize(
    "content_type, body",
    [
        ("application/json", b'{"partialSuccess": {"rejectedSpans": "2", "errorMessage": "too old"}}'),
        # ExportTraceServiceResponse{partial_success{rejected_spans: 2, error_message: "too old"}}
        ("application/x-protobuf", bytes([0x0A, 0x0B, 0x08, 0x02, 0x12, 0x07]) + b"too old"),
    ],
    ids=["json", "protobuf"],
)
def test_partial_success_counts_the_rejected_spans_and_logs_them(
    make: Make, receiver: FaultServer, caplog: pytest.LogCaptureFixture, content_type: str, body: bytes
) -> None:
    receiver.script(Answer(200, {"Content-Type": content_type}, body))
    exporter = make()
    with caplog.at_level(logging.WARNING, logger="pelnorix_otel"):
        export_all(exporter, spans(3))
        assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert (counters.sent, counters.receiver_rejected_spans) == (3, 2)
    assert "2 spans rejected: too old" in caplog.text


def test_oversized_spans_cost_only_themselves(make: Make, receiver: FaultServer) -> None:
    # The receiver refuses requests over 6 KiB with 413; the exporter's own limit
    # is 20 KiB. A 10 KiB span is refused alone; its neighbours arrive, in halves
    # of the batch once the first request was refused. A 40 KiB span is over
    # the exporter's own limit and never sent.
    receiver.answer_with(lambda request: Answer(413) if len(request.body) > 6 * 1024 else Answer())
    exporter = make(max_request_bytes=20 * 1024, content=ContentPolicy(max_attribute_bytes=None))
    small = spans(6)
    refused_alone = spans(1, prompt="x" * 10 * 1024)
    over_limit = spans(1, prompt="y" * 40 * 1024)
    batch = small[:3] + refused_alone + small[3:] + over_limit
    export_all(exporter, batch)
    assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert counters.sent == 6
    assert counters.dropped[DropReason.TOO_LARGE] == 2
    assert sorted(receiver.span_ids()) == sorted(ids(small))


def test_a_failing_redaction_callback_costs_only_the_spans_it_failed_on(
    make: Make, receiver: FaultServer, caplog: pytest.LogCaptureFixture
) -> None:
    def redact(text: str) -> str:
        if "secret" in text:
            raise KeyError("no rule for this text")
        if "number" in text:
            return 42  # type: ignore[return-value]
        return text.replace("France", "[country]")

    exporter = make(content=ContentPolicy(redact=redact))
    good = spans(3)
    bad = spans(1, prompt="my secret") + spans(1, prompt="a number")
    with caplog.at_level(logging.WARNING, logger="pelnorix_otel"):
        export_all(exporter, good[:2] + bad + good[2:])
        assert exporter.flush(timeout=30)
    counters = accounted(exporter.counters())
    assert (counters.sent, counters.dropped[DropReason.REDACTION_FAILED]) == (3, 2)
    assert receiver.span_ids() == ids(good)
    assert b"[country]" in receiver.requests[0].body and b"France" not in receiver.requests[0].body
    assert "KeyError" in caplog.text


def test_a_full_queue_refuses_and_counts_while_the_receiver_hangs(
    make: Make, receiver: FaultServer
) -> None:
    receiver.answer_with(lambda request: Answer(hang=True))
    by_spans = make(max_queue_spans=3)  # a batch is 3 spans too: the thread takes them at once
    export_all(by_spans, spans(3))
    assert receiver.hanging.wait(30)
    assert [by_spans.export(span, link=None) for span in spans(4)] == [True] * 3 + [False]
    counters = accounted(by_spans.counters())
    assert (counters.sending, counters.queued, counters.dropped[DropReason.QUEUE_FULL]) == (3, 3, 1)

    by_bytes = make(max_queue_bytes=2500)  # about three small spans
    assert [by_bytes.export(span, link=None) for span in spans(4)] == [True] * 3 + [False]
    counters = accounted(by_bytes.counters())
    assert (counters.queued, counters.dropped[DropReason.QUEUE_FULL]) == (3, 1)
    # A span over the whole byte bound still enters an empty queue (capping may make it sendable).
    assert make(max_queue_bytes=2500).export(spans(1, prompt="z" * 10_000)[0], link=None)


def test_flush_and_shutdown_keep_their_deadlines_against_a_hanging_receiver(
    make: Make, receiver: FaultServer
) -> None:
    receiver.answer_with(lambda request: Answer(hang=True))
    # Without the deadlines, each call would wait for the 60 s request timeout.
    exporter = make(timeout=60.0, retry_deadline=60.0)
    export_all(exporter, spans(2))
    assert not exporter.flush(timeout=0.2)
    assert receiver.hanging.wait(30)
    assert accounted(exporter.counters()).sending == 2
    assert not exporter.shutdown(timeout=0.2)
    assert receiver.hang_aborted.wait(30)  # the request was cut, not left to the receiver
    assert exporter.flush(timeout=30)  # the abandoned request is accounted for
    counters = accounted(exporter.counters())
    assert counters.dropped[DropReason.SHUTDOWN] == 2
    assert not exporter.export(spans(1)[0], link=None)
    assert accounted(exporter.counters()).dropped[DropReason.SHUTDOWN] == 3


def test_a_span_held_by_a_recording_thread_is_counted_and_the_thread_is_not_refused(
    make: Make, receiver: FaultServer
) -> None:
    # A recording call that runs Python code (here an argument's __index__) holds
    # the span meanwhile; the background thread must not refuse or break it.
    span = spans(1)[0]
    inside, leave = threading.Event(), threading.Event()

    class SlowStatus:
        def __index__(self) -> int:
            inside.set()
            leave.wait(30)
            return 504

    recorder = threading.Thread(target=lambda: span.set_error("timeout", SlowStatus()))  # type: ignore[arg-type]
    recorder.start()
    assert inside.wait(30)
    exporter = make()
    assert exporter.export(span, link=None)
    assert exporter.flush(timeout=30)
    leave.set()
    recorder.join()
    assert span.status_code == 504
    assert accounted(exporter.counters()).dropped[DropReason.UNREADABLE] == 1


@pytest.mark.parametrize("protocol", ["http/json", "http/protobuf"])
@pytest.mark.parametrize("compression", ["gzip", "none"])
def test_prepare_returns_exactly_what_export_sends(
    make: Make, receiver: FaultServer, protocol: str, compression: str
) -> None:
    exporter = make(protocol=protocol, compression=compression, headers={"Authorization": "Bearer k"})
    batch = spans(2)
    (prepared,) = exporter.prepare(batch, link=None)
    export_all(exporter, batch)
    assert exporter.flush(timeout=30)
    (received,) = receiver.requests
    assert prepared.url == receiver.url and received.path == "/v1/traces"
    assert received.body == prepared.payload
    for name, value in prepared.headers.items():
        assert received.headers[name] == value
    assert received.headers["Authorization"] == "Bearer k"
    assert ("Content-Encoding" in received.headers) == (compression == "gzip")
    assert "Bearer" not in repr(prepared) and "Bearer" not in repr(exporter.settings)
