"""Cost of encoding spans as OTLP from Python, per typical span.

The exporter reads each span with to_json() and hands batches of documents to
RequestEncoder.encode(); this prints what both cost per span (1 KB prompt,
1 KB response, 5 tags, 3 actions), alone and in batches, beside to_json()
itself. Each row is the best of --repeat timed loops.

    PYTHONPATH=build/<dir>/python python benchmarks/bench_encoding.py
"""

from __future__ import annotations

import argparse
import sys
import time
import timeit
from typing import Any

from bench_surface import typical

import pelnorix
from pelnorix_otel._encoding import RequestEncoder

RESOURCE = {"service.name": "checkout", "telemetry.sdk.name": "pelnorix"}


def namespace() -> dict[str, Any]:
    span = typical(pelnorix.TamloxTracer())
    document = span.to_json()
    return {
        "span": span,
        "one": [(document, None)],
        "batch": [(document, None)] * 64,
        "protobuf": RequestEncoder(protocol="http/protobuf", resource=RESOURCE),
        "json": RequestEncoder(protocol="http/json", resource=RESOURCE),
    }


# (row, statement, spans per statement)
ROWS = [
    ("span.to_json()", "span.to_json()", 1),
    ("encode, protobuf, 1 span", "protobuf.encode(one)", 1),
    ("encode, protobuf, batch of 64", "protobuf.encode(batch)", 64),
    ("encode, JSON, 1 span", "json.encode(one)", 1),
    ("encode, JSON, batch of 64", "json.encode(batch)", 64),
    ("to_json + protobuf encode, batch of 64",
     "protobuf.encode([(span.to_json(), None) for _ in range(64)])", 64),
]


def best_ns(statement: str, repeat: int, min_time: float) -> float:
    timer = timeit.Timer(statement, timer=time.perf_counter_ns, globals=namespace())
    number = 1
    while timer.timeit(number) < min_time * 1e9:
        number *= 2
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per repeat")
    args = parser.parse_args()
    print(f"pelnorix {pelnorix.__version__} from {pelnorix.__file__}")
    print(f"Python {sys.version.split()[0]}; best of {args.repeat} repeats of >= {args.min_time} s\n")
    print(f"{'per typical span':42} {'ns/span':>10} {'x to_json':>10}")
    print("-" * 64)
    to_json_ns: float | None = None
    for name, statement, spans in ROWS:
        ns = best_ns(statement, args.repeat, args.min_time) / spans
        to_json_ns = to_json_ns or ns
        print(f"{name:42} {ns:10.0f} {ns / to_json_ns:10.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
