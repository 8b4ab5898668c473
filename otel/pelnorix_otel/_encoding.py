"""The body of an OTLP/HTTP export request, made from pelnorix span documents.

``RequestEncoder.encode`` takes the texts that ``TraceSpan.to_json()`` returns
(each with the ``SpanLink`` that places it in a larger trace, or ``None``) and
returns one ``ExportTraceServiceRequest`` in the protobuf encoding
(``http/protobuf``) or in OTLP/JSON (``http/json``). The work is native
(``pelnorix_otel._otlp``); this module checks the configuration and documents
the mapping, which follows the OpenTelemetry semantic conventions for
generative AI (v1.41).

The span of an LLM call
    One OTLP span of kind CLIENT, named ``"{gen_ai.operation.name} {model}"``
    (the operation alone when the model is empty).

    - Trace id: the span's ``trace_id`` (its 16 bytes), or ``link.trace_id``.
      Span id: the last 8 bytes of the span's ``span_id`` UUID; the whole UUID
      is kept as ``pelnorix.span.id``. Parent: ``link.parent_span_id``;
      without a link the span is a root. Flags: sampled, parent not remote.
    - ``startTimeUnixNano`` / ``endTimeUnixNano``: the recorded instants to the
      nanosecond. A span exported before it finished ends where it starts and
      carries ``pelnorix.span.open = true``.
    - ``gen_ai.operation.name``: the well-known value for the recorded name,
      compared without case and with ``-``, ``.`` and spaces read as ``_``:
      chat (chat, chat_completion(s), chatcompletion, messages),
      text_completion (completion(s), text_completion(s)), embeddings (embed,
      embedding(s), create_embedding(s)), generate_content, create_agent,
      invoke_agent, execute_tool. Any other name is kept as recorded.
    - ``gen_ai.provider.name``: openai, anthropic, azure.ai.openai,
      aws.bedrock, vllm, sglang, tgi, ollama; a custom provider's name in
      lower case. An empty custom name gives no attribute.
    - ``gen_ai.request.model`` (when not empty), ``gen_ai.usage.input_tokens``
      and ``gen_ai.usage.output_tokens`` (ints), time to first token as
      ``gen_ai.response.time_to_first_chunk`` (seconds, a double).
    - ``gen_ai.input.messages``: ``[{"role": "user", "parts": [{"type":
      "text", "content": <prompt>}]}]`` when the prompt is not empty;
      ``gen_ai.output.messages``: ``[{"role": "assistant", "parts": [...],
      "finish_reason": <the first of the gen_ai.response.finish_reasons tag,
      else "stop">}]`` when a response was recorded.
    - A failed span (error message or status code): status ERROR with the
      error message, ``error.type`` = the status code as text, or ``_OTHER``
      when there is none (a tag ``error.type``, such as an exception's class
      name, replaces it), and ``http.response.status_code`` (an int) when a
      status code was recorded. A successful span leaves the status unset, as
      the conventions ask of instrumentations.
    - ``pelnorix.estimated_cost_usd`` and ``pelnorix.security_score`` when
      present. Security findings and span events are never filled by the
      recorder and are not exported.

Steps of the application
    A span whose operation is ``invoke_agent`` or ``execute_tool`` names the
    agent or tool in its model field: ``gen_ai.agent.name`` /
    ``gen_ai.tool.name`` replace ``gen_ai.request.model``, and with an empty
    provider the span is INTERNAL. An ``execute_tool`` span exports its prompt
    and response as ``gen_ai.tool.call.arguments`` / ``gen_ai.tool.call.result``
    rather than as messages.

Agent actions
    Each becomes a child span ``"execute_tool {name}"`` (kind INTERNAL) of the
    call span, in its trace, with its id the last 8 bytes of the action's UUID
    (the whole UUID as ``pelnorix.action.id``), ``gen_ai.operation.name`` =
    ``execute_tool``, ``gen_ai.tool.name``, ``pelnorix.action.type`` (tool_call,
    skill_invocation, command_execution, web_access, file_access),
    ``gen_ai.tool.call.arguments`` and ``gen_ai.tool.call.result``. An action
    is recorded when it is reported, that is once it has finished: it ends at
    its timestamp and starts ``duration_ms`` earlier (no duration: a span of
    no length). ``success=False`` gives status ERROR with ``error.type``
    ``_OTHER``. Exit code, HTTP method and status and file operation, when an
    action has them, become ``process.exit.code``, ``http.request.method``,
    ``http.response.status_code`` and ``pelnorix.action.file_operation``; its
    metadata entries are treated like tags.

Tags
    Each tag becomes an attribute under its own key; a tag whose key is an
    attribute the mapping derives itself takes that attribute's place. Tags
    of the conventions' typed attributes are exported in their type when their
    text reads as one (else as the text): ints (gen_ai.request.max_tokens,
    gen_ai.request.choice.count, gen_ai.request.seed, gen_ai.usage.*_tokens,
    gen_ai.usage.cache_read.input_tokens,
    gen_ai.usage.cache_creation.input_tokens,
    gen_ai.embeddings.dimension.count, http.response.status_code,
    server.port, process.exit.code), doubles (gen_ai.request.temperature,
    top_p, top_k, frequency_penalty, presence_penalty,
    gen_ai.response.time_to_first_chunk) and string arrays from JSON array text
    (gen_ai.response.finish_reasons, gen_ai.request.stop_sequences,
    gen_ai.request.encoding_formats).

Resource and scope
    One ResourceSpans per tenant, in the order tenants first appear: the
    ``resource`` given to the encoder plus ``tenant.id`` (the tenant's UUID
    text, which replaces a ``tenant.id`` given in ``resource``). The scope is
    ``pelnorix`` with the companion's version.

Content
    ``ContentPolicy.include_content=False`` leaves out the prompt, response,
    action arguments and results and the content tags
    (``gen_ai.input.messages``, ``gen_ai.output.messages``,
    ``gen_ai.system_instructions``, ``gen_ai.tool.call.arguments``,
    ``gen_ai.tool.call.result``, ``gen_ai.tool.definitions``,
    ``gen_ai.prompt``, ``gen_ai.completion``); error messages stay.
    ``redact`` is called once for every non-empty text that carries content
    (the prompt and response before they are put in message form, each
    action's arguments and result, each content tag's whole value) and for the
    error message; it must return a str. ``max_attribute_bytes`` cuts every
    string attribute value, every element of a string array, the span name and
    the status message to at most that many UTF-8 bytes, on a character
    boundary (after redaction). The message forms made from the prompt and
    response are cut inside the text, so that they stay valid JSON within the
    cap; content tags are cut as text. The default, 128 KiB, keeps ordinary
    conversations whole and bounds what one span adds to a request.

Calls
    ``encode`` raises ``ValueError`` (naming the item and the byte) for a text
    that is not a pelnorix span document, and ``TypeError`` for an item that
    is not a (str, SpanLink or None) pair; an exception raised by ``redact``
    passes through unchanged. Without ``redact`` the encoding runs without
    holding the GIL, so other threads run meanwhile.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Final, Literal, NamedTuple

from . import __version__
from . import _otlp
from ._links import SpanLink

__all__ = [
    "DEFAULT_MAX_ATTRIBUTE_BYTES",
    "AttributeValue",
    "ContentPolicy",
    "RequestEncoder",
]

AttributeValue = str | bool | int | float

DEFAULT_MAX_ATTRIBUTE_BYTES: Final = 128 * 1024
"""The default cap of a string attribute value, in UTF-8 bytes."""

_CONTENT_TYPES: Final[dict[str, str]] = {
    "http/protobuf": "application/x-protobuf",
    "http/json": "application/json",
}
_SCOPE_NAME: Final = "pelnorix"
_INT64_RANGE: Final = range(-(2**63), 2**63)


class ContentPolicy(NamedTuple):
    """What of the recorded content leaves the process, and in which form."""

    include_content: bool = True
    """False: prompt, response, action arguments and results and the content tags are left out."""
    redact: Callable[[str], str] | None = None
    """Applied to every exported text that carries content or error text."""
    max_attribute_bytes: int | None = DEFAULT_MAX_ATTRIBUTE_BYTES
    """Every string attribute value is cut to at most this many UTF-8 bytes; None: no cap."""


def _checked_policy(content: ContentPolicy) -> ContentPolicy:
    if not isinstance(content, ContentPolicy):
        raise TypeError(f"content must be a ContentPolicy, not {type(content).__name__}")
    if not isinstance(content.include_content, bool):
        raise TypeError("ContentPolicy.include_content must be a bool")
    if content.redact is not None and not callable(content.redact):
        raise TypeError("ContentPolicy.redact must be callable or None")
    cap = content.max_attribute_bytes
    if cap is not None and (not isinstance(cap, int) or isinstance(cap, bool)):
        raise TypeError("ContentPolicy.max_attribute_bytes must be an int or None")
    if cap is not None and cap < 0:
        raise ValueError(f"ContentPolicy.max_attribute_bytes must not be negative, got {cap}")
    return content


def _checked_resource(resource: Mapping[str, AttributeValue]) -> dict[str, AttributeValue]:
    checked: dict[str, AttributeValue] = {}
    for key, value in resource.items():
        if not isinstance(key, str):
            raise TypeError(f"resource keys must be str, not {type(key).__name__}")
        if not isinstance(value, (str, bool, int, float)):
            raise TypeError(
                f"resource attribute {key!r} must be str, bool, int or float, "
                f"not {type(value).__name__}"
            )
        if isinstance(value, int) and not isinstance(value, bool) and value not in _INT64_RANGE:
            raise ValueError(f"resource attribute {key!r} does not fit 64 bits: {value}")
        checked[key] = value
    return checked


class RequestEncoder:
    """Encodes batches of span documents as OTLP/HTTP export request bodies."""

    content_type: str
    """The Content-Type of the bodies: application/x-protobuf or application/json."""

    def __init__(
        self,
        *,
        protocol: Literal["http/protobuf", "http/json"],
        resource: Mapping[str, AttributeValue],
        content: ContentPolicy = ContentPolicy(),
    ) -> None:
        if protocol not in _CONTENT_TYPES:
            raise ValueError(f"protocol must be 'http/protobuf' or 'http/json', got {protocol!r}")
        self.content_type = _CONTENT_TYPES[protocol]
        self._json = protocol == "http/json"
        self._resource = _checked_resource(resource)
        self._content = _checked_policy(content)

    def encode(self, items: Sequence[tuple[str, SpanLink | None]]) -> bytes:
        """Body of one ExportTraceServiceRequest with every item.

        An item is a span document (``span.to_json()``) with its link or None.
        Spans are grouped into ResourceSpans by tenant. Raises ValueError for
        a text that is not a pelnorix span document; an exception of
        ``redact`` passes through unchanged.
        """
        return _otlp.encode_request(
            items,
            self._resource,
            json=self._json,
            include_content=self._content.include_content,
            redact=self._content.redact,
            max_attribute_bytes=self._content.max_attribute_bytes,
            scope_name=_SCOPE_NAME,
            scope_version=__version__,
        )
