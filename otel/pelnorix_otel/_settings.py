"""Where and how the exporter sends: resolved once, when it is made.

Each setting comes from the constructor's argument when one is given, else from
the standard OpenTelemetry environment variables (the traces-specific one before
the general one), else from its default. The endpoint has one more source between
the argument and the variables: the ``endpoint`` stored on a pelnorix tracer.

An argument that cannot be used raises ``ValueError``. An environment variable
that cannot be used is logged and treated as unset, as OpenTelemetry SDKs do, so
that a typo in a deployment's environment does not stop the application.
"""

from __future__ import annotations

import logging
import os
import re
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Literal, TypeAlias
from urllib.parse import SplitResult, unquote, urlsplit, urlunsplit

from ._encoding import AttributeValue

Protocol: TypeAlias = Literal["http/protobuf", "http/json"]
Compression: TypeAlias = Literal["gzip", "none"]

PROTOCOLS: tuple[Protocol, ...] = ("http/protobuf", "http/json")
COMPRESSIONS: tuple[Compression, ...] = ("gzip", "none")

TRACES_PATH = "/v1/traces"
DEFAULT_ENDPOINT = "http://localhost:4318" + TRACES_PATH

SDK_NAME = "pelnorix"
SDK_VERSION = "0.3.0"

_logger = logging.getLogger("pelnorix_otel")

# RFC 9110 token characters: what a header name may hold.
_HEADER_NAME = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]+")


@dataclass(frozen=True)
class ExporterSettings:
    """Everything an exporter resolved from its arguments and the environment."""

    endpoint: str
    """The full URL requests are POSTed to."""
    protocol: Protocol
    compression: Compression
    timeout: float
    """Seconds one request may take (connecting, sending, reading the answer)."""
    resource: Mapping[str, AttributeValue]
    """Attributes of the OTLP resource: ``service.name``, the SDK's name and version, and the rest."""
    max_queue_spans: int
    max_queue_bytes: int
    max_batch_spans: int
    max_request_bytes: int
    schedule_delay: float
    retry_deadline: float
    exit_timeout: float
    headers: Mapping[str, str] = field(repr=False)
    """Extra request headers (often an API key, hence left out of ``repr``)."""


def resolve(
    *,
    endpoint: str | None,
    tracer_endpoint: str | None,
    headers: Mapping[str, str] | None,
    protocol: str | None,
    compression: str | None,
    timeout: float | None,
    service_name: str | None,
    resource_attributes: Mapping[str, AttributeValue] | None,
    max_queue_spans: int | None,
    max_queue_bytes: int,
    max_batch_spans: int | None,
    max_request_bytes: int,
    schedule_delay: float | None,
    retry_deadline: float,
    exit_timeout: float,
    env: Mapping[str, str] | None = None,
) -> ExporterSettings:
    """Every setting, from the arguments, the tracer's endpoint and ``env`` (default: ``os.environ``)."""
    environ = _Environment(os.environ if env is None else env)
    queue_spans = _count("max_queue_spans", max_queue_spans, environ, "OTEL_BSP_MAX_QUEUE_SIZE", 2048)
    batch_spans = _count(
        "max_batch_spans", max_batch_spans, environ, "OTEL_BSP_MAX_EXPORT_BATCH_SIZE", 512
    )
    return ExporterSettings(
        endpoint=_endpoint(endpoint, tracer_endpoint, environ),
        protocol=_choice("protocol", protocol, PROTOCOLS, environ, "PROTOCOL", "http/protobuf"),
        compression=_choice("compression", compression, COMPRESSIONS, environ, "COMPRESSION", "none"),
        timeout=_timeout(timeout, environ),
        resource=_resource(service_name, resource_attributes, environ),
        max_queue_spans=queue_spans,
        max_queue_bytes=_count("max_queue_bytes", max_queue_bytes, environ, None, 0),
        # A batch is taken from the queue, so it is never larger than the queue.
        max_batch_spans=min(batch_spans, queue_spans),
        max_request_bytes=_count("max_request_bytes", max_request_bytes, environ, None, 0),
        schedule_delay=_schedule_delay(schedule_delay, environ),
        retry_deadline=_positive("retry_deadline", retry_deadline),
        exit_timeout=_non_negative("exit_timeout", exit_timeout),
        headers=_headers(headers, environ),
    )


