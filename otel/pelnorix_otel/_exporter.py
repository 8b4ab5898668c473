"""The OTLP/HTTP exporter: finished spans leave the process without costing the application.

``export()`` only puts the span in a bounded queue; one background thread reads
the queued spans (through ``to_json()`` alone), encodes them in batches and sends
them. Nothing the receiver does (refusing, hanging, going away) reaches the
thread that recorded the span: it is retried within a deadline, or counted as a
drop and logged.

Why ``to_json()`` alone: it is native and never lets another thread run while it
holds the span, so the application can go on recording on the span while the
background thread reads it. ``to_dict()`` runs ``json.loads`` while holding the
span, and the application's next recording call on that span would be refused.
"""

from __future__ import annotations

import atexit
import os
import threading
import time
import weakref
from collections import Counter, deque
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from enum import Enum
from types import MappingProxyType, TracebackType
from typing import Literal, Self

import pelnorix

from ._counters import DropReason, ExportCounters
from ._delivery import Delivery, Outcome
from ._encoding import AttributeValue, ContentPolicy, RequestEncoder
from ._links import SpanLink, current_link
from ._reporting import FailureLog, logger
from ._requests import Item, RedactionFailed, encode_fitting, guarded
from ._settings import ExporterSettings, resolve

_TraceSpan = pelnorix.TraceSpan

# The size a span is counted with in the queue's byte bound, from what its
# properties tell cheaply: the document's fixed part, the texts, and each
# action (whose result is capped at 4096 bytes; its arguments are not).
_SPAN_BYTES = 700
_ACTION_BYTES = 600

# Of a shutdown's time, what is kept for the background thread to give up
# the request under way once it is aborted.
_ABORT_GRACE = 0.25

# Pauses between reads of a span that another thread holds (see _json_of).
_BORROW_PAUSES = (0.0005, 0.005, 0.05)


class _Omitted(Enum):
    LINK = "<the current link>"


_Entry = tuple[int, pelnorix.TraceSpan, SpanLink | None, int]
"""A queued span: its sequence number, the span, its link, its estimated size."""

_OUTCOME_DROPS = {
    Outcome.TOO_LARGE: DropReason.TOO_LARGE,
    Outcome.REJECTED: DropReason.REJECTED,
    Outcome.UNDELIVERED: DropReason.UNDELIVERED,
    Outcome.ABORTED: DropReason.SHUTDOWN,
}


@dataclass(frozen=True)
class PreparedRequest:
    """One request exactly as the exporter would send it."""

    url: str
    body: bytes
    """The bytes POSTed: ``payload``, gzip-compressed when compression is gzip."""
    payload: bytes
    """The encoded ExportTraceServiceRequest (protobuf, or JSON text as UTF-8)."""
    span_count: int
    """pelnorix spans in the request (each agent action adds one more OTLP span)."""
    headers: Mapping[str, str] = field(repr=False)
    """Every request header, the user's included (often an API key, hence left out of ``repr``)."""


