"""Shared fixtures of the pelnorix test suite."""

from __future__ import annotations

import os
import sys
from pathlib import Path

import pytest

import pelnorix

# The test modules import their shared helpers from support.py, wherever
# pytest is started from.
sys.path.insert(0, str(Path(__file__).parent))

from support import TENANT  # noqa: E402


def pytest_configure(config: pytest.Config) -> None:
    # The sanitized CI run must not silently test an ordinary build that
    # happens to be installed in the same environment.
    expected = os.environ.get("PELNORIX_EXPECT_MODULE")
    if expected:
        loaded = Path(pelnorix.__file__).resolve().parent
        if loaded != Path(expected).resolve():
            raise pytest.UsageError(
                f"pelnorix was imported from {pelnorix.__file__}, expected it in {expected}"
            )


@pytest.fixture
def tracer() -> pelnorix.TamloxTracer:
    return pelnorix.TamloxTracer(tenant_id=TENANT)


@pytest.fixture
def span(tracer: pelnorix.TamloxTracer) -> pelnorix.TraceSpan:
    return tracer.start_span("chat_completion", "openai", "gpt-4")
