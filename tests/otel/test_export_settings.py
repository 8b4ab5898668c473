"""Where the exporter sends and how: arguments, the tracer's endpoint, the OTEL_* variables."""

from __future__ import annotations

import logging
import os
from typing import Any

import pytest

import pelnorix
from pelnorix_otel import OTLPExporter
from pelnorix_otel._http import retry_after_seconds

DEFAULTS: dict[str, Any] = {
    "endpoint": "http://localhost:4318/v1/traces",
    "protocol": "http/protobuf",
    "compression": "none",
    "timeout": 10.0,
    "headers": {},
    "schedule_delay": 5.0,
    "max_queue_spans": 2048,
    "max_batch_spans": 512,
}

# (environment, arguments (tracer_endpoint: a tracer made with it), expected settings;
# "service.name" and other dotted keys are expected resource attributes).
CASES: list[tuple[str, dict[str, str], dict[str, Any], dict[str, Any]]] = [
    ("defaults", {}, {}, {}),
    (
        "general endpoint is a base URL",
        {"OTEL_EXPORTER_OTLP_ENDPOINT": "https://gw.example/otlp/"},
        {},
        {"endpoint": "https://gw.example/otlp/v1/traces"},
    ),
    (
        "traces endpoint is used as it is and wins",
        {
            "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT": "http://c:4318/custom",
            "OTEL_EXPORTER_OTLP_ENDPOINT": "http://other:4318",
        },
        {},
        {"endpoint": "http://c:4318/custom"},
    ),
    (
        "traces endpoint without a path gets the root",
        {"OTEL_EXPORTER_OTLP_TRACES_ENDPOINT": "http://c:4318"},
        {},
        {"endpoint": "http://c:4318/"},
    ),
    (
        "unusable traces endpoint falls back to the general one",
        {
            "OTEL_EXPORTER_OTLP_TRACES_ENDPOINT": "collector:4318",
            "OTEL_EXPORTER_OTLP_ENDPOINT": "http://other:4318",
        },
        {},
        {"endpoint": "http://other:4318/v1/traces"},
    ),
    (
        "tracer endpoint without a path is a base URL, and beats the variables",
        {"OTEL_EXPORTER_OTLP_ENDPOINT": "http://other:4318"},
        {"tracer_endpoint": "http://collector:4318"},
        {"endpoint": "http://collector:4318/v1/traces"},
    ),
    (
        "tracer endpoint with a path is used as it is",
        {},
        {"tracer_endpoint": "https://backend.example/api/public/otel"},
        {"endpoint": "https://backend.example/api/public/otel"},
    ),
    (
        "argument beats the tracer",
        {},
        {"endpoint": "http://[::1]:4318/", "tracer_endpoint": "http://collector:4318"},
        {"endpoint": "http://[::1]:4318/v1/traces"},
    ),
    (
        "headers: percent-decoded, bad entries skipped, traces variable wins",
        {
            "OTEL_EXPORTER_OTLP_TRACES_HEADERS": "api-key=secret%20value, x-tenant = acme ,broken,bad name=1",
            "OTEL_EXPORTER_OTLP_HEADERS": "ignored=1",
        },
        {},
        {"headers": {"api-key": "secret value", "x-tenant": "acme"}},
    ),
    (
        "protocol, compression, timeout; an unusable traces value falls back to the general one",
        {
            "OTEL_EXPORTER_OTLP_TRACES_PROTOCOL": "grpc",
            "OTEL_EXPORTER_OTLP_PROTOCOL": "http/json",
            "OTEL_EXPORTER_OTLP_COMPRESSION": "GZIP",
            "OTEL_EXPORTER_OTLP_TRACES_TIMEOUT": "soon",
            "OTEL_EXPORTER_OTLP_TIMEOUT": "2500",
        },
        {},
        {"protocol": "http/json", "compression": "gzip", "timeout": 2.5},
    ),
    (
        "batching variables; a batch is never larger than the queue",
        {
            "OTEL_BSP_SCHEDULE_DELAY": "250",
            "OTEL_BSP_MAX_QUEUE_SIZE": "100",
            "OTEL_BSP_MAX_EXPORT_BATCH_SIZE": "500",
        },
        {},
        {"schedule_delay": 0.25, "max_queue_spans": 100, "max_batch_spans": 100},
    ),
    (
        "service name variable beats the resource attributes; values percent-decoded",
        {
            "OTEL_RESOURCE_ATTRIBUTES": "service.name=from-attrs,deployment.environment=prod%2Ceu",
            "OTEL_SERVICE_NAME": "from-variable",
        },
        {},
        {"service.name": "from-variable", "deployment.environment": "prod,eu"},
    ),
    (
        "code beats the environment for the resource",
        {"OTEL_SERVICE_NAME": "from-variable", "OTEL_RESOURCE_ATTRIBUTES": "team=a"},
        {"service_name": "checkout", "resource_attributes": {"team": "b", "replica": 3}},
        {"service.name": "checkout", "team": "b", "replica": 3},
    ),
    (
        "one bad entry discards the whole resource variable",
        {"OTEL_RESOURCE_ATTRIBUTES": "team=a,oops"},
        {},
        {"team": None},
    ),
]


