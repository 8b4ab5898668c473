"""Shared fixtures of the pelnorix test suite."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

import pelnorix

SPAN_PROPERTIES = (
    "trace_id",
    "span_id",
    "operation_name",
    "model_name",
    "prompt",
    "response",
    "is_complete",
    "is_failed",
    "duration_ms",
    "prompt_tokens",
    "completion_tokens",
    "total_tokens",
    "security_score",
    "error_message",
    "status_code",
    "security_findings_count",
    "agent_actions_count",
)


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
    return pelnorix.TamloxTracer()


@pytest.fixture
def span(tracer: pelnorix.TamloxTracer) -> pelnorix.TraceSpan:
    return tracer.start_span("chat_completion", "openai", "gpt-4")


def _span_state(span: pelnorix.TraceSpan) -> dict[str, Any]:
    state = {name: getattr(span, name) for name in SPAN_PROPERTIES}
    if hasattr(span, "to_dict"):
        state["document"] = span.to_dict()
    return state


@pytest.fixture
def span_state() -> Callable[[pelnorix.TraceSpan], dict[str, Any]]:
    """Everything observable about a span, to show that a failed call changed nothing."""
    return _span_state


@contextlib.contextmanager
def _raises_noted(
    exception: type[BaseException], parameter: str, message: str | None = None
) -> Iterator[pytest.ExceptionInfo[BaseException]]:
    with pytest.raises(exception) as info:
        yield info
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == [f"while processing '{parameter}'"]


@pytest.fixture
def raises_noted() -> Callable[..., contextlib.AbstractContextManager[Any]]:
    """pytest.raises that also checks the note naming the failed parameter."""
    return _raises_noted