class _Environment:
    """The variables, read the OpenTelemetry way: an empty value is an unset one."""

    def __init__(self, env: Mapping[str, str]) -> None:
        self._env = env

    def get(self, name: str) -> str | None:
        value = self._env.get(name, "").strip()
        return value or None

    def signal(self, suffix: str) -> list[tuple[str, str]]:
        """(name, value) of OTEL_EXPORTER_OTLP_TRACES_<suffix>, then of OTEL_EXPORTER_OTLP_<suffix>,
        those that are set. The first usable one applies."""
        found = []
        for name in (f"OTEL_EXPORTER_OTLP_TRACES_{suffix}", f"OTEL_EXPORTER_OTLP_{suffix}"):
            value = self.get(name)
            if value is not None:
                found.append((name, value))
        return found


def _ignored(name: str, why: str) -> None:
    _logger.warning("pelnorix_otel: ignoring %s: %s", name, why)


# Endpoint ---------------------------------------------------------------------


def _endpoint(argument: str | None, tracer_endpoint: str | None, env: _Environment) -> str:
    # A URL given in code (the argument or the tracer's endpoint) is a collector's
    # base URL when it has no path, and is then completed with /v1/traces; with a
    # path it is used as it is (".../v1/traces", or a gateway's own path).
    for what, given in (("endpoint", argument), ("tracer.endpoint", tracer_endpoint)):
        if given is not None:
            if not isinstance(given, str):
                raise TypeError(f"{what} must be a str, not {type(given).__name__}")
            try:
                parts = _split_url(given)
            except ValueError as error:
                raise ValueError(f"{what} {given!r}: {error}") from None
            if parts.path in ("", "/"):
                parts = parts._replace(path=TRACES_PATH)
            return urlunsplit(parts)
    # The traces variable is used as it is (only an empty path becomes "/"); the
    # general one is a base URL that always gets /v1/traces appended.
    for suffix, append in (("TRACES_ENDPOINT", False), ("ENDPOINT", True)):
        name = f"OTEL_EXPORTER_OTLP_{suffix}"
        value = env.get(name)
        if value is None:
            continue
        try:
            parts = _split_url(value)
        except ValueError as error:
            _ignored(name, str(error))
            continue
        if append:
            parts = parts._replace(path=parts.path.rstrip("/") + TRACES_PATH)
        elif not parts.path:
            parts = parts._replace(path="/")
        return urlunsplit(parts)
    return DEFAULT_ENDPOINT


def _split_url(url: str) -> SplitResult:
    parts = urlsplit(url.strip())
    if parts.scheme not in ("http", "https"):
        raise ValueError("the URL must start with http:// or https://")
    if not parts.hostname:
        raise ValueError("the URL names no host")
    _ = parts.port  # raises ValueError for a port that is not a number in range
    return parts._replace(fragment="")


# Headers ----------------------------------------------------------------------


def _headers(argument: Mapping[str, str] | None, env: _Environment) -> Mapping[str, str]:
    if argument is not None:
        headers = dict(argument)
        for name, value in headers.items():
            problem = _header_problem(name, value)
            if problem:
                raise ValueError(f"headers: {problem}")
        return headers
    found = env.signal("HEADERS")
    if not found:
        return {}
    variable, text = found[0]
    headers = {}
    # key1=value1,key2=value2 with percent-encoded values (the W3C baggage
    # form without properties). A bad entry is skipped, never its neighbours;
    # the value is never logged, it is usually a secret.
    for number, entry in enumerate(text.split(","), start=1):
        if not entry.strip():
            continue
        name, equals, value = entry.partition("=")
        name, value = unquote(name.strip()), unquote(value.strip())
        problem = "it has no '='" if not equals else _header_problem(name, value)
        if problem:
            _ignored(f"entry {number} of {variable}", problem)
            continue
        headers[name] = value
    return headers


def _header_problem(name: object, value: object) -> str | None:
    if not isinstance(name, str) or not isinstance(value, str):
        return "header names and values must be str"
    if not _HEADER_NAME.fullmatch(name):
        return f"{name!r} is not a valid header name"
    if any(c in value for c in "\r\n\0"):
        return f"the value of {name!r} holds a line break or NUL"
    return None


# Protocol, compression, timeout -----------------------------------------------


