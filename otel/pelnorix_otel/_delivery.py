"""Delivering one request body: retries with backoff, within a deadline.

Retried: connection failures (refused, reset, timed out) and the statuses the
OTLP protocol names as transient: 429, 502, 503 and 504. A Retry-After header
is honoured; the wait is never shorter than it. Any other status ends the
request at once. No wait runs past the deadline: when the next try could only
start after it, the request is given up.
"""

from __future__ import annotations

import gzip
import random
import threading
import time
from collections.abc import Callable, Mapping
from enum import Enum, auto

from ._http import Aborted, Connection, Response, TransportError, error_text, partial_success
from ._reporting import FailureLog

RETRYABLE_STATUSES = frozenset({429, 502, 503, 504})
FIRST_BACKOFF = 0.5
MAX_BACKOFF = 15.0

# Failure kinds that a delivered request ends.
DELIVERY = "delivery:"


class Outcome(Enum):
    DELIVERED = auto()
    TOO_LARGE = auto()
    """413: the receiver will not take a request this big."""
    REJECTED = auto()
    """A status that must not be retried."""
    UNDELIVERED = auto()
    """Transient failures until the deadline."""
    ABORTED = auto()
    """Ended from another thread (shutdown)."""


class Delivery:
    def __init__(
        self,
        *,
        url: str,
        headers: Mapping[str, str],
        content_type: str,
        gzip_bodies: bool,
        timeout: float,
        protobuf: bool,
        failures: FailureLog,
        on_retry: Callable[[], None],
        on_rejected: Callable[[int], None],
    ) -> None:
        self.url = url
        self.headers = request_headers(headers, content_type, gzip_bodies)
        self._gzip = gzip_bodies
        self._timeout = timeout
        self._protobuf = protobuf
        self._failures = failures
        self._on_retry = on_retry
        self._on_rejected = on_rejected
        self._abort = threading.Event()
        self._connection = Connection(url)
        self._random = random.Random()

    def wire_body(self, body: bytes) -> bytes:
        # Level 6 is gzip's usual trade; the body is compressed once, not per try.
        return gzip.compress(body, compresslevel=6, mtime=0) if self._gzip else body

    def send(self, body: bytes, deadline: float) -> Outcome:
        """Delivers ``body`` (not yet compressed), trying until ``deadline`` (a monotonic time)."""
        wire = self.wire_body(body)
        attempt = 0
        while True:
            remaining = deadline - time.monotonic()
            if self._abort.is_set():
                return Outcome.ABORTED
            if remaining <= 0:
                return Outcome.UNDELIVERED
            try:
                response = self._connection.post(wire, self.headers, min(self._timeout, remaining))
            except Aborted:
                return Outcome.ABORTED
            except TransportError as error:
                self._failures.failed(
                    DELIVERY + "connection",
                    f"cannot deliver spans to {self.url}: {type(error).__name__}: {error}; retrying",
                )
                wait = self._backoff(attempt)
            else:
                outcome = self._judge(response)
                if outcome is not None:
                    return outcome
                wait = max(self._backoff(attempt), response.retry_after or 0.0)
            if time.monotonic() + wait >= deadline:
                return Outcome.UNDELIVERED
            self._on_retry()
            if self._abort.wait(wait):
                return Outcome.ABORTED
            attempt += 1

    def abort(self) -> None:
        """Ends the request under way and every later one (any thread)."""
        self._abort.set()
        self._connection.abort()

    def forget_connection(self) -> None:
        self._connection.forget()

    def close(self) -> None:
        self._connection.close()

    def _judge(self, response: Response) -> Outcome | None:
        """The outcome of an answer, or None when it asks for another try."""
        status = response.status
        if 200 <= status < 300:
            for kind in self._failures.active(DELIVERY):
                self._failures.recovered(kind, f"spans reach {self.url} again")
            partial = partial_success(response, self._protobuf)
            if partial is None:
                self._failures.recovered("partial", f"{self.url} accepts every span again")
            else:
                self._on_rejected(partial.rejected_spans)
                self._failures.failed(
                    "partial",
                    f"{self.url} accepted a request partly: {partial.rejected_spans} spans rejected"
                    + (f": {partial.error_message}" if partial.error_message else ""),
                )
            return Outcome.DELIVERED
        reason = error_text(response)
        detail = f"{self.url} answered {status}" + (f": {reason}" if reason else "")
        if status == 413:
            return Outcome.TOO_LARGE
        if status in RETRYABLE_STATUSES:
            self._failures.failed(DELIVERY + f"status {status}", f"{detail}; retrying")
            return None
        self._failures.failed(DELIVERY + f"status {status}", f"{detail}; its spans are dropped")
        return Outcome.REJECTED

    def _backoff(self, attempt: int) -> float:
        # Exponential, with jitter so that many processes that lost the same
        # collector do not come back in step: half to all of the nominal wait.
        nominal = min(MAX_BACKOFF, FIRST_BACKOFF * 2.0**attempt)
        return nominal * (0.5 + 0.5 * self._random.random())


def request_headers(user: Mapping[str, str], content_type: str, gzip_bodies: bool) -> dict[str, str]:
    """The user's headers, then the ones the body needs (which win over the user's)."""
    own = {"Content-Type": content_type}
    if gzip_bodies:
        own["Content-Encoding"] = "gzip"
    reserved = {name.lower() for name in own} | {"content-length", "host", "transfer-encoding"}
    headers = {name: value for name, value in user.items() if name.lower() not in reserved}
    if not any(name.lower() == "user-agent" for name in headers):
        headers["User-Agent"] = "pelnorix-otel/0.3.0"
    headers.update(own)
    return headers
