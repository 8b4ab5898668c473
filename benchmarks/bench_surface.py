#!/usr/bin/env python3
"""Nanoseconds per call of the pelnorix module surface, beside two Python references: a method
call that does nothing (the floor every call pays) and the same trace recorded by a plain
Python class with __slots__. Then the ratios against the peers that the surface is held to
(builtin calls, orjson, json.loads), and the memory a finished span holds.

Each row is a statement timed in a compiled loop (no wrapper call per iteration); the number of
iterations is grown until one repeat lasts --min-time seconds, and the best of --repeat
repeats is shown. A ratio times its two statements alternately, repeat by repeat, and shows
the median of the per-repeat ratios, so that a shared machine's drift hits both sides alike.

    PYTHONPATH=build/rel/python build/venv-3.12/bin/python benchmarks/bench_surface.py
    ... benchmarks/bench_surface.py --filter trace --repeat 9
    ... benchmarks/bench_surface.py --ratios-only

orjson (benchmarks/requirements.txt) is needed for the to_json ratios only.
"""

from __future__ import annotations

import argparse
import datetime
import functools
import json
import statistics
import subprocess
import sys
import time
import timeit
import uuid
from collections.abc import Callable
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
        "agent_actions",
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
        self.agent_actions: list[dict[str, Any]] = []

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

    def report_action(
        self,
        action_type: str,
        name: str,
        *,
        arguments: str | None = None,
        result: str | None = None,
        duration_ms: int | None = None,
        success: bool | None = None,
    ) -> str:
        if action_type not in ACTION_TYPES:
            raise ValueError(f"Invalid action_type: '{action_type}'")
        if result is not None:
            result = result.encode()[:4096].decode(errors="ignore")
        action_id = str(uuid.uuid4())
        self.agent_actions.append(
            {
                "id": action_id,
                "action_type": action_type,
                "name": name,
                "arguments": arguments,
                "result": result,
                "duration_ms": duration_ms,
                "success": success is not False,
                "exit_code": None,
                "http_method": None,
                "http_status": None,
                "file_operation": None,
                "timestamp": rfc3339(time.time_ns()),
                "metadata": {},
            }
        )
        return action_id

    def to_dict(self) -> dict[str, Any]:
        return {
            "trace_id": str(self.trace_id),
            "span_id": str(self.span_id),
            "parent_span_id": None,
            "tenant_id": str(self.tenant_id),
            "operation_name": self.operation_name,
            "start_time": rfc3339(self.start_time_ns),
            "end_time": None if self.end_time_ns is None else rfc3339(self.end_time_ns),
            "provider": self.provider,
            "model_name": self.model_name,
            "prompt": self.prompt,
            "response": self.response,
            "prompt_tokens": self.prompt_tokens,
            "completion_tokens": self.completion_tokens,
            "total_tokens": self.total_tokens,
            "time_to_first_token_ms": self.time_to_first_token_ms,
            "duration_ms": self.duration_ms,
            "status_code": self.status_code,
            "error_message": self.error_message,
            "estimated_cost_usd": None,
            "security_score": None,
            "security_findings": [],
            "tags": dict(self.tags),
            "events": [],
            "agent_actions": [dict(a, metadata={}) for a in self.agent_actions],
        }

    def to_json(self) -> str:
        return json.dumps(self.to_dict(), indent=2)

    def __repr__(self) -> str:
        complete = "true" if self.end_time_ns is not None else "false"
        return (
            f"TraceSpan(trace_id='{self.trace_id}', op='{self.operation_name}', "
            f"model='{self.model_name}', complete={complete})"
        )


