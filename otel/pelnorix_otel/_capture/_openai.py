"""What capture records of the openai SDK's chat completions, responses and embeddings."""

from __future__ import annotations

from typing import Any

import openai

from ._call import CONTENT, DROP, Endpoint
from ._content import (
    Message,
    Outcome,
    Part,
    Request,
    describe_request,
    field,
    finish_reason,
    given,
    image_part,
    listed,
    parameters,
    stop_sequences,
    text_part,
    tool_call_part,
    tool_response_part,
)

STREAMS = (openai.Stream, openai.AsyncStream)

# --- chat completions ---------------------------------------------------------------------

_CHAT_PARAMETERS = {
    "max_tokens": "gen_ai.request.max_tokens",
    "max_completion_tokens": "gen_ai.request.max_tokens",
    "temperature": "gen_ai.request.temperature",
    "top_p": "gen_ai.request.top_p",
    "frequency_penalty": "gen_ai.request.frequency_penalty",
    "presence_penalty": "gen_ai.request.presence_penalty",
    "seed": "gen_ai.request.seed",
}


def _content_parts(content: Any) -> list[Part]:
    if isinstance(content, str):
        return [text_part(content)] if content else []
    parts: list[Part] = []
    for item in content if isinstance(content, list) else ():
        kind = field(item, "type")
        if kind in ("text", "input_text", "output_text"):
            parts.append(text_part(field(item, "text") or ""))
        elif kind == "refusal":
            parts.append(text_part(field(item, "refusal") or ""))
        elif kind in ("image_url", "input_image"):
            image = field(item, "image_url")
            parts.append(image_part(field(image, "url") if not isinstance(image, str) else image))
        else:
            parts.append({"type": kind or "unknown"})
    return parts


def _response_text(content: Any) -> Any:
    if isinstance(content, list):
        return "".join(part["content"] for part in _content_parts(content) if part["type"] == "text")
    return content


def _chat_message(message: Any) -> Message:
    role = field(message, "role") or "user"
    content = field(message, "content")
    if role in ("tool", "function"):
        call_id = field(message, "tool_call_id") or field(message, "name")
        return {"role": "tool", "parts": [tool_response_part(call_id, _response_text(content))]}
    parts = _content_parts(content)
    for call in field(message, "tool_calls") or ():
        function = field(call, "function")
        parts.append(tool_call_part(field(call, "id"), field(function, "name"), field(function, "arguments")))
    return {"role": role, "parts": parts}


def _describe_chat(kwargs: dict[str, Any]) -> Request:
    messages = listed(kwargs, "messages")
    tags = parameters(kwargs, _CHAT_PARAMETERS)
    tags.update(stop_sequences(kwargs.get("stop")))
    n = kwargs.get("n")
    if isinstance(n, int) and n != 1:
        tags["gen_ai.request.choice.count"] = str(n)
    converted = [_chat_message(message) for message in messages] if messages is not None else None
    return describe_request(kwargs.get("model"), None, converted, tags)


def _answer_parts(message: Any) -> list[Part]:
    parts = _content_parts(field(message, "content"))
    refusal = field(message, "refusal")
    if refusal:
        parts.append(text_part(refusal))
    for call in field(message, "tool_calls") or ():
        function = field(call, "function")
        parts.append(tool_call_part(field(call, "id"), field(function, "name"), field(function, "arguments")))
    return parts


def _chat_outcome(completion: Any) -> Outcome:
    outcome = Outcome(response_model=completion.model, response_id=completion.id)
    for choice in completion.choices:
        outcome.output.append(
            {
                "role": "assistant",
                "parts": _answer_parts(choice.message),
                "finish_reason": finish_reason(choice.finish_reason),
            }
        )
        if choice.finish_reason:
            outcome.finish_reasons.append(choice.finish_reason)
    usage = completion.usage
    if usage is not None:
        outcome.input_tokens, outcome.output_tokens = usage.prompt_tokens, usage.completion_tokens
    return outcome


# The usage request capture adds to a chat stream the caller asked nothing of; the chunk it brings
# is recognised by this very object among the arguments sent.
_USAGE_ASKED: dict[str, Any] = {"include_usage": True}


def _ask_for_usage(kwargs: dict[str, Any]) -> dict[str, Any]:
    """A chat stream whose caller left stream_options out (absent or the SDK's "not given", not
    an explicit None) asks for usage."""
    if kwargs.get("stream") is True:
        options = kwargs.get("stream_options", _USAGE_ASKED)
        if options is _USAGE_ASKED or (options is not None and not given(options)):
            return {**kwargs, "stream_options": _USAGE_ASKED}
    return kwargs


class _ChoiceSoFar:
    __slots__ = ("text", "refusal", "calls", "finish")

    def __init__(self) -> None:
        self.text: list[str] = []
        self.refusal: list[str] = []
        self.calls: dict[int, list[Any]] = {}  # index -> [id, name, argument pieces]
        self.finish: str | None = None