@pytest.fixture
def environment(monkeypatch: pytest.MonkeyPatch) -> pytest.MonkeyPatch:
    for name in list(os.environ):
        if name.startswith("OTEL_"):
            monkeypatch.delenv(name)
    return monkeypatch


@pytest.mark.parametrize("env, arguments, expected", [case[1:] for case in CASES], ids=[c[0] for c in CASES])
def test_settings_resolution(
    environment: pytest.MonkeyPatch, env: dict[str, str], arguments: dict[str, Any], expected: dict[str, Any]
) -> None:
    for name, value in env.items():
        environment.setenv(name, value)
    arguments = dict(arguments)
    tracer_endpoint = arguments.pop("tracer_endpoint", None)
    if tracer_endpoint is not None:
        arguments["tracer"] = pelnorix.TamloxTracer(endpoint=tracer_endpoint)
    settings = OTLPExporter(**arguments).settings
    resource = settings.resource
    for key, value in {**DEFAULTS, **expected}.items():
        actual = resource.get(key) if "." in key or key in ("team", "replica") else getattr(settings, key)
        assert actual == value, key
    assert resource["telemetry.sdk.name"] == "pelnorix"
    if "service.name" not in expected:
        assert str(resource["service.name"]).startswith("unknown_service:python")


def test_unusable_variables_are_logged_without_their_values(
    environment: pytest.MonkeyPatch, caplog: pytest.LogCaptureFixture
) -> None:
    environment.setenv("OTEL_EXPORTER_OTLP_HEADERS", "api-key=hunter2,bad name=hunter3")
    environment.setenv("OTEL_EXPORTER_OTLP_COMPRESSION", "brotli")
    with caplog.at_level(logging.WARNING, logger="pelnorix_otel"):
        OTLPExporter()
    assert "OTEL_EXPORTER_OTLP_HEADERS" in caplog.text and "OTEL_EXPORTER_OTLP_COMPRESSION" in caplog.text
    assert "hunter" not in caplog.text


@pytest.mark.parametrize(
    "arguments",
    [
        {"endpoint": "ftp://collector"},
        {"endpoint": "http://:4318"},
        {"endpoint": "http://collector:port"},
        {"tracer": pelnorix.TamloxTracer(endpoint="collector:4318")},
        {"protocol": "grpc"},
        {"compression": "zstd"},
        {"headers": {"bad name": "1"}},
        {"headers": {"x-key": "a\r\nInjected: 1"}},
        {"timeout": 0},
        {"max_queue_spans": 0},
        {"service_name": ""},
        {"resource_attributes": {"tags": ["a"]}},
    ],
    ids=lambda arguments: repr(arguments)[:40],
)
def test_unusable_arguments_raise(environment: pytest.MonkeyPatch, arguments: dict[str, Any]) -> None:
    with pytest.raises(ValueError):
        OTLPExporter(**arguments)


@pytest.mark.parametrize(
    "header, seconds",
    [
        ("120", 120.0),
        ("0", 0.0),
        ("Wed, 21 Oct 2015 07:28:30 GMT", 30.0),  # 30 s after "now" below
        ("Wed, 21 Oct 2015 07:27:00 GMT", 0.0),  # already past
        ("-5", None),
        ("1.5", None),
        ("soon", None),
        (None, None),
    ],
)
def test_retry_after_forms(header: str | None, seconds: float | None) -> None:
    now = 1445412480.0  # Wed, 21 Oct 2015 07:28:00 GMT
    assert retry_after_seconds(header, now) == seconds
