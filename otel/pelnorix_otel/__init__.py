"""OpenTelemetry companion of pelnorix: sends pelnorix spans to OTLP receivers,
captures the calls of LLM SDKs and nests spans into traces.

It uses only the public surface of the ``pelnorix`` module.
"""

from __future__ import annotations

__version__ = "0.3.0"

__all__: list[str] = [
    "ContentPolicy",
    "DropReason",
    "ExportCounters",
    "ExporterSettings",
    "OTLPExporter",
    "PreparedRequest",
    "SpanLink",
    "__version__",
]

from ._counters import DropReason, ExportCounters
from ._encoding import ContentPolicy
from ._exporter import OTLPExporter, PreparedRequest
from ._links import SpanLink
from ._settings import ExporterSettings
