"""instrument() and InstrumentedClient: the attached tracer, forwarding of
attribute reads to the wrapped client, the summary line, and reclamation."""

import gc
import re
import weakref

import pytest

import pelnorix

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


class Client:
    model = "gpt-4o"

    def __init__(self):
        self.calls = []
        self.api_key = "secret"

    def create(self, prompt):
        self.calls.append(prompt)
        return f"answer to {prompt}"

    @property
    def base_url(self):
        return "https://llm.example.test"

    def __repr__(self):
        return "Client<gpt-4o>"


def expect_error(call, exc_type, message, notes=()):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == list(notes)
    return info.value


class TestInstrument:
    def test_holds_the_very_objects(self):
        client = Client()
        tracer = pelnorix.TamloxTracer(tenant_id=TENANT)
        wrapper = pelnorix.instrument(client, tracer=tracer)
        assert type(wrapper) is pelnorix.InstrumentedClient
        assert wrapper.wrapped_client is client
        assert wrapper.tracer is tracer
        assert wrapper.tracer is wrapper.tracer

    @pytest.mark.parametrize("kwargs", [{}, {"tracer": None}])
    def test_default_tracer(self, kwargs):
        first = pelnorix.instrument(Client(), **kwargs).tracer
        second = pelnorix.instrument(Client(), **kwargs).tracer
        assert type(first) is pelnorix.TamloxTracer
        assert first is not second
        for tracer in (first, second):
            assert tracer.endpoint is None
            assert tracer.enable_security is True
            assert UUID4.fullmatch(tracer.tenant_id)
        assert first.tenant_id != second.tenant_id

    def test_one_client_many_wrappers(self):
        client = Client()
        tracer = pelnorix.TamloxTracer()
        first = pelnorix.instrument(client, tracer=tracer)
        second = pelnorix.instrument(client, tracer=tracer)
        assert first is not second
        assert first.wrapped_client is second.wrapped_client is client
        assert first.tracer is second.tracer is tracer

    def test_client_by_keyword(self):
        client = Client()
        assert pelnorix.instrument(client=client).wrapped_client is client

    @pytest.mark.parametrize("client", [None, 0, "text", [1, 2], Client])
    def test_any_object_is_wrapped(self, client):
        assert pelnorix.instrument(client).wrapped_client is client

    @pytest.mark.parametrize(
        "tracer, message",
        [
            ("x", "'str' object is not an instance of 'TamloxTracer'"),
            (5, "'int' object is not an instance of 'TamloxTracer'"),
            (pelnorix.TamloxTracer, "'type' object is not an instance of 'TamloxTracer'"),
        ],
    )
    def test_tracer_must_be_a_tracer(self, tracer, message):
        expect_error(
            lambda: pelnorix.instrument(Client(), tracer=tracer),
            TypeError,
            message,
            ["while processing 'tracer'"],
        )

    def test_a_wrapper_is_not_a_tracer(self):
        inner = pelnorix.instrument(Client())
        expect_error(
            lambda: pelnorix.instrument(Client(), tracer=inner),
            TypeError,
            "'InstrumentedClient' object is not an instance of 'TamloxTracer'",
            ["while processing 'tracer'"],
        )

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (
                (Client(), pelnorix.TamloxTracer()),
                {},
                "instrument() takes 1 positional arguments but 2 were given",
            ),
            ((), {}, "instrument() missing 1 required positional argument: 'client'"),
            ((), {"tracer": None}, "instrument() missing 1 required positional argument: 'client'"),
            (
                (Client(),),
                {"client": None},
                "instrument() got multiple values for argument 'client'",
            ),
            (
                (Client(),),
                {"trace": None},
                "instrument() got an unexpected keyword argument 'trace'",
            ),
        ],
    )
    def test_binding_messages(self, args, kwargs, message):
        expect_error(lambda: pelnorix.instrument(*args, **kwargs), TypeError, message)

    def test_function_identity_and_docstring(self):
        function = pelnorix.instrument
        assert function.__self__ is pelnorix
        assert function.__module__ == "pelnorix"
        assert function.__name__ == "instrument"
        assert function.__text_signature__ == "(client, *, tracer=None)"
        assert function.__doc__ == (
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


class TestClass:
    @pytest.mark.parametrize("args", [(), (Client(),), (None, None)])
    def test_cannot_be_constructed(self, args):
        with pytest.raises(TypeError):
            pelnorix.InstrumentedClient(*args)

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):
            type("Sub", (pelnorix.InstrumentedClient,), {})

    def test_no_instance_dictionary(self):
        assert pelnorix.InstrumentedClient.__dictoffset__ == 0
        # `__dict__` is not the wrapper's own, so the lookup reaches the client.
        expect_error(
            lambda: pelnorix.instrument(None).__dict__,
            AttributeError,
            "'NoneType' object has no attribute '__dict__'",
        )
        client = Client()
        assert pelnorix.instrument(client).__dict__ is client.__dict__

    def test_docstrings(self):
        cls = pelnorix.InstrumentedClient
        assert cls.__doc__ == (
            "A wrapper around a Python LLM client that attaches an [`TamloxTracer`].\n\n"
            "Attribute access is delegated to the wrapped client, so it can be used\n"
            "as a drop-in replacement. The attached tracer is accessible via the\n"
            "``tracer`` property."
        )
        assert cls.tracer.__doc__ == "The attached :class:`TamloxTracer`."
        assert cls.wrapped_client.__doc__ == "The original (unwrapped) client object."
        assert cls.start_span.__text_signature__ == "($self, operation_name, provider, model)"
        assert cls.start_span.__doc__ == (
            "Start a trace span via the attached tracer (convenience shortcut)."
        )
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == "InstrumentedClient"