class OTLPExporter:
    """Sends pelnorix spans to an OpenTelemetry collector or backend over OTLP/HTTP.

    Hand each finished span to ``export()``; at interpreter exit the exporter
    flushes what is queued for at most ``exit_timeout`` seconds. Settings not
    given here come from the standard ``OTEL_EXPORTER_OTLP_*`` variables.
    """

    def __init__(
        self,
        *,
        endpoint: str | None = None,
        tracer: pelnorix.TamloxTracer | None = None,
        headers: Mapping[str, str] | None = None,
        protocol: Literal["http/protobuf", "http/json"] | None = None,
        compression: Literal["gzip", "none"] | None = None,
        timeout: float | None = None,
        service_name: str | None = None,
        resource_attributes: Mapping[str, AttributeValue] | None = None,
        content: ContentPolicy = ContentPolicy(),
        max_queue_spans: int | None = None,
        max_queue_bytes: int = 32 * 1024 * 1024,
        max_batch_spans: int | None = None,
        max_request_bytes: int = 4 * 1024 * 1024,
        schedule_delay: float | None = None,
        retry_deadline: float = 30.0,
        exit_timeout: float = 5.0,
    ) -> None:
        if not isinstance(content, ContentPolicy):
            raise TypeError(f"content must be a ContentPolicy, not {type(content).__name__}")
        self._settings = settings = resolve(
            endpoint=endpoint,
            tracer_endpoint=tracer.endpoint if tracer is not None else None,
            headers=headers,
            protocol=protocol,
            compression=compression,
            timeout=timeout,
            service_name=service_name,
            resource_attributes=resource_attributes,
            max_queue_spans=max_queue_spans,
            max_queue_bytes=max_queue_bytes,
            max_batch_spans=max_batch_spans,
            max_request_bytes=max_request_bytes,
            schedule_delay=schedule_delay,
            retry_deadline=retry_deadline,
            exit_timeout=exit_timeout,
        )
        self._encoder = RequestEncoder(
            protocol=settings.protocol, resource=settings.resource, content=guarded(content)
        )
        # Copies of the bounds export() reads on every call.
        self._max_queue_spans = settings.max_queue_spans
        self._max_queue_bytes = settings.max_queue_bytes
        self._max_batch_spans = settings.max_batch_spans
        self._max_request_bytes = settings.max_request_bytes
        self._closed = False
        self._reset()
        _all_exporters.add(self)

    def _reset(self) -> None:
        """A fresh pipeline: made with the exporter, and again in a forked child."""
        self._failures = FailureLog()
        self._delivery = Delivery(
            url=self._settings.endpoint,
            headers=self._settings.headers,
            content_type=self._encoder.content_type,
            gzip_bodies=self._settings.compression == "gzip",
            timeout=self._settings.timeout,
            protobuf=self._settings.protocol == "http/protobuf",
            failures=self._failures,
            on_retry=self._count_retry,
            on_rejected=self._count_rejected,
        )
        self._lock = threading.Lock()
        self._progress = threading.Condition(self._lock)
        self._wake = threading.Event()
        self._queue: deque[_Entry] = deque()
        self._queued_bytes = 0
        self._accepted = 0
        """Sequence number of the last accepted span."""
        self._flush_up_to = 0
        """Spans up to this sequence number are to be sent without waiting for a full batch."""
        self._sending = 0
        self._sending_from: int | None = None
        """Sequence number of the first span of the batch under way, or None."""
        self._handed_over = self._sent = self._retried = self._rejected_spans = 0
        self._dropped = dict.fromkeys(DropReason, 0)
        self._queue_drops_logged = 0
        self._worker: threading.Thread | None = None
        self._no_thread = False
        """No thread could be started (interpreter exit): flush() sends on the caller's thread."""
        self._stopping = False

    # The application's side ---------------------------------------------------

    @property
    def settings(self) -> ExporterSettings:
        return self._settings

    def export(
        self,
        span: pelnorix.TraceSpan,
        *,
        link: SpanLink | None | Literal[_Omitted.LINK] = _Omitted.LINK,
    ) -> bool:
        """Hands a span over for sending; False when it was dropped (counted).

        Never blocks on the network. The span is read later, on the background
        thread: hand it over when it is finished. ``link`` places it in a larger
        trace; left out, it is the current link of the nesting helpers (None
        outside them); ``None`` makes the span a root.
        """
        if link is _Omitted.LINK:
            link = current_link.get()
        elif link is not None and type(link) is not SpanLink:
            raise TypeError(f"link must be a SpanLink or None, not {type(link).__name__}")
        if type(span) is not _TraceSpan:
            raise TypeError(f"export() takes a pelnorix.TraceSpan, not {type(span).__name__}")
        size = _estimated_size(span)
        with self._lock:
            self._handed_over += 1
            if self._closed:
                self._dropped[DropReason.SHUTDOWN] += 1
                return False
            queue = self._queue
            queued_bytes = self._queued_bytes + size
            # A span larger than the whole byte bound still goes into an empty
            # queue: once its texts are capped it may well be sendable.
            if len(queue) >= self._max_queue_spans or (queued_bytes > self._max_queue_bytes and queue):
                self._dropped[DropReason.QUEUE_FULL] += 1
                return False
            self._accepted += 1
            queue.append((self._accepted, span, link, size))
            self._queued_bytes = queued_bytes
            if self._worker is None and not self._no_thread:
                self._start_worker()
            # Wake the thread when a batch is full, not on every span.
            batch_full = len(queue) == self._max_batch_spans or (
                queued_bytes >= self._max_request_bytes > queued_bytes - size
            )
        if batch_full:
            self._wake.set()
        return True

    def flush(self, timeout: float = 10.0) -> bool:
        """Sends what was handed over before this call, waiting at most ``timeout`` seconds.

        True when every one of those spans was delivered or dropped (the
        counters tell which) in time; False when the deadline came first.
        """
        deadline = time.monotonic() + _seconds("timeout", timeout)
        with self._lock:
            target = self._accepted
            if self._settled(target):
                return True
            self._flush_up_to = max(self._flush_up_to, target)
            inline = self._worker is None
        if inline:
            return self._send_here(target, deadline)
        self._wake.set()
        with self._progress:
            while not self._settled(target):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self._progress.wait(remaining)
        return True

    def shutdown(self, timeout: float = 10.0) -> bool:
        """Flushes for at most ``timeout`` seconds, then stops; later spans are dropped (counted).

        Spans still waiting or under way at the deadline are dropped and counted
        as ``shutdown``. True when everything was delivered or dropped for
        another reason in time and the background thread has ended.
        """
        timeout = _seconds("timeout", timeout)
        deadline = time.monotonic() + timeout
        with self._lock:
            self._closed = True
            dropped_before = self._dropped[DropReason.SHUTDOWN]
        # The last part of the time is kept for the background thread to
        # account for the request it abandons.
        flushed = self.flush(timeout - min(_ABORT_GRACE, timeout / 5))
        self._delivery.abort()
        with self._lock:
            self._stopping = True
            self._dropped[DropReason.SHUTDOWN] += len(self._queue)
            self._queue.clear()
            self._queued_bytes = 0
            self._progress.notify_all()
            worker = self._worker
        self._wake.set()
        if worker is not None and worker is not threading.current_thread():
            worker.join(max(0.0, deadline - time.monotonic()))
        stopped = worker is None or not worker.is_alive()
        with self._lock:
            lost = self._dropped[DropReason.SHUTDOWN] - dropped_before
            under_way = self._sending
        if lost or under_way:
            logger.warning(
                "pelnorix_otel: shutdown: %d spans for %s dropped at the deadline%s",
                lost,
                self._settings.endpoint,
                f", {under_way} still under way" if under_way else "",
            )
        if stopped:
            self._delivery.close()
            _running.discard(self)
        return flushed and stopped

    def counters(self) -> ExportCounters:
        """A snapshot of what became of the spans handed over so far."""
        with self._lock:
            return ExportCounters(
                handed_over=self._handed_over,
                queued=len(self._queue),
                queued_bytes=self._queued_bytes,
                sending=self._sending,
                sent=self._sent,
                retried_requests=self._retried,
                dropped=MappingProxyType(dict(self._dropped)),
                receiver_rejected_spans=self._rejected_spans,
            )

    def prepare(
        self,
        spans: Iterable[pelnorix.TraceSpan],
        *,
        link: SpanLink | None | Literal[_Omitted.LINK] = _Omitted.LINK,
    ) -> list[PreparedRequest]:
        """The requests that would carry these spans, built now, on this thread; nothing is sent.

        They are split as the background thread would split them. A span that
        cannot be encoded raises here (the redaction callback's own exception,
        ``ValueError`` for a span over ``max_request_bytes``) instead of being dropped.
        """
        if link is _Omitted.LINK:
            link = current_link.get()
        items: list[Item] = [(span.to_json(), link) for span in spans]
        encoded = encode_fitting(self._encoder, items, self._max_request_bytes)
        for error in encoded.first_errors.values():
            raise error.original if isinstance(error, RedactionFailed) else error
        delivery = self._delivery
        return [
            PreparedRequest(
                url=delivery.url,
                body=delivery.wire_body(payload),
                payload=payload,
                span_count=len(part),
                headers=MappingProxyType(dict(delivery.headers)),
            )
            for payload, part in encoded.bodies
        ]

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.shutdown()

    def __repr__(self) -> str:
        s = self._settings
        return f"OTLPExporter(endpoint={s.endpoint!r}, protocol={s.protocol!r}, compression={s.compression!r})"

    # The background thread ----------------------------------------------------

    def _start_worker(self) -> None:  # lock held
        worker = threading.Thread(target=self._run, name="pelnorix-otel-export", daemon=True)
        try:
            worker.start()
        except RuntimeError:
            # "can't create new thread at interpreter shutdown": the spans stay
            # queued and the final flush sends them on its own thread.
            self._no_thread = True
        else:
            self._worker = worker
        _running.add(self)

    def _run(self) -> None:
        timed_out = False
        while True:
            with self._lock:
                if self._stopping:
                    return
                batch = self._take_batch(timed_out)
            self._log_queue_drops()
            if batch is not None:
                self._process(batch, time.monotonic() + self._settings.retry_deadline)
                timed_out = False
                continue
            timed_out = not self._wake.wait(self._settings.schedule_delay)
            self._wake.clear()

    def _take_batch(self, due: bool) -> list[_Entry] | None:  # lock held
        """The next batch when one is due (full, flushed, or its delay passed), else None."""
        queue = self._queue
        if not queue:
            return None
        due = (
            due
            or self._closed
            or queue[0][0] <= self._flush_up_to
            or len(queue) >= self._max_batch_spans
            or self._queued_bytes >= self._max_request_bytes
        )
        if not due:
            return None
        batch: list[_Entry] = []
        size = 0
        while queue and len(batch) < self._max_batch_spans:
            entry_size = queue[0][3]
            if batch and size + entry_size > self._max_request_bytes:
                break
            batch.append(queue.popleft())
            size += entry_size
        self._queued_bytes -= size
        self._sending = len(batch)
        self._sending_from = batch[0][0]
        return batch

    def _send_here(self, target: int, deadline: float) -> bool:
        """flush() without a background thread: sends on the caller's thread until the deadline."""
        while True:
            with self._lock:
                if self._settled(target):
                    return True
                if self._sending_from is not None or time.monotonic() >= deadline:
                    return False
                batch = self._take_batch(True)
            if batch is not None:
                self._process(batch, min(deadline, time.monotonic() + self._settings.retry_deadline))

    def _process(self, batch: list[_Entry], deadline: float) -> None:
        """Delivers a batch or counts each of its spans as dropped; never raises."""
        try:
            self._deliver(batch, deadline)
        except BaseException as error:  # a fault of the exporter must not end its thread
            logger.error("pelnorix_otel: internal error while exporting", exc_info=error)
            with self._lock:
                self._dropped[DropReason.INTERNAL_ERROR] += self._sending
        finally:
            with self._lock:
                self._sending = 0
                self._sending_from = None
                self._progress.notify_all()

    def _deliver(self, batch: list[_Entry], deadline: float) -> None:
        dropped: Counter[DropReason] = Counter()
        errors: dict[DropReason, BaseException] = {}

        def drop(reason: DropReason, count: int, error: BaseException | None = None) -> None:
            dropped[reason] += count
            if error is not None:
                errors.setdefault(reason, error)
            self._settle({reason: count})

        items: list[Item] = []
        for _, span, link, _ in batch:
            try:
                items.append((_json_of(span), link))
            except Exception as error:
                drop(DropReason.UNREADABLE, 1, error)
        pending = [encode_fitting(self._encoder, items, self._max_request_bytes)]
        while pending:
            encoded = pending.pop()
            for reason, count in encoded.dropped.items():
                drop(reason, count, encoded.first_errors.get(reason))
            for body, part in encoded.bodies:
                outcome = self._delivery.send(body, deadline)
                if outcome is Outcome.DELIVERED:
                    self._settle(sent=len(part))
                elif outcome is Outcome.TOO_LARGE and len(part) > 1:
                    # 413: the receiver's limit is below ours; the halves may pass.
                    middle = len(part) // 2
                    for half in (part[middle:], part[:middle]):
                        pending.append(encode_fitting(self._encoder, half, self._max_request_bytes))
                elif outcome is Outcome.TOO_LARGE:
                    drop(DropReason.TOO_LARGE, 1, ValueError(f"{self._settings.endpoint} answered 413"))
                else:
                    drop(_OUTCOME_DROPS[outcome], len(part))
                    if outcome is Outcome.UNDELIVERED:
                        self._failures.failed(
                            "delivery:gave up",
                            f"spans dropped as undelivered: {self._settings.endpoint} did not take "
                            f"them within the retry deadline ({self._settings.retry_deadline:g} s)",
                        )
        self._log_content_drops(dropped, errors)

    def _settle(self, dropped: Mapping[DropReason, int] = MappingProxyType({}), *, sent: int = 0) -> None:
        with self._lock:
            self._sent += sent
            self._sending -= sent
            for reason, count in dropped.items():
                self._dropped[reason] += count
                self._sending -= count
            self._progress.notify_all()

    def _settled(self, target: int) -> bool:  # lock held
        """Whether every span up to sequence number ``target`` was delivered or dropped."""
        if self._sending_from is not None and self._sending_from <= target:
            return False
        return not self._queue or self._queue[0][0] > target

    def _count_retry(self) -> None:
        with self._lock:
            self._retried += 1

    def _count_rejected(self, spans: int) -> None:
        with self._lock:
            self._rejected_spans += spans

    # Logging, from the background thread only: export() never logs, a logging
    # handler that blocks must not block the application's thread.

    _CONTENT_FAILURES = {
        DropReason.UNREADABLE: ("a span could not be read or encoded", "spans can be encoded again"),
        DropReason.REDACTION_FAILED: ("the redaction callback failed", "the redaction callback works again"),
        DropReason.TOO_LARGE: ("a span is too large for one request", "spans fit in requests again"),
    }

    def _log_content_drops(
        self, dropped: Mapping[DropReason, int], errors: Mapping[DropReason, BaseException]
    ) -> None:
        for reason, (failure, recovery) in self._CONTENT_FAILURES.items():
            kind = f"content:{reason}"
            if dropped.get(reason):
                error = errors.get(reason)
                detail = f"{type(error).__name__}: {error}" if error is not None else ""
                self._failures.failed(
                    kind,
                    f"{failure} ({detail}); {dropped[reason]} spans dropped as {reason}",
                )
            else:
                self._failures.recovered(kind, recovery)

    def _log_queue_drops(self) -> None:
        with self._lock:
            total = self._dropped[DropReason.QUEUE_FULL]
            new = total - self._queue_drops_logged
            self._queue_drops_logged = total
        if new:
            self._failures.failed(
                "queue",
                f"the queue is full ({self._max_queue_spans} spans or {self._max_queue_bytes} bytes): "
                f"spans are dropped as queue_full while {self._settings.endpoint} is slow or down",
            )
        else:
            self._failures.recovered("queue", "the queue takes spans again")

    def _after_fork_in_child(self) -> None:
        # The parent's queued spans are the parent's to send; the inherited
        # connection is the parent's too. Locks are made anew: another thread
        # of the parent may have held them at the moment of the fork.
        self._delivery.forget_connection()
        self._reset()


