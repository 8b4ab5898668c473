"""Argument binding: the TypeError texts for surplus, missing, doubled and unknown arguments."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

import pelnorix


class Target:
    """A callable of the module under test, with the full name its messages start with."""

    def __init__(self, full_name: str, call: Callable[..., Any]) -> None:
        self.full_name = full_name
        self.call = call

    def __repr__(self) -> str:
        return self.full_name


def span_method(name: str) -> Target:
    def call(*args: Any, **kwargs: Any) -> Any:
        span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
        if not hasattr(span, name):
            pytest.skip(f"TraceSpan.{name} is not built yet")
        return getattr(span, name)(*args, **kwargs)

    return Target(f"TraceSpan.{name}()", call)


SET_PROMPT = span_method("set_prompt")
SET_RESPONSE = span_method("set_response")
SET_ERROR = span_method("set_error")
SET_TOKEN_COUNTS = span_method("set_token_counts")
SET_TTFT_MS = span_method("set_ttft_ms")
ADD_TAG = span_method("add_tag")
REPORT_ACTION = span_method("report_action")
START_SPAN = Target(
    "TamloxTracer.start_span()",
    lambda *args, **kwargs: pelnorix.TamloxTracer().start_span(*args, **kwargs),
)
NEW_TRACER = Target("TamloxTracer.__new__()", pelnorix.TamloxTracer)

# (callable, positional, keywords, message after the callable's full name)
# fmt: off
BINDING_ERRORS = [
    # Surplus positional arguments; "arguments" stays plural, "was" for one.
    (SET_PROMPT, ("a", "b"), {}, "takes 1 positional arguments but 2 were given"),
    (SET_RESPONSE, ("a", "b"), {}, "takes 1 positional arguments but 2 were given"),
    (SET_TTFT_MS, (1, 2), {}, "takes 1 positional arguments but 2 were given"),
    (ADD_TAG, ("a", "b", "c"), {}, "takes 2 positional arguments but 3 were given"),
    (SET_ERROR, ("e", 1, 2), {}, "takes from 1 to 2 positional arguments but 3 were given"),
    (SET_TOKEN_COUNTS, (10, 5), {}, "takes 0 positional arguments but 2 were given"),
    (SET_TOKEN_COUNTS, (10,), {}, "takes 0 positional arguments but 1 was given"),
    (REPORT_ACTION, ("tool_call", "x", "y"), {}, "takes 2 positional arguments but 3 were given"),
    (START_SPAN, ("a", "b", "c", "d"), {}, "takes 3 positional arguments but 4 were given"),
    (NEW_TRACER, ("x",), {}, "takes 0 positional arguments but 1 was given"),
    (NEW_TRACER, ("x", "y"), {}, "takes 0 positional arguments but 2 were given"),
    # Missing required arguments, joined 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
    (SET_PROMPT, (), {}, "missing 1 required positional argument: 'prompt'"),
    (SET_RESPONSE, (), {}, "missing 1 required positional argument: 'response'"),
    (SET_ERROR, (), {}, "missing 1 required positional argument: 'error'"),
    (SET_ERROR, (), {"status_code": 1}, "missing 1 required positional argument: 'error'"),
    (SET_TTFT_MS, (), {}, "missing 1 required positional argument: 'ttft_ms'"),
    (ADD_TAG, ("a",), {}, "missing 1 required positional argument: 'value'"),
    (ADD_TAG, (), {"value": "v"}, "missing 1 required positional argument: 'key'"),
    (ADD_TAG, (), {}, "missing 2 required positional arguments: 'key' and 'value'"),
    (REPORT_ACTION, (), {},
     "missing 2 required positional arguments: 'action_type' and 'name'"),
    (START_SPAN, (), {},
     "missing 3 required positional arguments: 'operation_name', 'provider', and 'model'"),
    (START_SPAN, ("op",), {}, "missing 2 required positional arguments: 'provider' and 'model'"),
    (START_SPAN, (), {"provider": "p"},
     "missing 2 required positional arguments: 'operation_name' and 'model'"),
    (START_SPAN, ("op", "p"), {}, "missing 1 required positional argument: 'model'"),
    # An argument given both positionally and by keyword.
    (SET_PROMPT, ("a",), {"prompt": "b"}, "got multiple values for argument 'prompt'"),
    (SET_ERROR, ("e", 1), {"status_code": 2}, "got multiple values for argument 'status_code'"),
    (ADD_TAG, ("a",), {"key": "b"}, "got multiple values for argument 'key'"),
    (START_SPAN, ("op", "p", "m"), {"provider": "q"},
     "got multiple values for argument 'provider'"),
    # Unknown keywords; names compare exactly, so case matters.
    (SET_PROMPT, (), {"text": "a"}, "got an unexpected keyword argument 'text'"),
    (SET_PROMPT, (), {"PROMPT": "a"}, "got an unexpected keyword argument 'PROMPT'"),
    (SET_TOKEN_COUNTS, (), {"tokens": 1}, "got an unexpected keyword argument 'tokens'"),
    (SET_TTFT_MS, (), {"ttft": 1}, "got an unexpected keyword argument 'ttft'"),
    (START_SPAN, (), {"op": "x"}, "got an unexpected keyword argument 'op'"),
    (NEW_TRACER, (), {"tenant": "x"}, "got an unexpected keyword argument 'tenant'"),
    (NEW_TRACER, (), {"tenant_id": None, "security": True},
     "got an unexpected keyword argument 'security'"),
    # Keywords are checked in the order given, before any missing argument.
    (SET_ERROR, ("e",), {"bogus": 1, "error": "x"}, "got an unexpected keyword argument 'bogus'"),
    (SET_ERROR, ("e",), {"error": "x", "bogus": 1}, "got multiple values for argument 'error'"),
    (ADD_TAG, (), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    # Binding fails before any conversion looks at the values.
    (SET_PROMPT, (5, 6), {}, "takes 1 positional arguments but 2 were given"),
    (NEW_TRACER, (1,), {"tenant_id": 5}, "takes 0 positional arguments but 1 was given"),
]
# fmt: on


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_error_message(
    function: Target, args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError) as info:
        function.call(*args, **kwargs)
    assert str(info.value) == f"{function.full_name} {message}"
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    ("method", "args", "kwargs"),
    [
        ("set_prompt", (), {"prompt": "p"}),
        ("set_response", (), {"response": "r"}),
        ("set_error", (), {"error": "e", "status_code": 500}),
        ("set_error", ("e",), {"status_code": 500}),
        ("set_token_counts", (), {"completion_tokens": 2, "prompt_tokens": 1}),
        ("set_ttft_ms", (), {"ttft_ms": 3}),
        ("add_tag", (), {"value": "v", "key": "k"}),
    ],
)
def test_every_parameter_can_be_passed_by_keyword(
    method: str, args: tuple[Any, ...], kwargs: dict[str, Any]
) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    assert getattr(span, method)(*args, **kwargs) is None


def test_start_span_by_keyword_in_any_order() -> None:
    span = pelnorix.TamloxTracer().start_span(model="m", operation_name="op", provider="openai")
    assert (span.operation_name, span.model_name) == ("op", "m")


def test_tracer_keywords_in_any_order() -> None:
    tenant = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
    tracer = pelnorix.TamloxTracer(enable_security=False, endpoint="e", tenant_id=tenant)
    assert (tracer.tenant_id, tracer.endpoint, tracer.enable_security) == (tenant, "e", False)


@pytest.mark.parametrize("method", ["to_json", "to_dict", "security_findings"])
def test_no_argument_methods_refuse_arguments(method: str) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    if not hasattr(span, method):
        pytest.skip(f"TraceSpan.{method} is not built yet")
    with pytest.raises(TypeError):
        getattr(span, method)(1)
    with pytest.raises(TypeError):
        getattr(span, method)(x=1)
