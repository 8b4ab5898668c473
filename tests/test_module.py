"""The module object, its classes and their Python-visible identity."""

from __future__ import annotations

import importlib
import inspect
import os
import subprocess
import sys
import textwrap
import weakref
from typing import Any

import pytest

import pelnorix

CLASS_NAMES = ["TamloxTracer", "TraceSpan", "InstrumentedClient"]

TRACE_SPAN_DOC = (
    "A single trace span representing one LLM interaction.\n\n"
    "Created via [`TamloxTracer.start_span`]. Use setters to record the\n"
    "prompt, response, token counts, and completion status."
)
TRACER_DOC = (
    "Security-aware LLM tracer.\n\n"
    "Create one per application (or per tenant) and use it to start trace\n"
    "spans for each LLM call."
)
START_SPAN_DOC = (
    "Start a new trace span.\n\n"
    "Args:\n"
    '    operation_name: Name of the operation (e.g. ``"chat_completion"``).\n'
    '    provider: LLM provider string (``"openai"``, ``"anthropic"``, etc.).\n'
    '    model: Model name (e.g. ``"gpt-4"``).\n\n'
    "Returns:\n"
    "    A new :class:`TraceSpan` ready for recording."
)
REPORT_ACTION_SIGNATURE = (
    "($self, action_type, name, *, arguments=None, result=None, duration_ms=None, success=None)"
)
REPORT_ACTION_DOC = (
    "Report an agent action on this span.\n\nArgs:\n"
    '    action_type: One of ``"tool_call"``, ``"skill_invocation"``,\n'
    '                 ``"command_execution"``, ``"web_access"``, ``"file_access"``.\n'
    "    name: Name of the tool, skill, command, URL, or file path.\n"
    "    arguments: Optional arguments or parameters.\n"
    "    result: Optional result (truncated to 4KB).\n"
    "    duration_ms: Optional duration in milliseconds.\n"
    "    success: Whether the action succeeded (default ``True``).\n\n"
    "Returns:\n    The action ID (UUID string)."
)
CLIENT_DOC = (
    "A wrapper around a Python LLM client that attaches an [`TamloxTracer`].\n\n"
    "Attribute access is delegated to the wrapped client, so it can be used\n"
    "as a drop-in replacement. The attached tracer is accessible via the\n"
    "``tracer`` property."
)
CONFIGURE_DOC = (
    "Configure and create an :class:`TamloxTracer` from a Python dictionary.\n\n"
    "Supported keys:\n"
    "  - ``tenant_id`` (str): UUID string for the tenant.\n"
    "  - ``endpoint`` (str): Collector endpoint URL.\n"
    "  - ``enable_security`` (bool): Enable security analysis.\n\n"
    "Returns:\n"
    "    A configured :class:`TamloxTracer`."
)
INSTRUMENT_DOC = (
    "Instrument a Python LLM client with automatic tracing.\n\n"
    "Wraps the client in an :class:`InstrumentedClient` that delegates\n"
    "attribute access to the original while attaching a tracer.\n\n"
    "Args:\n"
    "    client: Any Python LLM client object (e.g. ``openai.OpenAI(...)``).\n"
    "    tracer: Optional pre-configured :class:`TamloxTracer`. A default\n"
    "            tracer is created if omitted.\n\n"
    "Returns:\n"
    "    An :class:`InstrumentedClient` wrapping the original client."
)

