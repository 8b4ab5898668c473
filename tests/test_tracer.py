"""TamloxTracer: construction, tenant parsing, representation and starting spans."""

from __future__ import annotations

import gc
import sys
import unicodedata
import uuid
from typing import Any

import pytest
from support import TENANT, UUID4

import pelnorix


@pytest.mark.parametrize(
    "kwargs", [{}, {"tenant_id": None, "endpoint": None, "enable_security": None}]
)
def test_default_tracer(kwargs: dict[str, Any]) -> None:
    first, second = pelnorix.TamloxTracer(**kwargs), pelnorix.TamloxTracer(**kwargs)
    assert UUID4.fullmatch(first.tenant_id)
    # Drawn once per tracer, not per read.
    assert first.tenant_id == first.tenant_id != second.tenant_id
    assert first.endpoint is None
    assert first.enable_security is True


@pytest.mark.parametrize(
    "text",
    [
        TENANT,
        TENANT.upper(),
        "3F2b8C1e-9D4a-4E7b-B5c6-0A1d2E3f4A5b",
        "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b",
        "3F2B8C1E9D4A4E7BB5C60A1D2E3F4A5B",
        "{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b}",
        "{3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B}",
        "urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
        "urn:uuid:3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B",
    ],
)
def test_accepted_tenant_forms_read_back_canonical(text: str) -> None:
    assert pelnorix.TamloxTracer(tenant_id=text).tenant_id == TENANT


@pytest.mark.parametrize(
    "text",
    [
        "00000000-0000-0000-0000-000000000000",
        "ffffffff-ffff-ffff-ffff-ffffffffffff",
        "0123456789abcdef0123456789abcdef",
    ],
)
def test_any_version_and_variant_is_kept(text: str) -> None:
    expected = (
        text if "-" in text else f"{text[:8]}-{text[8:12]}-{text[12:16]}-{text[16:20]}-{text[20:]}"
    )
    assert pelnorix.TamloxTracer(tenant_id=text).tenant_id == expected


def test_keywords_emptied_while_a_later_one_converts() -> None:
    # Deciding whether a value is numpy's boolean reads its type's __module__, which may be
    # any Python code: here code that empties the very dictionary of keywords the
    # constructor was handed, dropping the only reference to the texts converted before.
    class Meddling(type):
        @property
        def __module__(cls) -> str:  # type: ignore[override]
            for holder in gc.get_referrers(flag):
                if isinstance(holder, dict) and "enable_security" in holder:
                    holder.clear()
            # Fill the freed memory with other texts of the same size.
            refill.extend(str(uuid.uuid4()) for _ in range(16))
            return "numpy"

    class bool_(metaclass=Meddling):  # noqa: N801 - the name numpy's type has
        def __bool__(self) -> bool:
            return False

    refill: list[str] = []
    flag = bool_()
    # Texts made here, so that only the dictionary the constructor is handed holds them.
    tracer = pelnorix.TamloxTracer(
        **{
            "tenant_id": TENANT.upper(),
            "endpoint": "-".join(["http://", "c"]),
            "enable_security": flag,
        }
    )
    assert refill, "the dictionary was not emptied during the conversion"
    assert (tracer.tenant_id, tracer.endpoint) == (TENANT, "http://-c")
    assert tracer.enable_security is False


