"""A small pure-Python model of one TraceSpan, and a checker that drives a real span and the
model with the same calls and compares them. The property test (test_model.py) and the fuzz
script (scripts/fuzz.py) both feed it."""

from __future__ import annotations

import inspect
import json
import operator
import re
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from support import UUID4

import pelnorix

TIMESTAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?Z")
ACTION_TYPES = ("tool_call", "skill_invocation", "command_execution", "web_access", "file_access")
KNOWN_PROVIDERS = {
    "openai": "OpenAI",
    "anthropic": "Anthropic",
    "vllm": "VLLm",
    "sglang": "SGLang",
    "tgi": "TGI",
    "ollama": "Ollama",
    "azure_openai": "AzureOpenAI",
    "azure-openai": "AzureOpenAI",
    "azureopenai": "AzureOpenAI",
    "bedrock": "Bedrock",
}
DOCUMENT_KEYS = [
    "trace_id", "span_id", "parent_span_id", "tenant_id", "operation_name", "start_time",
    "end_time", "provider", "model_name", "prompt", "response", "prompt_tokens",
    "completion_tokens", "total_tokens", "time_to_first_token_ms", "duration_ms", "status_code",
    "error_message", "estimated_cost_usd", "security_score", "security_findings", "tags",
    "events", "agent_actions",
]  # fmt: skip
MAX_RESULT_BYTES = 4096

# --- what each parameter accepts: a conversion raising what the module raises ------------------

Conversion = Callable[[Any], Any]


