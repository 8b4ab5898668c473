"""Argument binding: the TypeError texts for surplus, missing, doubled and unknown arguments."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import pytest
from support import TENANT

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
CLIENT_START_SPAN = Target(
    "InstrumentedClient.start_span()",
    lambda *args, **kwargs: pelnorix.instrument(None).start_span(*args, **kwargs),
)
CONFIGURE = Target("configure()", pelnorix.configure)
INSTRUMENT = Target("instrument()", pelnorix.instrument)

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
    (REPORT_ACTION, ("tool_call", "x", "y", "z"), {},
     "takes 2 positional arguments but 4 were given"),
    (CLIENT_START_SPAN, ("a", "b", "c", "d"), {}, "takes 3 positional arguments but 4 were given"),
    (CONFIGURE, ({}, {}), {}, "takes 1 positional arguments but 2 were given"),
    (INSTRUMENT, (None, None), {}, "takes 1 positional arguments but 2 were given"),
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
    (REPORT_ACTION, ("tool_call",), {}, "missing 1 required positional argument: 'name'"),
    (REPORT_ACTION, (), {"name": "x"}, "missing 1 required positional argument: 'action_type'"),
    (CLIENT_START_SPAN, (), {},
     "missing 3 required positional arguments: 'operation_name', 'provider', and 'model'"),
    (CLIENT_START_SPAN, ("a", "b"), {}, "missing 1 required positional argument: 'model'"),
    (CONFIGURE, (), {}, "missing 1 required positional argument: 'config'"),
    (INSTRUMENT, (), {}, "missing 1 required positional argument: 'client'"),
    (INSTRUMENT, (), {"tracer": None}, "missing 1 required positional argument: 'client'"),
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
    (REPORT_ACTION, ("tool_call", "x"), {"name": "y"}, "got multiple values for argument 'name'"),
    (CONFIGURE, ({},), {"config": {}}, "got multiple values for argument 'config'"),
    (INSTRUMENT, (None,), {"client": None}, "got multiple values for argument 'client'"),
    # Unknown keywords; names compare exactly, so case matters.
    (SET_PROMPT, (), {"text": "a"}, "got an unexpected keyword argument 'text'"),
    (SET_PROMPT, (), {"PROMPT": "a"}, "got an unexpected keyword argument 'PROMPT'"),
    (SET_TOKEN_COUNTS, (), {"tokens": 1}, "got an unexpected keyword argument 'tokens'"),
    (SET_TTFT_MS, (), {"ttft": 1}, "got an unexpected keyword argument 'ttft'"),
    (START_SPAN, (), {"op": "x"}, "got an unexpected keyword argument 'op'"),
    (NEW_TRACER, (), {"tenant": "x"}, "got an unexpected keyword argument 'tenant'"),
    (NEW_TRACER, (), {"tenant_id": None, "security": True},
     "got an unexpected keyword argument 'security'"),
    (REPORT_ACTION, ("tool_call", "x"), {"args": "y"}, "got an unexpected keyword argument 'args'"),
    (CONFIGURE, (), {"settings": {}}, "got an unexpected keyword argument 'settings'"),
    # configure() takes its settings in the dictionary only.
    (CONFIGURE, ({},), {"tenant_id": TENANT}, "got an unexpected keyword argument 'tenant_id'"),
    (INSTRUMENT, (None,), {"trace": None}, "got an unexpected keyword argument 'trace'"),
    # A name without a UTF-8 form matches nothing; it is shown escaped.
    (SET_PROMPT, (), {"\ud800": "a"}, "got an unexpected keyword argument '\\ud800'"),
    (NEW_TRACER, (), {"a\udc80b": 1}, "got an unexpected keyword argument 'a\\udc80b'"),
    # Keywords are checked in the order given, before any missing argument.
    (SET_ERROR, ("e",), {"bogus": 1, "error": "x"}, "got an unexpected keyword argument 'bogus'"),
    (SET_ERROR, ("e",), {"error": "x", "bogus": 1}, "got multiple values for argument 'error'"),
    (ADD_TAG, (), {"extra": 1}, "got an unexpected keyword argument 'extra'"),
    # Binding fails before any conversion looks at the values.
    (SET_PROMPT, (5, 6), {}, "takes 1 positional arguments but 2 were given"),
    (NEW_TRACER, (1,), {"tenant_id": 5}, "takes 0 positional arguments but 1 was given"),
    # ... and before the action kind is checked.
    (REPORT_ACTION, ("bogus", 5), {"status": 1}, "got an unexpected keyword argument 'status'"),
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


def recorded(span: pelnorix.TraceSpan) -> dict[str, Any]:
    document: dict[str, Any] = span.to_dict()
    return document


# (call with every parameter by keyword on a fresh span, what shows the values were bound to
# the right parameters, read from the span and the call's result, and those values)
BY_KEYWORD: list[tuple[Callable[[Any], Any], Callable[[Any, Any], Any], Any]] = [
    (lambda s: s.set_prompt(prompt="p"), lambda s, _: s.prompt, "p"),
    (lambda s: s.set_response(response="r"), lambda s, _: s.response, "r"),
    (
        lambda s: s.set_error(status_code=500, error="e"),
        lambda s, _: (s.error_message, s.status_code),
        ("e", 500),
    ),
    (lambda s: s.set_error("e", status_code=501), lambda s, _: s.status_code, 501),
    (
        lambda s: s.set_token_counts(completion_tokens=2, prompt_tokens=1),
        lambda s, _: (s.prompt_tokens, s.completion_tokens),
        (1, 2),
    ),
    (lambda s: s.set_ttft_ms(ttft_ms=3), lambda s, _: recorded(s)["time_to_first_token_ms"], 3),
    (lambda s: s.add_tag(value="v", key="k"), lambda s, _: recorded(s)["tags"], {"k": "v"}),
    (
        lambda s: s.report_action(name="n", action_type="web_access"),
        lambda s, action_id: [(a["id"] == action_id, a["action_type"], a["name"])
                              for a in recorded(s)["agent_actions"]],
        [(True, "web_access", "n")],
    ),
    (
        lambda _: pelnorix.TamloxTracer().start_span(model="m", operation_name="o", provider="p"),
        lambda _, span: (span.operation_name, span.model_name),
        ("o", "m"),
    ),
    (
        lambda _: pelnorix.TamloxTracer(enable_security=False, endpoint="e", tenant_id=TENANT),
        lambda _, t: (t.tenant_id, t.endpoint, t.enable_security),
        (TENANT, "e", False),
    ),
    (lambda _: pelnorix.configure(config={"endpoint": "e"}), lambda _, t: t.endpoint, "e"),
    (lambda s: pelnorix.instrument(client=s), lambda s, c: c.wrapped_client is s, True),
]


@pytest.mark.parametrize(("call", "read", "expected"), BY_KEYWORD)
def test_every_parameter_can_be_passed_by_keyword(
    call: Callable[[Any], Any], read: Callable[[Any, Any], Any], expected: Any
) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    assert read(span, call(span)) == expected


@pytest.mark.parametrize("method", ["to_json", "to_dict", "security_findings"])
def test_no_argument_methods_refuse_arguments(method: str) -> None:
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    with pytest.raises(TypeError):
        getattr(span, method)(1)
    with pytest.raises(TypeError):
        getattr(span, method)(x=1)
