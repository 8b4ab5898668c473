"""Request bodies from spans: each at most the request limit, none lost to a neighbour.

A batch is encoded as one request. When the body is over the limit the batch is
halved until every part fits, so one oversized span costs only itself. When the
encoder refuses the batch (a text that is not a span document, a redaction
callback that raised) every span is encoded alone once to find the ones at fault.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from ._counters import DropReason
from ._encoding import ContentPolicy, RequestEncoder
from ._links import SpanLink

Item = tuple[str, SpanLink | None]
"""What the encoder takes for one span: its ``to_json()`` text and its link."""


class RedactionFailed(Exception):
    """The user's redaction callback raised or returned something other than a str.

    The encoder lets the callback's exception through unchanged; wrapping it
    tells it apart from the encoder's own errors.
    """

    def __init__(self, original: BaseException) -> None:
        super().__init__(f"{type(original).__name__}: {original}")
        self.original = original


def guarded(content: ContentPolicy) -> ContentPolicy:
    """The policy with its redaction callback wrapped so that its failures are recognisable."""
    redact = content.redact
    if redact is None:
        return content

    def guarded_redact(text: str) -> str:
        try:
            redacted = redact(text)
        except Exception as error:
            raise RedactionFailed(error) from error
        if not isinstance(redacted, str):
            raise RedactionFailed(TypeError(f"returned {type(redacted).__name__}, not str"))
        return redacted

    return content._replace(redact=guarded_redact)


@dataclass
class Encoded:
    """The request bodies for some items, and what was dropped on the way."""

    bodies: list[tuple[bytes, list[Item]]] = field(default_factory=list)
    dropped: Counter[DropReason] = field(default_factory=Counter)
    first_errors: dict[DropReason, BaseException] = field(default_factory=dict)

    def drop(self, reason: DropReason, error: BaseException, count: int = 1) -> None:
        self.dropped[reason] += count
        self.first_errors.setdefault(reason, error)


class TooLarge(ValueError):
    def __init__(self, size: int, limit: int) -> None:
        super().__init__(f"one span encodes to {size} bytes, over max_request_bytes ({limit})")


def encode_fitting(encoder: RequestEncoder, items: Sequence[Item], limit: int) -> Encoded:
    """Bodies of at most ``limit`` bytes holding every item that can be encoded."""
    result = Encoded()
    _encode_into(encoder.encode, list(items), limit, result)
    return result


def _encode_into(
    encode: Callable[[Sequence[Item]], bytes], items: list[Item], limit: int, result: Encoded
) -> None:
    if not items:
        return
    try:
        body = encode(items)
    except Exception as error:
        if len(items) > 1:
            kept = [item for item in items if _encodes_alone(encode, item, result)]
            if len(kept) < len(items):
                _encode_into(encode, kept, limit, result)
                return
        # One item, or items that each encode alone but not together: the
        # error belongs to all of them.
        result.drop(_reason(error), error, len(items))
        return
    if len(body) <= limit:
        result.bodies.append((body, items))
    elif len(items) == 1:
        result.drop(DropReason.TOO_LARGE, TooLarge(len(body), limit))
    else:
        middle = len(items) // 2
        _encode_into(encode, items[:middle], limit, result)
        _encode_into(encode, items[middle:], limit, result)


def _encodes_alone(encode: Callable[[Sequence[Item]], bytes], item: Item, result: Encoded) -> bool:
    try:
        encode([item])
    except Exception as error:
        result.drop(_reason(error), error)
        return False
    return True


def _reason(error: Exception) -> DropReason:
    return DropReason.REDACTION_FAILED if isinstance(error, RedactionFailed) else DropReason.UNREADABLE
