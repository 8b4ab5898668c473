"""What became of the spans handed to an exporter, as the user reads it."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from enum import StrEnum


class DropReason(StrEnum):
    """Why a span handed to the exporter was not delivered."""

    QUEUE_FULL = "queue_full"
    """Handed over while the queue held its most spans or bytes (the receiver is slow or down)."""
    SHUTDOWN = "shutdown"
    """Handed over after ``shutdown()``, or still waiting when its deadline passed."""
    UNREADABLE = "unreadable"
    """``to_json()`` or the encoder refused the span."""
    REDACTION_FAILED = "redaction_failed"
    """The redaction callback raised, or returned something other than a str, for one of its texts."""
    TOO_LARGE = "too_large"
    """Alone over ``max_request_bytes`` once encoded, or refused alone by the receiver with 413."""
    REJECTED = "rejected"
    """The receiver answered with a status that must not be retried (400, 401, 404, 500, ...)."""
    UNDELIVERED = "undelivered"
    """Connection failures or retryable statuses (429, 502, 503, 504) until the retry deadline."""
    INTERNAL_ERROR = "internal_error"
    """An unexpected error in the exporter itself (logged with its traceback)."""


@dataclass(frozen=True)
class ExportCounters:
    """A snapshot of an exporter's counters.

    Every span handed to ``export()`` is in exactly one place:
    ``handed_over == queued + sending + sent + dropped_total``.
    """

    handed_over: int
    """Calls of ``export()``."""
    queued: int
    """Spans waiting in the queue now."""
    queued_bytes: int
    """Estimated size of the spans waiting now (what the byte bound of the queue counts)."""
    sending: int
    """Spans the background thread has taken and not yet delivered or dropped."""
    sent: int
    """Spans in requests the receiver accepted (2xx)."""
    retried_requests: int
    """Requests sent again after a connection failure or a retryable status."""
    dropped: Mapping[DropReason, int]
    """Spans given up, by reason (every reason is present, most are 0)."""
    receiver_rejected_spans: int
    """OTLP spans the receiver reported as rejected in accepted requests (partial success).
    These count OTLP spans: one pelnorix span is exported as one span plus one per agent action."""

    @property
    def dropped_total(self) -> int:
        return sum(self.dropped.values())

    def __repr__(self) -> str:
        drops = {str(reason): count for reason, count in self.dropped.items() if count}
        return (
            f"ExportCounters(handed_over={self.handed_over}, queued={self.queued}, "
            f"queued_bytes={self.queued_bytes}, sending={self.sending}, sent={self.sent}, "
            f"retried_requests={self.retried_requests}, dropped={drops}, "
            f"receiver_rejected_spans={self.receiver_rejected_spans})"
        )
