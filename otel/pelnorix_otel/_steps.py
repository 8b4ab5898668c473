"""Traces that nest: the user's own steps (an agent run, a tool execution) as spans that contain
the captured calls and the inner steps started while they run.

A pelnorix span has no parent of its own. While a step runs, ``current_link`` holds the link that
a span started inside it belongs under (the trace of the outermost step, this step as parent), and
the exporter writes those identifiers. The state lives in context variables, so it follows asyncio
tasks by itself; ``carry_context`` takes it into threads and executors.
"""

from __future__ import annotations

import contextvars
import functools
import inspect
from collections.abc import AsyncGenerator, Callable, Generator
from contextvars import ContextVar, Token
from types import TracebackType
from typing import Any, Literal, NamedTuple, ParamSpec, TypeVar, cast, overload

import pelnorix

from ._links import SpanLink, current_link, otlp_span_id, otlp_trace_id
from ._sinks import Sink, default_tracer, deliver

P = ParamSpec("P")
R = TypeVar("R")
F = TypeVar("F", bound=Callable[..., Any])

StepKind = Literal["agent", "tool"]
_OPERATIONS: dict[str, str] = {"agent": "invoke_agent", "tool": "execute_tool"}


class _Frame(NamedTuple):
    """What a running step hands down to what starts inside it."""

    span: pelnorix.TraceSpan
    tracer: pelnorix.TamloxTracer
    sink: Sink | None


_current_frame: ContextVar[_Frame | None] = ContextVar("pelnorix_otel.current_frame", default=None)


def current_step() -> pelnorix.TraceSpan | None:
    """The span of the innermost step running in this context, or None."""
    frame = _current_frame.get()
    return frame.span if frame else None


def inherited(
    tracer: pelnorix.TamloxTracer | None, sink: Sink | None
) -> tuple[pelnorix.TamloxTracer, Sink | None]:
    """The tracer and sink of something started here: its own, else the enclosing step's, else the
    process default (the sink is looked up again when the span is delivered)."""
    frame = _current_frame.get()
    if frame is not None:
        return tracer or frame.tracer, sink if sink is not None else frame.sink
    return tracer or default_tracer(), sink


def describe_error(error: BaseException) -> str:
    """The error text of a failed span: "ValueError: bad input", or the type name alone."""
    text = str(error)
    name = type(error).__qualname__
    return f"{name}: {text}" if text else name


def _restore(var: ContextVar[Any], token: Token[Any]) -> None:
    try:
        var.reset(token)
    except ValueError:  # ended in another context than it began in
        var.set(token.old_value if token.old_value is not Token.MISSING else None)


class _Run:
    """One run of a step: its span, and the context it set while it runs."""

    __slots__ = ("span", "parent", "sink", "_inner", "_tokens")

    def __init__(self, name: str, operation: str, tracer: pelnorix.TamloxTracer | None, sink: Sink | None) -> None:
        tracer, self.sink = inherited(tracer, sink)
        self.parent = current_link.get()
        self.span = tracer.start_span(operation, "", name)
        trace_id = self.parent.trace_id if self.parent else otlp_trace_id(self.span.trace_id)
        self._inner = (SpanLink(trace_id, otlp_span_id(self.span.span_id)), _Frame(self.span, tracer, self.sink))
        self._tokens: tuple[Token[SpanLink | None], Token[_Frame | None]] | None = None
        self.enter()

    def enter(self) -> None:
        """Make this step current (again, when a generator resumes)."""
        link, frame = self._inner
        self._tokens = (current_link.set(link), _current_frame.set(frame))

    def leave(self) -> None:
        """Give the context back as it was, keeping what the step's code made current meanwhile."""
        if self._tokens is not None:
            self._inner = (cast(SpanLink, current_link.get()), cast(_Frame, _current_frame.get()))
            link_token, frame_token = self._tokens
            self._tokens = None
            _restore(_current_frame, frame_token)
            _restore(current_link, link_token)

    def end(self, error: BaseException | None) -> None:
        self.leave()
        span = self.span
        try:
            if error is not None and not isinstance(error, GeneratorExit):
                span.add_tag("error.type", type(error).__qualname__)
                span.set_error(describe_error(error))
            elif span.is_failed:  # the step's code reported a failure itself
                span.set_error(cast(str, span.error_message), span.status_code)
            else:
                span.set_response(span.response or "")
        except Exception:  # the span is in use elsewhere; deliver it as it stands
            pass
        deliver(span, self.parent, self.sink)


