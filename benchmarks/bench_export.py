#!/usr/bin/env python3
"""CPU cost of sending LLM spans to a collector: pelnorix with its OTLPExporter beside the
OpenTelemetry SDK with BatchSpanProcessor and its OTLP/HTTP protobuf exporter.

Both pipelines record the same content (the typical span of the benchmarks: 1 KB prompt,
1 KB response, 5 tags, 3 agent actions; on the OpenTelemetry side one LLM span with the
equivalent GenAI attributes and the three actions as child spans) and deliver it to the
same local receiver, a rotel collector that discards what it decodes. Per round and
pipeline it measures

- the calling thread's CPU time per span: recording alone, recording + hand-off, and the
  hand-off (``export()``) alone on spans recorded beforehand;
- the whole process's CPU time (every thread) per span delivered, from the first recording
  call until the receiver accepted the last span.

Rounds interleave the pipelines (the order alternates) and the medians are printed, then
the ratios. Last, spans are recorded and exported flat out into rotel for --sustain
seconds: spans delivered per second, and the resident memory at start, middle and end.

    python3.12 -m venv build/venv-bench
    build/venv-bench/bin/pip install -r benchmarks/requirements.txt
    PYTHONPATH=build/<dir>/python build/venv-bench/bin/python benchmarks/bench_export.py
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from bench_surface import typical
from opentelemetry import trace
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import ReadableSpan, TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExportResult

import pelnorix
from pelnorix_otel import OTLPExporter

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
SERVICE = "bench-export"
OTEL_SPANS_PER_CALL = 4  # the LLM span and its three actions


# The receiver -------------------------------------------------------------------------


@contextmanager
def rotel_receiver() -> Iterator[str]:
    """A rotel collector on a free loopback port that decodes and discards; yields its URL."""
    import rotel  # type: ignore[import-not-found,unused-ignore]

    binary = Path(rotel.__file__).parent / "rotel-agent"
    environment = dict(os.environ)
    environment["LD_LIBRARY_PATH"] = os.pathsep.join(
        filter(None, [sysconfig.get_config_var("LIBDIR"), environment.get("LD_LIBRARY_PATH")])
    )
    port, grpc_port = free_port(), free_port()
    with tempfile.TemporaryDirectory(prefix="bench-rotel-") as workdir:
        process = subprocess.Popen(
            [str(binary), "start", "--otlp-http-endpoint", f"127.0.0.1:{port}",
             "--otlp-grpc-endpoint", f"127.0.0.1:{grpc_port}", "--exporter", "blackhole",
             "--pid-file", f"{workdir}/rotel.pid", "--log-file", f"{workdir}/rotel.log"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=environment,
        )
        try:
            deadline = time.monotonic() + 15
            while True:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
                    break
                except OSError:
                    if process.poll() is not None or time.monotonic() > deadline:
                        raise RuntimeError("rotel did not start") from None
                    time.sleep(0.05)
            yield f"http://127.0.0.1:{port}/v1/traces"
        finally:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


# The two pipelines ----------------------------------------------------------------------


@dataclass
class Figures:
    """One round of one pipeline, in nanoseconds per LLM call."""

    record: float  # calling thread, recording alone
    record_and_hand_off: float  # calling thread
    hand_off: float  # calling thread, the hand-off alone on spans recorded beforehand
    process_per_delivered: float  # every thread, from the first record to the last delivery
    delivered: int
    dropped: int


class Pipeline:
    name: str

    def record(self) -> Any: ...
    def hand_off(self, recorded: Any) -> None: ...
    def record_and_hand_off(self) -> None: ...
    def flush(self) -> None: ...
    def delivered(self) -> int: ...
    def dropped(self) -> int: ...
    def close(self) -> None: ...


class Pelnorix(Pipeline):
    name = "pelnorix + OTLPExporter"

    def __init__(self, url: str, spans: int) -> None:
        self.tracer = pelnorix.TamloxTracer(tenant_id=TENANT, endpoint=url)
        # Room for every span of a round: the figures are per span delivered.
        self.exporter = OTLPExporter(tracer=self.tracer, service_name=SERVICE,
                                     max_queue_spans=3 * spans)

    def record(self) -> Any:
        return typical(self.tracer)

    def hand_off(self, recorded: Any) -> None:
        self.exporter.export(recorded)

    def record_and_hand_off(self) -> None:
        self.exporter.export(typical(self.tracer))

    def flush(self) -> None:
        if not self.exporter.flush(timeout=120):
            raise RuntimeError("pelnorix flush timed out")

    def delivered(self) -> int:
        return self.exporter.counters().sent

    def dropped(self) -> int:
        return self.exporter.counters().dropped_total

    def close(self) -> None:
        self.exporter.shutdown(timeout=30)


class CountingOTLPSpanExporter(OTLPSpanExporter):
    """The SDK's OTLP/HTTP protobuf exporter, counting the spans the receiver accepted."""

    accepted = 0
    refused = 0

    def export(self, spans: Sequence[ReadableSpan]) -> SpanExportResult:
        result = super().export(spans)
        if result is SpanExportResult.SUCCESS:
            self.accepted += len(spans)
        else:
            self.refused += len(spans)
        return result


