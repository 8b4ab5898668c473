"""The exporter and its example, end to end into a real OpenTelemetry collector (rotel)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Literal

import pytest

import pelnorix
from collector import Collector
from pelnorix_otel import OTLPExporter, SpanLink
from pelnorix_otel._links import otlp_span_id, otlp_trace_id

EXAMPLE = Path(__file__).parents[2] / "examples" / "export_agent_run.py"


@pytest.mark.parametrize("protocol", ["http/protobuf", "http/json"])
@pytest.mark.parametrize("compression", ["gzip", "none"])
def test_exported_spans_arrive_in_the_collector(
    collector: Collector,
    protocol: Literal["http/protobuf", "http/json"],
    compression: Literal["gzip", "none"],
) -> None:
    tracer = pelnorix.TamloxTracer(endpoint=collector.endpoint)
    root = tracer.start_span("chat_completion", "openai", "gpt-4")
    root.set_response("done")
    link = SpanLink(otlp_trace_id(root.trace_id), otlp_span_id(root.span_id))
    child = tracer.start_span("chat_completion", "anthropic", "claude-3")
    child.set_prompt("Which city?")
    child.set_token_counts(prompt_tokens=3, completion_tokens=1)
    action_id = child.report_action("tool_call", "lookup", arguments='{"q": 1}', duration_ms=5)
    child.set_error("upstream timeout", 504)

    since = collector.mark()
    exporter = OTLPExporter(tracer=tracer, protocol=protocol, compression=compression, service_name="e2e")
    with exporter:
        assert exporter.export(root, link=None) and exporter.export(child, link=link)
        assert exporter.flush(timeout=30)
        counters = exporter.counters()
    assert (counters.sent, counters.dropped_total) == (2, 0)

    spans = {span.span_id: span for span in collector.wait_for_spans(3, since=since)}
    call, tool = spans[otlp_span_id(child.span_id)], spans[otlp_span_id(action_id)]
    assert call.trace_id == tool.trace_id == otlp_trace_id(root.trace_id)
    assert (call.parent_id, tool.parent_id) == (otlp_span_id(root.span_id), call.span_id)
    assert call.resource["service.name"] == "Str(e2e)"
    assert call.attributes["gen_ai.usage.input_tokens"] == "Int(3)"
    assert call.status_code == "STATUS_CODE_ERROR"
    assert spans[otlp_span_id(root.span_id)].parent_id == ""


@pytest.mark.parametrize("sends", [True, False], ids=["to the collector", "printed"])
def test_the_export_example(collector: Collector, sends: bool) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("OTEL_")}
    if sends:
        env["OTEL_EXPORTER_OTLP_ENDPOINT"] = collector.endpoint
    since = collector.mark()
    done = subprocess.run(
        [sys.executable, str(EXAMPLE)], env=env, capture_output=True, text=True, timeout=60, check=False
    )
    assert done.returncode == 0, done.stderr
    if sends:
        spans = collector.wait_for_spans(3, since=since)  # the call and its two actions
        assert sorted(span.name for span in spans) == [
            "chat gpt-4o-mini",
            "execute_tool /srv/reports/march.txt",
            "execute_tool search_files",
        ]
        assert all(span.resource["service.name"] == "Str(export-example)" for span in spans)
    else:
        request = json.loads(done.stdout.split("\n", 1)[1])
        (scope,) = request["resourceSpans"][0]["scopeSpans"]
        assert len(scope["spans"]) == 3
