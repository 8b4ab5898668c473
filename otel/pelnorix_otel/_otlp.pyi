"""Native OTLP encoding of pelnorix span documents."""

from collections.abc import Callable, Iterable

def encode_request(
    items: Iterable[tuple[str, tuple[str, str] | None]],
    resource: dict[str, str | bool | int | float],
    *,
    json: bool,
    include_content: bool,
    redact: Callable[[str], str] | None,
    max_attribute_bytes: int | None,
    scope_name: str,
    scope_version: str,
) -> bytes:
    """The body of one OTLP ExportTraceServiceRequest holding every (span document, link) pair
    of ``items``: protobuf, or OTLP/JSON when ``json`` is true."""
