"""What capture records of the anthropic SDK's messages (create, create with stream=True, stream)."""

from __future__ import annotations

from typing import Any

import anthropic

from ._call import CONTENT, Endpoint
from ._content import (
    Message,
    Outcome,
    Part,
    Request,
    arguments,
    describe_request,
    field,
    finish_reason,
    image_part,
    listed,
    parameters,
    stop_sequences,
    text_part,
    tool_call_part,
    tool_response_part,
)

_PARAMETERS = {
    "max_tokens": "gen_ai.request.max_tokens",
    "temperature": "gen_ai.request.temperature",
    "top_p": "gen_ai.request.top_p",
    "top_k": "gen_ai.request.top_k",
}


def _block_text(content: Any) -> Any:
    if isinstance(content, list):
        return "".join(field(block, "text") or "" for block in content if field(block, "type") == "text")
    return content


def _parts(content: Any) -> list[Part]:
    if isinstance(content, str):
        return [text_part(content)] if content else []
    parts: list[Part] = []
    for block in content if isinstance(content, list) else ():
        kind = field(block, "type")
        if kind == "text":
            parts.append(text_part(field(block, "text") or ""))
        elif kind in ("tool_use", "server_tool_use"):
            parts.append(tool_call_part(field(block, "id"), field(block, "name"), field(block, "input")))
        elif kind == "tool_result":
            parts.append(tool_response_part(field(block, "tool_use_id"), _block_text(field(block, "content"))))
        elif kind == "thinking":
            parts.append({"type": "reasoning", "content": field(block, "thinking") or ""})
        elif kind == "image":
            source = field(block, "source")
            parts.append(image_part(field(source, "url")))
        else:
            parts.append({"type": kind or "unknown"})
    return parts


def _message(message: Any) -> Message:
    return {"role": field(message, "role") or "user", "parts": _parts(field(message, "content"))}


def _describe(kwargs: dict[str, Any]) -> Request:
    messages = listed(kwargs, "messages")
    system = kwargs.get("system")
    if isinstance(system, str):
        instructions = [text_part(system)] if system else None
    else:
        blocks = listed(kwargs, "system")
        instructions = _parts(blocks) if blocks else None
    tags = parameters(kwargs, _PARAMETERS)
    tags.update(stop_sequences(kwargs.get("stop_sequences")))
    converted = [_message(message) for message in messages] if messages is not None else None
    return describe_request(kwargs.get("model"), instructions, converted, tags)


def _usage(outcome: Outcome, usage: Any) -> None:
    """Input tokens count the whole prompt: the uncached part and what was read from or written
    to the prompt cache, each also kept as its own tag."""
    if usage is None:
        return
    total = usage.input_tokens
    for name, key in (
        ("cache_read_input_tokens", "gen_ai.usage.cache_read.input_tokens"),
        ("cache_creation_input_tokens", "gen_ai.usage.cache_creation.input_tokens"),
    ):
        value = getattr(usage, name, None)
        if isinstance(value, int):
            outcome.tags[key] = str(value)
            total = (total or 0) + value
    outcome.input_tokens = total
    outcome.output_tokens = usage.output_tokens


def _outcome(message: Any) -> Outcome:
    outcome = Outcome(response_model=message.model, response_id=message.id)
    reason = message.stop_reason
    outcome.output.append({"role": "assistant", "parts": _parts(message.content), "finish_reason": finish_reason(reason)})
    if reason:
        outcome.finish_reasons.append(reason)
    _usage(outcome, message.usage)
    return outcome


class _Stream:
    """The raw events of a streamed message (``stream=True`` and the ``messages.stream`` helper)."""

    __slots__ = ("started", "blocks", "reason", "usage", "output_tokens")

    def __init__(self, kwargs: dict[str, Any]) -> None:
        self.started: Any = None
        self.blocks: dict[int, list[Any]] = {}  # index -> [type, id, name, pieces]
        self.reason: str | None = None
        self.usage: Any = None
        self.output_tokens: int | None = None

    def add(self, event: Any) -> int:
        kind = event.type
        if kind == "content_block_delta":
            delta = event.delta
            slot = self.blocks.get(event.index)
            if slot is not None:
                piece = getattr(delta, "text", None) or getattr(delta, "partial_json", None)
                if piece is None:
                    piece = getattr(delta, "thinking", None)
                if piece:
                    slot[3].append(piece)
            return CONTENT
        if kind == "content_block_start":
            block = event.content_block
            self.blocks[event.index] = [block.type, getattr(block, "id", None), getattr(block, "name", None), []]
        elif kind == "message_delta":
            self.reason = event.delta.stop_reason or self.reason
            if event.usage is not None:
                self.output_tokens = event.usage.output_tokens
        elif kind == "message_start":
            self.started = event.message
            self.usage = event.message.usage
        return 0

    def outcome(self) -> Outcome:
        outcome = Outcome()
        if self.started is not None:
            outcome.response_model, outcome.response_id = self.started.model, self.started.id
            _usage(outcome, self.usage)
        if self.output_tokens is not None:
            outcome.output_tokens = self.output_tokens
        parts: list[Part] = []
        for _, (kind, block_id, name, pieces) in sorted(self.blocks.items()):
            text = "".join(pieces)
            if kind == "text":
                parts.append(text_part(text))
            elif kind in ("tool_use", "server_tool_use"):
                parts.append(tool_call_part(block_id, name, arguments(text) if text else {}))
            elif kind == "thinking":
                parts.append({"type": "reasoning", "content": text})
            else:
                parts.append({"type": kind})
        if parts or self.reason:
            outcome.output.append({"role": "assistant", "parts": parts, "finish_reason": finish_reason(self.reason)})
        if self.reason:
            outcome.finish_reasons.append(self.reason)
        return outcome


MESSAGES = Endpoint(
    "chat", _describe, _outcome, _Stream, (anthropic.Stream, anthropic.AsyncStream)
)


def provider(client: Any) -> str:
    return "bedrock" if "Bedrock" in type(client).__name__ else "anthropic"


def routes() -> dict[str, Any]:
    from ._routes import CREATE, MANAGER

    return {"messages": {"create": CREATE(MESSAGES), "stream": MANAGER(MESSAGES)}}


def patches() -> list[tuple[type, str, Endpoint, str]]:
    from anthropic.resources.messages import AsyncMessages, Messages

    return [
        (Messages, "create", MESSAGES, "create"),
        (AsyncMessages, "create", MESSAGES, "create"),
        (Messages, "stream", MESSAGES, "manager"),
        (AsyncMessages, "stream", MESSAGES, "manager"),
    ]
