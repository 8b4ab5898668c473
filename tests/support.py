"""Values and helpers shared by the test modules (conftest.py puts this folder on the path)."""

from __future__ import annotations

import contextlib
import inspect
import os
import re
import subprocess
import sys
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import pytest

import pelnorix

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
OUT_OF_RANGE = "out of range integral type conversion attempted"
SPAN_PROPERTIES = [
    name for name, member in vars(pelnorix.TraceSpan).items() if inspect.isgetsetdescriptor(member)
]


class Text(str):
    pass


class Index:
    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value


class IndexFailure(Exception):
    pass


class FailingIndex:
    def __index__(self) -> int:
        raise IndexFailure("no index today")


def new_span(
    operation: str = "op", provider: str = "openai", model: str = "m"
) -> pelnorix.TraceSpan:
    return pelnorix.TamloxTracer(tenant_id=TENANT).start_span(operation, provider, model)


def span_state(span: pelnorix.TraceSpan) -> dict[str, Any]:
    """Everything observable about a span, to show that a failed call changed nothing."""
    state = {name: getattr(span, name) for name in SPAN_PROPERTIES}
    state["document"] = span.to_dict()
    return state


def last_action(span: pelnorix.TraceSpan) -> dict[str, Any]:
    action: dict[str, Any] = span.to_dict()["agent_actions"][-1]
    return action


@contextlib.contextmanager
def raises(
    exception: type[BaseException], message: str | None = None, *, note: str | None = None
) -> Iterator[pytest.ExceptionInfo[BaseException]]:
    """pytest.raises for exactly `exception`, checking its text (when given) and that it
    carries the note naming the failed parameter `note`, or no note at all."""
    with pytest.raises(exception) as info:
        yield info
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    notes = None if note is None else [f"while processing '{note}'"]
    assert getattr(info.value, "__notes__", None) == notes


def run_python(
    script: str,
    *args: str,
    preload: Sequence[str] = (),
    env: Mapping[str, str | None] | None = None,
) -> subprocess.CompletedProcess[str]:
    """Runs `script` in a child interpreter that imports the module under test, for what would
    otherwise end the test run itself. `preload` goes after what is preloaded already (the
    sanitized run's runtimes must stay first); `env` overrides the inherited environment, a
    value of None removing the variable."""
    environment = dict(os.environ)
    module_dir = os.path.dirname(pelnorix.__file__)
    environment["PYTHONPATH"] = os.pathsep.join(
        filter(None, [module_dir, environment.get("PYTHONPATH")])
    )
    if preload:
        preloaded = [environment.get("LD_PRELOAD"), *preload]
        environment["LD_PRELOAD"] = " ".join(filter(None, preloaded))
    for name, value in (env or {}).items():
        if value is None:
            environment.pop(name, None)
        else:
            environment[name] = value
    return subprocess.run(
        [sys.executable, "-c", script, *args],
        capture_output=True,
        text=True,
        env=environment,
        timeout=300,
    )
