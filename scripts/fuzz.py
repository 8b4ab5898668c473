#!/usr/bin/env python3
"""Coverage-guided fuzzing of the module's calls with atheris: each input is decoded into a
sequence of span, tracer, configure() and wrapper calls with arguments of any type, run on real
objects and checked against the pure-Python span model of tests/span_model.py (the model the
property test uses). A mismatch raises, a memory error or undefined behaviour is reported by
the sanitizers; libFuzzer keeps the input either way. Run it through scripts/fuzz.sh, which
builds the instrumented module and preloads the sanitizer runtime."""

from __future__ import annotations

import re
import sys
import uuid
from pathlib import Path
from typing import Any

import atheris
import numpy

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support import Index, Text  # noqa: E402

import pelnorix  # noqa: E402

with atheris.instrument_imports():
    import span_model as model  # noqa: E402

SPECIAL_INTEGERS = [0, 1, 4095, 4096, 2**16 - 1, 2**16, 2**32 - 1, 2**32, 2**63 - 1, 2**63,
                    2**64 - 1, 2**64, -1, -(2**63), -(2**63) - 1, 2**100]  # fmt: skip
WIDE_CHARACTERS = "aé€😀"
OTHERS = [None, 1.5, b"bytes", ["a"], numpy.bool_(True), numpy.False_, numpy.float64(2.0), object()]
# The tenant forms the UUID parser accepts (Python's uuid accepts more).
HYPHENATED = "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"
STRICT_UUID = re.compile(
    rf"{HYPHENATED}|\{{{HYPHENATED}\}}|urn:uuid:{HYPHENATED}|[0-9a-fA-F]{{32}}"
)
RECORDING = sorted(model.RECORDING_METHODS)
MAX_CALLS = 48


class Client:
    model = "m"

    def __repr__(self) -> str:
        return "Client()"


def pick(data: atheris.FuzzedDataProvider, values: Any) -> Any:
    return values[data.ConsumeIntInRange(0, len(values) - 1)]


