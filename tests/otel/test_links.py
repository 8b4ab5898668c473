"""The OTLP identifiers the companion derives from pelnorix identifiers."""

from __future__ import annotations

import pelnorix
from pelnorix_otel._links import otlp_span_id, otlp_trace_id


def test_identifiers_are_the_uuid_bytes_in_hex() -> None:
    span = pelnorix.TamloxTracer().start_span("chat", "openai", "gpt-4")
    trace_hex = bytes.fromhex(otlp_trace_id(span.trace_id))
    span_hex = bytes.fromhex(otlp_span_id(span.span_id))
    assert len(trace_hex) == 16 and trace_hex.hex() == span.trace_id.replace("-", "")
    assert len(span_hex) == 8 and span_hex.hex() == span.span_id.replace("-", "")[16:]
