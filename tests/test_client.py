"""instrument() and InstrumentedClient: the attached tracer, forwarding of
attribute reads to the wrapped client, the summary line, and reclamation."""

import gc
import json
import textwrap
import threading
import weakref

import pytest
from support import TENANT, Text, raises, run_python

import pelnorix


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
        assert first.tenant_id != second.tenant_id
        assert (first.endpoint, first.enable_security) == (None, True)

    def test_one_client_many_wrappers(self):
        client = Client()
        tracer = pelnorix.TamloxTracer()
        first = pelnorix.instrument(client, tracer=tracer)
        second = pelnorix.instrument(client, tracer=tracer)
        assert first is not second
        assert first.wrapped_client is second.wrapped_client is client
        assert first.tracer is second.tracer is tracer

    @pytest.mark.parametrize("client", [None, 0, "text", [1, 2], Client])
    def test_any_object_is_wrapped(self, client):
        assert pelnorix.instrument(client).wrapped_client is client

    @pytest.mark.parametrize(
        "tracer, type_name",
        [
            ("x", "'str' object"),
            (5, "'int' object"),
            (pelnorix.TamloxTracer, "'type' object"),
            (pelnorix.instrument(None), "'InstrumentedClient' object"),
        ],
    )
    def test_tracer_must_be_a_tracer(self, tracer, type_name):
        message = f"{type_name} is not an instance of 'TamloxTracer'"
        with raises(TypeError, message, note="tracer"):
            pelnorix.instrument(Client(), tracer=tracer)


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

    @pytest.mark.parametrize("name", ["mro", "__name__", "__bases__", "__mro__", "__dict__"])
    def test_names_of_the_class_itself_reach_the_client(self, name):
        # The class answers these (from its metaclass), its instances do not.
        client = type("Answering", (), {name: f"client {name}"})()
        assert getattr(pelnorix.instrument(client), name) == f"client {name}"

    def test_attribute_added_to_the_class_later_wins(self):
        client = type("Answering", (), {"late": "client"})()
        wrapper = pelnorix.instrument(client)
        assert wrapper.late == "client"
        pelnorix.InstrumentedClient.late = "class"
        try:
            assert wrapper.late == "class"
        finally:
            del pelnorix.InstrumentedClient.late
        assert wrapper.late == "client"

    def test_dict_is_the_clients(self):
        assert pelnorix.InstrumentedClient.__dictoffset__ == 0
        # `__dict__` is not the wrapper's own, so the lookup reaches the client.
        with raises(AttributeError, "'NoneType' object has no attribute '__dict__'"):
            pelnorix.instrument(None).__dict__
        client = Client()
        assert pelnorix.instrument(client).__dict__ is client.__dict__

    def test_getattr_builtin(self):
        wrapper = pelnorix.instrument(Client())
        assert getattr(wrapper, "model") == "gpt-4o"
        assert getattr(wrapper, "missing", "fallback") == "fallback"
        assert hasattr(wrapper, "create")
        assert not hasattr(wrapper, "missing")

    def test_missing_attribute_error_comes_from_the_client(self):
        wrapper = pelnorix.instrument(Client())
        with raises(AttributeError, "'Client' object has no attribute 'missing'") as info:
            wrapper.missing
        assert info.value.name == "missing"
        assert info.value.obj is wrapper.wrapped_client

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
        with raises(AttributeError, "'Client' object has no attribute 'missing'"):
            outer.missing
        assert repr(outer) == "InstrumentedClient(InstrumentedClient(Client<gpt-4o>))"

    def test_runaway_chain_of_wrappers_raises_recursion_error(self):
        tracer = pelnorix.TamloxTracer()
        # Every wrapper stays in the list, so that dropping the list frees them
        # one at a time from the outside in.
        chain = [Client()]
        for _ in range(100_000):
            chain.append(pelnorix.instrument(chain[-1], tracer=tracer))
        raised = []

        def read_through_the_chain():
            try:
                chain[-1].model
            except RecursionError as error:
                raised.append(error)

        # A roomy stack makes the interpreter's depth limit, not the end of the
        # stack, the first thing a sanitized build reaches too.
        previous = threading.stack_size(256 * 1024 * 1024)
        try:
            reader = threading.Thread(target=read_through_the_chain)
            reader.start()
        finally:
            threading.stack_size(previous)
        reader.join()
        assert len(raised) == 1
        assert chain[100].model == "gpt-4o"

    def test_deep_chains_raise_recursion_error_whatever_the_stack_size(self):
        # The interpreter's depth limit counts calls; on a small thread stack a chain of
        # wrappers (about 1 KiB a level, several under the sanitizers) runs out of stack long
        # before it. In a child, as running out of stack ends the process.
        script = textwrap.dedent(
            """
            import json, threading, pelnorix

            class Client:
                model = "m"

                def __repr__(self):
                    return "Client()"

            chain = [Client()]
            for _ in range(20_000):
                chain.append(pelnorix.instrument(chain[-1]))

            def outcome(call):
                try:
                    call()
                    return "returned"
                except RecursionError:
                    return "RecursionError"

            results = {}

            def probe(where, depth):
                wrapper = chain[depth]
                results[where] = [outcome(lambda: repr(wrapper)), outcome(lambda: wrapper.model)]

            for kib in (256, 512, 1024):
                threading.stack_size(kib * 1024)
                thread = threading.Thread(target=probe, args=(f"{kib} KiB thread", -1))
                thread.start()
                thread.join()
            # What the main thread managed before, it still does.
            probe("main thread", 1000)
            print(json.dumps(results))
            """
        )
        completed = run_python(script)
        assert completed.returncode == 0, completed.stderr[-3000:]
        refused = ["RecursionError", "RecursionError"]
        assert json.loads(completed.stdout) == {
            "256 KiB thread": refused,
            "512 KiB thread": refused,
            "1024 KiB thread": refused,
            "main thread": ["returned", "returned"],
        }

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

        with raises(TypeError, message):
            repr(pelnorix.instrument(Strange()))


class TestStartSpan:
    def test_same_as_starting_on_the_tracer(self):
        tracer = pelnorix.TamloxTracer(tenant_id=TENANT)
        wrapper = pelnorix.instrument(Client(), tracer=tracer)
        direct = tracer.start_span("op", "Azure-OpenAI", "gpt")
        shortcut = wrapper.start_span(operation_name="op", provider="Azure-OpenAI", model="gpt")
        assert type(shortcut) is pelnorix.TraceSpan
        keep = ("tenant_id", "operation_name", "provider", "model_name", "prompt")
        assert {k: direct.to_dict()[k] for k in keep} == {k: shortcut.to_dict()[k] for k in keep}
        assert shortcut.to_dict()["provider"] == "AzureOpenAI"

    def test_default_tracer_tenant(self):
        wrapper = pelnorix.instrument(None)
        span = wrapper.start_span("a", "openai", "m")
        assert span.to_dict()["tenant_id"] == wrapper.tracer.tenant_id

    @pytest.mark.parametrize(
        "args, message, note",
        [
            (("a", 5, "c"), "'int' object is not an instance of 'str'", "provider"),
            ((None, 5, None), "'None' is not an instance of 'str'", "operation_name"),
        ],
    )
    def test_converts_like_the_tracer(self, args, message, note):
        with raises(TypeError, message, note=note):
            pelnorix.instrument(Client()).start_span(*args)


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