class Step:
    """A traced step: a context manager (``with``/``async with``, giving the span) and a decorator
    for functions, coroutine functions, generators and async generators. See ``step``."""

    __slots__ = ("name", "kind", "operation", "tracer", "sink", "_runs")

    def __init__(
        self, name: str | None, kind: StepKind, tracer: pelnorix.TamloxTracer | None, sink: Sink | None
    ) -> None:
        if kind not in _OPERATIONS:
            raise ValueError(f"kind must be 'agent' or 'tool', not {kind!r}")
        self.name = name
        self.kind: StepKind = kind
        self.operation = _OPERATIONS[kind]
        self.tracer = tracer
        self.sink = sink
        self._runs: list[_Run] = []

    def _start(self) -> _Run:
        return _Run(self.name or "", self.operation, self.tracer, self.sink)

    def __enter__(self) -> pelnorix.TraceSpan:
        if self.name is None:
            raise TypeError("a step entered with 'with' needs a name: step('name')")
        run = self._start()
        self._runs.append(run)
        return run.span

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self._runs.pop().end(error)

    async def __aenter__(self) -> pelnorix.TraceSpan:
        return self.__enter__()

    async def __aexit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.__exit__(kind, error, tb)

    def __call__(self, function: F) -> F:
        if self.name is None:
            return Step(function.__name__, self.kind, self.tracer, self.sink)(function)
        if inspect.isasyncgenfunction(function):
            wrapper: Callable[..., Any] = self._async_generator(function)
        elif inspect.isgeneratorfunction(function):
            wrapper = self._generator(function)
        elif inspect.iscoroutinefunction(function):
            wrapper = self._coroutine(function)
        else:
            wrapper = self._function(function)
        return cast(F, functools.wraps(function)(wrapper))

    def _function(self, function: Callable[P, R]) -> Callable[P, R]:
        def run(*args: P.args, **kwargs: P.kwargs) -> R:
            step = self._start()
            try:
                result = function(*args, **kwargs)
            except BaseException as error:
                step.end(error)
                raise
            step.end(None)
            return result

        return run

    def _coroutine(self, function: Callable[P, Any]) -> Callable[P, Any]:
        async def run(*args: P.args, **kwargs: P.kwargs) -> Any:
            step = self._start()
            try:
                result = await function(*args, **kwargs)
            except BaseException as error:
                step.end(error)
                raise
            step.end(None)
            return result

        return run

    def _generator(self, function: Callable[P, Generator[Any, Any, Any]]) -> Callable[P, Generator[Any, Any, Any]]:
        def run(*args: P.args, **kwargs: P.kwargs) -> Generator[Any, Any, Any]:
            inner = function(*args, **kwargs)
            step = self._start()
            error: BaseException | None = None
            try:
                sent: Any = None
                thrown: BaseException | None = None
                while True:
                    try:
                        item = inner.send(sent) if thrown is None else inner.throw(thrown)
                    except StopIteration as stop:
                        return stop.value
                    step.leave()
                    try:
                        sent, thrown = (yield item), None
                    except GeneratorExit:
                        step.enter()
                        inner.close()
                        raise
                    except BaseException as caught:
                        sent, thrown = None, caught
                    step.enter()
            except BaseException as caught:
                error = caught
                raise
            finally:
                step.end(error)

        return run

    def _async_generator(
        self, function: Callable[P, AsyncGenerator[Any, Any]]
    ) -> Callable[P, AsyncGenerator[Any, Any]]:
        async def run(*args: P.args, **kwargs: P.kwargs) -> AsyncGenerator[Any, Any]:
            inner = function(*args, **kwargs)
            step = self._start()
            error: BaseException | None = None
            try:
                sent: Any = None
                thrown: BaseException | None = None
                while True:
                    try:
                        item = await (inner.asend(sent) if thrown is None else inner.athrow(thrown))
                    except StopAsyncIteration:
                        return
                    step.leave()
                    try:
                        sent, thrown = (yield item), None
                    except GeneratorExit:
                        step.enter()
                        await inner.aclose()
                        raise
                    except BaseException as caught:
                        sent, thrown = None, caught
                    step.enter()
            except BaseException as caught:
                error = caught
                raise
            finally:
                step.end(error)

        return run


@overload
def step(name: F, /) -> F: ...
@overload
def step(
    name: str | None = None,
    /,
    *,
    kind: StepKind = "agent",
    tracer: pelnorix.TamloxTracer | None = None,
    sink: Sink | None = None,
) -> Step: ...
def step(
    name: str | Callable[..., Any] | None = None,
    /,
    *,
    kind: StepKind = "agent",
    tracer: pelnorix.TamloxTracer | None = None,
    sink: Sink | None = None,
) -> Any:
    """A traced step of the user's own code: an agent run (``kind="agent"``, the span's operation
    is "invoke_agent") or a tool execution (``kind="tool"``, "execute_tool"), named ``name`` (as a
    decorator, the function's name when omitted; ``@step`` works bare too).

    Everything started inside (captured SDK calls, inner steps) belongs to the same trace, under
    this step. On exit the span is finished and handed to the sink: a raised exception makes it a
    failed span ("ValueError: bad input") and is re-raised unchanged; a failure the code recorded
    on the span itself (``span.set_error``) is kept. ``tracer`` and ``sink`` default to the
    enclosing step's, else the process default (``set_sink``).
    """
    if callable(name):
        return Step(None, "agent", None, None)(name)
    return Step(name, kind, tracer, sink)


def carry_context(function: Callable[P, R]) -> Callable[P, R]:
    """``function`` bound to the current context (the running step included), for another thread:
    ``executor.submit(carry_context(work), item)``, ``Thread(target=carry_context(work))``,
    ``loop.run_in_executor(None, carry_context(work))``. Each call runs in its own copy of the
    context captured here, so concurrent calls do not disturb each other."""
    context = contextvars.copy_context()

    @functools.wraps(function)
    def run(*args: P.args, **kwargs: P.kwargs) -> R:
        return context.copy().run(function, *args, **kwargs)

    return run
