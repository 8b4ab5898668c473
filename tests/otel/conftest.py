"""Shared fixtures of the companion's tests."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# The test modules import their helpers from this folder, wherever pytest is started from.
sys.path.insert(0, str(Path(__file__).parent))

from fault_server import FaultServer, serve  # noqa: E402


@pytest.fixture
def receiver() -> Iterator[FaultServer]:
    """A loopback receiver whose answers the test scripts (every request gets 200 until told otherwise)."""
    yield from serve()
