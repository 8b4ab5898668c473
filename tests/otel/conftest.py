"""Fixtures of the companion's tests."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# Test modules import their helpers (collector.py, fault_server.py) from this folder.
sys.path.insert(0, str(Path(__file__).parent))

from collector import Collector  # noqa: E402
from fault_server import FaultServer, serve  # noqa: E402


@pytest.fixture(scope="session")
def collector() -> Iterator[Collector]:
    """A real OpenTelemetry collector (rotel) receiving OTLP/HTTP on a free
    loopback port for the whole session; stopped at its end, and killed with
    the test process should that die first. Tests read what it decoded with
    ``collector.wait_for_spans(count, since=collector.mark())``."""
    try:
        running = Collector()
    except FileNotFoundError as missing:
        pytest.fail(str(missing))
    try:
        yield running
    finally:
        running.close()


@pytest.fixture
def receiver() -> Iterator[FaultServer]:
    """A loopback receiver of the tests whose answers each test scripts, for
    injecting faults (every request gets 200 until told otherwise)."""
    yield from serve()
