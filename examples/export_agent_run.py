"""Export a small agent run to an OpenTelemetry collector or LLM-observability backend.

The agent answers one question with one LLM call, after searching for files
and reading one: a span with token counts and two agent actions.

With OTEL_EXPORTER_OTLP_ENDPOINT set (for example http://localhost:4318), the
span is sent there over OTLP/HTTP; the other OTEL_EXPORTER_OTLP_* variables
(headers, protocol, compression, timeout) and OTEL_SERVICE_NAME apply too.
Without it, the example prints the OTLP/JSON request it would send.
"""

from __future__ import annotations

import json
import os
import sys

import pelnorix
from pelnorix_otel import OTLPExporter


def record_agent_run(tracer: pelnorix.TamloxTracer) -> pelnorix.TraceSpan:
    span = tracer.start_span("chat_completion", "openai", "gpt-4o-mini")
    span.set_prompt("Which files under /srv/reports mention invoice 2024-117?")
    span.add_tag("env", "example")
    span.report_action(
        "tool_call",
        "search_files",
        arguments=json.dumps({"root": "/srv/reports", "pattern": "2024-117"}),
        result=json.dumps(["/srv/reports/march.txt"]),
        duration_ms=38,
    )
    span.report_action(
        "file_access", "/srv/reports/march.txt", result="Invoice 2024-117: 3 items", duration_ms=4
    )
    span.set_token_counts(prompt_tokens=57, completion_tokens=21)
    span.set_ttft_ms(180)
    span.set_response("Only /srv/reports/march.txt mentions invoice 2024-117.")
    return span


def main() -> int:
    tracer = pelnorix.TamloxTracer()
    span = record_agent_run(tracer)

    if os.environ.get("OTEL_EXPORTER_OTLP_ENDPOINT"):
        with OTLPExporter(tracer=tracer, service_name="export-example") as exporter:
            exporter.export(span)
            exporter.flush(timeout=10)
            counters = exporter.counters()
        print(f"{exporter.settings.endpoint}: {counters}")
        return 0 if counters.sent == 1 else 1

    exporter = OTLPExporter(tracer=tracer, service_name="export-example", protocol="http/json")
    for request in exporter.prepare([span]):
        print(f"Set OTEL_EXPORTER_OTLP_ENDPOINT to send this; it would go to {request.url}:")
        print(json.dumps(json.loads(request.payload), indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
