"""Automatic capture of the official openai and anthropic SDK calls.

``capture(client)`` returns a traced client; ``capture_all()`` captures every client of both SDKs
until it is undone. Each call of ``chat.completions.create``, ``responses.create`` /
``responses.stream``, ``embeddings.create`` (openai) and ``messages.create`` / ``messages.stream``
(anthropic), sync or async, plain or streamed, gives one finished span handed to the sink.
"""

from __future__ import annotations

import importlib
import sys
import threading
from types import ModuleType, TracebackType
from typing import Any, TypeVar, cast

import pelnorix

from .._sinks import Sink, _Defaults
from ._call import Target, server_of
from ._routes import Routes, TracedClient, patched

C = TypeVar("C")

__all__ = ["Capture", "capture", "capture_all"]


def _sdk(client: Any) -> ModuleType | None:
    """The capture module of the SDK that made ``client``, or None."""
    for name in ("openai", "anthropic"):
        sdk = sys.modules.get(name)
        if sdk is None:
            continue
        bases = (sdk.OpenAI, sdk.AsyncOpenAI) if name == "openai" else (sdk.Anthropic, sdk.AsyncAnthropic)
        platform = name == "anthropic" and type(client).__module__.startswith("anthropic.lib.")
        if isinstance(client, bases) or (platform and hasattr(client, "messages")):
            if name == "openai":
                from . import _openai as module
            else:
                from . import _anthropic as module  # type: ignore[no-redef]
            return module
    return None


def capture(client: C, *, tracer: pelnorix.TamloxTracer | None = None, sink: Sink | None = None) -> C:
    """A traced stand-in for an ``openai`` or ``anthropic`` client (sync or async).

    The client itself is not changed; calls made through the returned object are recorded, each
    as one span started through ``tracer`` and handed to ``sink``. Both default to the enclosing
    step's, else to the process default (``set_sink``). Passing a ``pelnorix.InstrumentedClient``
    captures the client it wraps with its tracer, and returns an ``InstrumentedClient`` again.
    """
    if isinstance(client, pelnorix.InstrumentedClient):
        tracer = tracer or client.tracer
        traced = capture(client.wrapped_client, tracer=tracer, sink=sink)
        return cast(C, pelnorix.instrument(traced, tracer=tracer))
    module = _sdk(client)
    if module is None:
        raise TypeError(f"capture() takes an openai or anthropic client, not {type(client).__qualname__}")
    routes: Routes = module.routes()
    target = Target(tracer, sink, module.provider(client), server_of(client))
    return cast(C, TracedClient(client, routes, target))


_active_lock = threading.Lock()
_active: Capture | None = None


class Capture:
    """Every openai and anthropic client captured, until ``undo()`` (or the end of a ``with``)."""

    def __init__(self, replaced: list[tuple[type, str, Any]], defaults: tuple[Any, Any] | None) -> None:
        self._replaced = replaced
        self._defaults = defaults

    @property
    def active(self) -> bool:
        return _active is self

    def undo(self) -> None:
        """Give the SDK classes their own methods back (and the defaults that were replaced)."""
        global _active
        with _active_lock:
            if _active is not self:
                return
            for cls, name, original in reversed(self._replaced):
                setattr(cls, name, original)
            if self._defaults is not None:
                _Defaults.sink, _Defaults.tracer = self._defaults
            _active = None

    def __enter__(self) -> Capture:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.undo()


def capture_all(sink: Sink | None = None, *, tracer: pelnorix.TamloxTracer | None = None) -> Capture:
    """Capture the calls of every client of the openai and anthropic SDKs that are installed, by
    replacing the SDK's methods on their classes, until ``undo()`` is called on the result.

    ``sink`` and ``tracer``, when given, also become the process default (as ``set_sink`` makes
    them) until then, so that ``capture_all(OTLPExporter())`` is all a program needs. Raises
    RuntimeError while an earlier capture_all is still in force.
    """
    global _active
    modules = []
    for name in ("openai", "anthropic"):  # the SDKs that are installed
        try:
            modules.append(importlib.import_module(f"{__name__}._{name}"))
        except ImportError:
            continue
    with _active_lock:
        if _active is not None:
            raise RuntimeError("capture_all() is already in force; undo() it first")
        target = Target(tracer, sink, "", None)
        replaced: list[tuple[type, str, Any]] = []
        for module in modules:
            for cls, name, endpoint, how in module.patches():
                original = cls.__dict__[name]
                setattr(cls, name, patched(cls, name, endpoint, how, module.provider, target))
                replaced.append((cls, name, original))
        defaults = None
        if sink is not None or tracer is not None:
            defaults = (_Defaults.sink, _Defaults.tracer)
            if sink is not None:
                _Defaults.sink = sink
            if tracer is not None:
                _Defaults.tracer = tracer
        _active = Capture(replaced, defaults)
        return _active
