#!/usr/bin/env python3
"""Instructions per call of the pelnorix module surface, counted by callgrind: free of the
machine's timing noise, so that two builds (or a row and its reference) compare exactly.

Each scenario runs its statement N times and 0 times under `valgrind --tool=callgrind`, in two
processes that are otherwise identical; the difference divided by N is the cost of one call.
With --profile, the same difference is shown per function (self cost), the profile that says
where a call's instructions go.

    PYTHONPATH=build/rel/python build/venv-3.12/bin/python benchmarks/callgrind_calls.py
    ... benchmarks/callgrind_calls.py traced_call start_span --profile --top 25
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict

# Names every scenario can use; built before the timed loop, the same in both runs.
SETUP = """\
import json, sys
import pelnorix

sys.path.insert(0, {here!r})
from bench_surface import Floor, typical  # the same typical span as the timed benchmarks

floor = Floor()
d = {}
setitem = d.__setitem__  # bound once, as in bench_surface: the call alone
tracer = pelnorix.TamloxTracer()
typical_span = typical(tracer)
compact = json.dumps(typical_span.to_dict(), separators=(",", ":"))
wrapper = pelnorix.instrument(floor, tracer=tracer)
PROMPT = "p" * 1024
RESPONSE = "r" * 1024
typical_dict = typical_span.to_dict()
try:
    import orjson
except ImportError:  # only the orjson row needs it
    orjson = None
"""

# name -> the body of the loop.
SCENARIOS: dict[str, str] = {
    "empty_method": "floor.noop()",
    "builtin_floor_7": "\n".join(["setitem('k', 'v')"] * 7),
    "traced_call": """\
span = tracer.start_span("chat_completion", "openai", "gpt-4")
span.set_prompt(PROMPT)
span.set_token_counts(prompt_tokens=9, completion_tokens=7)
span.set_ttft_ms(120)
span.add_tag("env", "production")
span.add_tag("region", "eu")
span.set_response(RESPONSE)""",
    "start_span": "tracer.start_span('chat_completion', 'openai', 'gpt-4')",
    "to_json": "typical_span.to_json()",
    "to_dict": "typical_span.to_dict()",
    "json_loads": "json.loads(compact)",
    "orjson_indent": "orjson.dumps(typical_dict, option=orjson.OPT_INDENT_2)",
    "security_findings": "typical_span.security_findings()",
    "json_loads_empty": "json.loads('[]')",
    "forwarded_read": "wrapper.noop",
}

# Ratios printed after the counts: (row, reference row).
RATIOS = [
    ("traced_call", "builtin_floor_7"),
    ("start_span", "empty_method"),
    ("to_json", "orjson_indent"),
    ("to_dict", "json_loads"),
    ("security_findings", "json_loads_empty"),
    ("forwarded_read", "empty_method"),
]


def script_for(body: str) -> str:
    # The loop runs in a function, as timeit's does, so that its own names are fast locals.
    indented = "\n".join("        " + line for line in body.splitlines())
    loop = f"def run(count):\n    for _ in range(count):\n{indented}\n"
    setup = SETUP.replace("{here!r}", repr(os.path.dirname(os.path.abspath(__file__))))
    return f"{setup}\n{loop}\nrun(int(sys.argv[1]))\n"


def run_callgrind(script: str, count: int, workdir: str) -> str:
    out = os.path.join(workdir, f"callgrind.{count}.out")
    path = os.path.join(workdir, "scenario.py")
    with open(path, "w") as handle:
        handle.write(script)
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            path,
            str(count),
        ],
        check=True,
        # A fixed string hash, so that the two runs' dictionaries probe alike.
        env={**os.environ, "PYTHONHASHSEED": "0"},
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    return out


LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)$")


def self_costs(profile: str) -> tuple[int, dict[str, int]]:
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", profile],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    total = 0
    costs: dict[str, int] = defaultdict(int)
    for line in text.splitlines():
        match = LINE.match(line)
        if not match:
            continue
        value = int(match.group(1).replace(",", ""))
        name = match.group(2)
        if name.startswith("PROGRAM TOTALS"):
            total = value
        elif name:
            costs[short_name(name)] += value
    return total, costs


def short_name(name: str) -> str:
    """`file:function [object]` without the source directory, the arguments or the object path."""
    function = name.split(":", 1)[1] if ":" in name and not name.startswith("???") else name
    function = function.removeprefix("???:")
    obj = ""
    if function.endswith("]") and " [" in function:
        function, obj = function.rsplit(" [", 1)
        obj = os.path.basename(obj.rstrip("]"))
    function = re.sub(r"\(.*\)( const)?( \[clone [^]]*\])*$", "", function)
    return f"{function} [{obj}]" if obj else function


def measure(name: str, count: int, profile: bool, top: int) -> float:
    with tempfile.TemporaryDirectory() as workdir:
        script = script_for(SCENARIOS[name])
        total_n, costs_n = self_costs(run_callgrind(script, count, workdir))
        total_0, costs_0 = self_costs(run_callgrind(script, 0, workdir))
    per_call = (total_n - total_0) / count
    print(f"{name:20} {per_call:10.0f} instructions/call", flush=True)
    if profile:
        diff = {
            k: (costs_n.get(k, 0) - costs_0.get(k, 0)) / count for k in set(costs_n) | set(costs_0)
        }
        for function, cost in sorted(diff.items(), key=lambda item: -item[1])[:top]:
            print(f"    {cost:9.1f}  {function[:160]}")
        # Which code the instructions run in: ours, the interpreter's or the C library's.
        by_object: dict[str, float] = defaultdict(float)
        for function, cost in diff.items():
            by_object[function.rsplit(" [", 1)[1].rstrip("]") if " [" in function else "?"] += cost
        shares = sorted(by_object.items(), key=lambda item: -item[1])
        print("    by object: " + ", ".join(f"{obj} {cost:.0f}" for obj, cost in shares[:6]))
    return per_call


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("scenarios", nargs="*", help=f"any of {', '.join(SCENARIOS)}")
    parser.add_argument("-n", type=int, default=2000, help="calls in the counted run")
    parser.add_argument("--profile", action="store_true", help="show the cost per function")
    parser.add_argument("--top", type=int, default=20, help="functions shown with --profile")
    args = parser.parse_args()
    names = args.scenarios or list(SCENARIOS)
    unknown = [name for name in names if name not in SCENARIOS]
    if unknown:
        parser.error(f"unknown scenario(s): {', '.join(unknown)}")
    import pelnorix  # noqa: F401  (fails early when the module is not on the path)

    print(f"pelnorix from {pelnorix.__file__}; Python {sys.version.split()[0]}; N={args.n}")
    results = {name: measure(name, args.n, args.profile, args.top) for name in names}
    for row, reference in RATIOS:
        if row in results and reference in results:
            print(f"{row} / {reference}: {results[row] / results[reference]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