class _ChatStream:
    __slots__ = ("asked", "choices", "model", "id", "usage")

    def __init__(self, kwargs: dict[str, Any]) -> None:
        self.asked = kwargs.get("stream_options") is _USAGE_ASKED
        self.choices: dict[int, _ChoiceSoFar] = {}
        self.model: str | None = None
        self.id: str | None = None
        self.usage: Any = None

    def add(self, chunk: Any) -> int:
        flags = 0
        if self.id is None:
            self.id, self.model = chunk.id, chunk.model
        if chunk.usage is not None:
            self.usage = chunk.usage
            if self.asked and not chunk.choices:
                flags |= DROP
        for choice in chunk.choices:
            so_far = self.choices.get(choice.index)
            if so_far is None:
                so_far = self.choices[choice.index] = _ChoiceSoFar()
            delta = choice.delta
            if delta is not None:
                if delta.content:
                    so_far.text.append(delta.content)
                    flags |= CONTENT
                if delta.refusal:
                    so_far.refusal.append(delta.refusal)
                    flags |= CONTENT
                for call in delta.tool_calls or ():
                    slot = so_far.calls.get(call.index)
                    if slot is None:
                        slot = so_far.calls[call.index] = [None, None, []]
                    slot[0] = call.id or slot[0]
                    if call.function is not None:
                        slot[1] = call.function.name or slot[1]
                        if call.function.arguments:
                            slot[2].append(call.function.arguments)
                    flags |= CONTENT
            if choice.finish_reason:
                so_far.finish = choice.finish_reason
        return flags

    def outcome(self) -> Outcome:
        outcome = Outcome(response_model=self.model, response_id=self.id)
        for index in sorted(self.choices):
            so_far = self.choices[index]
            parts = [text_part("".join(so_far.text))] if so_far.text else []
            if so_far.refusal:
                parts.append(text_part("".join(so_far.refusal)))
            for _, (call_id, name, pieces) in sorted(so_far.calls.items()):
                parts.append(tool_call_part(call_id, name, "".join(pieces)))
            outcome.output.append(
                {"role": "assistant", "parts": parts, "finish_reason": finish_reason(so_far.finish)}
            )
            if so_far.finish:
                outcome.finish_reasons.append(so_far.finish)
        if self.usage is not None:
            outcome.input_tokens = self.usage.prompt_tokens
            outcome.output_tokens = self.usage.completion_tokens
        return outcome


CHAT = Endpoint("chat", _describe_chat, _chat_outcome, _ChatStream, STREAMS, _ask_for_usage)

# --- responses ----------------------------------------------------------------------------

_RESPONSE_PARAMETERS = {
    "max_output_tokens": "gen_ai.request.max_tokens",
    "temperature": "gen_ai.request.temperature",
    "top_p": "gen_ai.request.top_p",
}


def _input_item(item: Any) -> Message:
    kind = field(item, "type")
    if kind == "function_call":
        part = tool_call_part(field(item, "call_id"), field(item, "name"), field(item, "arguments"))
        return {"role": "assistant", "parts": [part]}
    if kind == "function_call_output":
        return {"role": "tool", "parts": [tool_response_part(field(item, "call_id"), field(item, "output"))]}
    if kind == "reasoning":
        return {"role": "assistant", "parts": _reasoning_parts(item)}
    if kind in (None, "message"):
        return {"role": field(item, "role") or "user", "parts": _content_parts(field(item, "content"))}
    return {"role": "user", "parts": [{"type": kind}]}


def _reasoning_parts(item: Any) -> list[Part]:
    summary = "".join(field(part, "text") or "" for part in field(item, "summary") or ())
    return [{"type": "reasoning", "content": summary}]


def _describe_response(kwargs: dict[str, Any]) -> Request:
    value = kwargs.get("input")
    if isinstance(value, str):
        messages: list[Message] | None = [{"role": "user", "parts": [text_part(value)]}]
    else:
        items = listed(kwargs, "input")
        messages = [_input_item(item) for item in items] if items is not None else None
    instructions = kwargs.get("instructions")
    system = [text_part(instructions)] if isinstance(instructions, str) and instructions else None
    return describe_request(kwargs.get("model"), system, messages, parameters(kwargs, _RESPONSE_PARAMETERS))


