"""A real OpenTelemetry collector (rotel) on loopback, and what it printed.

rotel is started with its blackhole exporter and its detailed debug log of
traces, so every span it decoded is printed on its standard output; the
tests read those spans back from there. rotel ships one cp312 wheel only: the
binary is found through ``PELNORIX_ROTEL_AGENT`` (with the folder holding the
libpython it links in ``PELNORIX_ROTEL_LIBRARY_PATH``), which scripts/test.sh
sets for every interpreter, or else in the running interpreter's ``rotel``
package.
"""

from __future__ import annotations

import ctypes
import gzip
import os
import re
import signal
import socket
import subprocess
import sysconfig
import tempfile
import time
import urllib.error
import urllib.request
from dataclasses import dataclass, field
from pathlib import Path

_START_TIMEOUT = 15.0


@dataclass
class CollectedSpan:
    """One span as the collector printed it. Attribute values keep rotel's
    form: ``Str(text)``, ``Int(5)``, ``Double(0.5)``, ``Bool(true)``,
    ``Slice(Str(a), Str(b))``."""

    resource: dict[str, str]
    scope: str
    trace_id: str = ""
    parent_id: str = ""
    span_id: str = ""
    name: str = ""
    kind: str = ""
    start_time: int = 0
    end_time: int = 0
    status_code: str = "STATUS_CODE_UNSET"  # rotel prints no status line for it
    status_message: str = ""
    attributes: dict[str, str] = field(default_factory=dict)


_SPAN_FIELDS = {
    "Trace ID": "trace_id",
    "Parent ID": "parent_id",
    "ID": "span_id",
    "Name": "name",
    "Kind": "kind",
    "Status code": "status_code",
    "Status message": "status_message",
}
_FIELD_LINE = re.compile(r"^\s+(Trace ID|Parent ID|ID|Name|Kind|Status code|Status message)\s*: ?(.*)$")
_ATTRIBUTE_LINE = re.compile(r"^\s+-> ([^:]*): (.*)$")
_TIME_LINE = re.compile(r"^(Start|End) time: (\d+)$")
# Headers of the parts of the output that the tests do not read.
_OTHER_HEADERS = ("ScopeSpans #", "ScopeSpans SchemaURL", "Resource SchemaURL", "Events:", "Links:")


def parse_spans(output: str) -> list[CollectedSpan]:
    """The spans of rotel's detailed debug output, in the order printed."""
    spans: list[CollectedSpan] = []
    resource: dict[str, str] = {}
    scope = ""
    span: CollectedSpan | None = None
    into: dict[str, str] | None = None  # where attribute lines go
    last_key: str | None = None  # the attribute a continuation line belongs to
    for line in output.splitlines():
        if line.startswith("\x1b") or line.startswith("ResourceSpans #"):
            # A log line of rotel's own, or the next resource.
            last_key = None
            if line.startswith("ResourceSpans #"):
                resource, span, into = {}, None, None
            continue
        if line.startswith(_OTHER_HEADERS):
            into, last_key = None, None
        elif line == "Resource attributes:":
            into, last_key = resource, None
        elif line.startswith("InstrumentationScope"):
            scope, last_key = line[len("InstrumentationScope") :].strip(), None
        elif line.startswith("Span #"):
            span = CollectedSpan(resource=resource, scope=scope)
            spans.append(span)
            into, last_key = None, None
        elif line == "Attributes:" and span is not None:
            into, last_key = span.attributes, None
        elif span is not None and (match := _TIME_LINE.match(line)):
            setattr(span, "start_time" if match[1] == "Start" else "end_time", int(match[2]))
            last_key = None
        elif span is not None and into is None and (match := _FIELD_LINE.match(line)):
            setattr(span, _SPAN_FIELDS[match[1]], match[2])
        elif into is not None and (match := _ATTRIBUTE_LINE.match(line)):
            into[match[1]] = match[2]
            last_key = match[1]
        elif into is not None and last_key is not None:
            into[last_key] += "\n" + line  # a value with a line break
    return spans


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def _die_with_parent() -> None:
    # The collector must not outlive the test run, even when pytest is killed.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def rotel_agent() -> tuple[Path, str | None]:
    """The rotel binary and the folder of the libpython it links, if known."""
    configured = os.environ.get("PELNORIX_ROTEL_AGENT")
    if configured:
        return Path(configured), os.environ.get("PELNORIX_ROTEL_LIBRARY_PATH")
    try:
        import rotel  # type: ignore[import-not-found,unused-ignore]
    except ImportError as missing:
        raise FileNotFoundError(
            "rotel-agent not found: set PELNORIX_ROTEL_AGENT (scripts/test.sh does) "
            "or install rotel in this interpreter"
        ) from missing
    return Path(rotel.__file__).parent / "rotel-agent", sysconfig.get_config_var("LIBDIR")