class OpenTelemetrySdk(Pipeline):
    name = "OpenTelemetry SDK + BatchSpanProcessor"

    PROMPT = "p" * 1024
    RESPONSE = "r" * 1024

    def __init__(self, url: str, spans: int) -> None:
        self.span_exporter = CountingOTLPSpanExporter(endpoint=url)
        self.provider = TracerProvider(
            resource=Resource.create({"service.name": SERVICE, "tenant.id": TENANT}))
        self.provider.add_span_processor(BatchSpanProcessor(
            self.span_exporter, max_queue_size=3 * spans * OTEL_SPANS_PER_CALL))
        self.tracer = self.provider.get_tracer("bench-export", "0.3.0")

    def record(self) -> Any:
        return self._record(end=False)

    def hand_off(self, recorded: Any) -> None:
        # Ending a span is what hands it to the processor (children first, as they end).
        for span in recorded:
            span.end()

    def record_and_hand_off(self) -> None:
        self._record(end=True)

    def _record(self, *, end: bool) -> list[Any]:
        """The typical span as a user of the SDK records it: the same calls, the same content."""
        tracer = self.tracer
        span = tracer.start_span("chat gpt-4", kind=trace.SpanKind.CLIENT, attributes={
            "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
            "gen_ai.request.model": "gpt-4"})
        span.set_attribute("gen_ai.input.messages", json.dumps(
            [{"role": "user", "parts": [{"type": "text", "content": self.PROMPT}]}]))
        span.set_attribute("gen_ai.usage.input_tokens", 256)
        span.set_attribute("gen_ai.usage.output_tokens", 256)
        span.set_attribute("gen_ai.response.time_to_first_chunk", 0.12)
        for index in range(5):
            span.set_attribute(f"tag{index}", f"value{index}")
        parent = trace.set_span_in_context(span)
        ended: list[Any] = []
        for kind in ("tool_call", "web_access", "file_access"):
            child = tracer.start_span("execute_tool name", context=parent,
                                      kind=trace.SpanKind.INTERNAL, attributes={
                                          "gen_ai.operation.name": "execute_tool",
                                          "gen_ai.tool.name": "name", "pelnorix.action.type": kind,
                                          "gen_ai.tool.call.arguments": '{"q": 1}',
                                          "gen_ai.tool.call.result": "r" * 100})
            if end:
                child.end()
            ended.append(child)
        span.set_attribute("gen_ai.output.messages", json.dumps(
            [{"role": "assistant", "parts": [{"type": "text", "content": self.RESPONSE}],
              "finish_reason": "stop"}]))
        if end:
            span.end()
        ended.append(span)
        return ended

    def flush(self) -> None:
        if not self.provider.force_flush(timeout_millis=120_000):
            raise RuntimeError("OpenTelemetry flush timed out")

    def delivered(self) -> int:
        return self.span_exporter.accepted // OTEL_SPANS_PER_CALL

    def dropped(self) -> int:
        return self.span_exporter.refused // OTEL_SPANS_PER_CALL

    def close(self) -> None:
        self.provider.shutdown()


BLOCK = 50


