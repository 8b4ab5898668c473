"""Argument binding: the TypeError texts for surplus, missing, doubled and unknown arguments."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest

import pelnorix


def span_method(name: str) -> Callable[..., Any]:
    def call(*args: Any, **kwargs: Any) -> Any:
        span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
        if not hasattr(span, name):
            pytest.skip(f"TraceSpan.{name} is not built yet")
        return getattr(span, name)(*args, **kwargs)

    return call


def start_span(*args: Any, **kwargs: Any) -> Any:
    return pelnorix.TamloxTracer().start_span(*args, **kwargs)


def new_tracer(*args: Any, **kwargs: Any) -> Any:
    return pelnorix.TamloxTracer(*args, **kwargs)


# (callable, positional, keywords, message)
BINDING_ERRORS = [
    # Surplus positional arguments; "arguments" stays plural, "was" for one.
    (span_method("set_prompt"), ("a", "b"), {}, "TraceSpan.set_prompt() takes 1 positional arguments but 2 were given"),
    (span_method("set_response"), ("a", "b"), {}, "TraceSpan.set_response() takes 1 positional arguments but 2 were given"),
    (span_method("set_ttft_ms"), (1, 2), {}, "TraceSpan.set_ttft_ms() takes 1 positional arguments but 2 were given"),
    (span_method("add_tag"), ("a", "b", "c"), {}, "TraceSpan.add_tag() takes 2 positional arguments but 3 were given"),
    (span_method("set_error"), ("e", 1, 2), {}, "TraceSpan.set_error() takes from 1 to 2 positional arguments but 3 were given"),
    (span_method("set_token_counts"), (10, 5), {}, "TraceSpan.set_token_counts() takes 0 positional arguments but 2 were given"),
    (span_method("set_token_counts"), (10,), {}, "TraceSpan.set_token_counts() takes 0 positional arguments but 1 was given"),
    (span_method("report_action"), ("tool_call", "x", "y"), {}, "TraceSpan.report_action() takes 2 positional arguments but 3 were given"),
    (start_span, ("a", "b", "c", "d"), {}, "TamloxTracer.start_span() takes 3 positional arguments but 4 were given"),
    (new_tracer, ("x",), {}, "TamloxTracer.__new__() takes 0 positional arguments but 1 was given"),
    (new_tracer, ("x", "y"), {}, "TamloxTracer.__new__() takes 0 positional arguments but 2 were given"),
    # Missing required arguments, joined 'a' / 'a' and 'b' / 'a', 'b', and 'c'.
    (span_method("set_prompt"), (), {}, "TraceSpan.set_prompt() missing 1 required positional argument: 'prompt'"),
    (span_method("set_response"), (), {}, "TraceSpan.set_response() missing 1 required positional argument: 'response'"),
    (span_method("set_error"), (), {}, "TraceSpan.set_error() missing 1 required positional argument: 'error'"),
    (span_method("set_error"), (), {"status_code": 1}, "TraceSpan.set_error() missing 1 required positional argument: 'error'"),
    (span_method("set_ttft_ms"), (), {}, "TraceSpan.set_ttft_ms() missing 1 required positional argument: 'ttft_ms'"),
    (span_method("add_tag"), ("a",), {}, "TraceSpan.add_tag() missing 1 required positional argument: 'value'"),
    (span_method("add_tag"), (), {"value": "v"}, "TraceSpan.add_tag() missing 1 required positional argument: 'key'"),
    (span_method("add_tag"), (), {}, "TraceSpan.add_tag() missing 2 required positional arguments: 'key' and 'value'"),
    (span_method("report_action"), (), {}, "TraceSpan.report_action() missing 2 required positional arguments: 'action_type' and 'name'"),
    (start_span, (), {}, "TamloxTracer.start_span() missing 3 required positional arguments: 'operation_name', 'provider', and 'model'"),
    (start_span, ("op",), {}, "TamloxTracer.start_span() missing 2 required positional arguments: 'provider' and 'model'"),
    (start_span, (), {"provider": "p"}, "TamloxTracer.start_span() missing 2 required positional arguments: 'operation_name' and 'model'"),
    (start_span, ("op", "p"), {}, "TamloxTracer.start_span() missing 1 required positional argument: 'model'"),
    # An argument given both positionally and by keyword.
    (span_method("set_prompt"), ("a",), {"prompt": "b"}, "TraceSpan.set_prompt() got multiple values for argument 'prompt'"),
    (span_method("set_error"), ("e", 1), {"status_code": 2}, "TraceSpan.set_error() got multiple values for argument 'status_code'"),
    (span_method("add_tag"), ("a",), {"key": "b"}, "TraceSpan.add_tag() got multiple values for argument 'key'"),
    (start_span, ("op", "p", "m"), {"provider": "q"}, "TamloxTracer.start_span() got multiple values for argument 'provider'"),
    # Unknown keywords; names compare exactly, so case matters.
    (span_method("set_prompt"), (), {"text": "a"}, "TraceSpan.set_prompt() got an unexpected keyword argument 'text'"),
    (span_method("set_prompt"), (), {"PROMPT": "a"}, "TraceSpan.set_prompt() got an unexpected keyword argument 'PROMPT'"),
    (span_method("set_token_counts"), (), {"tokens": 1}, "TraceSpan.set_token_counts() got an unexpected keyword argument 'tokens'"),
    (span_method("set_ttft_ms"), (), {"ttft": 1}, "TraceSpan.set_ttft_ms() got an unexpected keyword argument 'ttft'"),
    (start_span, (), {"op": "x"}, "TamloxTracer.start_span() got an unexpected keyword argument 'op'"),
    (new_tracer, (), {"tenant": "x"}, "TamloxTracer.__new__() got an unexpected keyword argument 'tenant'"),
    (new_tracer, (), {"tenant_id": None, "security": True}, "TamloxTracer.__new__() got an unexpected keyword argument 'security'"),
    # Keywords are checked in the order given, before any missing argument.
    (span_method("set_error"), ("e",), {"bogus": 1, "error": "x"}, "TraceSpan.set_error() got an unexpected keyword argument 'bogus'"),
    (span_method("set_error"), ("e",), {"error": "x", "bogus": 1}, "TraceSpan.set_error() got multiple values for argument 'error'"),
    (span_method("add_tag"), (), {"extra": 1}, "TraceSpan.add_tag() got an unexpected keyword argument 'extra'"),
    # Binding fails before any conversion looks at the values.
    (span_method("set_prompt"), (5, 6), {}, "TraceSpan.set_prompt() takes 1 positional arguments but 2 were given"),
    (new_tracer, (1,), {"tenant_id": 5}, "TamloxTracer.__new__() takes 0 positional arguments but 1 was given"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), BINDING_ERRORS)
def test_binding_error_message(
    function: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], message: str
) -> None:
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
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