class Collector:
    """A rotel process receiving OTLP/HTTP on a free loopback port."""

    def __init__(self) -> None:
        binary, library_path = rotel_agent()
        self._workdir = tempfile.TemporaryDirectory(prefix="pelnorix-rotel-")
        self._output_path = Path(self._workdir.name) / "rotel.out"
        environment = dict(os.environ)
        if library_path:
            environment["LD_LIBRARY_PATH"] = os.pathsep.join(
                filter(None, [library_path, environment.get("LD_LIBRARY_PATH")])
            )
        self._process: subprocess.Popen[bytes] | None = None
        for _attempt in range(3):  # a port taken meanwhile: try others
            self.port = _free_port()
            grpc_port = _free_port()
            with open(self._output_path, "wb") as output:
                self._process = subprocess.Popen(
                    [
                        str(binary), "start",
                        "--otlp-http-endpoint", f"127.0.0.1:{self.port}",
                        "--otlp-grpc-endpoint", f"127.0.0.1:{grpc_port}",
                        "--exporter", "blackhole",
                        "--debug-log", "traces", "--debug-log-verbosity", "detailed",
                        "--pid-file", str(Path(self._workdir.name) / "rotel.pid"),
                        "--log-file", str(Path(self._workdir.name) / "rotel.log"),
                    ],
                    stdout=output,
                    stderr=subprocess.STDOUT,
                    stdin=subprocess.DEVNULL,
                    env=environment,
                    preexec_fn=_die_with_parent,
                )
            if self._wait_until_listening():
                break
            self.stop()
        else:
            raise RuntimeError(f"rotel did not start; it printed:\n{self.output()}")
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.traces_url = f"{self.endpoint}/v1/traces"

    def _wait_until_listening(self) -> bool:
        deadline = time.monotonic() + _START_TIMEOUT
        while time.monotonic() < deadline:
            assert self._process is not None
            if self._process.poll() is not None:
                return False
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True
            except OSError:
                time.sleep(0.05)
        return False

    def stop(self) -> None:
        if self._process is None:
            return
        if self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        self._process = None

    def close(self) -> None:
        self.stop()
        self._workdir.cleanup()

    def output(self, since: int = 0) -> str:
        """What rotel printed, from byte offset `since` on."""
        with open(self._output_path, "rb") as output:
            output.seek(since)
            return output.read().decode("utf-8", "replace")

    def mark(self) -> int:
        """An offset into the output: what a test prints comes after it."""
        return self._output_path.stat().st_size

    def post(self, body: bytes, content_type: str, *, compress: bool = False) -> int:
        """Sends one export request; returns the HTTP status."""
        headers = {"Content-Type": content_type}
        if compress:
            body = gzip.compress(body)
            headers["Content-Encoding"] = "gzip"
        request = urllib.request.Request(self.traces_url, data=body, headers=headers)
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                response.read()
                return int(response.status)
        except urllib.error.HTTPError as refused:
            return int(refused.code)

    def wait_for_spans(self, count: int, *, since: int, timeout: float = 10.0) -> list[CollectedSpan]:
        """The spans printed after `since`, once there are at least `count`
        (or whatever there is when the time is up)."""
        deadline = time.monotonic() + timeout
        printed = self.output(since)
        while len(parse_spans(printed)) < count and time.monotonic() < deadline:
            time.sleep(0.05)
            printed = self.output(since)
        # The last span may still be being printed: wait for the output to rest.
        while time.monotonic() < deadline:
            time.sleep(0.1)
            settled = self.output(since)
            if settled == printed:
                break
            printed = settled
        return parse_spans(printed)
