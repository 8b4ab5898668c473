#!/usr/bin/env python3
"""Drive every callable of the pelnorix module, on its success path and on each of its error
paths, many times over and report how the interpreter's allocated blocks and the process's
resident memory grew. A reference or native allocation lost per call shows up as steady
growth; the script exits 1 when a case grows beyond a small bound.

Run it against a build, e.g. the one scripts/dev-build.sh makes:
    PYTHONPATH=build/dev/python build/venv-3.12/bin/python scripts/leak_check.py
    ... scripts/leak_check.py --iterations 20000 --case set_error
scripts/test.sh runs it on its Release build with --iterations 20000: a reference lost once per call
then grows by 20 000 blocks, far beyond the bound.
"""

from __future__ import annotations

import argparse
import gc
import inspect
import os
import sys
import weakref
from collections.abc import Callable

import pelnorix

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
# Growth allowed per case after warm-up. Free lists, method caches and
# exception bookkeeping wobble by a few hundred blocks whatever the number of
# calls, while a reference lost once per call grows with it: one block per
# hundred calls, or 1 MiB of resident memory (about 10 bytes per call over
# 100 000 calls), is the line.
MIN_BLOCK_BOUND = 500
MAX_RSS_GROWTH = 1 << 20
WARM_UP = 2_000
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def expect(exception: type[BaseException], call: Callable[[], object]) -> Callable[[], None]:
    """A case that must raise `exception`; anything else stops the run."""

    def run() -> None:
        try:
            call()
        except exception:
            return
        raise AssertionError(f"{call} did not raise {exception.__name__}")

    return run


class Index:
    def __init__(self, value: object) -> None:
        self.value = value

    def __index__(self) -> object:
        return self.value


class Reentrant:
    """An integer argument whose conversion calls back into a span."""

    def __init__(self, action: Callable[[], object]) -> None:
        self.action = action

    def __index__(self) -> int:
        self.action()
        return 1


class IndexFailure(Exception):
    pass


class FailingIndex:
    def __index__(self) -> int:
        raise IndexFailure("no index")


tracer = pelnorix.TamloxTracer(tenant_id=TENANT, endpoint='http://c "x"\n\u200b')
span = tracer.start_span("chat_completion", "openai", "gpt-4")
span.set_prompt("a prompt of moderate length " * 4)
span.add_tag("env", "prod")
busy = tracer.start_span("op", "openai", "m")
span.report_action("tool_call", "search", arguments="q", result="r", duration_ms=5)

# Every property the span class defines, so that a new one is driven too.
SPAN_PROPERTIES = [
    name for name, member in vars(pelnorix.TraceSpan).items() if inspect.isgetsetdescriptor(member)
]


class Colliding:
    """A dictionary key whose comparison with "tenant_id" raises."""

    def __hash__(self) -> int:
        return hash("tenant_id")

    def __eq__(self, other: object) -> bool:
        raise IndexFailure("compare")


class Client:
    model = "gpt-4o"

    def create(self, prompt: str) -> str:
        return prompt

    def __repr__(self) -> str:
        return "Client<gpt-4o>"


class ReprReturns:
    def __init__(self, result: object) -> None:
        self.result = result

    def __repr__(self) -> object:  # type: ignore[override]
        return self.result


class ReprRaises:
    def __repr__(self) -> str:
        raise IndexFailure("repr")


class RaisesOnLookup:
    def __getattr__(self, name: str) -> object:
        raise IndexFailure(name)


def without_json(call: Callable[[], object]) -> Callable[[], object]:
    """`call` with `sys.modules["json"]` removed for its duration."""

    def run() -> object:
        saved = sys.modules["json"]
        sys.modules["json"] = None  # type: ignore[assignment]
        try:
            return call()
        finally:
            sys.modules["json"] = saved

    return run


wrapper = pelnorix.instrument(Client(), tracer=tracer)
odd_wrapper = pelnorix.instrument(RaisesOnLookup())
act = busy.report_action
configure = pelnorix.configure
instrument = pelnorix.instrument