def _response_outcome(response: Any) -> Outcome:
    outcome = Outcome(response_model=response.model, response_id=response.id)
    parts: list[Part] = []
    calls = False
    for item in response.output or ():
        kind = item.type
        if kind == "message":
            parts += _content_parts(item.content)
        elif kind == "function_call":
            parts.append(tool_call_part(item.call_id, item.name, item.arguments))
            calls = True
        elif kind == "reasoning":
            parts += _reasoning_parts(item)
        else:
            parts.append({"type": kind})
    status = response.status or "completed"
    details = response.incomplete_details
    reason = details.reason if status == "incomplete" and details is not None and details.reason else status
    outcome.finish_reasons.append(reason)
    mapped = "tool_call" if calls and status == "completed" else finish_reason(reason)
    outcome.output.append({"role": "assistant", "parts": parts, "finish_reason": mapped})
    usage = response.usage
    if usage is not None:
        outcome.input_tokens, outcome.output_tokens = usage.input_tokens, usage.output_tokens
    return outcome


_FINAL_EVENTS = frozenset({"response.completed", "response.incomplete", "response.failed"})


class _ResponseStream:
    __slots__ = ("final", "started", "text", "calls")

    def __init__(self, kwargs: dict[str, Any]) -> None:
        self.final: Any = None
        self.started: Any = None
        self.text: list[str] = []
        self.calls: dict[str, list[Any]] = {}  # item id -> [call id, name, argument pieces]

    def add(self, event: Any) -> int:
        kind = event.type
        if kind == "response.output_text.delta":
            self.text.append(event.delta)
            return CONTENT
        if kind == "response.function_call_arguments.delta":
            slot = self.calls.get(event.item_id)
            if slot is not None:
                slot[2].append(event.delta)
            return CONTENT
        if kind.endswith(".delta"):
            return CONTENT
        if kind == "response.output_item.added" and event.item.type == "function_call":
            self.calls[event.item.id] = [event.item.call_id, event.item.name, []]
        elif kind in _FINAL_EVENTS:
            self.final = event.response
        elif kind == "response.created":
            self.started = event.response
        return 0

    def outcome(self) -> Outcome:
        if self.final is not None:
            return _response_outcome(self.final)
        outcome = Outcome()
        if self.started is not None:
            outcome.response_model, outcome.response_id = self.started.model, self.started.id
        parts = [text_part("".join(self.text))] if self.text else []
        parts += [tool_call_part(call_id, name, "".join(pieces)) for call_id, name, pieces in self.calls.values()]
        if parts:
            outcome.output.append({"role": "assistant", "parts": parts, "finish_reason": "stop"})
        return outcome


RESPONSES = Endpoint("chat", _describe_response, _response_outcome, _ResponseStream, STREAMS)

# --- embeddings ---------------------------------------------------------------------------


def _describe_embeddings(kwargs: dict[str, Any]) -> Request:
    value = kwargs.get("input")
    items = [value] if isinstance(value, str) else listed(kwargs, "input") or []
    if items and isinstance(items[0], int):  # one input given as token ids
        items = [items]
    lines = [item if isinstance(item, str) else f"[{len(item)} tokens]" for item in items]
    tags = parameters(kwargs, {"dimensions": "gen_ai.embeddings.dimension.count"})
    encoding = kwargs.get("encoding_format")
    if isinstance(encoding, str):
        tags["gen_ai.request.encoding_formats"] = f'["{encoding}"]'
    model = kwargs.get("model")
    return Request(model if isinstance(model, str) else "", "\n".join(lines), tags)


def _embeddings_outcome(result: Any) -> Outcome:
    outcome = Outcome(response_model=result.model)
    if result.data and isinstance(result.data[0].embedding, list):
        outcome.tags["gen_ai.embeddings.dimension.count"] = str(len(result.data[0].embedding))
    if result.usage is not None:
        outcome.input_tokens = result.usage.prompt_tokens
    return outcome


EMBEDDINGS = Endpoint("embeddings", _describe_embeddings, _embeddings_outcome, None, ())


def provider(client: Any) -> str:
    return "azure_openai" if isinstance(client, (openai.AzureOpenAI, openai.AsyncAzureOpenAI)) else "openai"


def routes() -> dict[str, Any]:
    """The attribute paths of a client that lead to a captured method."""
    from ._routes import CREATE, VIA_PROXY

    return {
        "chat": {"completions": {"create": CREATE(CHAT), "stream": VIA_PROXY}},
        "responses": {"create": CREATE(RESPONSES), "stream": VIA_PROXY},
        "embeddings": {"create": CREATE(EMBEDDINGS)},
    }


def patches() -> list[tuple[type, str, Endpoint, str]]:
    """The SDK methods that capturing every client replaces: class, name, endpoint, how."""
    from openai.resources.chat.completions import AsyncCompletions, Completions
    from openai.resources.embeddings import AsyncEmbeddings, Embeddings
    from openai.resources.responses import AsyncResponses, Responses

    return [
        (Completions, "create", CHAT, "create"),
        (AsyncCompletions, "create", CHAT, "create"),
        (Responses, "create", RESPONSES, "create"),
        (AsyncResponses, "create", RESPONSES, "create"),
        (Embeddings, "create", EMBEDDINGS, "create"),
        (AsyncEmbeddings, "create", EMBEDDINGS, "create"),
    ]