def text(data: atheris.FuzzedDataProvider) -> Any:
    kind = data.ConsumeIntInRange(0, 5)
    length = data.ConsumeIntInRange(0, 48)
    if kind == 0:
        return data.ConsumeUnicode(length)  # may hold unpaired surrogates
    if kind == 1:
        return Text(data.ConsumeUnicodeNoSurrogates(length))
    if kind == 2:  # around the 4096-byte cut of a result
        character = WIDE_CHARACTERS[data.ConsumeIntInRange(0, 3)]
        return character * (data.ConsumeIntInRange(4080, 4112) // len(character.encode()))
    if kind == 3:
        return pick(data, list(model.KNOWN_PROVIDERS) + list(model.ACTION_TYPES))
    return data.ConsumeUnicodeNoSurrogates(length)


def integer(data: atheris.FuzzedDataProvider) -> Any:
    kind = data.ConsumeIntInRange(0, 4)
    if kind == 0:
        return pick(data, SPECIAL_INTEGERS)
    if kind == 1:
        return Index(data.ConsumeIntInRange(-1, 2**16))
    if kind == 2:
        return data.ConsumeBool()
    if kind == 3:
        return numpy.int64(data.ConsumeIntInRange(0, 1000))
    return data.ConsumeInt(9)


def anything(data: atheris.FuzzedDataProvider) -> Any:
    kind = data.ConsumeIntInRange(0, 9)
    if kind <= 2:
        return text(data)
    if kind <= 5:
        return integer(data)
    return pick(data, OTHERS)


def value_for(data: atheris.FuzzedDataProvider, parameter: str) -> Any:
    """Mostly a value of the parameter's type, so that calls reach the record."""
    if data.ConsumeIntInRange(0, 7) == 0:
        return anything(data)
    if parameter == "action_type":
        return pick(data, model.ACTION_TYPES) if data.ConsumeBool() else text(data)
    if parameter == "success":
        return pick(data, [True, False, None, numpy.True_, numpy.bool_(False)])
    if parameter in ("status_code", "prompt_tokens", "completion_tokens", "ttft_ms", "duration_ms"):
        return integer(data)
    return text(data)


def record(data: atheris.FuzzedDataProvider, checker: model.Checker, pair: Any) -> None:
    name = pick(data, RECORDING)
    method = model.RECORDING_METHODS[name]
    args = [value_for(data, p) for p, _ in method.positional[: method.required]]
    for parameter, _ in method.positional[method.required :]:
        if data.ConsumeBool():
            args.append(value_for(data, parameter))
    kwargs = {p: value_for(data, p) for p, _ in method.keyword_only if data.ConsumeBool()}
    span, expected = pair
    checker.record(span, expected, name, tuple(args), kwargs)


def tenant_text(data: atheris.FuzzedDataProvider) -> Any:
    if data.ConsumeIntInRange(0, 3) == 0:
        return text(data)
    tenant = uuid.UUID(bytes=data.ConsumeBytes(16).ljust(16, b"\0"))
    forms = [str(tenant), str(tenant).upper(), f"{{{tenant}}}", f"urn:uuid:{tenant}", tenant.hex]
    return pick(data, forms)


def tracer_from_settings(data: atheris.FuzzedDataProvider, checker: model.Checker) -> None:
    """The constructor and configure() on the same settings: the tenant parser, the endpoint
    and its quoted form in the summary, the switch."""
    settings = {}
    if data.ConsumeBool():
        settings["tenant_id"] = tenant_text(data)
    if data.ConsumeBool():
        settings["endpoint"] = value_for(data, "endpoint")
    if data.ConsumeBool():
        settings["enable_security"] = value_for(data, "success")
    try:
        tenant = model.optional(model.text)(settings.get("tenant_id"))
        endpoint = model.optional(model.text)(settings.get("endpoint"))
        security = model.optional(model.boolean)(settings.get("enable_security"))
    except (TypeError, UnicodeEncodeError) as error:
        model.with_raised(type(error), lambda: pelnorix.TamloxTracer(**settings))
        return
    if tenant is not None and STRICT_UUID.fullmatch(tenant) is None:
        model.with_raised(ValueError, lambda: pelnorix.TamloxTracer(**settings))
        return
    made = [pelnorix.TamloxTracer(**settings)]
    if None not in settings.values():  # configure() refuses None where the constructor omits
        made.append(pelnorix.configure(settings))
    for tracer in made:
        if tenant is None:
            checker.fresh_id(tracer.tenant_id)
        else:
            model.expect(uuid.UUID(tenant) == uuid.UUID(tracer.tenant_id), "tenant", tenant)
        model.expect(tracer.tenant_id == str(uuid.UUID(tracer.tenant_id)), "tenant form")
        model.expect(tracer.endpoint == endpoint, "endpoint", tracer.endpoint, endpoint)
        model.expect(tracer.enable_security is (security is not False), "switch")
        summary = repr(tracer)
        model.expect(summary.startswith(f"TamloxTracer(tenant_id='{tracer.tenant_id}', "), summary)
        model.expect(summary.endswith("true)" if security is not False else "false)"), summary)


class ThroughWrapper:
    """What Checker.start_span needs of a tracer, answered by a chain of wrappers."""

    def __init__(self, wrapper: pelnorix.InstrumentedClient) -> None:
        self.tenant_id = wrapper.tracer.tenant_id
        self.start_span = wrapper.start_span


def through_a_wrapper(data: atheris.FuzzedDataProvider, checker: model.Checker) -> Any:
    tracer = pelnorix.TamloxTracer()
    wrapper: Any = Client()
    depth = data.ConsumeIntInRange(1, 4)
    for _ in range(depth):
        wrapper = pelnorix.instrument(wrapper, tracer=tracer)
    model.expect(wrapper.model == "m", "forwarded read")
    summary = "InstrumentedClient(" * depth + "Client()" + ")" * depth
    model.expect(repr(wrapper) == summary, "wrapper summary", repr(wrapper))
    starter: Any = ThroughWrapper(wrapper)
    return checker.start_span(starter, text(data), text(data), text(data))


def TestOneInput(data_bytes: bytes) -> None:  # noqa: N802 - atheris's name
    data = atheris.FuzzedDataProvider(data_bytes)
    checker = model.Checker()
    tracer = pelnorix.TamloxTracer()
    spans: list[Any] = []
    for _ in range(MAX_CALLS):
        if data.remaining_bytes() == 0:
            break
        action = data.ConsumeIntInRange(0, 11)
        if action <= 1 or not spans:
            started = checker.start_span(tracer, text(data), text(data), text(data))
            if started is not None:
                spans.append(started)
        elif action <= 6:
            record(data, checker, pick(data, spans))
        elif action == 7:
            checker.compare_properties(*pick(data, spans))
        elif action == 8:
            checker.compare_exports(*pick(data, spans))
        elif action <= 10:
            tracer_from_settings(data, checker)
        else:
            started = through_a_wrapper(data, checker)
            if started is not None:
                spans.append(started)
    for pair in spans:
        checker.check_all(*pair)


def main() -> None:
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
