"""How capture reaches the SDK methods: a traced client that stands in for the user's client, and
the class-level replacement used when every client is captured.

A traced client is a thin stand-in: every attribute is read from the client, except the paths
that lead to a captured method (``chat.completions.create``, ``messages.stream``, ...), which are
answered by recording versions of the client's own bound methods. ``isinstance`` sees the
client's class; the client itself is never changed.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable
from typing import Any

from ._call import Endpoint, Target, call_async, call_sync, server_of, trace_manager

Route = Callable[[Any, "TracedObject"], Any]
"""Makes what a traced object answers for an attribute, from the attribute's value."""
Routes = dict[str, Any]  # name -> Route, or the Routes of the object that attribute holds


def is_async(method: Any) -> bool:
    """Whether ``method`` is an async function, under the SDK's argument-checking decorators."""
    return inspect.iscoroutinefunction(method) or inspect.iscoroutinefunction(inspect.unwrap(method))


def CREATE(endpoint: Endpoint) -> Route:  # noqa: N802 - a route table entry
    """A method whose call is recorded."""

    def route(method: Any, owner: TracedObject) -> Any:
        target = owner._pelnorix_target
        if is_async(method):

            async def traced_async(*args: Any, **kwargs: Any) -> Any:
                return await call_async(endpoint, method, args, kwargs, target)

            return functools.wraps(method)(traced_async)

        def traced(*args: Any, **kwargs: Any) -> Any:
            return call_sync(endpoint, method, args, kwargs, target)

        return functools.wraps(method)(traced)

    return route


def MANAGER(endpoint: Endpoint) -> Route:  # noqa: N802
    """A method that returns a stream manager, whose request is recorded when it is entered."""

    def route(method: Any, owner: TracedObject) -> Any:
        target = owner._pelnorix_target

        def traced(*args: Any, **kwargs: Any) -> Any:
            return trace_manager(method(*args, **kwargs), endpoint, kwargs, target)

        return functools.wraps(method)(traced)

    return route


def VIA_PROXY(method: Any, owner: TracedObject) -> Any:  # noqa: N802
    """An SDK helper that builds on the resource's own ``create``: it runs with the traced
    resource as ``self``, so its request goes through the recorded ``create``."""
    function = getattr(owner._pelnorix_object.__class__, method.__name__)  # the SDK's class

    def traced(*args: Any, **kwargs: Any) -> Any:
        return function(owner, *args, **kwargs)

    return functools.wraps(method)(traced)


def _rewrapped(method: Any, owner: TracedObject) -> Any:
    """``with_options`` / ``copy``: the new client is traced as this one is."""
    routes, target = owner._pelnorix_routes, owner._pelnorix_target

    def traced(*args: Any, **kwargs: Any) -> Any:
        client = method(*args, **kwargs)
        return TracedClient(client, routes, target._replace(server=server_of(client)))

    return functools.wraps(method)(traced)


class TracedObject:
    """Stands in for an SDK object; answers the routed attributes, forwards all others."""

    __slots__ = ("_pelnorix_object", "_pelnorix_routes", "_pelnorix_target", "_pelnorix_cache")

    def __init__(self, wrapped: Any, routes: Routes, target: Target) -> None:
        object.__setattr__(self, "_pelnorix_object", wrapped)
        object.__setattr__(self, "_pelnorix_routes", routes)
        object.__setattr__(self, "_pelnorix_target", target)
        object.__setattr__(self, "_pelnorix_cache", {})

    def __getattr__(self, name: str) -> Any:
        cache = self._pelnorix_cache
        if name in cache:
            return cache[name]
        value = getattr(self._pelnorix_object, name)
        route = self._pelnorix_routes.get(name)
        if route is None:
            return value
        made = TracedObject(value, route, self._pelnorix_target) if isinstance(route, dict) else route(value, self)
        cache[name] = made
        return made

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._pelnorix_object, name, value)
        self._pelnorix_cache.pop(name, None)

    def __delattr__(self, name: str) -> None:
        delattr(self._pelnorix_object, name)
        self._pelnorix_cache.pop(name, None)

    @property  # type: ignore[misc]
    def __class__(self) -> type:  # isinstance() sees the SDK's class
        return type(self._pelnorix_object)

    def __dir__(self) -> list[str]:
        return dir(self._pelnorix_object)

    def __repr__(self) -> str:
        return f"captured({self._pelnorix_object!r})"


class TracedClient(TracedObject):
    """A traced SDK client; ``with`` and ``async with`` give the traced client, not the bare one."""

    __slots__ = ()

    def __init__(self, client: Any, routes: Routes, target: Target) -> None:
        super().__init__(client, {**routes, "with_options": _rewrapped, "copy": _rewrapped}, target)

    def __enter__(self) -> TracedClient:
        self._pelnorix_object.__enter__()
        return self

    def __exit__(self, *exc_info: Any) -> Any:
        return self._pelnorix_object.__exit__(*exc_info)

    async def __aenter__(self) -> TracedClient:
        await self._pelnorix_object.__aenter__()
        return self

    async def __aexit__(self, *exc_info: Any) -> Any:
        return await self._pelnorix_object.__aexit__(*exc_info)


# --- capturing every client ---------------------------------------------------------------


def patched(
    cls: type, name: str, endpoint: Endpoint, how: str, provider: Callable[[Any], str], target: Target
) -> Callable[..., Any]:
    """The replacement of ``cls.name`` while every client is captured: it records the call with
    the provider and server of the client the resource belongs to."""
    original = getattr(cls, name)

    def target_of(resource: Any) -> Target:
        client = resource._client
        return target._replace(provider=provider(client), server=server_of(client))

    if how == "manager":

        def traced_manager(self: Any, *args: Any, **kwargs: Any) -> Any:
            return trace_manager(original(self, *args, **kwargs), endpoint, kwargs, target_of(self))

        replacement: Callable[..., Any] = traced_manager
    elif is_async(original):

        async def traced_async(self: Any, *args: Any, **kwargs: Any) -> Any:
            return await call_async(endpoint, functools.partial(original, self), args, kwargs, target_of(self))

        replacement = traced_async
    else:

        def traced(self: Any, *args: Any, **kwargs: Any) -> Any:
            return call_sync(endpoint, functools.partial(original, self), args, kwargs, target_of(self))

        replacement = traced
    functools.update_wrapper(replacement, original)
    replacement.__pelnorix_original__ = original  # type: ignore[attr-defined]
    return replacement