# Every text the module shows, each once: (dotted name, text signature or None for a
# property, docstring without the signature).
TEXTS = [
    ("TraceSpan", None, TRACE_SPAN_DOC),
    ("TamloxTracer", "(*, tenant_id=None, endpoint=None, enable_security=None)", TRACER_DOC),
    ("InstrumentedClient", None, CLIENT_DOC),
    ("TraceSpan.set_prompt", "($self, prompt)", "Set the prompt text for this span."),
    (
        "TraceSpan.set_response",
        "($self, response)",
        "Record a successful response and mark the span as complete.",
    ),
    (
        "TraceSpan.set_error",
        "($self, error, status_code=None)",
        "Record an error and mark the span as complete.",
    ),
    (
        "TraceSpan.set_token_counts",
        "($self, *, prompt_tokens=None, completion_tokens=None)",
        "Set token counts for this span.",
    ),
    (
        "TraceSpan.set_ttft_ms",
        "($self, ttft_ms)",
        "Set the time-to-first-token in milliseconds.",
    ),
    (
        "TraceSpan.add_tag",
        "($self, key, value)",
        "Add a custom tag (key-value pair) to this span.",
    ),
    ("TraceSpan.to_json", "($self)", "Serialise the span to a JSON string."),
    ("TraceSpan.to_dict", "($self)", "Serialise the span to a Python dictionary."),
    ("TraceSpan.security_findings", "($self)", "Security findings as a list of dicts."),
    ("TraceSpan.report_action", REPORT_ACTION_SIGNATURE, REPORT_ACTION_DOC),
    ("TamloxTracer.start_span", "($self, operation_name, provider, model)", START_SPAN_DOC),
    (
        "InstrumentedClient.start_span",
        "($self, operation_name, provider, model)",
        "Start a trace span via the attached tracer (convenience shortcut).",
    ),
    ("configure", "(config)", CONFIGURE_DOC),
    ("instrument", "(client, *, tracer=None)", INSTRUMENT_DOC),
    ("TraceSpan.trace_id", None, "Unique trace identifier (UUID string)."),
    ("TraceSpan.span_id", None, "Unique span identifier (UUID string)."),
    ("TraceSpan.operation_name", None, 'Operation name (e.g. ``"chat_completion"``).'),
    ("TraceSpan.model_name", None, 'Model name (e.g. ``"gpt-4"``).'),
    ("TraceSpan.prompt", None, "The prompt text recorded for this span."),
    ("TraceSpan.response", None, "The response text, or ``None`` if not yet recorded."),
    (
        "TraceSpan.is_complete",
        None,
        "Whether the span has been completed (response or error recorded).",
    ),
    ("TraceSpan.is_failed", None, "Whether the span ended with an error."),
    ("TraceSpan.duration_ms", None, "Duration in milliseconds, or ``None`` if still in progress."),
    ("TraceSpan.prompt_tokens", None, "Prompt token count, or ``None`` if not set."),
    ("TraceSpan.completion_tokens", None, "Completion token count, or ``None`` if not set."),
    ("TraceSpan.total_tokens", None, "Total token count, or ``None`` if not set."),
    (
        "TraceSpan.security_score",
        None,
        "Overall security score (0\u2013100), or ``None`` if not analysed.",
    ),
    ("TraceSpan.error_message", None, "Error message if the span failed, or ``None``."),
    ("TraceSpan.status_code", None, "HTTP status code of the response, or ``None``."),
    (
        "TraceSpan.security_findings_count",
        None,
        "Number of security findings attached to this span.",
    ),
    ("TraceSpan.agent_actions_count", None, "Number of agent actions recorded on this span."),
    ("TamloxTracer.tenant_id", None, "Tenant identifier (UUID string)."),
    ("TamloxTracer.endpoint", None, "Collector endpoint URL, or ``None``."),
    ("TamloxTracer.enable_security", None, "Whether security analysis is enabled."),
    ("InstrumentedClient.tracer", None, "The attached :class:`TamloxTracer`."),
    ("InstrumentedClient.wrapped_client", None, "The original (unwrapped) client object."),
]

FUNCTION_NAMES = ["configure", "instrument"]
PROPERTIES = [
    tuple(name.split(".")) for name, signature, _ in TEXTS if "." in name and signature is None
]


def make_instance(class_name: str) -> Any:
    tracer = pelnorix.TamloxTracer()
    if class_name == "TamloxTracer":
        return tracer
    if class_name == "TraceSpan":
        return tracer.start_span("op", "openai", "m")
    return pelnorix.instrument(object(), tracer=tracer)


def test_module_docstring_and_version() -> None:
    assert pelnorix.__doc__ == "Pelnorix Python bindings."
    assert pelnorix.__version__ == "0.3.0"
    assert type(pelnorix.__version__) is str


def test_all_lists_the_public_names_in_order() -> None:
    assert type(pelnorix.__all__) is list
    assert pelnorix.__all__ == [
        "__version__",
        "TamloxTracer",
        "TraceSpan",
        "InstrumentedClient",
        "configure",
        "instrument",
    ]
    for name in pelnorix.__all__:
        assert hasattr(pelnorix, name)