class TestForwarding:
    def test_methods_and_attributes_come_from_the_client(self):
        client = Client()
        wrapper = pelnorix.instrument(client)
        assert wrapper.create == client.create
        assert wrapper.create.__self__ is client
        assert wrapper.create("hi") == "answer to hi"
        assert client.calls == ["hi"]
        assert wrapper.model == "gpt-4o"
        assert wrapper.api_key == "secret"
        assert wrapper.base_url == "https://llm.example.test"
        assert wrapper.calls is client.calls

    def test_reads_see_later_changes_of_the_client(self):
        client = Client()
        wrapper = pelnorix.instrument(client)
        client.api_key = "rotated"
        client.extra = 42
        assert wrapper.api_key == "rotated"
        assert wrapper.extra == 42

    def test_wrapper_own_and_object_attributes_win(self):
        client = Client()
        wrapper = pelnorix.instrument(client)
        assert wrapper.__class__ is pelnorix.InstrumentedClient
        assert wrapper.__doc__ == pelnorix.InstrumentedClient.__doc__

    def test_getattr_builtin(self):
        wrapper = pelnorix.instrument(Client())
        assert getattr(wrapper, "model") == "gpt-4o"
        assert getattr(wrapper, "missing", "fallback") == "fallback"
        assert hasattr(wrapper, "create")
        assert not hasattr(wrapper, "missing")

    def test_missing_attribute_error_comes_from_the_client(self):
        wrapper = pelnorix.instrument(Client())
        error = expect_error(
            lambda: wrapper.missing, AttributeError, "'Client' object has no attribute 'missing'"
        )
        assert error.name == "missing"
        assert error.obj is wrapper.wrapped_client

    @pytest.mark.parametrize(
        "failure",
        [AttributeError("custom"), KeyError("k"), RuntimeError("r"), ValueError("v")],
        ids=lambda failure: type(failure).__name__,
    )
    def test_client_getattr_failure_passes_unchanged(self, failure):
        class Dynamic:
            def __getattr__(self, name):
                if name == "ok":
                    return "forwarded"
                raise failure

        wrapper = pelnorix.instrument(Dynamic())
        assert wrapper.ok == "forwarded"
        with pytest.raises(type(failure)) as info:
            wrapper.anything
        assert info.value is failure

    def test_attribute_error_subclass_from_the_client(self):
        class Missing(AttributeError):
            pass

        class Strict:
            def __getattribute__(self, name):
                raise Missing(name)

        with pytest.raises(Missing) as info:
            pelnorix.instrument(Strict()).anything
        assert str(info.value) == "anything"

    def test_property_of_the_client_raising(self):
        class Flaky:
            @property
            def token(self):
                raise PermissionError("denied")

        with pytest.raises(PermissionError, match="^denied$"):
            pelnorix.instrument(Flaky()).token

    def test_nested_wrappers_reach_the_innermost_client(self):
        client = Client()
        inner_tracer = pelnorix.TamloxTracer()
        outer_tracer = pelnorix.TamloxTracer()
        inner = pelnorix.instrument(client, tracer=inner_tracer)
        outer = pelnorix.instrument(inner, tracer=outer_tracer)
        assert outer.wrapped_client is inner
        assert outer.wrapped_client.wrapped_client is client
        assert outer.tracer is outer_tracer
        assert outer.create.__self__ is client
        assert outer.model == "gpt-4o"
        expect_error(
            lambda: outer.missing, AttributeError, "'Client' object has no attribute 'missing'"
        )
        assert repr(outer) == "InstrumentedClient(InstrumentedClient(Client<gpt-4o>))"

    def test_wrapper_names_shadow_the_client(self):
        class Shadowing:
            tracer = "client tracer"
            wrapped_client = "client wrapped"

            def start_span(self, *args):
                return "client span"

        client = Shadowing()
        tracer = pelnorix.TamloxTracer(tenant_id=TENANT)
        wrapper = pelnorix.instrument(client, tracer=tracer)
        assert wrapper.tracer is tracer
        assert wrapper.wrapped_client is client
        span = wrapper.start_span("chat", "openai", "m")
        assert type(span) is pelnorix.TraceSpan
        assert wrapper.wrapped_client.tracer == "client tracer"
        assert wrapper.wrapped_client.start_span() == "client span"

    def test_only_reads_are_forwarded(self):
        client = Client()
        wrapper = pelnorix.instrument(client)
        with pytest.raises(AttributeError):
            wrapper.foo = 1
        assert not hasattr(client, "foo")
        with pytest.raises(AttributeError):
            wrapper.model = "other"
        assert client.model == "gpt-4o" and "model" not in vars(client)
        with pytest.raises(AttributeError):
            wrapper.api_key = "stolen"
        assert client.api_key == "secret"
        with pytest.raises(AttributeError):
            del wrapper.api_key
        assert client.api_key == "secret"
        for name in ("tracer", "wrapped_client"):
            with pytest.raises(AttributeError):
                setattr(wrapper, name, None)

    def test_protocols_are_not_forwarded(self):
        wrapper = pelnorix.instrument([1, 2, 3])
        with pytest.raises(TypeError):
            len(wrapper)
        with pytest.raises(TypeError):
            wrapper[0]
        with pytest.raises(TypeError):
            wrapper()
        assert wrapper.count(2) == 1


