"""Spans the companion's tests export, and what their documents say."""

from __future__ import annotations

import calendar
import time

import pelnorix

TENANT_A = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
TENANT_B = "aaaaaaaa-0000-4000-8000-000000000002"
RESOURCE = {"service.name": "checkout", "telemetry.sdk.name": "pelnorix", "deployment.count": 3}


def typical_span(tracer: pelnorix.TamloxTracer) -> pelnorix.TraceSpan:
    """The typical span of the benchmarks: 1 KB prompt and response, 5 tags, 3 actions."""
    span = tracer.start_span("chat_completion", "openai", "gpt-4")
    span.set_prompt('Say "hi" \U0001f600\n' + "p" * 1000)
    span.set_token_counts(prompt_tokens=250, completion_tokens=250)
    span.set_ttft_ms(120)
    for key, value in [("env", "production"), ("region", "eu-west-1"), ("user", "u-42"),
                       ("gen_ai.request.temperature", "0.7"),
                       ("gen_ai.response.finish_reasons", '["length"]')]:
        span.add_tag(key, value)
    span.report_action("tool_call", "web_search", arguments='{"q": "x"}', result="r" * 200,
                       duration_ms=120)
    span.report_action("file_access", "/srv/data.csv", duration_ms=3)
    span.report_action("command_execution", "ls /srv", success=False)
    span.set_response("r" * 1000)
    return span


def unix_nanos(text: str) -> int:
    """An RFC 3339 UTC text of the span document in nanoseconds."""
    whole, _, fraction = text.rstrip("Z").partition(".")
    seconds = calendar.timegm(time.strptime(whole, "%Y-%m-%dT%H:%M:%S"))
    return seconds * 10**9 + int(fraction.ljust(9, "0"))