ACTION_TYPES = frozenset(
    ["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
)


def rfc3339(ns: int) -> str:
    seconds, fraction = divmod(ns, 1_000_000_000)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return f"{moment:%Y-%m-%dT%H:%M:%S}.{fraction:09d}Z"


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

# A span holds every action reported on it, so actions go to fresh spans, 100 each, and the
# row divides by 100; starting the span adds about 1/100 of a start_span.
REPORT_100 = """\
traced = {tracer}.start_span("agent", "openai", "gpt-4")
for _ in range(100):
    traced.report_action("tool_call", "search", arguments="{{}}", result={result})
"""

PLAIN_REPORT_100 = REPORT_100.format(tracer="plain_tracer", result="KB")

# (row name, statement[, calls per statement]). Statements run with the names of `namespace()`
# in scope.
ROWS: list[tuple[str, str] | tuple[str, str, int]] = [
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
    ("span.report_action, 1 KB result", REPORT_100.format(tracer="tracer", result="KB"), 100),
    ("span.report_action, 100 KB result", REPORT_100.format(tracer="tracer", result="KB100"), 100),
    ("plain: report_action, 1 KB result", PLAIN_REPORT_100, 100),
    ("span.to_json (typical finished span)", "typical.to_json()"),
    ("span.to_dict (typical finished span)", "typical.to_dict()"),
    ("repr(span) (typical finished span)", "repr(typical)"),
    ("span.security_findings", "typical.security_findings()"),
    ("reference: json.dumps(d, indent=2)", "json.dumps(typical_dict, indent=2)"),
    ("reference: json.loads(compact document)", "json.loads(typical_compact)"),
    ("plain: to_json (typical finished span)", "plain_typical.to_json()"),
    ("plain: to_dict (typical finished span)", "plain_typical.to_dict()"),
    ("plain: repr (typical finished span)", "repr(plain_typical)"),
    ("span.to_json, 10 000 actions", "many_actions(10_000).to_json()"),
    ("span.to_json, 100 000 actions", "many_actions(100_000).to_json()"),
    ("instrument(client)", "instrument(floor)"),
    ("instrument(client, tracer=)", "instrument(floor, tracer=tracer)"),
    ("wrapper.noop (forwarded read)", "wrapper.noop"),
    ("wrapper.tracer (own property)", "wrapper.tracer"),
    ("repr(wrapper)", "repr(wrapper)"),
    ("wrapper.start_span", "wrapper.start_span('chat_completion', 'openai', 'gpt-4')"),
    ("configure({})", "configure({})"),
    ("configure(all three keys)", "configure(CONFIG)"),
]


def typical(tracer: Any) -> Any:
    """A finished span of the usual size: 1 KB prompt and response, 5 tags, 3 actions."""
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt("p" * 1024)
    span.set_token_counts(prompt_tokens=256, completion_tokens=256)
    span.set_ttft_ms(120)
    for index in range(5):
        span.add_tag(f"tag{index}", f"value{index}")
    for kind in ("tool_call", "web_access", "file_access"):
        span.report_action(kind, "name", arguments='{"q": 1}', result="r" * 100, duration_ms=5)
    span.set_response("r" * 1024)
    return span


@functools.cache
def many_actions(count: int) -> Any:
    span = pelnorix.TamloxTracer().start_span("agent", "openai", "gpt-4")
    for index in range(count):
        span.report_action("tool_call", f"tool-{index}", arguments="{}", result="ok")
    return span


def namespace() -> dict[str, Any]:
    tracer = pelnorix.TamloxTracer(endpoint="http://collector:4318")
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_token_counts(prompt_tokens=12, completion_tokens=8)
    typical_span = typical(tracer)
    return {
        "TamloxTracer": pelnorix.TamloxTracer,
        "TENANT": "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
        "floor": Floor(),
        "tracer": tracer,
        "span": span,
        "plain_tracer": PlainTracer(),
        "KB": "x" * 1024,
        "KB100": "x" * 102_400,
        "typical": typical_span,
        "typical_dict": typical_span.to_dict(),
        "typical_compact": json.dumps(typical_span.to_dict(), separators=(",", ":")),
        "plain_typical": typical(PlainTracer()),
        "many_actions": many_actions,
        "json": json,
        "instrument": pelnorix.instrument,
        "configure": pelnorix.configure,
        "wrapper": pelnorix.instrument(Floor(), tracer=tracer),
        "CONFIG": {"tenant_id": "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "endpoint": "e"},
    }


def calibrated(timer: timeit.Timer, min_time: float) -> int:
    """The number of loops for which one timing of `timer` lasts at least `min_time` seconds."""
    number = 1
    while True:
        elapsed_ns = timer.timeit(number)
        if elapsed_ns >= min_time * 1e9:
            return number
        number *= 2 if elapsed_ns * 10 >= min_time * 1e9 else 10


def best_ns_per_call(statement: str, repeat: int, min_time: float) -> float:
    timer = timeit.Timer(statement, timer=time.perf_counter_ns, globals=namespace())
    number = calibrated(timer, min_time)
    return min(timer.repeat(repeat=repeat, number=number)) / number


# --- ratios against the peers -----------------------------------------------------------------

# The floor of a traced call: as many calls of a builtin C method (a bound dict.__setitem__) as
# the trace makes calls.
SEVEN_BUILTIN_CALLS = "\n".join(["setitem('env', 'prod')"] * 7)


def side_by_side(
    statement: str, reference: str, names: dict[str, Any], repeat: int, min_time: float
) -> tuple[float, float, float]:
    """(ns of statement, ns of reference, median of their per-repeat ratios), timed alternately."""
    timers = [
        timeit.Timer(s, timer=time.perf_counter_ns, globals=names) for s in (statement, reference)
    ]
    numbers = [calibrated(timer, min_time) for timer in timers]
    samples: list[list[float]] = [[], []]
    for _ in range(repeat):
        for index, timer in enumerate(timers):
            samples[index].append(timer.timeit(numbers[index]) / numbers[index])
    ratios = [a / b for a, b in zip(*samples)]
    return min(samples[0]), min(samples[1]), statistics.median(ratios)


def documents(action_counts: list[int]) -> list[tuple[int, Any, Any]]:
    """(actions, span, its dictionary) for a finished typical span with that many actions."""
    made = []
    tracer = pelnorix.TamloxTracer()
    for count in action_counts:
        span = typical(tracer)
        for index in range(count - 3):
            span.report_action("tool_call", f"tool-{index}", arguments="{}", result="r" * 100)
        made.append((count, span, span.to_dict()))
    return made


MEMORY_PROBE = """import gc, json, pelnorix, sys
sys.path.insert(0, {here!r})
from bench_surface import typical

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

tracer = pelnorix.TamloxTracer()
typical(tracer)
held = [None] * {count}
gc.collect()
before = resident_bytes()
for index in range({count}):
    held[index] = typical(tracer)
after = resident_bytes()
document = held[0].to_dict()
texts = sum(len(document[key].encode())
            for key in ("operation_name", "model_name", "prompt", "response"))
texts += sum(len(k.encode()) + len(v.encode()) for k, v in document["tags"].items())
for action in document["agent_actions"]:
    texts += sum(len((action[key] or "").encode()) for key in ("name", "arguments", "result"))
print(json.dumps({{"per_span": (after - before) / {count}, "texts": texts}}))
"""


def span_memory(count: int) -> tuple[float, int]:
    """Resident bytes per finished typical span held in a list, and the bytes of its texts.

    Measured in a fresh interpreter, so that nothing else this script made is in the figure."""
    import os

    probe = MEMORY_PROBE.format(here=os.path.dirname(os.path.abspath(__file__)), count=count)
    output = subprocess.run(
        [sys.executable, "-c", probe], check=True, capture_output=True, text=True
    ).stdout
    result = json.loads(output)
    return float(result["per_span"]), int(result["texts"])


def print_ratios(repeat: int, min_time: float, max_actions: int) -> None:
    names = namespace()
    d: dict[str, str] = {}
    names["setitem"] = d.__setitem__
    orjson: Any
    try:
        import orjson
    except ImportError:
        orjson = None
    names["orjson"] = orjson
    typical_compact = json.dumps(names["typical_dict"], separators=(",", ":"), ensure_ascii=False)
    names["typical_compact"] = typical_compact

    print(
        f"\n{'ratio (median of alternate repeats)':48} {'ns':>10} {'ref ns':>10}"
        f" {'ratio':>7} {'aim':>6}"
    )
    print("-" * 85)

    def row(name: str, statement: str, reference: str, aim: float | None) -> None:
        ns, ref_ns, ratio = side_by_side(statement, reference, names, repeat, min_time)
        aim_text = f"{aim:6.1f}" if aim is not None else ""
        print(f"{name:48} {ns:10.1f} {ref_ns:10.1f} {ratio:7.2f} {aim_text}", flush=True)

    row(
        "full traced call / 7 builtin calls",
        FULL_TRACE.format(tracer="tracer"),
        SEVEN_BUILTIN_CALLS,
        1.6,
    )
    row(
        "start_span / empty method call",
        "tracer.start_span('chat_completion', 'openai', 'gpt-4')",
        "floor.noop()",
        6.0,
    )
    if orjson is not None:
        row(
            "to_json / orjson.dumps(OPT_INDENT_2)",
            "typical.to_json()",
            "orjson.dumps(typical_dict, option=orjson.OPT_INDENT_2)",
            1.0,
        )
    else:
        print(
            "to_json / orjson: orjson is not installed (pip install -r benchmarks/requirements.txt)"
        )
    row(
        "to_dict / json.loads(compact text)",
        "typical.to_dict()",
        "json.loads(typical_compact)",
        1.1,
    )
    row("forwarded read / empty method call", "wrapper.noop", "floor.noop()", 4.0)
    ns, ref_ns, ratio = side_by_side(
        "typical.security_findings()", "json.loads('[]')", names, repeat, min_time
    )
    print(
        f"{'security_findings (ns; aim 500) / json.loads([])':48} {ns:10.1f} {ref_ns:10.1f}"
        f" {ratio:7.2f}"
    )

    # Per byte, as the span grows: the text's length is the document's size.
    counts = [count for count in (3, 100, 1000, 10_000, 100_000) if count <= max_actions]
    print(
        f"\n{'to_json per byte':24} {'actions':>8} {'bytes':>11} {'ns/B':>7}"
        f" {'orjson ns/B':>12} {'ratio':>7}"
    )
    for count, span, document in documents(counts):
        size = len(span.to_json().encode())
        scale = max(1, count // 100)
        names["sized"], names["sized_dict"] = span, document
        reference = "orjson.dumps(sized_dict, option=orjson.OPT_INDENT_2)" if orjson else "None"
        ns, ref_ns, ratio = side_by_side(
            "sized.to_json()", reference, names, max(3, repeat // scale), min_time
        )
        orjson_text = f"{ref_ns / size:12.3f} {ratio:7.2f}" if orjson else ""
        print(f"{'':24} {count:8} {size:11} {ns / size:7.3f} {orjson_text}", flush=True)
    names.pop("sized", None)
    names.pop("sized_dict", None)

    per_span, texts = span_memory(100_000)
    print(
        f"\nresident bytes per finished typical span (100 000 held): {per_span:.0f}; "
        f"texts {texts} + 1024 = {texts + 1024} (overhead {per_span - texts:.0f}, aim <= 1024)"
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.1, help="seconds per repeat")
    parser.add_argument("--filter", action="append", help="run only rows whose name contains this")
    parser.add_argument("--ratios-only", action="store_true", help="skip the table of rows")
    parser.add_argument("--no-ratios", action="store_true", help="skip the ratios and memory")
    parser.add_argument(
        "--max-actions", type=int, default=100_000, help="largest span of the per-byte rows"
    )
    args = parser.parse_args()

    rows = [row for row in ROWS if not args.filter or any(f in row[0] for f in args.filter)]
    if args.ratios_only:
        rows = []
    print(f"pelnorix {pelnorix.__version__} from {pelnorix.__file__}")
    print(
        f"Python {sys.version.split()[0]}; best of {args.repeat} repeats of >= {args.min_time} s\n"
    )
    if rows:
        print(f"{'operation':42} {'ns/call':>10} {'x floor':>8}")
        print("-" * 62)
    floor_ns: float | None = None
    for name, statement, *calls in rows:
        ns = best_ns_per_call(statement, args.repeat, args.min_time) / (calls[0] if calls else 1)
        if name.startswith("floor"):
            floor_ns = ns
        ratio = f"{ns / floor_ns:8.1f}" if floor_ns else f"{'':8}"
        print(f"{name:42} {ns:10.1f} {ratio}", flush=True)
    if not args.no_ratios and (args.ratios_only or not args.filter):
        print_ratios(args.repeat, args.min_time, args.max_actions)
    return 0


if __name__ == "__main__":
    sys.exit(main())
