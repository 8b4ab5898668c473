"""The capture examples run offline, as a user runs them, and print one nested trace."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"


@pytest.mark.parametrize(
    "example, lines",
    [
        ("openai_chat.py", ["invoke_agent weather-assistant", "chat gpt-4o-mini", "execute_tool get_weather"]),
        ("anthropic_agent.py", ["invoke_agent travel-agent", "chat claude-sonnet-4-5", "execute_tool find_flights"]),
    ],
)
def test_the_example_prints_its_trace(example: str, lines: list[str]) -> None:
    environment = {key: value for key, value in os.environ.items() if not key.startswith("OTEL_")}
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / example)], capture_output=True, text=True, env=environment, timeout=120
    )
    assert done.returncode == 0, done.stderr
    trace = done.stdout.split("\ntrace ", 1)[1].splitlines()
    assert len(trace) == 5  # the trace id, the step, two model calls and the tool between them
    assert [line.strip().split("  ")[0] for line in trace[1:]] == [lines[0], lines[1], lines[2], lines[1]]
