"""Where finished spans go: the sink protocol, the process default and an in-memory collector.

A sink is any object with ``export(span, *, link=...)``, such as ``OTLPExporter``. Captured calls
and steps hand every finished span to a sink with the link it belongs under; a failing sink never
reaches the caller's code (its failure is logged, once per kind).
"""

from __future__ import annotations

import logging
import threading
from typing import NamedTuple, Protocol

import pelnorix

from ._links import SpanLink, current_link, otlp_span_id, otlp_trace_id

_log = logging.getLogger("pelnorix_otel")


class Sink(Protocol):
    """What receives finished spans: ``OTLPExporter``, ``SpanCollector`` or an object of yours."""

    def export(self, span: pelnorix.TraceSpan, *, link: SpanLink | None = ...) -> object: ...


class _Defaults:
    sink: Sink | None = None
    tracer: pelnorix.TamloxTracer | None = None
    lock = threading.Lock()


def set_sink(sink: Sink | None, *, tracer: pelnorix.TamloxTracer | None = None) -> None:
    """Make ``sink`` (and ``tracer``, when given) the process default of captured calls and steps.

    Whatever names its own sink or tracer (an argument of ``capture``, ``capture_all`` or ``step``,
    or the enclosing step's) uses that instead. ``set_sink(None)`` removes the default sink; spans
    that then have none are dropped with a logged warning.
    """
    with _Defaults.lock:
        _Defaults.sink = sink
        if tracer is not None:
            _Defaults.tracer = tracer


def default_sink() -> Sink | None:
    """The sink set by ``set_sink``, or None."""
    return _Defaults.sink


def default_tracer() -> pelnorix.TamloxTracer:
    """The tracer set by ``set_sink``, else one default tracer made on first use."""
    tracer = _Defaults.tracer
    if tracer is None:
        with _Defaults.lock:
            if _Defaults.tracer is None:
                _Defaults.tracer = pelnorix.TamloxTracer()
            tracer = _Defaults.tracer
    return tracer


_logged: set[str] = set()


def log_once(kind: str, message: str, *args: object) -> None:
    """Log a warning the first time a kind of failure happens, not on every span."""
    if kind not in _logged:
        _logged.add(kind)
        _log.warning(message, *args, exc_info=kind.startswith("exc:"))


def deliver(span: pelnorix.TraceSpan, link: SpanLink | None, sink: Sink | None) -> None:
    """Hand a finished span to its sink (else the process default); never raises."""
    target = sink if sink is not None else _Defaults.sink
    if target is None:
        log_once(
            "no-sink",
            "pelnorix_otel: a finished span has no sink and is dropped; "
            "call pelnorix_otel.set_sink(...) or pass sink=",
        )
        return
    try:
        target.export(span, link=link)
    except Exception as exc:  # a sink's failure must not reach the traced code
        log_once(f"exc:sink:{type(exc).__qualname__}", "pelnorix_otel: the sink failed: %s", exc)


class CollectedSpan(NamedTuple):
    """One span a ``SpanCollector`` received, with the link it was handed over with."""

    span: pelnorix.TraceSpan
    link: SpanLink | None

    @property
    def trace_id(self) -> str:
        """The 32-digit OTLP trace identifier the span is exported under."""
        return self.link.trace_id if self.link else otlp_trace_id(self.span.trace_id)

    @property
    def span_id(self) -> str:
        """The 16-digit OTLP span identifier."""
        return otlp_span_id(self.span.span_id)

    @property
    def parent_span_id(self) -> str | None:
        return self.link.parent_span_id if self.link else None


_CURRENT: SpanLink | None = SpanLink("", "")  # stands for "the link current at hand-off"


class SpanCollector:
    """A sink that keeps what it receives in memory, for tests and for printing a trace.

    ``forward`` passes every span on to another sink as well (an exporter, say). Thread-safe.
    """

    def __init__(self, *, forward: Sink | None = None) -> None:
        self._items: list[CollectedSpan] = []
        self._lock = threading.Lock()
        self._forward = forward

    def export(self, span: pelnorix.TraceSpan, *, link: SpanLink | None = _CURRENT) -> bool:
        """Keep ``span``; ``link`` omitted means the link current in the calling context."""
        if link is _CURRENT:
            link = current_link.get()
        with self._lock:
            self._items.append(CollectedSpan(span, link))
        if self._forward is not None:
            self._forward.export(span, link=link)
        return True

    @property
    def collected(self) -> list[CollectedSpan]:
        """What was received so far, in the order it arrived (children before their parents)."""
        with self._lock:
            return list(self._items)

    @property
    def spans(self) -> list[pelnorix.TraceSpan]:
        return [item.span for item in self.collected]

    def clear(self) -> None:
        with self._lock:
            self._items.clear()

    def render(self) -> str:
        """The collected traces as indented text, one line per span, parents above children."""
        items = self.collected
        known = {item.span_id for item in items}
        children: dict[str | None, list[CollectedSpan]] = {}
        for item in items:
            parent = item.parent_span_id if item.parent_span_id in known else None
            children.setdefault(parent, []).append(item)
        for group in children.values():
            group.sort(key=lambda item: str(item.span.to_dict()["start_time"]))
        lines: list[str] = []

        def walk(item: CollectedSpan, depth: int) -> None:
            lines.append("  " * depth + _describe(item.span))
            for child in children.get(item.span_id, []):
                walk(child, depth + 1)

        for root in children.get(None, []):
            lines.append(f"trace {root.trace_id}")
            walk(root, 1)
        return "\n".join(lines)


def _describe(span: pelnorix.TraceSpan) -> str:
    document = span.to_dict()
    parts = [f"{span.operation_name} {span.model_name}".rstrip()]
    if span.duration_ms is not None:
        parts.append(f"{span.duration_ms} ms")
    if span.prompt_tokens is not None or span.completion_tokens is not None:
        parts.append(f"tokens {span.prompt_tokens}/{span.completion_tokens}")
    if document["time_to_first_token_ms"] is not None:
        parts.append(f"first token {document['time_to_first_token_ms']} ms")
    if span.is_failed:
        parts.append(f"FAILED {span.error_message}")
    elif span.response:
        response = span.response.replace("\n", " | ")
        parts.append(repr(response if len(response) <= 60 else response[:57] + "..."))
    return "  ".join(parts)
