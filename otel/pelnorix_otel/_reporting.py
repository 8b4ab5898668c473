"""Logging of export failures: once per kind of failure, and once more when it ends.

A collector that is down fails every request and every span; one warning says
so, and the next says when delivery works again and how often it failed meanwhile.
"""

from __future__ import annotations

import logging
import threading

logger = logging.getLogger("pelnorix_otel")


class FailureLog:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._active: dict[str, int] = {}

    def failed(self, kind: str, message: str, *, exc_info: bool = False) -> None:
        """Logs ``message`` unless a failure of this kind is already being reported."""
        with self._lock:
            repeats = self._active.get(kind)
            self._active[kind] = 1 if repeats is None else repeats + 1
        if repeats is None:
            logger.warning(
                "pelnorix_otel: %s (repeats are not logged until this recovers)",
                message,
                exc_info=exc_info,
            )

    def recovered(self, kind: str, message: str) -> None:
        """Ends a reported failure of this kind, saying how often it happened."""
        with self._lock:
            repeats = self._active.pop(kind, None)
        if repeats is not None:
            times = "once" if repeats == 1 else f"{repeats} times"
            logger.warning("pelnorix_otel: %s (the failure happened %s)", message, times)

    def active(self, prefix: str = "") -> list[str]:
        with self._lock:
            return [kind for kind in self._active if kind.startswith(prefix)]