def _estimated_size(span: pelnorix.TraceSpan) -> int:
    # Each property read copies its text; a span with a response is rarely
    # one with an error too, so the error message is read only without one.
    try:
        prompt = span.prompt
        actions = span.agent_actions_count
        last = span.response
        if last is None:
            last = span.error_message or ""
    except RuntimeError:  # held by another thread's recording call: a round guess
        return _SPAN_BYTES + 4096
    size = _SPAN_BYTES + _ACTION_BYTES * actions
    size += len(prompt) if prompt.isascii() else 3 * len(prompt)
    return size + (len(last) if last.isascii() else 3 * len(last))


def _json_of(span: pelnorix.TraceSpan) -> str:
    # A recording call of another thread that runs Python code while it holds
    # the span (an argument's __index__, say) makes to_json() refuse with
    # RuntimeError; it lets go once that call returns.
    for pause in _BORROW_PAUSES:
        try:
            return span.to_json()
        except RuntimeError:
            time.sleep(pause)
    return span.to_json()


def _seconds(what: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
        raise ValueError(f"{what} must be a number of seconds, not {value!r}")
    return float(value)


# Exporters whose thread runs are shut down at interpreter exit, within the
# longest exit_timeout among them. Every exporter is renewed in a forked child.
_running: set[OTLPExporter] = set()
_all_exporters: weakref.WeakSet[OTLPExporter] = weakref.WeakSet()


def _shutdown_at_exit() -> None:
    exporters = list(_running)
    if not exporters:
        return
    deadline = time.monotonic() + max(e.settings.exit_timeout for e in exporters)
    for exporter in exporters:
        try:
            exporter.shutdown(max(0.0, deadline - time.monotonic()))
        except Exception:
            logger.exception("pelnorix_otel: shutdown at exit failed")


def _after_fork_in_child() -> None:
    _running.clear()
    for exporter in list(_all_exporters):
        exporter._after_fork_in_child()


atexit.register(_shutdown_at_exit)
os.register_at_fork(after_in_child=_after_fork_in_child)
