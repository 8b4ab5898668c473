"""Argument conversion: accepted values, exact failures and the note naming the parameter."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy
import pytest
from support import (
    OUT_OF_RANGE,
    TENANT,
    FailingIndex,
    Index,
    IndexFailure,
    Text,
    last_action,
    raises,
)

import pelnorix



class Outer:
    class Inner:
        pass


class Integer(int):
    pass


def fresh_span() -> pelnorix.TraceSpan:
    return pelnorix.TamloxTracer().start_span("op", "openai", "m")


def report(**kwargs: Any) -> dict[str, Any]:
    """The action recorded by a report with these keywords."""
    span = fresh_span()
    span.report_action("tool_call", "n", **kwargs)
    return last_action(span)


# Every text parameter, as (name, call with the value in that parameter's place).
TEXT_PARAMETERS: list[tuple[str, Callable[[Any], Any]]] = [
    ("prompt", lambda v: fresh_span().set_prompt(v)),
    ("response", lambda v: fresh_span().set_response(v)),
    ("error", lambda v: fresh_span().set_error(v)),
    ("key", lambda v: fresh_span().add_tag(v, "value")),
    ("value", lambda v: fresh_span().add_tag("key", v)),
    ("operation_name", lambda v: pelnorix.TamloxTracer().start_span(v, "p", "m")),
    ("provider", lambda v: pelnorix.TamloxTracer().start_span("op", v, "m")),
    ("model", lambda v: pelnorix.TamloxTracer().start_span("op", "p", v)),
    ("tenant_id", lambda v: pelnorix.TamloxTracer(tenant_id=v)),
    ("endpoint", lambda v: pelnorix.TamloxTracer(endpoint=v)),
    ("action_type", lambda v: fresh_span().report_action(v, "n")),
    ("name", lambda v: fresh_span().report_action("tool_call", v)),
    ("arguments", lambda v: report(arguments=v)),
    ("result", lambda v: report(result=v)),
]
OPTIONAL_TEXT_PARAMETERS = {"tenant_id", "endpoint", "arguments", "result"}

NON_TEXT_VALUES = [
    (5, "'int' object is not an instance of 'str'"),
    (1.5, "'float' object is not an instance of 'str'"),
    (b"abc", "'bytes' object is not an instance of 'str'"),
    (["a"], "'list' object is not an instance of 'str'"),
    (True, "'bool' object is not an instance of 'str'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
]


@pytest.mark.parametrize(
    ("parameter", "call"), TEXT_PARAMETERS, ids=[p for p, _ in TEXT_PARAMETERS]
)
@pytest.mark.parametrize(("value", "message"), NON_TEXT_VALUES)
def test_non_text_is_a_cast_failure(
    parameter: str, call: Callable[[Any], Any], value: Any, message: str
) -> None:
    with raises(TypeError, message, note=parameter):
        call(value)


@pytest.mark.parametrize(
    ("parameter", "call"),
    [(p, c) for p, c in TEXT_PARAMETERS if p not in OPTIONAL_TEXT_PARAMETERS],
    ids=[p for p, _ in TEXT_PARAMETERS if p not in OPTIONAL_TEXT_PARAMETERS],
)
def test_none_for_a_required_text(
    parameter: str, call: Callable[[Any], Any]
) -> None:
    with raises(TypeError, "'None' is not an instance of 'str'", note=parameter):
        call(None)


@pytest.mark.parametrize(
    ("parameter", "call"), TEXT_PARAMETERS, ids=[p for p, _ in TEXT_PARAMETERS]
)
def test_unpaired_surrogate_is_the_interpreters_encode_error(
    parameter: str, call: Callable[[Any], Any]
) -> None:
    with raises(UnicodeEncodeError, note=parameter) as info:
        call("ab\ud800cd")
    assert info.value.encoding == "utf-8"


def test_str_subclasses_are_read_as_their_text() -> None:
    tracer = pelnorix.TamloxTracer(tenant_id=Text(TENANT.upper()), endpoint=Text("http://c"))
    assert tracer.tenant_id == TENANT
    assert type(tracer.endpoint) is str and tracer.endpoint == "http://c"
    span = tracer.start_span(Text("op"), Text("openai"), Text("model"))
    span.set_prompt(Text("hello"))
    span.add_tag(Text("k"), Text("v"))
    assert (span.operation_name, span.model_name, span.prompt) == ("op", "model", "hello")
    assert all(type(v) is str for v in (span.operation_name, span.model_name, span.prompt))
    span.set_error(Text("boom"))
    assert type(span.error_message) is str and span.error_message == "boom"
    span.report_action(Text("tool_call"), Text("n"), arguments=Text("a"), result=Text("r"))
    action = last_action(span)
    assert [action[key] for key in ("action_type", "name", "arguments", "result")] == [
        "tool_call",
        "n",
        "a",
        "r",
    ]


def test_non_ascii_and_embedded_nul_texts_survive() -> None:
    span = pelnorix.TamloxTracer().start_span("op\u00e9", "openai", "\u6a21\u578b\U0001f600")
    span.set_prompt("a\x00b\u2028c")
    assert span.operation_name == "op\u00e9"
    assert span.model_name == "\u6a21\u578b\U0001f600"
    assert span.prompt == "a\x00b\u2028c"


# --- unsigned 16-bit (status_code) and 32-bit (token counts) ----------------------------------

SMALL_INTEGER_PARAMETERS: list[tuple[str, int, Callable[[Any, Any], Any], Callable[[Any], Any]]] = [
    ("status_code", 65535, lambda s, v: s.set_error("e", v), lambda s: s.status_code),
    (
        "prompt_tokens",
        4294967295,
        lambda s, v: s.set_token_counts(prompt_tokens=v),
        lambda s: s.prompt_tokens,
    ),
    (
        "completion_tokens",
        4294967295,
        lambda s, v: s.set_token_counts(completion_tokens=v),
        lambda s: s.completion_tokens,
    ),
]
SMALL_IDS = [p for p, *_ in SMALL_INTEGER_PARAMETERS]


@pytest.mark.parametrize(
    ("parameter", "maximum", "record", "read"), SMALL_INTEGER_PARAMETERS, ids=SMALL_IDS
)
def test_small_integer_accepted_values(
    parameter: str, maximum: int, record: Callable[[Any, Any], Any], read: Callable[[Any], Any]
) -> None:
    for value, stored in [
        (0, 0),
        (maximum, maximum),
        (True, 1),
        (False, 0),
        (Index(404), 404),
        (Integer(7), 7),
        (numpy.int64(9), 9),
        (numpy.uint16(12), 12),
        (None, None),
    ]:
        span = fresh_span()
        record(span, value)
        assert read(span) == stored, (parameter, value)
        assert stored is None or type(read(span)) is int


@pytest.mark.parametrize(
    ("parameter", "maximum", "record", "read"), SMALL_INTEGER_PARAMETERS, ids=SMALL_IDS
)
@pytest.mark.parametrize("offset", ["minus_one", "above_maximum", "int64_max", "int64_min"])
def test_small_integer_out_of_range_is_our_overflow(
    parameter: str,
    maximum: int,
    record: Callable[[Any, Any], Any],
    read: Callable[[Any], Any],
    offset: str,
) -> None:
    value = {
        "minus_one": -1,
        "above_maximum": maximum + 1,
        "int64_max": 2**63 - 1,
        "int64_min": -(2**63),
    }[offset]
    span = fresh_span()
    with raises(OverflowError, OUT_OF_RANGE, note=parameter):
        record(span, value)
    assert read(span) is None


@pytest.mark.parametrize(
    ("parameter", "maximum", "record", "read"), SMALL_INTEGER_PARAMETERS, ids=SMALL_IDS
)
@pytest.mark.parametrize("value", [2**63, 2**70, -(2**63) - 1, -(2**70)])
def test_small_integer_beyond_64_bits_is_the_interpreters_overflow(
    parameter: str,
    maximum: int,
    record: Callable[[Any, Any], Any],
    read: Callable[[Any], Any],
    value: int,
) -> None:
    with raises(OverflowError, note=parameter) as info:
        record(fresh_span(), value)
    assert str(info.value) != OUT_OF_RANGE


@pytest.mark.parametrize(
    ("parameter", "maximum", "record", "read"), SMALL_INTEGER_PARAMETERS, ids=SMALL_IDS
)
@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("5", TypeError, "'str' object cannot be interpreted as an integer"),
        (numpy.float64(2.0), TypeError, None),
        (Index(2.5), TypeError, None),
        (FailingIndex(), IndexFailure, "no index today"),
    ],
)
def test_small_integer_rejects_non_integers(
    parameter: str,
    maximum: int,
    record: Callable[[Any, Any], Any],
    read: Callable[[Any], Any],
    value: Any,
    exception: type[BaseException],
    message: str | None,
) -> None:
    span = fresh_span()
    with raises(exception, message, note=parameter):
        record(span, value)
    assert read(span) is None


# --- unsigned 64-bit (ttft_ms, an action's duration_ms) ------------------------------------


def record_ttft(value: Any) -> Any:
    span = fresh_span()
    assert span.set_ttft_ms(value) is None
    return span.to_dict()["time_to_first_token_ms"]


U64_PARAMETERS = [
    ("ttft_ms", record_ttft),
    ("duration_ms", lambda v: report(duration_ms=v)["duration_ms"]),
]
U64_IDS = [p for p, _ in U64_PARAMETERS]


@pytest.mark.parametrize(("parameter", "record"), U64_PARAMETERS, ids=U64_IDS)
@pytest.mark.parametrize(
    ("value", "stored"),
    [
        (0, 0),
        (2**64 - 1, 2**64 - 1),
        (2**63, 2**63),
        (True, 1),
        (Index(250), 250),
        (numpy.uint64(2**64 - 1), 2**64 - 1),
    ],
)
def test_u64_accepts_the_whole_unsigned_range(
    parameter: str, record: Callable[[Any], Any], value: Any, stored: int
) -> None:
    assert record(value) == stored


@pytest.mark.parametrize(("parameter", "record"), U64_PARAMETERS, ids=U64_IDS)
@pytest.mark.parametrize(
    ("value", "exception"),
    [
        (-1, OverflowError),
        (2**64, OverflowError),
        (-(2**70), OverflowError),
        (Index(-1), OverflowError),
        (1.5, TypeError),
        ("1", TypeError),
        (FailingIndex(), IndexFailure),
    ],
)
def test_u64_rejections_are_the_interpreters(
    parameter: str, record: Callable[[Any], Any], value: Any, exception: type[BaseException]
) -> None:
    with raises(exception, note=parameter) as info:
        record(value)
    assert str(info.value) != OUT_OF_RANGE


def test_none_is_absence_only_for_an_optional_integer() -> None:
    assert report(duration_ms=None)["duration_ms"] is None
    with raises(TypeError, note="ttft_ms"):
        fresh_span().set_ttft_ms(None)


def test_ttft_overwrites() -> None:
    span = fresh_span()
    assert span.to_dict()["time_to_first_token_ms"] is None
    span.set_ttft_ms(5)
    span.set_ttft_ms(7)
    assert span.to_dict()["time_to_first_token_ms"] == 7


# --- optional boolean (enable_security, an action's success) -----------------------------------


def fake_numpy_type(name: str, **members: Any) -> type:
    return type(name, (), {"__module__": "numpy", **members})


class TruthFailure(Exception):
    pass


def failing_truth(self: object) -> bool:
    raise TruthFailure("undecided")


class UnreadableModule(type):
    """A metaclass whose classes cannot tell their module."""

    @property
    def __module__(cls) -> str:  # type: ignore[override]
        raise TruthFailure("no module")


class Unplaceable(metaclass=UnreadableModule):
    pass


BOOL_PARAMETERS = [
    ("enable_security", lambda v: pelnorix.TamloxTracer(enable_security=v).enable_security),
    ("success", lambda v: report(success=v)["success"]),
]
BOOL_IDS = [p for p, _ in BOOL_PARAMETERS]


@pytest.mark.parametrize(("parameter", "record"), BOOL_PARAMETERS, ids=BOOL_IDS)
@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (True, True),
        (False, False),
        (None, True),
        (numpy.bool_(True), True),
        (numpy.bool_(False), False),
        (numpy.True_, True),
        (fake_numpy_type("bool_", __bool__=lambda self: False)(), False),
        (fake_numpy_type("bool", __bool__=lambda self: True)(), True),
    ],
)
def test_bool_accepted_values(
    parameter: str, record: Callable[[Any], Any], value: Any, expected: bool
) -> None:
    assert record(value) is expected


@pytest.mark.parametrize(("parameter", "record"), BOOL_PARAMETERS, ids=BOOL_IDS)
@pytest.mark.parametrize(
    ("value", "exception", "message"),
    [
        (1, TypeError, "'int' object is not an instance of 'bool'"),
        (0, TypeError, "'int' object is not an instance of 'bool'"),
        ("yes", TypeError, "'str' object is not an instance of 'bool'"),
        (0.0, TypeError, "'float' object is not an instance of 'bool'"),
        (numpy.int64(1), TypeError, "'int64' object is not an instance of 'bool'"),
        (numpy.array(True), TypeError, "'ndarray' object is not an instance of 'bool'"),
        (Outer.Inner(), TypeError, "'Outer.Inner' object is not an instance of 'bool'"),
        # The numpy exception is taken by module and type name only.
        (type("bool_", (), {})(), TypeError, "'bool_' object is not an instance of 'bool'"),
        (
            fake_numpy_type("bool_")(),
            TypeError,
            "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
        ),
        (fake_numpy_type("bool_", __bool__=failing_truth)(), TruthFailure, "undecided"),
        # A type that cannot tell its module is not numpy's: no leak of the lookup's error.
        (Unplaceable(), TypeError, "'Unplaceable' object is not an instance of 'bool'"),
    ],
)
def test_bool_rejections(
    parameter: str,
    record: Callable[[Any], Any],
    value: Any,
    exception: type[BaseException],
    message: str,
) -> None:
    with raises(exception, message, note=parameter):
        record(value)


# --- order of conversion --------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("kwargs", "parameter"),
    [
        ({"tenant_id": 1, "endpoint": 2, "enable_security": 3}, "tenant_id"),
        ({"enable_security": 3, "endpoint": 2}, "endpoint"),
        ({"tenant_id": "not-a-uuid", "endpoint": 5}, "endpoint"),
        ({"tenant_id": "not-a-uuid", "enable_security": 1}, "enable_security"),
    ],
)
def test_tracer_converts_in_declaration_order_before_parsing(
    kwargs: dict[str, Any], parameter: str
) -> None:
    with pytest.raises(TypeError) as info:
        pelnorix.TamloxTracer(**kwargs)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize(
    ("call", "parameter"),
    [
        (lambda s: s.set_error(1, "x"), "error"),
        (lambda s: s.add_tag(1, 2), "key"),
        (lambda s: s.set_token_counts(completion_tokens=-1, prompt_tokens=-1), "prompt_tokens"),
        (lambda s: pelnorix.TamloxTracer().start_span(1, 2, 3), "operation_name"),
        (lambda s: pelnorix.TamloxTracer().start_span("op", 2, 3), "provider"),
        (
            lambda s: s.report_action("tool_call", "x", arguments=1, result=2, success=3),
            "arguments",
        ),
        # Every argument is converted before the action kind is checked.
        (lambda s: s.report_action("bogus", 5), "name"),
        (lambda s: s.report_action("bogus", "x", arguments=["a"]), "arguments"),
        (lambda s: s.report_action("bogus", "x", result=b"r"), "result"),
        (lambda s: s.report_action("bogus", "x", duration_ms=-1), "duration_ms"),
        (lambda s: s.report_action("bogus", "x", success=1), "success"),
    ],
)
def test_first_failing_parameter_in_declaration_order_is_reported(
    call: Callable[[Any], Any], parameter: str
) -> None:
    with pytest.raises((TypeError, OverflowError)) as info:
        call(fresh_span())
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_an_existing_note_is_kept_and_ours_appended() -> None:
    class NotedFailure(Exception):
        pass

    class NotingIndex:
        def __index__(self) -> int:
            error = NotedFailure("inner")
            error.add_note("from __index__")
            raise error

    with pytest.raises(NotedFailure) as info:
        fresh_span().set_error("e", NotingIndex())
    assert info.value.__notes__ == ["from __index__", "while processing 'status_code'"]
