"""Pelnorix Python bindings."""

from typing import Any, Final, Literal, TypeAlias, final

__version__: Final[str]
__all__ = ["__version__", "TamloxTracer", "TraceSpan", "InstrumentedClient", "configure", "instrument"]

# The five accepted action kinds; any other text is refused at run time.
_ActionType: TypeAlias = Literal[
    "tool_call", "skill_invocation", "command_execution", "web_access", "file_access"
]

@final
class TamloxTracer:
    """Security-aware LLM tracer.

    Create one per application (or per tenant) and use it to start trace
    spans for each LLM call.
    """

    def __new__(
        cls,
        *,
        tenant_id: str | None = None,
        endpoint: str | None = None,
        enable_security: bool | None = None,
    ) -> TamloxTracer: ...
    @property
    def tenant_id(self) -> str:
        """Tenant identifier (UUID string)."""
    @property
    def endpoint(self) -> str | None:
        """Collector endpoint URL, or ``None``."""
    @property
    def enable_security(self) -> bool:
        """Whether security analysis is enabled."""
    def start_span(self, operation_name: str, provider: str, model: str) -> TraceSpan:
        """Start a new trace span."""

@final
class TraceSpan:
    """A single trace span representing one LLM interaction.

    Created via [`TamloxTracer.start_span`]. Use setters to record the
    prompt, response, token counts, and completion status.
    """

    @property
    def trace_id(self) -> str: ...
    @property
    def span_id(self) -> str: ...
    @property
    def operation_name(self) -> str: ...
    @property
    def model_name(self) -> str: ...
    @property
    def prompt(self) -> str: ...
    @property
    def response(self) -> str | None: ...
    @property
    def is_complete(self) -> bool: ...
    @property
    def is_failed(self) -> bool: ...
    @property
    def duration_ms(self) -> int | None: ...
    @property
    def prompt_tokens(self) -> int | None: ...
    @property
    def completion_tokens(self) -> int | None: ...
    @property
    def total_tokens(self) -> int | None: ...
    @property
    def security_score(self) -> int | None: ...
    @property
    def error_message(self) -> str | None: ...
    @property
    def status_code(self) -> int | None: ...
    @property
    def security_findings_count(self) -> int: ...
    @property
    def agent_actions_count(self) -> int: ...
    def security_findings(self) -> list[dict[str, Any]]:
        """Security findings as a list of dicts."""
    def set_prompt(self, prompt: str) -> None:
        """Set the prompt text for this span."""
    def set_response(self, response: str) -> None:
        """Record a successful response and mark the span as complete."""
    def set_error(self, error: str, status_code: int | None = None) -> None:
        """Record an error and mark the span as complete."""
    def set_token_counts(
        self, *, prompt_tokens: int | None = None, completion_tokens: int | None = None
    ) -> None:
        """Set token counts for this span."""
    def set_ttft_ms(self, ttft_ms: int) -> None:
        """Set the time-to-first-token in milliseconds."""
    def add_tag(self, key: str, value: str) -> None:
        """Add a custom tag (key-value pair) to this span."""
    def report_action(
        self,
        action_type: _ActionType | str,
        name: str,
        *,
        arguments: str | None = None,
        result: str | None = None,
        duration_ms: int | None = None,
        success: bool | None = None,
    ) -> str:
        """Report an agent action on this span; returns the action ID (UUID string)."""
    def to_dict(self) -> dict[str, Any]:
        """Serialise the span to a Python dictionary."""
    def to_json(self) -> str:
        """Serialise the span to a JSON string."""

@final
class InstrumentedClient:
    """A wrapper around a Python LLM client that attaches an [`TamloxTracer`].

    Attribute access is delegated to the wrapped client, so it can be used
    as a drop-in replacement. The attached tracer is accessible via the
    ``tracer`` property.
    """

    @property
    def tracer(self) -> TamloxTracer:
        """The attached :class:`TamloxTracer`."""
    @property
    def wrapped_client(self) -> Any:
        """The original (unwrapped) client object."""
    def start_span(self, operation_name: str, provider: str, model: str) -> TraceSpan:
        """Start a trace span via the attached tracer (convenience shortcut)."""
    def __getattr__(self, name: str) -> Any: ...

def configure(config: dict[str, Any]) -> TamloxTracer:
    """Configure and create an :class:`TamloxTracer` from a Python dictionary."""

def instrument(client: Any, *, tracer: TamloxTracer | None = None) -> InstrumentedClient:
    """Instrument a Python LLM client with automatic tracing."""