def cycle_through_wrapper() -> None:
    client = Client()
    client.wrapper = pelnorix.instrument(client)  # type: ignore[attr-defined]


def report_reentrant() -> None:
    fresh = tracer.start_span("op", "openai", "m")
    fresh.report_action("tool_call", "x", duration_ms=Reentrant(lambda: fresh.set_prompt("x")))


def read_span_properties() -> None:
    for name in SPAN_PROPERTIES:
        getattr(span, name)


def full_trace() -> None:
    traced = tracer.start_span("chat_completion", "OpenAI", "gpt-4")
    traced.set_prompt("What is the capital of France?")
    traced.set_token_counts(prompt_tokens=12, completion_tokens=8)
    traced.set_ttft_ms(120)
    traced.add_tag("env", "prod")
    traced.add_tag("user", "u-42")
    traced.set_response("Paris.")


CASES: list[tuple[str, Callable[[], object]]] = [
    # TamloxTracer construction
    ("tracer_default", lambda: pelnorix.TamloxTracer()),
    (
        "tracer_full",
        lambda: pelnorix.TamloxTracer(tenant_id=TENANT, endpoint="e", enable_security=False),
    ),
    ("tracer_urn_tenant", lambda: pelnorix.TamloxTracer(tenant_id="urn:uuid:" + TENANT)),
    ("tracer_positional", expect(TypeError, lambda: pelnorix.TamloxTracer("x"))),
    ("tracer_unexpected_keyword", expect(TypeError, lambda: pelnorix.TamloxTracer(tenant="x"))),
    ("tracer_tenant_not_str", expect(TypeError, lambda: pelnorix.TamloxTracer(tenant_id=1))),
    (
        "tracer_endpoint_surrogate",
        expect(UnicodeEncodeError, lambda: pelnorix.TamloxTracer(endpoint="\ud800")),
    ),
    (
        "tracer_security_not_bool",
        expect(TypeError, lambda: pelnorix.TamloxTracer(enable_security=1)),
    ),
    (
        "tracer_tenant_invalid",
        expect(ValueError, lambda: pelnorix.TamloxTracer(tenant_id="not-a-uuid")),
    ),
    ("tracer_repr", lambda: repr(tracer)),
    ("tracer_properties", lambda: (tracer.tenant_id, tracer.endpoint, tracer.enable_security)),
    ("tracer_weakref", expect(TypeError, lambda: weakref.ref(tracer))),
    # start_span
    ("start_span", lambda: tracer.start_span("op", "Azure-OpenAI", "m")),
    (
        "start_span_custom_provider",
        lambda: tracer.start_span("op", "\u039f\u0394\u039f\u03a3", "m"),
    ),
    ("start_span_missing", expect(TypeError, lambda: tracer.start_span("op"))),
    ("start_span_surplus", expect(TypeError, lambda: tracer.start_span("a", "b", "c", "d"))),
    ("start_span_not_str", expect(TypeError, lambda: tracer.start_span("op", None, "m"))),
    ("span_class_call", expect(TypeError, lambda: pelnorix.TraceSpan())),
    # TraceSpan properties and recording methods
    ("span_properties", read_span_properties),
    ("set_prompt", lambda: busy.set_prompt("prompt")),
    ("set_prompt_multiple_values", expect(TypeError, lambda: busy.set_prompt("a", prompt="b"))),
    ("set_prompt_not_str", expect(TypeError, lambda: busy.set_prompt(5))),
    ("set_prompt_surrogate", expect(UnicodeEncodeError, lambda: busy.set_prompt("a\udc80"))),
    ("set_response", lambda: span.set_response("response text")),
    ("set_response_missing", expect(TypeError, lambda: span.set_response())),
    ("set_error", lambda: span.set_error("error text", 503)),
    ("set_error_index_object", lambda: span.set_error("error text", Index(404))),
    ("set_error_out_of_range", expect(OverflowError, lambda: span.set_error("e", 70000))),
    ("set_error_beyond_64_bits", expect(OverflowError, lambda: span.set_error("e", 2**70))),
    ("set_error_float", expect(TypeError, lambda: span.set_error("e", 1.5))),
    ("set_error_failing_index", expect(IndexFailure, lambda: span.set_error("e", FailingIndex()))),
    ("set_token_counts", lambda: busy.set_token_counts(prompt_tokens=10, completion_tokens=5)),
    ("set_token_counts_positional", expect(TypeError, lambda: busy.set_token_counts(1, 2))),
    (
        "set_token_counts_negative",
        expect(OverflowError, lambda: busy.set_token_counts(prompt_tokens=-1)),
    ),
    ("set_ttft_ms", lambda: busy.set_ttft_ms(2**64 - 1)),
    ("set_ttft_ms_negative", expect(OverflowError, lambda: busy.set_ttft_ms(-1))),
    ("set_ttft_ms_none", expect(TypeError, lambda: busy.set_ttft_ms(None))),
    ("add_tag", lambda: busy.add_tag("env", "prod")),
    ("add_tag_missing", expect(TypeError, lambda: busy.add_tag("env"))),
    ("add_tag_unexpected_keyword", expect(TypeError, lambda: busy.add_tag("k", "v", x=1))),
    (
        "borrow_conflict_read",
        expect(RuntimeError, lambda: busy.set_error("e", Reentrant(lambda: busy.prompt))),
    ),
    (
        "borrow_conflict_write",
        expect(RuntimeError, lambda: busy.set_ttft_ms(Reentrant(lambda: busy.set_prompt("x")))),
    ),
    ("span_weakref", expect(TypeError, lambda: weakref.ref(span))),
    ("full_trace", full_trace),
    # report_action (on fresh spans: a recorded action is meant to stay)
    ("report_action", lambda: tracer.start_span("o", "p", "m").report_action("tool_call", "s")),
    (
        "report_action_all_keywords",
        lambda: tracer.start_span("o", "p", "m").report_action(
            "web_access", "u", arguments="a", result="r" * 5000, duration_ms=3, success=False
        ),
    ),
    ("report_action_missing", expect(TypeError, lambda: act("tool_call"))),
    ("report_action_third_positional", expect(TypeError, lambda: act("a", "b", "c"))),
    ("report_action_unexpected_keyword", expect(TypeError, lambda: act("a", "b", x=1))),
    ("report_action_name_not_str", expect(TypeError, lambda: act("tool_call", 5))),
    ("report_action_success_int", expect(TypeError, lambda: act("a", "b", success=1))),
    ("report_action_arguments_list", expect(TypeError, lambda: act("a", "b", arguments=[]))),
    ("report_action_surrogate", expect(UnicodeEncodeError, lambda: act("a", "b", result="\udc80"))),
    ("report_action_negative", expect(OverflowError, lambda: act("a", "b", duration_ms=-1))),
    ("report_action_invalid_kind", expect(ValueError, lambda: act("Tool_Call", "b"))),
    ("report_action_borrow_conflict", expect(RuntimeError, report_reentrant)),
    # export and summary line
    ("to_json", lambda: span.to_json()),
    ("to_dict", lambda: span.to_dict()),
    ("security_findings", lambda: span.security_findings()),
    ("span_repr", lambda: repr(span)),
    ("to_dict_argument", expect(TypeError, lambda: span.to_dict(1))),
    ("to_dict_json_unavailable", expect(ImportError, without_json(lambda: span.to_dict()))),
    ("findings_json_unavailable", expect(ImportError, without_json(span.security_findings))),
    # instrument() and InstrumentedClient
    ("instrument_default_tracer", lambda: instrument(Client())),
    ("instrument_given_tracer", lambda: instrument(Client(), tracer=tracer)),
    ("instrument_missing", expect(TypeError, lambda: instrument())),
    ("instrument_positional_tracer", expect(TypeError, lambda: instrument(None, tracer))),
    ("instrument_tracer_not_tracer", expect(TypeError, lambda: instrument(None, tracer="x"))),
    ("instrument_unexpected_keyword", expect(TypeError, lambda: instrument(None, x=1))),
    ("client_cycle_collected", cycle_through_wrapper),
    ("client_properties", lambda: (wrapper.tracer, wrapper.wrapped_client)),
    ("client_forwarded_read", lambda: (wrapper.model, wrapper.create)),
    ("client_missing_attribute", expect(AttributeError, lambda: wrapper.missing)),
    ("client_lookup_raises", expect(IndexFailure, lambda: odd_wrapper.anything)),
    ("client_setattr", expect(AttributeError, lambda: setattr(wrapper, "model", "x"))),
    ("client_repr", lambda: repr(wrapper)),
    ("client_repr_not_str", expect(TypeError, lambda: repr(instrument(ReprReturns(5))))),
    ("client_repr_raises", expect(IndexFailure, lambda: repr(instrument(ReprRaises())))),
    ("client_start_span", lambda: wrapper.start_span("op", "anthropic", "m")),
    ("client_start_span_missing", expect(TypeError, lambda: wrapper.start_span("op"))),
    ("client_start_span_not_str", expect(TypeError, lambda: wrapper.start_span("op", 5, "m"))),
    # configure()
    ("configure_empty", lambda: configure({})),
    ("configure_full", lambda: configure({"tenant_id": TENANT, "enable_security": False})),
    ("configure_missing", expect(TypeError, lambda: configure())),
    ("configure_not_dict", expect(TypeError, lambda: configure([("tenant_id", TENANT)]))),
    ("configure_none_value", expect(TypeError, lambda: configure({"endpoint": None}))),
    ("configure_security_int", expect(TypeError, lambda: configure({"enable_security": 1}))),
    ("configure_surrogate", expect(UnicodeEncodeError, lambda: configure({"endpoint": "\udc80"}))),
    ("configure_bad_tenant", expect(ValueError, lambda: configure({"tenant_id": "bad"}))),
    ("configure_failing_key", expect(IndexFailure, lambda: configure({Colliding(): 1}))),
]


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def measure(call: Callable[[], object], iterations: int) -> tuple[int, int]:
    for _ in range(WARM_UP):
        call()
    gc.collect()
    blocks_before, rss_before = sys.getallocatedblocks(), resident_bytes()
    for _ in range(iterations):
        call()
    gc.collect()
    return sys.getallocatedblocks() - blocks_before, resident_bytes() - rss_before


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iterations", type=int, default=100_000)
    parser.add_argument("--case", action="append", help="run only cases whose name contains this")
    args = parser.parse_args()

    selected = [(n, c) for n, c in CASES if not args.case or any(part in n for part in args.case)]
    print(
        f"pelnorix from {pelnorix.__file__}; "
        f"{args.iterations} calls per case after {WARM_UP} warm-up"
    )
    print(f"{'case':32} {'blocks':>8} {'RSS KiB':>9}")
    block_bound = max(MIN_BLOCK_BOUND, args.iterations // 100)
    failures = []
    for name, call in selected:
        blocks, rss = measure(call, args.iterations)
        verdict = "" if blocks <= block_bound and rss <= MAX_RSS_GROWTH else "  GROWS"
        if verdict:
            failures.append(name)
        print(f"{name:32} {blocks:>8} {rss // 1024:>9}{verdict}", flush=True)
    total_blocks, total_rss = sys.getallocatedblocks(), resident_bytes()
    print(f"bounds: {block_bound} blocks, {MAX_RSS_GROWTH // 1024} KiB per case")
    print(
        f"allocated blocks at end: {total_blocks}; resident memory at end: {total_rss // 1024} KiB"
    )
    if failures:
        print("growth beyond the bound in: " + ", ".join(failures), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