def _choice[T: str](
    what: str, argument: str | None, allowed: tuple[T, ...], env: _Environment, suffix: str, default: T
) -> T:
    if argument is not None:
        for option in allowed:
            if argument == option:
                return option
        raise ValueError(f"{what} must be one of {', '.join(allowed)}, not {argument!r}")
    for name, value in env.signal(suffix):
        for option in allowed:
            if value.lower() == option:
                return option
        _ignored(name, f"{value!r} is not one of {', '.join(allowed)}")
    return default


def _timeout(argument: float | None, env: _Environment) -> float:
    if argument is not None:
        return _positive("timeout", argument)
    for name, value in env.signal("TIMEOUT"):
        milliseconds = _number(value)
        if milliseconds is not None and milliseconds > 0:
            return milliseconds / 1000.0
        _ignored(name, f"{value!r} is not a positive number of milliseconds")
    return 10.0


def _schedule_delay(argument: float | None, env: _Environment) -> float:
    if argument is not None:
        return _positive("schedule_delay", argument)
    value = env.get("OTEL_BSP_SCHEDULE_DELAY")
    if value is not None:
        milliseconds = _number(value)
        if milliseconds is not None and milliseconds > 0:
            return milliseconds / 1000.0
        _ignored("OTEL_BSP_SCHEDULE_DELAY", f"{value!r} is not a positive number of milliseconds")
    return 5.0


def _count(
    what: str, argument: int | None, env: _Environment, variable: str | None, default: int
) -> int:
    if argument is not None:
        if isinstance(argument, bool) or not isinstance(argument, int) or argument <= 0:
            raise ValueError(f"{what} must be a positive int, not {argument!r}")
        return argument
    value = env.get(variable) if variable is not None else None
    if variable is not None and value is not None:
        if value.isdigit() and int(value) > 0:
            return int(value)
        _ignored(variable, f"{value!r} is not a positive whole number")
    return default


def _number(text: str) -> float | None:
    try:
        number = float(text)
    except ValueError:
        return None
    return number if number == number and number not in (float("inf"), float("-inf")) else None


def _positive(what: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < float("inf"):
        raise ValueError(f"{what} must be a positive number, not {value!r}")
    return value


def _non_negative(what: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < float("inf"):
        raise ValueError(f"{what} must be a number of seconds, not {value!r}")
    return value


# Resource ---------------------------------------------------------------------


def _resource(
    service_name: str | None,
    attributes: Mapping[str, AttributeValue] | None,
    env: _Environment,
) -> Mapping[str, AttributeValue]:
    resource: dict[str, AttributeValue] = {
        "telemetry.sdk.name": SDK_NAME,
        "telemetry.sdk.language": "python",
        "telemetry.sdk.version": SDK_VERSION,
    }
    resource.update(_env_resource_attributes(env))
    variable_name = env.get("OTEL_SERVICE_NAME")
    if variable_name is not None:
        resource["service.name"] = variable_name
    if attributes is not None:
        for key, value in attributes.items():
            if not isinstance(key, str) or not isinstance(value, (str, bool, int, float)):
                raise ValueError(
                    f"resource_attributes: {key!r} must map a str to a str, bool, int or float"
                )
            resource[key] = value
    if service_name is not None:
        if not isinstance(service_name, str) or not service_name:
            raise ValueError(f"service_name must be a non-empty str, not {service_name!r}")
        resource["service.name"] = service_name
    resource.setdefault("service.name", _unknown_service())
    return resource


def _env_resource_attributes(env: _Environment) -> dict[str, str]:
    text = env.get("OTEL_RESOURCE_ATTRIBUTES")
    if text is None:
        return {}
    attributes = {}
    # key1=value1,key2=value2, values percent-encoded. One bad entry makes the
    # whole variable unusable: a half-read resource would mislabel every span.
    for entry in text.split(","):
        if not entry.strip():
            continue
        key, equals, value = entry.partition("=")
        key = key.strip()
        if not equals or not key:
            _ignored("OTEL_RESOURCE_ATTRIBUTES", f"entry {entry.strip()!r} is not key=value")
            return {}
        attributes[unquote(key)] = unquote(value.strip())
    return attributes


def _unknown_service() -> str:
    # The conventions' default: "unknown_service:" and the executable's name,
    # which on Linux is the base name of what /proc/self/exe points to.
    try:
        executable = os.path.basename(os.readlink("/proc/self/exe"))
    except OSError:
        executable = os.path.basename(sys.executable or "")
    return f"unknown_service:{executable}" if executable else "unknown_service"
