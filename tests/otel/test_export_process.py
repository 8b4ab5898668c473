"""The exporter across the life of a process: fork() and interpreter exit."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import pelnorix
from fault_server import Answer, FaultServer
from pelnorix_otel import OTLPExporter
from pelnorix_otel._links import otlp_span_id


def finished_span(prompt: str) -> pelnorix.TraceSpan:
    span = pelnorix.TamloxTracer().start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt(prompt)
    span.set_response("ok")
    return span


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_sends_its_own_spans_and_never_its_parents(receiver: FaultServer) -> None:
    exporter = OTLPExporter(endpoint=receiver.url, protocol="http/json", schedule_delay=600.0)
    parent_spans = [finished_span("parent 1"), finished_span("parent 2")]
    for span in parent_spans:
        assert exporter.export(span, link=None)  # queued; the background thread runs
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report through the pipe, never return into pytest
        status = 1
        try:
            os.close(reading)
            before = exporter.counters()
            span = finished_span("child")
            flushed = exporter.export(span, link=None) and exporter.flush(timeout=30)
            after = exporter.counters()
            report = f"{before.handed_over} {before.queued} {int(flushed)} {after.sent} {otlp_span_id(span.span_id)}"
            os.write(writing, report.encode())
            status = 0
        finally:
            os._exit(status)
    os.close(writing)
    with os.fdopen(reading) as pipe:
        report = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    handed_over, queued, child_flushed, delivered, child_id = report.split()
    # The child starts empty, with a thread of its own, and delivers its span alone.
    assert (handed_over, queued, child_flushed, delivered) == ("0", "0", "1", "1")
    assert receiver.span_ids() == [child_id]
    assert exporter.flush(timeout=30)
    assert sorted(receiver.span_ids()) == sorted([child_id] + [otlp_span_id(s.span_id) for s in parent_spans])
    exporter.shutdown()


@pytest.mark.parametrize("hangs", [False, True], ids=["receiver answers", "receiver hangs"])
def test_interpreter_exit_flushes_within_its_bound(receiver: FaultServer, hangs: bool) -> None:
    if hangs:
        receiver.answer_with(lambda request: Answer(hang=True))
    # Only the flush at exit sends (the schedule delay is far off). Against a
    # hanging receiver the 50 s request timeout would hold the exit; the exit
    # bound of 3 s must end it instead, long before the 40 s guard below.
    program = textwrap.dedent(
        f"""
        import pelnorix, pelnorix_otel
        exporter = pelnorix_otel.OTLPExporter(
            endpoint={receiver.url!r}, protocol="http/json", schedule_delay=600.0,
            timeout=50.0, retry_deadline=50.0, exit_timeout=3.0)
        span = pelnorix.TamloxTracer().start_span("chat_completion", "openai", "gpt-4")
        span.set_response("ok")
        assert exporter.export(span, link=None)
        print(pelnorix_otel._links.otlp_span_id(span.span_id))
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=40, check=False
    )
    assert done.returncode == 0, done.stderr
    if hangs:
        assert receiver.hang_aborted.wait(30)
        assert "1 spans for" in done.stderr and "dropped at the deadline" in done.stderr
        assert receiver.span_ids() == []
    else:
        assert receiver.span_ids() == [done.stdout.strip()]
        assert done.stderr == ""