@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_class_identity(class_name: str) -> None:
    cls = getattr(pelnorix, class_name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == class_name
    assert cls.__qualname__ == class_name
    assert cls.__bases__ == (object,)


def documented(name: str) -> Any:
    """The class, method, function or property descriptor called `name` ("TraceSpan.prompt")."""
    owner, _, member = name.rpartition(".")
    if not owner:
        return getattr(pelnorix, member)
    return vars(getattr(pelnorix, owner))[member]


@pytest.mark.parametrize(("name", "signature", "doc"), TEXTS)
def test_texts_are_exact(name: str, signature: str | None, doc: str) -> None:
    target = documented(name)
    assert target.__doc__ == doc
    if signature is not None or inspect.isclass(target):
        assert target.__text_signature__ == signature


def test_every_public_member_is_in_the_table() -> None:
    listed = {name for name, _, _ in TEXTS}
    for class_name in CLASS_NAMES:
        for member in vars(getattr(pelnorix, class_name)):
            if not member.startswith("_"):
                assert f"{class_name}.{member}" in listed
    assert {name for name in pelnorix.__all__ if not name.startswith("_")} <= listed


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_module_function_identity(name: str) -> None:
    function = getattr(pelnorix, name)
    assert function.__self__ is pelnorix
    assert function.__module__ == "pelnorix"
    assert function.__name__ == name


@pytest.mark.parametrize(("class_name", "prop"), PROPERTIES)
def test_property_is_read_only(class_name: str, prop: str) -> None:
    instance = make_instance(class_name)
    before = getattr(instance, prop)
    with pytest.raises(AttributeError):
        setattr(instance, prop, before)
    with pytest.raises(AttributeError):
        delattr(instance, prop)
    assert getattr(instance, prop) == before


@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_instances_have_no_dict_and_refuse_weak_references(class_name: str) -> None:
    instance = make_instance(class_name)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.some_new_attribute = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


@pytest.mark.parametrize("class_name", CLASS_NAMES)
def test_classes_cannot_be_subclassed(class_name: str) -> None:
    cls = getattr(pelnorix, class_name)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("class_name", ["TraceSpan", "InstrumentedClient"])
@pytest.mark.parametrize("args", [(), (None,), (None, None)])
def test_classes_without_constructor_refuse_calls(class_name: str, args: tuple[Any, ...]) -> None:
    cls = getattr(pelnorix, class_name)
    with pytest.raises(TypeError):
        cls(*args)
    with pytest.raises(TypeError):
        cls.__new__(cls, *args)


def test_reimport_reuses_the_class_objects() -> None:
    original = sys.modules["pelnorix"]
    try:
        del sys.modules["pelnorix"]
        again = importlib.import_module("pelnorix")
        assert again is not original
        for name in CLASS_NAMES:
            assert getattr(again, name) is getattr(original, name)
        assert again.__all__ == original.__all__
        assert again.__all__ is not original.__all__
        assert again.__version__ == "0.3.0"
        # Instances from either module object are interchangeable.
        span = again.TamloxTracer().start_span("op", "openai", "m")
        assert isinstance(span, original.TraceSpan)
    finally:
        sys.modules["pelnorix"] = original


# A sub-interpreter that shares the main GIL but checks extension
# compatibility: the one configuration where only the module's own
# declaration decides whether it loads.
SUBINTERPRETER_SCRIPT = textwrap.dedent(
    """
    import sys

    import pelnorix

    code = (
        "import sys\\n"
        "sys.path.insert(0, %r)\\n"
        "try:\\n"
        "    import pelnorix\\n"
        "except ImportError as error:\\n"
        "    print('refused:', error, flush=True)\\n"
        "else:\\n"
        "    print('imported', flush=True)\\n"
    )
    try:
        import _interpreters
    except ImportError:
        _interpreters = None
    if _interpreters is not None:
        config = _interpreters.new_config("isolated")
        config.gil = "shared"
        interpreter = _interpreters.create(config)
        print("failure:", _interpreters.run_string(interpreter, code), flush=True)
        _interpreters.destroy(interpreter)
    else:
        try:
            import _testcapi
        except ImportError:
            print("unavailable", flush=True)
            sys.exit(0)
        settings = dict(
            use_main_obmalloc=False,
            allow_fork=False,
            allow_exec=False,
            allow_threads=True,
            allow_daemon_threads=False,
            check_multi_interp_extensions=True,
        )
        for gil_setting in ({"gil": False}, {"own_gil": False}):
            try:
                _testcapi.run_in_subinterp_with_config(code, **settings, **gil_setting)
                break
            except TypeError:
                continue
        else:
            print("unavailable", flush=True)
            sys.exit(0)
    # The main interpreter is unaffected.
    span = pelnorix.TamloxTracer().start_span("op", "openai", "m")
    span.set_response("ok")
    print("main still works:", span.is_complete, flush=True)
    """
)


def test_subinterpreter_import_is_refused_cleanly() -> None:
    module_dir = os.path.dirname(pelnorix.__file__)
    search_path = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    completed = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_SCRIPT % module_dir],
        capture_output=True,
        text=True,
        env=dict(os.environ, PYTHONPATH=search_path),
        timeout=120,
    )
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    if "unavailable" in lines:
        pytest.skip("this interpreter offers no way to configure a sub-interpreter")
    assert any(line.startswith("refused:") for line in lines), completed.stdout
    assert "imported" not in lines
    assert "main still works: True" in lines
