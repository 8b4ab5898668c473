"""Model-based property test: random sequences of recording, reporting, reading and export calls
with random argument values and types, on real spans beside the pure-Python model of
span_model.py. Exports must agree with each other and with the model, a call that raised must
change nothing, and every identifier must be a fresh lower-case version-4 text."""

from __future__ import annotations

from typing import Any

import numpy
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, multiple, rule
from span_model import ACTION_TYPES, KNOWN_PROVIDERS, RECORDING_METHODS, Checker, SpanModel
from support import Index, Text

import pelnorix

# Identifiers must be fresh across every example of the run, not only within one.
SEEN_IDS: set[str] = set()


def mostly(usual: st.SearchStrategy[Any], rare: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    """Nine in ten draws from `usual`: calls must mostly get past conversion to reach the record."""
    return st.integers(0, 9).flatmap(lambda n: rare if n == 0 else usual)


plain_texts = st.text(max_size=12)
texts = st.one_of(
    plain_texts,
    st.builds(Text, plain_texts),
    st.sampled_from(["", "unpaired \udc80", "é\u00a0Σ", "\x00nul", 'quote"back\\slash']),
)
# Around the 4096-byte cut of a result, in characters of every UTF-8 width.
long_texts = st.builds(
    lambda char, count: char * (count // len(char.encode())),
    st.sampled_from("aé€😀"),
    st.integers(4090, 4100),
)
# Few keys, so that tags get replaced.
tag_keys = st.one_of(st.sampled_from(["env", "", "é"]), texts)
integers = st.one_of(
    st.integers(-3, 70_000),
    st.sampled_from([2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63) - 1]),
    st.builds(Index, st.integers(-1, 2**16)),
    st.booleans(),
    st.builds(numpy.int64, st.integers(0, 100)),
)
others = st.sampled_from(
    [None, 1.5, b"bytes", ["a"], numpy.float64(2.0), numpy.bool_(True), object()]
)
anything = st.one_of(texts, integers, others)
booleans = st.sampled_from([True, False, None, numpy.bool_(False), numpy.True_])
providers = st.one_of(st.sampled_from(sorted(KNOWN_PROVIDERS) + ["OpenAI", "AZURE-OPENAI"]), texts)
PARAMETER_VALUES: dict[str, st.SearchStrategy[Any]] = {
    "action_type": mostly(st.sampled_from(ACTION_TYPES), texts),
    "key": mostly(tag_keys, anything),
    "result": mostly(st.one_of(texts, long_texts), anything),
    "success": mostly(booleans, anything),
    **{
        name: mostly(integers, anything)
        for name in ("status_code", "prompt_tokens", "completion_tokens", "ttft_ms", "duration_ms")
    },
}
any_text = mostly(texts, anything)


def value_for(parameter: str) -> st.SearchStrategy[Any]:
    return PARAMETER_VALUES.get(parameter, any_text)


class SpanMachine(RuleBasedStateMachine):
    spans = Bundle("spans")

    def __init__(self) -> None:
        super().__init__()
        self.checker = Checker(seen_ids=SEEN_IDS)
        self.tracer = pelnorix.TamloxTracer()
        self.checker.fresh_id(self.tracer.tenant_id)
        self.started: list[tuple[pelnorix.TraceSpan, SpanModel]] = []

    @initialize(target=spans, operation=texts, provider=providers, model=texts)
    def first_span(self, operation: Any, provider: Any, model: Any) -> Any:
        return self.start_span(operation, provider, model)

    @rule(target=spans, operation=any_text, provider=providers, model=any_text)
    def start_span(self, operation: Any, provider: Any, model: Any) -> Any:
        started = self.checker.start_span(self.tracer, operation, provider, model)
        if started is None:
            return multiple()
        self.started.append(started)
        return started

    @rule(pair=spans, name=st.sampled_from(sorted(RECORDING_METHODS)), data=st.data())
    def record(self, pair: tuple[pelnorix.TraceSpan, SpanModel], name: str, data: Any) -> None:
        method = RECORDING_METHODS[name]
        args = [data.draw(value_for(p), label=p) for p, _ in method.positional[: method.required]]
        for parameter, _ in method.positional[method.required :]:
            if data.draw(st.booleans(), label=f"pass {parameter}"):
                args.append(data.draw(value_for(parameter), label=parameter))
        kwargs = {
            parameter: data.draw(value_for(parameter), label=parameter)
            for parameter, _ in method.keyword_only
            if data.draw(st.booleans(), label=f"pass {parameter}")
        }
        self.checker.record(*pair, name, tuple(args), kwargs)

    @rule(pair=spans)
    def read(self, pair: tuple[pelnorix.TraceSpan, SpanModel]) -> None:
        self.checker.compare_properties(*pair)

    @rule(pair=spans)
    def export(self, pair: tuple[pelnorix.TraceSpan, SpanModel]) -> None:
        self.checker.compare_exports(*pair)

    def teardown(self) -> None:
        for pair in self.started:
            self.checker.check_all(*pair)


# About 7 500 calls, a few seconds; CI runs the suite three times, once sanitized.
SpanMachine.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=50,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
TestSpanModel = SpanMachine.TestCase