class TestRepr:
    @pytest.mark.parametrize(
        "client, text",
        [
            (None, "InstrumentedClient(None)"),
            (Client(), "InstrumentedClient(Client<gpt-4o>)"),
            ("it's", "InstrumentedClient(\"it's\")"),
            (42, "InstrumentedClient(42)"),
            ([1, "a"], "InstrumentedClient([1, 'a'])"),
        ],
    )
    def test_uses_the_client_repr(self, client, text):
        wrapper = pelnorix.instrument(client)
        assert repr(wrapper) == text
        assert str(wrapper) == text

    def test_repr_method_is_looked_up_on_the_client(self):
        client = Client()
        client.__repr__ = lambda: "instance override"
        assert repr(client) == "Client<gpt-4o>"
        assert repr(pelnorix.instrument(client)) == "InstrumentedClient(instance override)"

    def test_str_subclass_result_is_accepted(self):
        class Text(str):
            pass

        class Odd:
            def __repr__(self):
                return Text("odd")

        assert repr(pelnorix.instrument(Odd())) == "InstrumentedClient(odd)"

    def test_raising_repr_passes_unchanged(self):
        failure = LookupError("no repr")

        class Broken:
            def __repr__(self):
                raise failure

        with pytest.raises(LookupError) as info:
            repr(pelnorix.instrument(Broken()))
        assert info.value is failure

    @pytest.mark.parametrize(
        "result, message",
        [
            (5, "'int' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
            (b"x", "'bytes' object is not an instance of 'str'"),
        ],
    )
    def test_non_text_repr_is_refused(self, result, message):
        class Strange:
            def __repr__(self):
                return result

        expect_error(lambda: repr(pelnorix.instrument(Strange())), TypeError, message)


class TestStartSpan:
    def test_span_carries_the_tracer_tenant(self):
        tracer = pelnorix.TamloxTracer(tenant_id=TENANT)
        wrapper = pelnorix.instrument(Client(), tracer=tracer)
        span = wrapper.start_span("chat", "anthropic", "m")
        assert type(span) is pelnorix.TraceSpan
        document = span.to_dict()
        assert document["tenant_id"] == TENANT
        assert document["provider"] == "Anthropic"
        assert (document["operation_name"], document["model_name"]) == ("chat", "m")
        assert span.prompt == ""

    def test_default_tracer_tenant(self):
        wrapper = pelnorix.instrument(None)
        first = wrapper.start_span("a", "openai", "m")
        second = wrapper.start_span(operation_name="b", provider="Custom Thing", model="m")
        assert first.to_dict()["tenant_id"] == second.to_dict()["tenant_id"]
        assert first.to_dict()["tenant_id"] == wrapper.tracer.tenant_id
        assert second.to_dict()["provider"] == {"Custom": "custom thing"}
        assert first.trace_id != second.trace_id
        assert first.span_id != second.span_id

    def test_same_as_starting_on_the_tracer(self):
        tracer = pelnorix.TamloxTracer(tenant_id=TENANT)
        wrapper = pelnorix.instrument(Client(), tracer=tracer)
        direct = tracer.start_span("op", "Azure-OpenAI", "gpt")
        shortcut = wrapper.start_span("op", "Azure-OpenAI", "gpt")
        keep = ("tenant_id", "operation_name", "provider", "model_name", "prompt")
        assert {k: direct.to_dict()[k] for k in keep} == {k: shortcut.to_dict()[k] for k in keep}

    @pytest.mark.parametrize(
        "args, kwargs, message, notes",
        [
            (
                ("a", "b"),
                {},
                "InstrumentedClient.start_span() missing 1 required positional argument: 'model'",
                [],
            ),
            (
                (),
                {},
                "InstrumentedClient.start_span() missing 3 required positional arguments: "
                "'operation_name', 'provider', and 'model'",
                [],
            ),
            (
                ("a", "b", "c", "d"),
                {},
                "InstrumentedClient.start_span() takes 3 positional arguments but 4 were given",
                [],
            ),
            (
                ("a", 5, "c"),
                {},
                "'int' object is not an instance of 'str'",
                ["while processing 'provider'"],
            ),
            (
                (None, 5, None),
                {},
                "'None' is not an instance of 'str'",
                ["while processing 'operation_name'"],
            ),
        ],
    )
    def test_argument_errors(self, args, kwargs, message, notes):
        wrapper = pelnorix.instrument(Client())
        expect_error(lambda: wrapper.start_span(*args, **kwargs), TypeError, message, notes)


class TestReclamation:
    def test_wrapper_without_cycle_is_freed_at_once(self):
        client = Client()
        wrapper = pelnorix.instrument(client)
        client_ref = weakref.ref(client)
        tracer = wrapper.tracer
        del client, wrapper
        assert client_ref() is None
        assert tracer.enable_security is True

    def test_wrapper_reports_its_references_to_the_collector(self):
        client = Client()
        tracer = pelnorix.TamloxTracer()
        wrapper = pelnorix.instrument(client, tracer=tracer)
        referents = gc.get_referents(wrapper)
        assert any(item is client for item in referents)
        assert any(item is tracer for item in referents)

    def test_cycle_through_the_wrapper_is_reclaimed(self):
        gc.collect()
        client = Client()
        client.wrapper = pelnorix.instrument(client)
        client_ref = weakref.ref(client)
        del client
        gc.collect()
        assert client_ref() is None

    def test_cycle_through_nested_wrappers_is_reclaimed(self):
        gc.collect()
        client = Client()
        client.outer = pelnorix.instrument(pelnorix.instrument(client))
        client_ref = weakref.ref(client)
        del client
        gc.collect()
        assert client_ref() is None

    def test_many_cycles_survive_collection(self):
        refs = []
        for index in range(2000):
            client = Client()
            client.wrapper = pelnorix.instrument(client)
            client.index = index
            refs.append(weakref.ref(client))
            if index % 500 == 0:
                gc.collect()
        del client
        gc.collect()
        assert all(ref() is None for ref in refs)

    def test_live_wrapper_keeps_its_client_through_collection(self):
        client = Client()
        client.wrapper = pelnorix.instrument(client)
        wrapper = client.wrapper
        client_ref = weakref.ref(client)
        del client
        gc.collect()
        assert client_ref() is not None
        assert wrapper.create("still") == "answer to still"
        assert wrapper.wrapped_client.wrapper is wrapper
