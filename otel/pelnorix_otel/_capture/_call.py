"""Recording one captured SDK call: the span from request to answer, and the relay that watches a
stream's items on their way to the caller.

The caller's call is never changed by capture: its arguments go to the SDK as given (save the
usage request of openai chat streams), its result and its exceptions come back as the SDK made
them. A failure of the recording itself is logged once and the call goes on untraced.
"""

from __future__ import annotations

import time
import weakref
from collections.abc import AsyncIterator, Awaitable, Callable, Generator, Iterator, Mapping
from contextvars import ContextVar
from typing import Any, NamedTuple, Protocol

import pelnorix

from .._links import SpanLink, current_link
from .._sinks import Sink, deliver, log_once
from .._steps import describe_error, inherited
from ._content import Outcome, Request, dumps

CONTENT = 1
"""An item that carries generated content: the first one marks the time to first token."""
DROP = 2
"""An item that only capture asked for, kept from the caller."""

# Set while a captured call runs, so that a call captured twice (a traced client while every
# client is captured, an SDK helper calling its own create) gives one span.
_inside: ContextVar[bool] = ContextVar("pelnorix_otel.capture_inside", default=False)


class Accumulator(Protocol):
    """Collects a stream's items; ``add`` returns CONTENT and DROP flags."""

    def add(self, item: Any) -> int: ...
    def outcome(self) -> Outcome: ...


class Endpoint(NamedTuple):
    """One SDK method that capture knows."""

    operation: str
    describe: Callable[[dict[str, Any]], Request]
    """What to record of the request; may replace an iterable argument by a list (see listed)."""
    outcome: Callable[[Any], Outcome]
    accumulator: Callable[[dict[str, Any]], Accumulator] | None
    stream_types: tuple[type, ...]
    prepare: Callable[[dict[str, Any]], dict[str, Any]] | None = None
    """Arguments to send instead of the caller's (openai: ask a stream for usage)."""


class Target(NamedTuple):
    """Where a client's calls are recorded: an explicit tracer and sink (None: inherited),
    the provider and the server the client talks to."""

    tracer: pelnorix.TamloxTracer | None
    sink: Sink | None
    provider: str
    server: tuple[str, int] | None


def server_of(client: Any) -> tuple[str, int] | None:
    try:
        url = client.base_url
        port = url.port or (443 if url.scheme == "https" else 80)
        return str(url.host), int(port)
    except Exception:
        return None


def passes_through(kwargs: dict[str, Any]) -> bool:
    """Calls that are not recorded: nested in a captured call, or asking for the raw HTTP
    response (``with_raw_response`` / ``with_streaming_response`` mark their calls so)."""
    if _inside.get():
        return True
    headers = kwargs.get("extra_headers")
    return bool(headers) and isinstance(headers, Mapping) and "X-Stainless-Raw-Response" in headers