def measure(make: Callable[[], Pipeline], spans: int) -> Figures:
    pipeline = make()
    try:
        for _ in range(spans // 4):  # warm-up
            pipeline.record()
        # The hand-off alone, of spans recorded beforehand.
        recorded = [pipeline.record() for _ in range(spans)]
        start = time.thread_time_ns()
        for item in recorded:
            pipeline.hand_off(item)
        hand_off = (time.thread_time_ns() - start) / spans
        del recorded
        pipeline.flush()

        # The pipeline as the application runs it: record, hand off, deliver.
        delivered_before = pipeline.delivered()
        process_start = time.process_time_ns()
        for _ in range(spans):
            pipeline.record_and_hand_off()
        pipeline.flush()
        process = time.process_time_ns() - process_start
        delivered = pipeline.delivered() - delivered_before

        # Recording with and without the hand-off, in alternating blocks, so
        # that both run beside the same background work.
        record = record_and_hand_off = 0
        for _ in range(spans // BLOCK):
            start = time.thread_time_ns()
            for _ in range(BLOCK):
                pipeline.record()
            middle = time.thread_time_ns()
            for _ in range(BLOCK):
                pipeline.record_and_hand_off()
            record += middle - start
            record_and_hand_off += time.thread_time_ns() - middle
        pipeline.flush()
        calls = spans // BLOCK * BLOCK
        return Figures(record / calls, record_and_hand_off / calls, hand_off,
                       process / max(delivered, 1), delivered, pipeline.dropped())
    finally:
        pipeline.close()


# Sustained throughput -------------------------------------------------------------------


def resident_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def sustain(url: str, seconds: float) -> None:
    tracer = pelnorix.TamloxTracer(tenant_id=TENANT, endpoint=url)
    exporter = OTLPExporter(tracer=tracer, service_name=SERVICE)
    print(f"\nSustained: typical spans recorded and exported flat out into rotel for {seconds:g} s "
          "(default exporter settings)")
    start = time.monotonic()
    checkpoints = [0.0, seconds / 2, seconds]
    samples: list[tuple[float, float, int, int]] = []
    while True:
        elapsed = time.monotonic() - start
        if checkpoints and elapsed >= checkpoints[0]:
            checkpoints.pop(0)
            counters = exporter.counters()
            samples.append((elapsed, resident_mib(), counters.handed_over, counters.sent))
            print(f"  t={elapsed:5.1f} s  RSS {samples[-1][1]:7.1f} MiB  handed over "
                  f"{counters.handed_over:8d}  sent {counters.sent:8d}  queued {counters.queued:5d}",
                  flush=True)
        if not checkpoints:
            break
        for _ in range(200):
            exporter.export(typical(tracer))
    exporter.shutdown(timeout=30)
    counters = exporter.counters()
    (t0, _, handed0, sent0), (t1, _, handed1, sent1) = samples[0], samples[-1]
    print(f"  delivered {(sent1 - sent0) / (t1 - t0):,.0f} spans/s (each with 3 actions: "
          f"{OTEL_SPANS_PER_CALL * (sent1 - sent0) / (t1 - t0):,.0f} OTLP spans/s); recorded "
          f"{(handed1 - handed0) / (t1 - t0):,.0f} spans/s")
    print(f"  at the end: {counters}")


# Report ---------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spans", type=int, default=2000, help="LLM calls per round and pipeline")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--sustain", type=float, default=30.0, help="seconds; 0 skips it")
    args = parser.parse_args()
    print(f"pelnorix {pelnorix.__version__} from {pelnorix.__file__}")
    print(f"Python {sys.version.split()[0]}; {args.rounds} interleaved rounds of {args.spans} "
          f"typical spans per pipeline; medians in microseconds per LLM call")

    with rotel_receiver() as url:
        makers: list[tuple[str, Callable[[], Pipeline]]] = [
            (Pelnorix.name, lambda: Pelnorix(url, args.spans)),
            (OpenTelemetrySdk.name, lambda: OpenTelemetrySdk(url, args.spans)),
        ]
        for _, make in makers:  # warm-up: imports, connections, caches
            measure(make, args.spans // 4)
        rounds: dict[str, list[Figures]] = {name: [] for name, _ in makers}
        for number in range(args.rounds):
            for name, make in makers if number % 2 == 0 else makers[::-1]:
                rounds[name].append(measure(make, args.spans))

        def median(name: str, field: str) -> float:
            return statistics.median(getattr(f, field) for f in rounds[name]) / 1000

        columns = [("record", "record"), ("record + hand-off", "record_and_hand_off"),
                   ("hand-off alone", "hand_off"), ("process / delivered", "process_per_delivered")]
        print(f"\n{'µs per LLM call':40}" + "".join(f"{title:>21}" for title, _ in columns))
        print("-" * (40 + 21 * len(columns)))
        for name, _ in makers:
            print(f"{name:40}" + "".join(f"{median(name, field):21.2f}" for _, field in columns))
        for name, _ in makers:
            delivered = sum(f.delivered for f in rounds[name])
            dropped = sum(f.dropped for f in rounds[name])
            print(f"  {name}: {delivered} delivered, {dropped} dropped over the measured rounds")

        ours, peer = Pelnorix.name, OpenTelemetrySdk.name
        beyond = median(ours, "record_and_hand_off") - median(ours, "record")
        print(f"\npelnorix calling thread beyond recording: {beyond:.2f} µs "
              f"(export() alone: {median(ours, 'hand_off'):.2f} µs; aim < 3)")
        print(f"calling thread, record + hand-off: OpenTelemetry / pelnorix = "
              f"{median(peer, 'record_and_hand_off') / median(ours, 'record_and_hand_off'):.1f}x")
        print(f"whole process per delivered span: OpenTelemetry / pelnorix = "
              f"{median(peer, 'process_per_delivered') / median(ours, 'process_per_delivered'):.1f}x "
              "(aim >= 5)")

        if args.sustain > 0:
            sustain(url, args.sustain)
    return 0


if __name__ == "__main__":
    sys.exit(main())
