#!/usr/bin/env python3
"""Cost of capture per SDK call, on the mock transport: the bare openai call, the same call through
a pelnorix_otel traced client, and the same call under the OpenTelemetry contrib instrumentation
for openai (opentelemetry-instrumentation-genai-openai, with the SDK's TracerProvider).

Both recorders keep their spans in memory on the calling thread (SpanCollector /
InMemorySpanExporter with SimpleSpanProcessor), and both record message content. Rounds are
interleaved (the order of the variants turns every round) and medians are reported, as the
machine is shared: CPU time of the process per call and wall time per call, and each variant's
ratio to the bare call.

Run it in its own environment (the instrumentation is not a test dependency):

    python3.12 -m venv build/venv-bench
    build/venv-bench/bin/pip install -r scripts/requirements-dev.txt -r benchmarks/requirements.txt
    eval "$(scripts/dev-build.sh)"  # the module and the companion in build/dev/python
    build/venv-bench/bin/python benchmarks/bench_capture.py
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

# Both recorders capture message content, so that they do the same work.
os.environ.setdefault("OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT", "span_only")
os.environ.setdefault("OTEL_SEMCONV_STABILITY_OPT_IN", "gen_ai_latest_experimental")

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import openai  # noqa: E402
from opentelemetry.instrumentation.genai.openai import OpenAIInstrumentor  # noqa: E402
from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402

import pelnorix_otel  # noqa: E402
from mock_llm_api import MockLLMAPI, openai_client  # noqa: E402

MESSAGES: Any = [
    {"role": "system", "content": "You are a concise assistant for travel questions."},
    {"role": "user", "content": "Which is the capital of France, and what is it known for?"},
]


def plain(client: openai.OpenAI) -> None:
    client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES, temperature=0.2)


def streamed(client: openai.OpenAI) -> None:
    for _ in client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES, stream=True):
        pass


def streamed_with_usage(client: openai.OpenAI) -> None:
    options: Any = {"include_usage": True}
    for _ in client.chat.completions.create(model="gpt-4o-mini", messages=MESSAGES, stream=True, stream_options=options):
        pass


# "stream": the caller sets no stream_options, so capture asks for usage, and the service sends
# one chunk more; "stream+usage": the caller asks for usage itself, the same request for all three.
CALLS: dict[str, Callable[[openai.OpenAI], None]] = {
    "chat": plain,
    "stream": streamed,
    "stream+usage": streamed_with_usage,
}


class Variants:
    """The three ways of making the same call, each with its own client and mock API."""

    def __init__(self) -> None:
        self.apis = {name: MockLLMAPI() for name in ("bare", "pelnorix", "opentelemetry")}
        self.clients = {name: openai_client(api) for name, api in self.apis.items()}
        self.collector = pelnorix_otel.SpanCollector()
        self.clients["pelnorix"] = pelnorix_otel.capture(self.clients["pelnorix"], sink=self.collector)
        self.otel_spans = InMemorySpanExporter()
        provider = TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(self.otel_spans))
        self.instrumentor = OpenAIInstrumentor()
        self.provider = provider

    def run(self, name: str, call: Callable[[openai.OpenAI], None], count: int) -> tuple[float, float]:
        """CPU and wall nanoseconds per call of ``count`` calls."""
        client = self.clients[name]
        if name == "opentelemetry":
            self.instrumentor.instrument(tracer_provider=self.provider)
        try:
            gc.collect()
            cpu, wall = time.process_time_ns(), time.perf_counter_ns()
            for _ in range(count):
                call(client)
            cpu, wall = time.process_time_ns() - cpu, time.perf_counter_ns() - wall
        finally:
            if name == "opentelemetry":
                self.instrumentor.uninstrument()
        api = self.apis[name]
        api.requests.clear()
        api.bodies.clear()
        finished = self.otel_spans.get_finished_spans()
        if finished and not any(key.startswith("gen_ai.input") for key in finished[0].attributes or {}):
            raise SystemExit("the OpenTelemetry instrumentation recorded no message content")
        self.recorded = len(self.collector.collected), len(finished)
        self.collector.clear()
        self.otel_spans.clear()
        return cpu / count, wall / count


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--calls", type=int, default=200, help="calls per variant per round")
    options = parser.parse_args()

    variants = Variants()
    order = ["bare", "pelnorix", "opentelemetry"]
    expected = {"bare": (0, 0), "pelnorix": (20, 0), "opentelemetry": (0, 20)}
    for call in CALLS.values():  # warm up (imports, pydantic models), and check each records
        for name in order:
            variants.run(name, call, 20)
            assert variants.recorded == expected[name], (name, variants.recorded)

    print(f"openai {openai.__version__}, {options.rounds} interleaved rounds of {options.calls} calls per variant")
    print(f"{'call':<12} {'variant':<14} {'CPU us/call':>12} {'ratio':>6} {'+us':>7} {'wall us/call':>13} {'ratio':>6}")
    for label, call in CALLS.items():
        cpu: dict[str, list[float]] = {name: [] for name in order}
        wall: dict[str, list[float]] = {name: [] for name in order}
        for round_number in range(options.rounds):
            turned = order[round_number % 3 :] + order[: round_number % 3]
            for name in turned:
                spent_cpu, spent_wall = variants.run(name, call, options.calls)
                cpu[name].append(spent_cpu)
                wall[name].append(spent_wall)
        base_cpu, base_wall = statistics.median(cpu["bare"]), statistics.median(wall["bare"])
        for name in order:
            median_cpu, median_wall = statistics.median(cpu[name]), statistics.median(wall[name])
            print(
                f"{label:<12} {name:<14} {median_cpu / 1000:>12.1f} {median_cpu / base_cpu:>6.3f}"
                f" {(median_cpu - base_cpu) / 1000:>7.1f} {median_wall / 1000:>13.1f} {median_wall / base_wall:>6.3f}"
            )


if __name__ == "__main__":
    main()
