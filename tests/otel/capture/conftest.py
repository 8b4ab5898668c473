"""Fixtures of the capture and nesting tests: the real SDK clients over a mock transport."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

# The offline API answers live beside the examples, which use them too.
sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "examples"))

import pelnorix_otel  # noqa: E402
from mock_llm_api import MockLLMAPI  # noqa: E402
from pelnorix_otel import _capture, _sinks  # noqa: E402


@pytest.fixture
def api() -> MockLLMAPI:
    return MockLLMAPI()


@pytest.fixture
def recorder() -> Iterator[pelnorix_otel.SpanCollector]:
    """The process default sink for the test; defaults and any capture_all are undone after it."""
    sink = pelnorix_otel.SpanCollector()
    saved = (_sinks._Defaults.sink, _sinks._Defaults.tracer)
    pelnorix_otel.set_sink(sink)
    yield sink
    if _capture._active is not None:
        _capture._active.undo()
    _sinks._Defaults.sink, _sinks._Defaults.tracer = saved
