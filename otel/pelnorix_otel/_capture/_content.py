"""Messages in the GenAI conventions' form, and the readable text made from them.

A message is ``{"role": ..., "parts": [...]}`` (output messages add ``"finish_reason"``); a part is
one of ``{"type": "text", "content"}``, ``{"type": "tool_call", "id", "name", "arguments"}``,
``{"type": "tool_call_response", "id", "response"}``, ``{"type": "reasoning", "content"}``,
``{"type": "uri", "modality", "uri"}``, or ``{"type": <kind>}`` for content kept out (inline
images, audio, files: large and binary). The same messages give the span's readable prompt and
response text, so the two never disagree.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field as dataclass_field
from typing import Any

Part = dict[str, Any]
Message = dict[str, Any]


def field(item: Any, name: str, default: Any = None) -> Any:
    """``item[name]`` of a request dict, or the attribute of an SDK object the caller passed back."""
    if type(item) is dict or isinstance(item, Mapping):
        return item.get(name, default)
    return getattr(item, name, default)


def given(value: Any) -> bool:
    """Whether a request argument carries a value (not absent, None or the SDK's "not given")."""
    return value is not None and type(value).__name__ not in ("NotGiven", "Omit")


def listed(kwargs: dict[str, Any], key: str) -> list[Any] | None:
    """A request argument that may be any iterable as a list, put back into ``kwargs`` when it
    was something else, so that reading it does not use up a generator the SDK still has to send."""
    value = kwargs.get(key)
    if type(value) is list:
        return value
    if not given(value) or isinstance(value, (str, bytes, Mapping)):
        return None
    if isinstance(value, tuple):
        return list(value)
    if not isinstance(value, Iterable):
        return None
    value = kwargs[key] = list(value)
    return value


def _plain(value: Any) -> Any:
    dump = getattr(value, "model_dump", None)
    if callable(dump):
        return dump(mode="json", exclude_none=True)
    return str(value)


dumps = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=_plain).encode
"""Compact JSON text, SDK objects as their JSON form (one encoder, made once)."""


def arguments(text: Any) -> Any:
    """Tool-call arguments as an object when they are JSON text, else as they came."""
    if isinstance(text, str):
        try:
            return json.loads(text)
        except ValueError:
            return text
    return text


def text_part(text: str) -> Part:
    return {"type": "text", "content": text}


def tool_call_part(call_id: Any, name: Any, args: Any) -> Part:
    return {"type": "tool_call", "id": call_id, "name": name or "", "arguments": arguments(args)}


def tool_response_part(call_id: Any, response: Any) -> Part:
    return {"type": "tool_call_response", "id": call_id, "response": response}


def image_part(url: Any) -> Part:
    if isinstance(url, str) and not url.startswith("data:"):
        return {"type": "uri", "modality": "image", "uri": url}
    return {"type": "image"}


# The conventions' finish reasons for the providers' own words.
_FINISH_REASONS = {
    "stop": "stop",
    "end_turn": "stop",
    "stop_sequence": "stop",
    "completed": "stop",
    "length": "length",
    "max_tokens": "length",
    "max_output_tokens": "length",
    "tool_calls": "tool_call",
    "function_call": "tool_call",
    "tool_use": "tool_call",
    "content_filter": "content_filter",
    "refusal": "content_filter",
    "failed": "error",
}


def finish_reason(reason: str | None) -> str:
    if reason is None:
        return "stop"
    return _FINISH_REASONS.get(reason, reason)


def _render_part(part: Part) -> str:
    kind = part.get("type")
    if kind == "text":
        return str(part.get("content", ""))
    if kind == "tool_call":
        return f"[tool call] {part.get('name')} {dumps(part.get('arguments'))} ({part.get('id')})"
    if kind == "tool_call_response":
        response = part.get("response")
        return f"[tool result {part.get('id')}] {response if isinstance(response, str) else dumps(response)}"
    if kind == "reasoning":
        return f"[reasoning] {part.get('content', '')}"
    if kind == "uri":
        return f"[{part.get('modality', 'file')}] {part.get('uri')}"
    return f"[{kind}]"


def render_parts(parts: Iterable[Part]) -> str:
    return "\n".join(_render_part(part) for part in parts)


def render_prompt(system: list[Part] | None, messages: Iterable[Message]) -> str:
    """One paragraph per message, "role: text", system instructions first."""
    lines = [f"system: {render_parts(system)}"] if system else []
    lines += [f"{message['role']}: {render_parts(message['parts'])}" for message in messages]
    return "\n".join(lines)


@dataclass
class Outcome:
    """What a call answered, complete or as far as a stream got."""

    output: list[Message] = dataclass_field(default_factory=list)
    finish_reasons: list[str] = dataclass_field(default_factory=list)
    response_model: str | None = None
    response_id: str | None = None
    input_tokens: int | None = None
    output_tokens: int | None = None
    tags: dict[str, str] = dataclass_field(default_factory=dict)

    def text(self) -> str:
        """The readable response: each output message's parts, messages apart by a blank line."""
        return "\n\n".join(render_parts(message["parts"]) for message in self.output)


@dataclass
class Request:
    """What the span records about a request before it is sent."""

    model: str
    prompt: str
    tags: dict[str, str]


def describe_request(
    model: Any, system: list[Part] | None, messages: list[Message] | None, tags: dict[str, str]
) -> Request:
    if messages is not None:
        tags["gen_ai.input.messages"] = dumps(messages)
    if system:
        tags["gen_ai.system_instructions"] = dumps(system)
    return Request(model if isinstance(model, str) else "", render_prompt(system, messages or ()), tags)


def parameters(kwargs: Mapping[str, Any], names: Mapping[str, str]) -> dict[str, str]:
    """Request parameters as tags of decimal text, under the conventions' keys."""
    tags: dict[str, str] = {}
    for argument, key in names.items():
        value = kwargs.get(argument)
        if value is not None and isinstance(value, (int, float)) and not isinstance(value, bool):
            tags[key] = repr(value)
    return tags


def stop_sequences(value: Any) -> dict[str, str]:
    if isinstance(value, str):
        return {"gen_ai.request.stop_sequences": dumps([value])}
    if isinstance(value, (list, tuple)) and value:
        return {"gen_ai.request.stop_sequences": dumps(list(value))}
    return {}
