"""Where a span sits in a trace of more than one span.

A pelnorix span carries its own random trace identifier and no parent. When
spans nest (an agent run, the tool steps and LLM calls inside it), the
companion keeps the relation beside the span as a ``SpanLink`` and the
exporter writes it in place of the span's own trace identifier.

OTLP span identifiers are 8 bytes; a pelnorix span or action identifier is a
16-byte UUID. The OTLP identifier is the UUID's last 8 bytes (its last two
groups): 62 random bits, the variant bits being fixed.
"""

from __future__ import annotations

from contextvars import ContextVar
from typing import NamedTuple


class SpanLink(NamedTuple):
    """The trace a span belongs to and the span it hangs under."""

    trace_id: str
    """The trace's identifier: 32 lower-case hexadecimal digits."""
    parent_span_id: str
    """The OTLP identifier of the parent span: 16 lower-case hexadecimal digits."""


def otlp_trace_id(uuid_text: str) -> str:
    """The 32-digit OTLP trace identifier of a pelnorix trace identifier."""
    return uuid_text.replace("-", "")


def otlp_span_id(uuid_text: str) -> str:
    """The 16-digit OTLP span identifier of a pelnorix span or action identifier."""
    return uuid_text[19:23] + uuid_text[24:36]


# The link that a span started, or handed to an exporter, inside a traced
# step receives. None outside every step.
current_link: ContextVar[SpanLink | None] = ContextVar("pelnorix_otel.current_link", default=None)