TENANT_PARSE_ERRORS = [
    ("", "invalid length: expected length 32 for simple format, found 0"),
    ("not-a-uuid", "invalid character: found `n` at 1"),
    ("12345", "invalid length: expected length 32 for simple format, found 5"),
    ("1234-5678", "invalid group count: expected 5, found 2"),
    ("3f2b8c1-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "invalid group length in group 0: expected 8, found 7"),
    (
        "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5bc",
        "invalid group length in group 4: expected 12, found 13",
    ),
    (" 3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "invalid character: found ` ` at 1"),
    ("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b ", "invalid character: found ` ` at 37"),
    ("URN:UUID:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b", "invalid character: found `U` at 1"),
    ("3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5g", "invalid character: found `g` at 36"),
    (
        "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5",
        "invalid length: expected length 32 for simple format, found 31",
    ),
    (
        "3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b0",
        "invalid length: expected length 32 for simple format, found 33",
    ),
    ("3f2b8c1e-9d4a-4e7b-b5c60a1d2e3f4a5b", "invalid group count: expected 5, found 4"),
    ("3f2b8c1e-9d4a-4e7b-b5c6-0a1d-2e3f4a5b", "invalid group count: expected 5, found 6"),
    (
        "3f2b8c1e-9d4a4-e7b-b5c6-0a1d2e3f4a5b",
        "invalid group length in group 1: expected 4, found 5",
    ),
    ("-", "invalid group count: expected 5, found 2"),
    ("----", "invalid group length in group 0: expected 8, found 0"),
    # Wrappers: a well-formed one is stripped first; a malformed one is scanned inside.
    ("{}", "invalid group count: expected 5, found 1"),
    ("urn:uuid:", "invalid group count: expected 5, found 1"),
    (
        "{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5}",
        "invalid group length in group 4: expected 12, found 11",
    ),
    (
        "urn:uuid:3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5",
        "invalid group length in group 4: expected 12, found 11",
    ),
    ("{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5x}", "invalid character: found `x` at 36"),
    ("{3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5bx", "invalid character: found `{` at 1"),
    ("{x}", "invalid character: found `x` at 2"),
    ("urn:uuid:xyz", "invalid character: found `x` at 10"),
    ("{3f2b8c1e9d4a4e7bb5c60a1d2e3f4a5b}", "invalid group count: expected 5, found 1"),
    ("\u00e93f2b8c1e", "invalid character: found `\u00e9` at 1"),
    ("3f2b8c1e-\U0001f600", "invalid character: found `\U0001f600` at 10"),
]


@pytest.mark.parametrize(("text", "message"), TENANT_PARSE_ERRORS)
def test_tenant_parse_errors(text: str, message: str) -> None:
    with pytest.raises(ValueError) as info:
        pelnorix.TamloxTracer(tenant_id=text)
    assert type(info.value) is ValueError
    assert str(info.value) == "Invalid tenant_id UUID: " + message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("enable_security", [True, False])
def test_repr_without_endpoint(enable_security: bool) -> None:
    tracer = pelnorix.TamloxTracer(tenant_id=TENANT.upper(), enable_security=enable_security)
    flag = "true" if enable_security else "false"
    expected = f"TamloxTracer(tenant_id='{TENANT}', endpoint=None, security={flag})"
    assert repr(tracer) == expected
    assert str(tracer) == expected


QUOTED_FORMS = [
    ("", '""'),
    ("http://collector:4318/v1", '"http://collector:4318/v1"'),
    ('say "hi"', '"say \\"hi\\""'),
    ("a\\b", '"a\\\\b"'),
    ("it's", '"it\'s"'),
    ("\x00", '"\\0"'),
    ("\t\r\n", '"\\t\\r\\n"'),
    ("line\nnext", '"line\\nnext"'),
    ("\x01\x1b\x1f", '"\\u{1}\\u{1b}\\u{1f}"'),
    ("\x7f\x85\x9f", '"\\u{7f}\\u{85}\\u{9f}"'),
    ("a\u200bb", '"a\\u{200b}b"'),  # Cf
    ("\u00ad\ufeff\u200d\U000e0001", '"\\u{ad}\\u{feff}\\u{200d}\\u{e0001}"'),  # Cf
    ("e\u0301", '"e\\u{301}"'),  # combining acute accent: Grapheme_Extend
    ("\u09be", '"\\u{9be}"'),  # spacing mark that still extends a grapheme
    ("\u0903", '"\u0903"'),  # spacing mark that does not
    ("\u2764\ufe0f", '"\u2764\\u{fe0f}"'),  # variation selector: Grapheme_Extend
    ("\u2028\u2029", '"\\u{2028}\\u{2029}"'),  # Zl, Zp
    ("\u00a0\u2003\u3000", '"\\u{a0}\\u{2003}\\u{3000}"'),  # Zs other than the space
    (" ", '" "'),
    ("\ue000\U000f0000\U0010fffd", '"\\u{e000}\\u{f0000}\\u{10fffd}"'),  # Co
    ("\u0378\U0010ffff\ufffe", '"\\u{378}\\u{10ffff}\\u{fffe}"'),  # Cn
    ("\U0001f600\U0001f1fa\U0001f1f8", '"\U0001f600\U0001f1fa\U0001f1f8"'),
    (
        "\u00e9t\u00e9 \u4e2d\u6587 \u039f\u0394\u039f\u03a3",
        '"\u00e9t\u00e9 \u4e2d\u6587 \u039f\u0394\u039f\u03a3"',
    ),
    ("\ufffd", '"\ufffd"'),
]


@pytest.mark.parametrize(("endpoint", "quoted"), QUOTED_FORMS)
def test_repr_quotes_the_endpoint(endpoint: str, quoted: str) -> None:
    tracer = pelnorix.TamloxTracer(tenant_id=TENANT, endpoint=endpoint)
    assert tracer.endpoint == endpoint
    assert (
        repr(tracer)
        == f"TamloxTracer(tenant_id='{TENANT}', endpoint=Some({quoted}), security=true)"
    )


def test_repr_escapes_every_control_and_separator_character() -> None:
    # These categories are stable across Unicode releases, so the interpreter's
    # own database is a fair reference here.
    special = {0: "\\0", 9: "\\t", 10: "\\n", 13: "\\r"}
    characters = [
        chr(c)
        for c in range(sys.maxunicode + 1)
        if unicodedata.category(chr(c)) in ("Cc", "Zs", "Zl", "Zp") and c != 0x20
    ]
    expected = "".join(special.get(ord(c), f"\\u{{{ord(c):x}}}") for c in characters)
    tracer = pelnorix.TamloxTracer(endpoint="".join(characters))
    assert repr(tracer).endswith(f'endpoint=Some("{expected}"), security=true)')


@pytest.mark.parametrize(
    ("operation", "provider", "model"),
    [
        ("chat_completion", "OpenAI", "gpt-4"),
        ("op", "\u039f\u0394\u039f\u03a3", "m"),
        ("op", "", "m"),
        ("", " openai", ""),
        ("embedding", "Azure-OpenAI", "text-embedding-3"),
        ("\u00e9\u00e9", "My Provider", "\U0001f600"),
    ],
)
def test_start_span_records_names(operation: str, provider: str, model: str) -> None:
    span = pelnorix.TamloxTracer().start_span(operation, provider, model)
    assert type(span) is pelnorix.TraceSpan
    assert (span.operation_name, span.model_name) == (operation, model)
    assert span.prompt == ""
