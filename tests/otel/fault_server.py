"""A loopback HTTP receiver of the tests whose answers each test scripts: it injects
the faults a real collector shows (429 with Retry-After, 503, hanging, 413,
partial success) and records what reached it. It is not a collector: it decodes
only the OTLP/JSON span identifiers, to tell which spans arrived."""

from __future__ import annotations

import gzip
import json
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Every hang ends by itself after this long, so that no test can hang forever.
HANG_LIMIT = 60.0


@dataclass(frozen=True)
class Answer:
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    body: bytes = b""
    hang: bool = False
    """Read the request, then answer nothing until released (or HANG_LIMIT)."""


@dataclass(frozen=True)
class Received:
    path: str
    headers: dict[str, str]
    body: bytes
    """Decompressed when the request was gzip-encoded."""

    def span_ids(self) -> list[str]:
        document = json.loads(self.body)
        return [
            span["spanId"]
            for resource in document["resourceSpans"]
            for scope in resource["scopeSpans"]
            for span in scope["spans"]
            if not span.get("parentSpanId")
        ]


class FaultServer:
    def __init__(self) -> None:
        self.requests: list[Received] = []
        self.hanging = threading.Event()
        """Set when a request starts to hang."""
        self.hang_aborted = threading.Event()
        """Set when a hang ended because the client went away."""
        self._answer: Callable[[Received], Answer] = lambda request: Answer()
        self._released = threading.Event()
        self._lock = threading.Lock()
        self._http = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._http.daemon_threads = True
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._http.server_address[1]}/v1/traces"

    def answer_with(self, answer: Callable[[Received], Answer]) -> None:
        self._answer = answer

    def script(self, *answers: Answer) -> None:
        """Answers the next requests in this order, every later one with 200."""
        pending = list(answers)

        def next_answer(request: Received) -> Answer:
            with self._lock:
                return pending.pop(0) if pending else Answer()

        self._answer = next_answer

    def span_ids(self) -> list[str]:
        """OTLP ids of the root spans of every request that got a 2xx answer, in arrival order."""
        with self._lock:
            return [span for request in self.requests for span in request.span_ids()]

    def release(self) -> None:
        self._released.set()

    def close(self) -> None:
        self._released.set()
        self._http.shutdown()
        self._http.server_close()

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                if self.headers.get("Content-Encoding") == "gzip":
                    body = gzip.decompress(body)
                request = Received(self.path, dict(self.headers.items()), body)
                answer = server._answer(request)
                if answer.hang:
                    self._hang()
                    return
                if 200 <= answer.status < 300:
                    with server._lock:
                        server.requests.append(request)
                self.send_response(answer.status)
                for name, value in answer.headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(answer.body)))
                self.end_headers()
                self.wfile.write(answer.body)

            def _hang(self) -> None:
                # Wait for the release while watching whether the client went away.
                server.hanging.set()
                self.connection.settimeout(0.05)
                limit = time.monotonic() + HANG_LIMIT
                while not server._released.is_set() and time.monotonic() < limit:
                    try:
                        if self.connection.recv(1) == b"":
                            server.hang_aborted.set()
                            break
                    except TimeoutError:
                        continue
                    except OSError:
                        server.hang_aborted.set()
                        break
                self.close_connection = True

            def log_message(self, format: str, *args: object) -> None:
                pass

        return Handler


def serve() -> Iterator[FaultServer]:
    server = FaultServer()
    try:
        yield server
    finally:
        server.close()
