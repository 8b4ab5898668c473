"""Faults end to end, in child interpreters: a clock before 1970 and a failing random source,
injected by a preloaded shim, must surface as PanicException, and memory running out as
MemoryError; either way the span is left as it was."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import textwrap
from pathlib import Path
from typing import Any

import pytest
from support import run_python

SHIM_SOURCE = Path(__file__).with_name("fault_shim.c")
OPERATOR_NEW_SOURCE = Path(__file__).with_name("operator_new_shim.cpp")

PRELUDE = textwrap.dedent(
    """
    import ctypes, inspect, json, os, sys
    import pelnorix

    PROPERTIES = [
        name for name, member in vars(pelnorix.TraceSpan).items()
        if inspect.isgetsetdescriptor(member)
    ]
    shim_calls = ctypes.CDLL(None).pelnorix_shim_getrandom_calls
    shim_calls.restype = ctypes.c_long

    def state(span):
        values = {name: getattr(span, name) for name in PROPERTIES}
        values["document"] = span.to_dict()
        return values

    raised_classes = []

    def outcome(call):
        try:
            try:
                call()
            except Exception as error:
                return {"kind": "Exception", "type": type(error).__name__, "message": str(error)}
        except BaseException as error:
            kind = type(error)
            raised_classes.append(kind)
            return {
                "kind": "BaseException",
                "type": kind.__name__,
                "derives_from_base_exception": issubclass(kind, BaseException),
                "derives_from_exception": issubclass(kind, Exception),
                "args": [str(a) for a in error.args],
                "message": str(error),
            }
        return {"kind": "returned"}

    result = {}
    """
)

CLOCK_SCRIPT = PRELUDE + textwrap.dedent(
    """
    tracer = pelnorix.TamloxTracer()
    span = tracer.start_span("op", "openai", "m")
    span.set_prompt("p")
    span.set_token_counts(prompt_tokens=1, completion_tokens=2)
    span.add_tag("k", "v")
    before = state(span)

    os.environ["PELNORIX_SHIM_CLOCK_BEFORE_EPOCH"] = "1"
    result["start_span"] = outcome(lambda: tracer.start_span("op", "openai", "m"))
    result["set_response"] = outcome(lambda: span.set_response("r"))
    result["set_error"] = outcome(lambda: span.set_error("e", 500))
    # Nothing else needs the clock.
    result["set_prompt"] = outcome(lambda: span.set_prompt("p"))
    del os.environ["PELNORIX_SHIM_CLOCK_BEFORE_EPOCH"]

    result["one_exception_class"] = len(set(raised_classes)) == 1
    result["unchanged"] = state(span) == before
    span.set_response("r")
    result["completes_afterwards"] = span.is_complete
    print(json.dumps(result))
    """
)

RANDOM_FAILURE_SCRIPT = PRELUDE + textwrap.dedent(
    """
    tracer = pelnorix.TamloxTracer()
    tracer.start_span("op", "openai", "m")
    calls_before = shim_calls()

    os.environ["PELNORIX_SHIM_GETRANDOM_ERRNO"] = "5"
    # Random bytes may come from a buffer: drain it, within a bound.
    started = 0
    result["start_span"] = {"kind": "returned"}
    while started < 100000:
        result["start_span"] = outcome(lambda: tracer.start_span("op", "openai", "m"))
        if result["start_span"]["kind"] != "returned":
            break
        started += 1
    result["default_tracer"] = outcome(lambda: pelnorix.TamloxTracer())
    result["explicit_tenant"] = outcome(
        lambda: pelnorix.TamloxTracer(tenant_id="3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b")
    )
    result["getrandom_calls"] = shim_calls() - calls_before
    del os.environ["PELNORIX_SHIM_GETRANDOM_ERRNO"]

    result["recovers"] = outcome(lambda: tracer.start_span("op", "openai", "m"))
    print(json.dumps(result))
    """
)

FALLBACK_SCRIPT = PRELUDE + textwrap.dedent(
    """
    # Set before the first identifier is drawn: the source is chosen then.
    os.environ["PELNORIX_SHIM_GETRANDOM_ERRNO"] = sys.argv[1]
    tracers = [pelnorix.TamloxTracer() for _ in range(20)]
    spans = [t.start_span("op", "openai", "m") for t in tracers for _ in range(20)]
    ids = [t.tenant_id for t in tracers] + [s.trace_id for s in spans] + [s.span_id for s in spans]
    result["ids"] = ids
    result["getrandom_calls"] = shim_calls()
    print(json.dumps(result))
    """
)


def compile_shim(source: Path, compilers: tuple[str, str], directory: Path) -> Path:
    compiler = shutil.which(compilers[0]) or shutil.which(compilers[1])
    if compiler is None:
        pytest.skip(f"no compiler to build {source.name}")
    library = directory / source.with_suffix(".so").name
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(source)],
        check=True,
        capture_output=True,
    )
    return library


@pytest.fixture(scope="module")
def shim(tmp_path_factory: pytest.TempPathFactory) -> Path:
    compilers = (os.environ.get("CC", "cc"), "gcc")
    return compile_shim(SHIM_SOURCE, compilers, tmp_path_factory.mktemp("shim"))


def run_with_shim(shim: Path, script: str, *args: str) -> tuple[dict[str, Any], str]:
    switches = ("PELNORIX_SHIM_CLOCK_BEFORE_EPOCH", "PELNORIX_SHIM_GETRANDOM_ERRNO")
    completed = run_python(script, *args, preload=[str(shim)], env=dict.fromkeys(switches))
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout.splitlines()[-1]), completed.stderr


def assert_panic(outcome: dict[str, Any], message_start: str) -> None:
    assert outcome["kind"] == "BaseException", outcome
    assert outcome["type"] == "PanicException"
    assert outcome["derives_from_base_exception"] is True
    assert outcome["derives_from_exception"] is False
    assert outcome["message"].startswith(message_start), outcome
    assert outcome["args"] == [outcome["message"]]


def test_clock_before_the_epoch(shim: Path) -> None:
    result, stderr = run_with_shim(shim, CLOCK_SCRIPT)
    for call in ("start_span", "set_response", "set_error"):
        assert_panic(result[call], "system time before Unix epoch")
    assert result["set_prompt"] == {"kind": "returned"}
    assert result["one_exception_class"] is True
    assert result["unchanged"] is True
    assert result["completes_afterwards"] is True
    # Each fault is reported on standard error as it happens.
    assert "system time before Unix epoch" in stderr


def test_random_source_failure(shim: Path) -> None:
    result, _ = run_with_shim(shim, RANDOM_FAILURE_SCRIPT)
    if result["start_span"]["kind"] == "returned" and result["getrandom_calls"] == 0:
        pytest.skip("the module does not draw random bytes through the library's getrandom")
    message = "could not retrieve random bytes for uuid: OS Error: 5"
    assert_panic(result["start_span"], message)
    assert result["start_span"]["message"] == message
    assert_panic(result["default_tracer"], message)
    assert result["explicit_tenant"] == {"kind": "returned"}
    assert result["recovers"] == {"kind": "returned"}


@pytest.mark.parametrize(("errno_value", "name"), [(38, "ENOSYS"), (1, "EPERM")])
def test_unusable_getrandom_falls_back_to_the_random_device(
    shim: Path, errno_value: int, name: str
) -> None:
    result, _ = run_with_shim(shim, FALLBACK_SCRIPT, str(errno_value))
    ids = result["ids"]
    assert len(set(ids)) == len(ids) == 20 + 2 * 400
    for text in ids:
        assert len(text) == 36 and text[14] == "4" and text[19] in "89ab"
    if result["getrandom_calls"] == 0:
        pytest.skip("the module does not probe the library's getrandom")
    # Once refused, the call is not tried for every identifier.
    assert result["getrandom_calls"] < 10


def test_a_deep_chain_of_wrappers_is_released_without_exhausting_the_stack() -> None:
    # Each wrapper's release destroys the next one; done recursively, a chain
    # this long overflows the C stack and kills the interpreter.
    script = textwrap.dedent(
        """
        import pelnorix
        client = None
        for _ in range(200000):
            client = pelnorix.instrument(client)
        del client
        print("released")
        """
    )
    completed = run_python(script)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.strip() == "released"


LOW_MEMORY_SCRIPT = textwrap.dedent(
    """
    import inspect, json, resource
    import pelnorix

    PROPERTIES = [
        name for name, member in vars(pelnorix.TraceSpan).items()
        if inspect.isgetsetdescriptor(member)
    ]
    BIG = 32 << 20
    big = "x" * BIG
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def under_the_limit(call):
        # Room for what the interpreter needs, none for another copy of the big text.
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + BIG // 4, hard))
        try:
            call()
            return "returned"
        except MemoryError:
            return "MemoryError"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    def state(span):
        return [getattr(span, name) for name in PROPERTIES] + [span.to_json()]

    def prepared(prompt=""):
        span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
        span.set_prompt(prompt)
        span.add_tag("k", "v")
        span.report_action("tool_call", "t")
        return span

    holding_big = prepared(big)
    CALLS = {
        "set_prompt": (prepared(), lambda span: span.set_prompt(big)),
        "set_response": (prepared(), lambda span: span.set_response(big)),
        "set_error": (prepared(), lambda span: span.set_error(big, 500)),
        "add_tag key": (prepared(), lambda span: span.add_tag(big, "v")),
        "add_tag value": (prepared(), lambda span: span.add_tag("k", big)),
        "report_action name": (prepared(), lambda span: span.report_action("tool_call", big)),
        "report_action arguments": (
            prepared(), lambda span: span.report_action("tool_call", "t", arguments=big)
        ),
        "to_json": (holding_big, lambda span: span.to_json()),
        "to_dict": (holding_big, lambda span: span.to_dict()),
    }
    results = {}
    for name, (span, call) in CALLS.items():
        before = state(span)
        outcome = under_the_limit(lambda: call(span))
        results[name] = [outcome, state(span) == before]
    span.set_prompt("still usable")
    print(json.dumps(results))
    """
)


def test_running_out_of_memory_raises_memory_error_and_changes_nothing(
    tmp_path_factory: pytest.TempPathFactory,
) -> None:
    env: dict[str, str | None] = {}
    preloaded = os.environ.get("LD_PRELOAD", "")
    if "libasan" in preloaded:
        # The address sanitizer's operator new ends the process when memory runs out instead
        # of throwing; a standard one in front of it lets the module see the failure.
        compilers = (os.environ.get("CXX", "c++"), "g++")
        library = compile_shim(OPERATOR_NEW_SOURCE, compilers, tmp_path_factory.mktemp("new"))
        env["LD_PRELOAD"] = f"{library} {preloaded}"
        env["ASAN_OPTIONS"] = ":".join(
            filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1",
                          "verify_asan_link_order=0"])
        )  # fmt: skip
    completed = run_python(LOW_MEMORY_SCRIPT, env=env)
    assert completed.returncode == 0, completed.stderr[-3000:]
    results = json.loads(completed.stdout.splitlines()[-1])
    assert results == dict.fromkeys(results, ["MemoryError", True])
    assert len(results) == 9