class Call:
    """The span of one call, from the request to the end of its answer."""

    __slots__ = ("span", "link", "sink", "endpoint", "started", "first", "accumulator", "finished", "__weakref__")

    def __init__(self, endpoint: Endpoint, kwargs: dict[str, Any], target: Target) -> None:
        tracer, self.sink = inherited(target.tracer, target.sink)
        self.endpoint = endpoint
        self.link: SpanLink | None = current_link.get()
        request = endpoint.describe(kwargs)
        span = self.span = tracer.start_span(endpoint.operation, target.provider, request.model)
        span.set_prompt(request.prompt)
        for key, value in request.tags.items():
            span.add_tag(key, value)
        if target.server is not None:
            span.add_tag("server.address", target.server[0])
            span.add_tag("server.port", str(target.server[1]))
        self.first: int | None = None
        self.accumulator: Accumulator | None = None
        self.finished = False
        self.started = time.perf_counter_ns()

    def returned(self, result: Any, kwargs: dict[str, Any]) -> Any:
        """Record what the SDK returned (a stream: start relaying it) and give it back."""
        try:
            if isinstance(result, self.endpoint.stream_types) and self.endpoint.accumulator is not None:
                self.accumulator = self.endpoint.accumulator(kwargs)
                relay(result, self)
            else:
                self.finish(self.endpoint.outcome(result))
        except Exception as exc:
            log_once(f"exc:result:{type(exc).__qualname__}", "pelnorix_otel: cannot record a result: %s", exc)
            self.finish(Outcome())
        return result

    def observe(self, item: Any) -> bool:
        """One stream item on its way to the caller; False keeps it from the caller."""
        accumulator = self.accumulator
        if accumulator is None or self.finished:
            return True
        try:
            flags = accumulator.add(item)
        except Exception as exc:
            log_once(f"exc:item:{type(exc).__qualname__}", "pelnorix_otel: cannot record a stream item: %s", exc)
            self.accumulator = None
            return True
        if flags & CONTENT and self.first is None:
            self.first = time.perf_counter_ns()
        return not flags & DROP

    def partial(self) -> Outcome:
        if self.accumulator is None:
            return Outcome()
        try:
            return self.accumulator.outcome()
        except Exception as exc:
            log_once(f"exc:partial:{type(exc).__qualname__}", "pelnorix_otel: cannot record a stream: %s", exc)
            return Outcome()

    def ended(self, why: str | None = None) -> None:
        """The stream ended: read to its end (``why`` None), closed early or abandoned."""
        if not self.finished:
            self.finish(self.partial(), stream_end=why)

    def failed(self, error: BaseException) -> None:
        if not self.finished:
            streaming = self.accumulator is not None
            self.finish(self.partial(), error=error, stream_end="error" if streaming else None)

    def finish(self, outcome: Outcome, *, error: BaseException | None = None, stream_end: str | None = None) -> None:
        self.finished = True
        span = self.span
        try:
            if outcome.input_tokens is not None or outcome.output_tokens is not None:
                span.set_token_counts(prompt_tokens=outcome.input_tokens, completion_tokens=outcome.output_tokens)
            if self.first is not None:
                span.set_ttft_ms((self.first - self.started) // 1_000_000)
            if outcome.response_model:
                span.add_tag("gen_ai.response.model", outcome.response_model)
            if outcome.response_id:
                span.add_tag("gen_ai.response.id", outcome.response_id)
            if outcome.finish_reasons:
                span.add_tag("gen_ai.response.finish_reasons", dumps(outcome.finish_reasons))
            for key, value in outcome.tags.items():
                span.add_tag(key, value)
            if stream_end is not None:
                span.add_tag("pelnorix.stream.end", stream_end)
                for message in outcome.output:
                    message["finish_reason"] = stream_end
            if outcome.output:
                span.add_tag("gen_ai.output.messages", dumps(outcome.output))
            if error is None or outcome.output:
                span.set_response(outcome.text())
            if error is not None:
                span.add_tag("error.type", type(error).__qualname__)
                span.set_error(describe_error(error), status_of(error))
        except Exception as exc:
            log_once(f"exc:finish:{type(exc).__qualname__}", "pelnorix_otel: cannot finish a span: %s", exc)
        deliver(span, self.link, self.sink)


class StreamCall(Call):
    """A call whose answer streams: a stream dropped without being read to its end or closed
    still finishes its span, when the stream is collected."""

    __slots__ = ()

    def __del__(self) -> None:
        if not self.finished:
            try:
                self.ended("abandoned")
            except Exception:  # at interpreter exit the logging machinery may be gone already
                pass


def status_of(error: BaseException) -> int | None:
    """The HTTP status of an SDK error; a 2xx stream that reports an error in its body has none."""
    status = getattr(error, "status_code", None)
    return status if isinstance(status, int) and 400 <= status <= 65535 else None


# --- relaying a stream --------------------------------------------------------------------


def relay(stream: Any, call: Call) -> None:
    """Put ``call`` between ``stream`` and its caller. The stream stays the SDK's object with its
    whole API: only its item iterator and its ``close`` are replaced on the instance, by ones that
    watch and then do what the SDK's did. They hold the stream weakly: a dropped stream is
    collected as without capture, and its span ends as "abandoned"."""
    inner = stream._iterator
    close = type(stream).close
    stream_ref = weakref.ref(stream)
    if isinstance(inner, AsyncIterator):
        stream._iterator = _relay_async(inner, call)

        async def close_async() -> None:
            call.ended("closed_by_caller")
            target = stream_ref()
            if target is not None:
                await close(target)

        stream.close = close_async
    else:
        stream._iterator = _relay(inner, call)

        def close_sync() -> None:
            call.ended("closed_by_caller")
            target = stream_ref()
            if target is not None:
                close(target)

        stream.close = close_sync


def _relay(inner: Iterator[Any], call: Call) -> Iterator[Any]:
    try:
        for item in inner:
            if call.observe(item):
                yield item
    except GeneratorExit:
        call.ended("abandoned")
        raise
    except BaseException as error:
        call.failed(error)
        raise
    call.ended()


async def _relay_async(inner: AsyncIterator[Any], call: Call) -> AsyncIterator[Any]:
    try:
        async for item in inner:
            if call.observe(item):
                yield item
    except GeneratorExit:
        call.ended("abandoned")
        raise
    except BaseException as error:
        call.failed(error)
        raise
    call.ended()


# --- one captured call, sync and async ------------------------------------------------------


def _start(
    endpoint: Endpoint, kwargs: dict[str, Any], target: Target, described: dict[str, Any] | None
) -> tuple[Call | None, dict[str, Any], dict[str, Any]]:
    """The record of a call about to be made (None: the call goes untraced), the arguments to
    send and the request's arguments. ``described``: the request's arguments when they are not
    the method's own (a stream manager's request takes none)."""
    request = kwargs if described is None else described
    if passes_through(request):
        return None, kwargs, request
    try:
        call = (StreamCall if request.get("stream") is True else Call)(endpoint, request, target)
    except Exception as exc:
        log_once(f"exc:begin:{type(exc).__qualname__}", "pelnorix_otel: cannot record a call: %s", exc)
        return None, kwargs, request
    if described is None and endpoint.prepare is not None:
        kwargs = request = endpoint.prepare(kwargs)
    return call, kwargs, request


def call_sync(
    endpoint: Endpoint,
    method: Callable[..., Any],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    target: Target,
    described: dict[str, Any] | None = None,
) -> Any:
    """``method(*args, **kwargs)``, recorded."""
    call, kwargs, request = _start(endpoint, kwargs, target, described)
    if call is None:
        return method(*args, **kwargs)
    token = _inside.set(True)
    try:
        result = method(*args, **kwargs)
    except BaseException as error:
        call.failed(error)
        raise
    finally:
        _inside.reset(token)
    return call.returned(result, request)


async def call_async(
    endpoint: Endpoint,
    method: Callable[..., Awaitable[Any]],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    target: Target,
    described: dict[str, Any] | None = None,
) -> Any:
    """``await method(*args, **kwargs)``, recorded."""
    call, kwargs, request = _start(endpoint, kwargs, target, described)
    if call is None:
        return await method(*args, **kwargs)
    token = _inside.set(True)
    try:
        result = await method(*args, **kwargs)
    except BaseException as error:
        call.failed(error)
        raise
    finally:
        _inside.reset(token)
    return call.returned(result, request)


# --- stream helpers that send their request later (anthropic's messages.stream) -------------


def trace_manager(manager: Any, endpoint: Endpoint, kwargs: dict[str, Any], target: Target) -> Any:
    """Capture the request a stream manager makes when it is entered; the manager stays the SDK's.

    The manager keeps that request in a private attribute: a callable (sync) or an awaitable
    (async), swapped here for one that records the call around it.
    """
    names = [name for name in vars(manager) if name.endswith("__api_request")]
    if len(names) != 1:
        log_once("manager", "pelnorix_otel: this SDK's stream manager is not known; its stream is not captured")
        return manager
    request = getattr(manager, names[0])
    # The SDK still holds the caller's arguments: one that reading would use up (a generator of
    # messages) is left out of the record.
    described = {key: value for key, value in kwargs.items() if not isinstance(value, Iterator)}
    described["stream"] = True
    if callable(request):
        setattr(manager, names[0], lambda: call_sync(endpoint, request, (), {}, target, described))
    else:
        setattr(manager, names[0], _Deferred(request, endpoint, described, target))
    return manager


class _Deferred:
    """An awaitable that records the call of the awaitable it stands for, when it is awaited."""

    __slots__ = ("request", "endpoint", "kwargs", "target")

    def __init__(self, request: Awaitable[Any], endpoint: Endpoint, kwargs: dict[str, Any], target: Target) -> None:
        self.request, self.endpoint, self.kwargs, self.target = request, endpoint, kwargs, target

    def __await__(self) -> Generator[Any, None, Any]:
        return call_async(self.endpoint, _awaited, (self.request,), {}, self.target, self.kwargs).__await__()


async def _awaited(awaitable: Awaitable[Any]) -> Any:
    return await awaitable