def text(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError("not a str")
    value.encode("utf-8")  # an unpaired surrogate: UnicodeEncodeError
    return str.__str__(value)  # the text itself, whatever a subclass says


def unsigned(limit: int) -> Conversion:
    def convert(value: Any) -> int:
        number = operator.index(value)
        if not 0 <= number <= limit:
            raise OverflowError("out of range")
        return number

    return convert


def boolean(value: Any) -> bool:
    if value is True or value is False:
        return value
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(value)
    raise TypeError("not a bool")


def optional(convert: Conversion) -> Conversion:
    return lambda value: None if value is None else convert(value)


u16, u32, u64 = unsigned(2**16 - 1), unsigned(2**32 - 1), unsigned(2**64 - 1)


@dataclass(frozen=True)
class Method:
    positional: tuple[tuple[str, Conversion], ...]
    required: int
    keyword_only: tuple[tuple[str, Conversion], ...] = ()


RECORDING_METHODS: dict[str, Method] = {
    "set_prompt": Method((("prompt", text),), 1),
    "set_response": Method((("response", text),), 1),
    "set_error": Method((("error", text), ("status_code", optional(u16))), 1),
    "set_token_counts": Method(
        (), 0, (("prompt_tokens", optional(u32)), ("completion_tokens", optional(u32)))
    ),
    "set_ttft_ms": Method((("ttft_ms", u64),), 1),
    "add_tag": Method((("key", text), ("value", text)), 2),
    "report_action": Method(
        (("action_type", text), ("name", text)),
        2,
        (
            ("arguments", optional(text)),
            ("result", optional(text)),
            ("duration_ms", optional(u64)),
            ("success", optional(boolean)),
        ),
    ),
}
PROPERTIES = [
    name for name, member in vars(pelnorix.TraceSpan).items() if inspect.isgetsetdescriptor(member)
]


def cut_result(result: str) -> str:
    return result.encode()[:MAX_RESULT_BYTES].decode("utf-8", "ignore")


def provider_form(provider: str) -> Any:
    lowered = provider.lower()
    return KNOWN_PROVIDERS.get(lowered, {"Custom": lowered})


# --- the model ------------------------------------------------------------------------------------


@dataclass
class SpanModel:
    tenant_id: str
    operation_name: str
    provider: Any
    model_name: str
    trace_id: str = ""
    span_id: str = ""
    prompt: str = ""
    response: str | None = None
    error_message: str | None = None
    status_code: int | None = None
    prompt_tokens: int | None = None
    completion_tokens: int | None = None
    total_tokens: int | None = None
    time_to_first_token_ms: int | None = None
    complete: bool = False
    tags: dict[str, str] = field(default_factory=dict)
    actions: list[dict[str, Any]] = field(default_factory=list)

    def convert(self, name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        """The converted arguments, or the exception the module raises for the first bad one."""
        method = RECORDING_METHODS[name]
        values: dict[str, Any] = {}
        for index, (parameter, convert) in enumerate(method.positional):
            values[parameter] = convert(args[index] if index < len(args) else None)
        for parameter, convert in method.keyword_only:
            values[parameter] = convert(kwargs.get(parameter))
        if name == "report_action" and values["action_type"] not in ACTION_TYPES:
            raise ValueError("Invalid action_type")
        return values

    def commit(self, name: str, values: dict[str, Any], returned: Any) -> None:
        """Applies a call that succeeded."""
        if name == "set_prompt":
            self.prompt = values["prompt"]
        elif name == "set_response":
            self.response, self.complete = values["response"], True
        elif name == "set_error":
            self.error_message, self.status_code = values["error"], values["status_code"]
            self.complete = True
        elif name == "set_token_counts":
            prompt, completion = values["prompt_tokens"], values["completion_tokens"]
            self.prompt_tokens, self.completion_tokens = prompt, completion
            both = prompt is not None and completion is not None
            self.total_tokens = min(prompt + completion, 2**32 - 1) if both else None
        elif name == "set_ttft_ms":
            self.time_to_first_token_ms = values["ttft_ms"]
        elif name == "add_tag":
            self.tags[values["key"]] = values["value"]
        elif name == "report_action":
            result = values["result"]
            self.actions.append(
                {
                    "id": returned,
                    "action_type": values["action_type"],
                    "name": values["name"],
                    "arguments": values["arguments"],
                    "result": None if result is None else cut_result(result),
                    "duration_ms": values["duration_ms"],
                    "success": values["success"] is not False,
                    "exit_code": None,
                    "http_method": None,
                    "http_status": None,
                    "file_operation": None,
                    "metadata": {},
                }
            )

    def properties(self) -> dict[str, Any]:
        return {
            "trace_id": self.trace_id,
            "span_id": self.span_id,
            "operation_name": self.operation_name,
            "model_name": self.model_name,
            "prompt": self.prompt,
            "response": self.response,
            "is_complete": self.complete,
            "is_failed": self.error_message is not None,
            "prompt_tokens": self.prompt_tokens,
            "completion_tokens": self.completion_tokens,
            "total_tokens": self.total_tokens,
            "security_score": None,
            "error_message": self.error_message,
            "status_code": self.status_code,
            "security_findings_count": 0,
            "agent_actions_count": len(self.actions),
        }

    def document(self) -> dict[str, Any]:
        """The exported document without its clock readings (checked by form only)."""
        values = self.properties()
        document = {key: values.get(key) for key in DOCUMENT_KEYS}
        document.update(
            parent_span_id=None,
            tenant_id=self.tenant_id,
            provider=self.provider,
            time_to_first_token_ms=self.time_to_first_token_ms,
            estimated_cost_usd=None,
            security_findings=[],
            tags=self.tags,
            events=[],
            agent_actions=self.actions,
        )
        return document

    def summary(self) -> str:
        complete = "true" if self.complete else "false"
        return (
            f"TraceSpan(trace_id='{self.trace_id}', op='{self.operation_name}', "
            f"model='{self.model_name}', complete={complete})"
        )


# --- driving a real span beside its model ---------------------------------------------------------


class Mismatch(AssertionError):
    pass


def expect(condition: bool, what: str, *details: Any) -> None:
    if not condition:
        raise Mismatch(what, *details)


@dataclass
class Checker:
    """Drives spans and their models with the same calls; raises Mismatch where they differ."""

    seen_ids: set[str] = field(default_factory=set)

    def fresh_id(self, value: Any) -> None:
        expect(isinstance(value, str) and UUID4.fullmatch(value) is not None, "not a v4 id", value)
        expect(value not in self.seen_ids, "identifier seen before", value)
        self.seen_ids.add(value)

    def start_span(
        self, tracer: pelnorix.TamloxTracer, operation: Any, provider: Any, model: Any
    ) -> tuple[pelnorix.TraceSpan, SpanModel] | None:
        try:
            names = text(operation), provider_form(text(provider)), text(model)
            expected = SpanModel(tracer.tenant_id, *names)
        except (TypeError, UnicodeEncodeError) as error:
            with_raised(type(error), lambda: tracer.start_span(operation, provider, model))
            return None
        span = tracer.start_span(operation, provider, model)
        expected.trace_id, expected.span_id = span.trace_id, span.span_id
        self.fresh_id(span.trace_id)
        self.fresh_id(span.span_id)
        self.compare_properties(span, expected)
        return span, expected

    def record(
        self,
        span: pelnorix.TraceSpan,
        model: SpanModel,
        name: str,
        args: tuple[Any, ...],
        kwargs: dict[str, Any],
    ) -> None:
        try:
            values = model.convert(name, args, kwargs)
        except (TypeError, OverflowError, ValueError) as error:
            before = snapshot(span)
            with_raised(type(error), lambda: getattr(span, name)(*args, **kwargs))
            expect(snapshot(span) == before, "a call that raised changed the span", name, args)
            return
        returned = getattr(span, name)(*args, **kwargs)
        if name == "report_action":
            self.fresh_id(returned)
        else:
            expect(returned is None, "a recording method returned a value", name, returned)
        model.commit(name, values, returned)
        self.compare_properties(span, model)

    def compare_properties(self, span: pelnorix.TraceSpan, model: SpanModel) -> None:
        actual = {name: getattr(span, name) for name in PROPERTIES}
        expected = model.properties()
        duration = actual.pop("duration_ms")
        expect(actual == expected, "properties differ from the model", actual, expected)
        expect((duration is not None) == model.complete, "duration without completion", duration)
        expect(duration is None or (type(duration) is int and duration >= 0), "bad duration")

    def compare_exports(self, span: pelnorix.TraceSpan, model: SpanModel) -> None:
        text_form = span.to_json()
        document = span.to_dict()
        expect(json.loads(text_form) == document, "to_json and to_dict disagree")
        expect(list(document) == DOCUMENT_KEYS, "document keys", list(document))
        expect(TIMESTAMP.fullmatch(document.pop("start_time")) is not None, "start_time form")
        end_time = document.pop("end_time")
        expect((end_time is not None) == model.complete, "end_time without completion")
        expect(end_time is None or TIMESTAMP.fullmatch(end_time) is not None, "end_time form")
        expect(document.pop("duration_ms") == span.duration_ms, "duration differs")
        for action in document["agent_actions"]:
            expect(TIMESTAMP.fullmatch(action.pop("timestamp")) is not None, "timestamp form")
        expected = model.document()
        expected.pop("start_time"), expected.pop("end_time"), expected.pop("duration_ms")
        expect(document == expected, "document differs from the model", document, expected)
        expect(span.security_findings() == [], "findings")
        expect(repr(span) == str(span) == model.summary(), "summary line", repr(span))

    def check_all(self, span: pelnorix.TraceSpan, model: SpanModel) -> None:
        self.compare_properties(span, model)
        self.compare_exports(span, model)


def snapshot(span: pelnorix.TraceSpan) -> tuple[Any, ...]:
    """Everything observable about a span; an unchanged span gives an equal snapshot."""
    return tuple(getattr(span, name) for name in PROPERTIES) + (span.to_json(),)


def with_raised(expected: type[BaseException], call: Callable[[], Any]) -> None:
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - compared below
        expect(type(error) is expected, "raised another exception", expected, error)
        return
    raise Mismatch("returned where the model raises", expected)
