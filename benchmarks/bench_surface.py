#!/usr/bin/env python3
"""Nanoseconds per call of the pelnorix module surface, beside two Python references: a method
call that does nothing (the floor every call pays) and the same trace recorded by a plain
Python class with __slots__.

Each row is a statement timed in a compiled loop (no wrapper call per iteration); the number of
iterations is grown until one repeat lasts --min-time seconds, and the best of --repeat
repeats is shown.

    PYTHONPATH=build/h4/python build/venv-3.12/bin/python benchmarks/bench_surface.py
    ... benchmarks/bench_surface.py --filter trace --repeat 9
"""

from __future__ import annotations

import argparse
import sys
import time
import timeit
import uuid
from typing import Any

import pelnorix


class Floor:
    def noop(self) -> None:
        pass


class PlainSpan:
    """The recording part of a span in plain Python: what the native class is measured against."""

    __slots__ = (
        "trace_id",
        "span_id",
        "tenant_id",
        "operation_name",
        "provider",
        "model_name",
        "start_time_ns",
        "end_time_ns",
        "duration_ms",
        "prompt",
        "response",
        "error_message",
        "status_code",
        "prompt_tokens",
        "completion_tokens",
        "total_tokens",
        "time_to_first_token_ms",
        "tags",
    )

    def __init__(
        self, tenant_id: uuid.UUID, operation_name: str, provider: str, model: str
    ) -> None:
        self.trace_id = uuid.uuid4()
        self.span_id = uuid.uuid4()
        self.tenant_id = tenant_id
        self.operation_name = operation_name
        self.provider = provider.lower()
        self.model_name = model
        self.start_time_ns = time.time_ns()
        self.end_time_ns: int | None = None
        self.duration_ms: int | None = None
        self.prompt = ""
        self.response: str | None = None
        self.error_message: str | None = None
        self.status_code: int | None = None
        self.prompt_tokens: int | None = None
        self.completion_tokens: int | None = None
        self.total_tokens: int | None = None
        self.time_to_first_token_ms: int | None = None
        self.tags: dict[str, str] = {}

    def set_prompt(self, prompt: str) -> None:
        self.prompt = prompt

    def set_token_counts(
        self, *, prompt_tokens: int | None = None, completion_tokens: int | None = None
    ) -> None:
        self.prompt_tokens = prompt_tokens
        self.completion_tokens = completion_tokens
        both = prompt_tokens is not None and completion_tokens is not None
        self.total_tokens = (
            prompt_tokens + completion_tokens  # type: ignore[operator]
            if both
            else None
        )

    def set_ttft_ms(self, ttft_ms: int) -> None:
        self.time_to_first_token_ms = ttft_ms

    def add_tag(self, key: str, value: str) -> None:
        self.tags[key] = value

    def set_response(self, response: str) -> None:
        self.response = response
        self.end_time_ns = time.time_ns()
        self.duration_ms = (self.end_time_ns - self.start_time_ns) // 1_000_000


class PlainTracer:
    __slots__ = ("tenant_id",)

    def __init__(self) -> None:
        self.tenant_id = uuid.uuid4()

    def start_span(self, operation_name: str, provider: str, model: str) -> PlainSpan:
        return PlainSpan(self.tenant_id, operation_name, provider, model)


FULL_TRACE = """\
traced = {tracer}.start_span("chat_completion", "OpenAI", "gpt-4")
traced.set_prompt("What is the capital of France?")
traced.set_token_counts(prompt_tokens=12, completion_tokens=8)
traced.set_ttft_ms(120)
traced.add_tag("env", "prod")
traced.add_tag("user", "u-42")
traced.set_response("Paris.")
"""

# (row name, statement). Statements run with the names of `namespace()` in scope.
ROWS: list[tuple[str, str]] = [
    ("floor: empty Python method call", "floor.noop()"),
    ("TamloxTracer()", "TamloxTracer()"),
    (
        "TamloxTracer(tenant_id=, endpoint=)",
        "TamloxTracer(tenant_id=TENANT, endpoint='http://c:4318')",
    ),
    ("repr(tracer)", "repr(tracer)"),
    ("tracer.start_span", "tracer.start_span('chat_completion', 'openai', 'gpt-4')"),
    ("span.set_prompt", "span.set_prompt('What is the capital of France?')"),
    ("span.set_response", "span.set_response('Paris.')"),
    ("span.set_error", "span.set_error('timeout', 504)"),
    ("span.set_token_counts", "span.set_token_counts(prompt_tokens=12, completion_tokens=8)"),
    ("span.set_ttft_ms", "span.set_ttft_ms(120)"),
    ("span.add_tag", "span.add_tag('env', 'prod')"),
    ("span.prompt (property read)", "span.prompt"),
    ("span.trace_id (property read)", "span.trace_id"),
    ("span.total_tokens (property read)", "span.total_tokens"),
    ("full trace of one call", FULL_TRACE.format(tracer="tracer")),
    ("full trace, plain Python __slots__ class", FULL_TRACE.format(tracer="plain_tracer")),
]


def namespace() -> dict[str, Any]:
    tracer = pelnorix.TamloxTracer(endpoint="http://collector:4318")
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_token_counts(prompt_tokens=12, completion_tokens=8)
    return {
        "TamloxTracer": pelnorix.TamloxTracer,
        "TENANT": "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
        "floor": Floor(),
        "tracer": tracer,
        "span": span,
        "plain_tracer": PlainTracer(),
    }


def best_ns_per_call(statement: str, repeat: int, min_time: float) -> float:
    timer = timeit.Timer(statement, timer=time.perf_counter_ns, globals=namespace())
    number = 1
    while True:
        elapsed_ns = timer.timeit(number)
        if elapsed_ns >= min_time * 1e9:
            break
        number *= 2 if elapsed_ns * 10 >= min_time * 1e9 else 10
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.1, help="seconds per repeat")
    parser.add_argument("--filter", action="append", help="run only rows whose name contains this")
    args = parser.parse_args()

    rows = [(n, s) for n, s in ROWS if not args.filter or any(f in n for f in args.filter)]
    print(f"pelnorix {pelnorix.__version__} from {pelnorix.__file__}")
    print(
        f"Python {sys.version.split()[0]}; best of {args.repeat} repeats of >= {args.min_time} s\n"
    )
    print(f"{'operation':42} {'ns/call':>10} {'x floor':>8}")
    print("-" * 62)
    floor_ns: float | None = None
    for name, statement in rows:
        ns = best_ns_per_call(statement, args.repeat, args.min_time)
        if name.startswith("floor"):
            floor_ns = ns
        ratio = f"{ns / floor_ns:8.1f}" if floor_ns else f"{'':8}"
        print(f"{name:42} {ns:10.1f} {ratio}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
