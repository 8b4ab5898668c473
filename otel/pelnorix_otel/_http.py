"""One keep-alive HTTP connection to the receiver, and reading its answers.

Every socket operation is bounded by the timeout of the request, and another
thread can abort a request that is under way (``shutdown()`` does, when its
deadline passes while the receiver hangs).
"""

from __future__ import annotations

import email.utils
import http.client
import json
import socket
import ssl
import threading
import time
from dataclasses import dataclass
from datetime import timezone
from urllib.parse import urlsplit

# The answer to an export is small; a receiver that sends more is not read further.
MAX_RESPONSE_BYTES = 64 * 1024

TransportError = (OSError, http.client.HTTPException)
"""What a request raises when no HTTP answer came back."""


@dataclass(frozen=True)
class Response:
    status: int
    body: bytes
    content_type: str
    retry_after: float | None
    """Seconds the receiver asked to wait before the next try (Retry-After), or None."""


class Aborted(Exception):
    """The request was aborted from another thread."""


class Connection:
    def __init__(self, url: str) -> None:
        parts = urlsplit(url)
        self._https = parts.scheme == "https"
        self._host = parts.hostname or ""
        self._port = parts.port
        self._target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self._context = ssl.create_default_context() if self._https else None
        self._lock = threading.Lock()
        self._connection: http.client.HTTPConnection | None = None
        self._aborted = False

    def post(self, body: bytes, headers: dict[str, str], timeout: float) -> Response:
        """Sends one request; raises a ``TransportError`` or ``Aborted`` when no answer came."""
        connection, reused = self._open(timeout)
        try:
            try:
                return self._exchange(connection, body, headers)
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                # A kept-alive connection the receiver had closed meanwhile: one
                # more try on a fresh connection is not a retry of a failure.
                if not reused:
                    raise
                self._drop(connection)
                connection, _ = self._open(timeout)
                return self._exchange(connection, body, headers)
        except BaseException:
            self._drop(connection)
            if self._aborted:
                raise Aborted() from None
            raise

    def abort(self) -> None:
        """Makes the request under way, and every later one, fail at once. Any thread may call it."""
        with self._lock:
            self._aborted = True
            connection = self._connection
        sock = connection.sock if connection is not None else None
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def forget(self) -> None:
        """Drops the connection without telling the peer: in a forked child, it is the parent's.

        The child has one thread, and the lock may have been held by another
        thread of the parent when it forked, so the lock is not taken.
        """
        connection, self._connection = self._connection, None
        self._lock = threading.Lock()
        if connection is not None and connection.sock is not None:
            # close() on the inherited descriptor does not end the parent's
            # connection; shutdown() would.
            connection.sock.close()
            connection.sock = None

    def close(self) -> None:
        with self._lock:
            connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()

    def _open(self, timeout: float) -> tuple[http.client.HTTPConnection, bool]:
        with self._lock:
            if self._aborted:
                raise Aborted()
            connection = self._connection
            if connection is None:
                if self._context is not None:
                    connection = http.client.HTTPSConnection(
                        self._host, self._port, timeout=timeout, context=self._context
                    )
                else:
                    connection = http.client.HTTPConnection(self._host, self._port, timeout=timeout)
                self._connection = connection
                return connection, False
        connection.timeout = timeout
        if connection.sock is not None:
            connection.sock.settimeout(timeout)
            return connection, True
        return connection, False

    def _drop(self, connection: http.client.HTTPConnection) -> None:
        with self._lock:
            if self._connection is connection:
                self._connection = None
        connection.close()

    def _exchange(
        self, connection: http.client.HTTPConnection, body: bytes, headers: dict[str, str]
    ) -> Response:
        connection.request("POST", self._target, body=body, headers=headers)
        answer = connection.getresponse()
        data = answer.read(MAX_RESPONSE_BYTES)
        if not answer.isclosed() or answer.will_close:
            # Unread body left, or the receiver closes: this connection is done.
            self._drop(connection)
        return Response(
            status=answer.status,
            body=data,
            content_type=(answer.getheader("Content-Type") or "").lower(),
            retry_after=retry_after_seconds(answer.getheader("Retry-After")),
        )


def retry_after_seconds(value: str | None, now: float | None = None) -> float | None:
    """Retry-After as seconds from ``now``: delay-seconds or an HTTP date; None when unusable."""
    if value is None:
        return None
    value = value.strip()
    if value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=timezone.utc)
    return max(0.0, when.timestamp() - (time.time() if now is None else now))


# Answers ----------------------------------------------------------------------


@dataclass(frozen=True)
class PartialSuccess:
    rejected_spans: int
    error_message: str


def partial_success(response: Response, protobuf: bool) -> PartialSuccess | None:
    """The ``partial_success`` of an ExportTraceServiceResponse, or None when there is none.

    The answer comes in the encoding of the request; a receiver that says which
    content type it sent is believed.
    """
    if not response.body:
        return None
    if "json" in response.content_type:
        protobuf = False
    elif "protobuf" in response.content_type:
        protobuf = True
    try:
        if protobuf:
            fields = _protobuf_fields(response.body)
            inner = fields.get(1)
            if not isinstance(inner, bytes):
                return None
            details = _protobuf_fields(inner)
            rejected, message = details.get(1, 0), details.get(2, b"")
            rejected_spans = rejected if isinstance(rejected, int) else 0
            text = message.decode("utf-8", "replace") if isinstance(message, bytes) else ""
        else:
            document = json.loads(response.body)
            inner = document.get("partialSuccess", document.get("partial_success"))
            if not isinstance(inner, dict):
                return None
            rejected_spans = int(inner.get("rejectedSpans", inner.get("rejected_spans", 0)) or 0)
            text = str(inner.get("errorMessage", inner.get("error_message", "")) or "")
    except (ValueError, TypeError, AttributeError):
        return None
    if rejected_spans == 0 and not text:
        return None
    return PartialSuccess(rejected_spans, text)


def error_text(response: Response) -> str:
    """A short readable reason from an error answer: a google.rpc.Status message, or the text."""
    message = ""
    try:
        if "protobuf" in response.content_type:
            found = _protobuf_fields(response.body).get(2)
            if isinstance(found, bytes):
                message = found.decode("utf-8", "replace")
        elif "json" in response.content_type:
            document = json.loads(response.body)
            if isinstance(document, dict):
                message = str(document.get("message", ""))
    except (ValueError, TypeError):
        pass
    if not message:
        message = response.body.decode("utf-8", "replace")
    message = " ".join(message.split())
    return message[:200] + ("..." if len(message) > 200 else "")


def _protobuf_fields(data: bytes) -> dict[int, int | bytes]:
    """The last value of each field of a protobuf message (varints and length-delimited ones)."""
    fields: dict[int, int | bytes] = {}
    position = 0
    while position < len(data):
        key, position = _varint(data, position)
        number, wire_type = key >> 3, key & 7
        if wire_type == 0:
            fields[number], position = _varint(data, position)
        elif wire_type == 2:
            length, position = _varint(data, position)
            if position + length > len(data):
                raise ValueError("truncated field")
            fields[number] = data[position : position + length]
            position += length
        elif wire_type == 1:
            position += 8
        elif wire_type == 5:
            position += 4
        else:
            raise ValueError(f"wire type {wire_type}")
    return fields


def _varint(data: bytes, position: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        if position >= len(data) or shift > 63:
            raise ValueError("bad varint")
        byte = data[position]
        position += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, position
