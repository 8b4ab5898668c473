"""configure(): a tracer from a dictionary, with the key, type and error rules
of the constructor but without per-key notes; plus the module's public names."""

import collections
import collections.abc
import re
import types

import numpy
import pytest

import pelnorix

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


def expect_error(call, exc_type, message, notes=()):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == list(notes)
    return info.value


def state(tracer):
    return (tracer.tenant_id, tracer.endpoint, tracer.enable_security)


class Text(str):
    pass


class TestValues:
    def test_empty_dictionary_gives_defaults(self):
        first, second = pelnorix.configure({}), pelnorix.configure({})
        assert type(first) is pelnorix.TamloxTracer
        for tracer in (first, second):
            assert UUID4.fullmatch(tracer.tenant_id)
            assert tracer.endpoint is None
            assert tracer.enable_security is True
        assert first.tenant_id != second.tenant_id

    @pytest.mark.parametrize(
        "tenant",
        [
            TENANT,
            TENANT.upper(),
            TENANT.replace("-", ""),
            "{" + TENANT + "}",
            "urn:uuid:" + TENANT,
            Text(TENANT),
        ],
    )
    @pytest.mark.parametrize("enabled", [False, True])
    def test_all_keys_read_back(self, tenant, enabled):
        tracer = pelnorix.configure(
            {"tenant_id": tenant, "endpoint": "http://collector:4318", "enable_security": enabled}
        )
        assert state(tracer) == (TENANT, "http://collector:4318", enabled)
        assert type(tracer.tenant_id) is str

    @pytest.mark.parametrize(
        "config",
        [
            {"tenant_id": TENANT},
            {"endpoint": "e"},
            {"enable_security": False},
            {"tenant_id": TENANT, "endpoint": "", "enable_security": True},
        ],
    )
    def test_matches_the_constructor(self, config):
        configured = pelnorix.configure(config)
        constructed = pelnorix.TamloxTracer(**config)
        if "tenant_id" in config:
            assert state(configured) == state(constructed)
        else:
            assert state(configured)[1:] == state(constructed)[1:]
        assert repr(configured).split("', ", 1)[1] == repr(constructed).split("', ", 1)[1]

    def test_endpoint_kept_as_given(self):
        for endpoint in ["", " spaced ", "not a url", "é/\n\x00", Text("sub")]:
            tracer = pelnorix.configure({"endpoint": endpoint})
            assert tracer.endpoint == endpoint
            assert type(tracer.endpoint) is str

    @pytest.mark.parametrize("value", [numpy.bool_(True), numpy.bool_(False)])
    def test_numpy_boolean_accepted(self, value):
        assert pelnorix.configure({"enable_security": value}).enable_security is bool(value)

    def test_unknown_keys_are_ignored(self):
        tracer = pelnorix.configure(
            {
                "extra": object(),
                "Tenant_ID": "bad",
                "tenant_id ": None,
                1: 2,
                ("tenant_id",): 3,
                b"tenant_id": 4,
                "enable_security": False,
            }
        )
        assert tracer.enable_security is False
        assert tracer.endpoint is None

    def test_every_call_gives_a_new_tracer(self):
        config = {"tenant_id": TENANT}
        first, second = pelnorix.configure(config), pelnorix.configure(config)
        assert first is not second
        assert state(first) == state(second)
        assert config == {"tenant_id": TENANT}

    def test_tracer_starts_spans_for_its_tenant(self):
        tracer = pelnorix.configure({"tenant_id": TENANT.upper()})
        assert tracer.start_span("chat", "openai", "m").to_dict()["tenant_id"] == TENANT


class TestValueErrors:
    @pytest.mark.parametrize(
        "key, value, target",
        [
            ("tenant_id", None, "str"),
            ("endpoint", None, "str"),
            ("enable_security", None, "bool"),
        ],
    )
    def test_none_is_a_wrong_type_here(self, key, value, target):
        expect_error(
            lambda: pelnorix.configure({key: value}),
            TypeError,
            f"'None' is not an instance of '{target}'",
        )
        # The constructor treats None as absent.
        pelnorix.TamloxTracer(**{key: None})

    @pytest.mark.parametrize(
        "config, message",
        [
            ({"tenant_id": 5}, "'int' object is not an instance of 'str'"),
            ({"tenant_id": b"x"}, "'bytes' object is not an instance of 'str'"),
            ({"endpoint": ["http://x"]}, "'list' object is not an instance of 'str'"),
            ({"enable_security": 1}, "'int' object is not an instance of 'bool'"),
            ({"enable_security": 0}, "'int' object is not an instance of 'bool'"),
            ({"enable_security": "yes"}, "'str' object is not an instance of 'bool'"),
            ({"enable_security": numpy.int64(1)}, "'int64' object is not an instance of 'bool'"),
        ],
    )
    def test_wrong_types_without_note(self, config, message):
        expect_error(lambda: pelnorix.configure(config), TypeError, message)

    @pytest.mark.parametrize(
        "tenant, detail",
        [
            ("bad", "invalid length: expected length 32 for simple format, found 3"),
            ("", "invalid length: expected length 32 for simple format, found 0"),
            ("not-a-uuid", "invalid character: found `n` at 1"),
            ("1234-5678", "invalid group count: expected 5, found 2"),
            (
                "3f2b8c1-9d4a-4e7b-b5c6-0a1d2e3f4a5b",
                "invalid group length in group 0: expected 8, found 7",
            ),
            ("URN:UUID:" + TENANT, "invalid character: found `U` at 1"),
            (" " + TENANT, "invalid character: found ` ` at 1"),
        ],
    )
    def test_unparsable_tenant(self, tenant, detail):
        expect_error(
            lambda: pelnorix.configure({"tenant_id": tenant}),
            ValueError,
            "Invalid tenant_id UUID: " + detail,
        )

    @pytest.mark.parametrize(
        "config, message",
        [
            # Every value is read before the tenant text is parsed.
            ({"tenant_id": "bad", "endpoint": 5}, "'int' object is not an instance of 'str'"),
            (
                {"tenant_id": "bad", "enable_security": 1},
                "'int' object is not an instance of 'bool'",
            ),
            # The keys are read in a fixed order, not in the dictionary's.
            (
                {"enable_security": 1, "endpoint": 2.5, "tenant_id": 7},
                "'int' object is not an instance of 'str'",
            ),
            (
                {"enable_security": None, "tenant_id": 1.5},
                "'float' object is not an instance of 'str'",
            ),
            (
                {"enable_security": "x", "endpoint": 2.5, "tenant_id": "bad"},
                "'float' object is not an instance of 'str'",
            ),
            ({"tenant_id": None, "endpoint": None}, "'None' is not an instance of 'str'"),
        ],
    )
    def test_type_errors_come_first(self, config, message):
        expect_error(lambda: pelnorix.configure(config), TypeError, message)

    def test_unencodable_text(self):
        with pytest.raises(UnicodeEncodeError) as info:
            pelnorix.configure({"endpoint": "x\udc80"})
        assert getattr(info.value, "__notes__", []) == []

    def test_failing_key_comparison_passes_unchanged(self):
        failure = ArithmeticError("compare")

        class Colliding:
            def __hash__(self):
                return hash("tenant_id")

            def __eq__(self, other):
                raise failure

        with pytest.raises(ArithmeticError) as info:
            pelnorix.configure({Colliding(): 1})
        assert info.value is failure

    def test_dictionary_emptied_while_a_later_key_is_looked_up(self):
        class Clearing:
            def __hash__(self):
                return hash("enable_security")

            def __eq__(self, other):
                config.clear()
                return False

        # Texts that only the dictionary holds: what was read must outlive the clear.
        config = {
            "tenant_id": TENANT.upper(),
            "endpoint": "".join(["http://", "collector"]),
            Clearing(): None,
        }
        tracer = pelnorix.configure(config)
        assert config == {}
        assert state(tracer) == (TENANT, "http://collector", True)


class UserMapping(collections.abc.Mapping):
    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class TestConfigArgument:
    @pytest.mark.parametrize(
        "config, message",
        [
            ([("tenant_id", TENANT)], "'list' object is not an instance of 'dict'"),
            (None, "'None' is not an instance of 'dict'"),
            ("tenant_id", "'str' object is not an instance of 'dict'"),
            (UserMapping({}), "'UserMapping' object is not an instance of 'dict'"),
            (collections.UserDict(), "'UserDict' object is not an instance of 'dict'"),
            (types.MappingProxyType({}), "'mappingproxy' object is not an instance of 'dict'"),
        ],
    )
    def test_not_a_dictionary(self, config, message):
        expect_error(
            lambda: pelnorix.configure(config), TypeError, message, ["while processing 'config'"]
        )

    def test_dict_subclasses_accepted(self):
        config = collections.OrderedDict(enable_security=False)
        assert pelnorix.configure(config).enable_security is False
        counts = collections.defaultdict(int)
        tracer = pelnorix.configure(counts)
        assert tracer.enable_security is True and dict(counts) == {}

    def test_missing_hook_is_not_consulted(self):
        class Supplying(dict):
            def __missing__(self, key):
                return {"tenant_id": TENANT, "endpoint": "supplied", "enable_security": False}[key]

        tracer = pelnorix.configure(Supplying())
        assert tracer.tenant_id != TENANT
        assert tracer.endpoint is None
        assert tracer.enable_security is True

    def test_overridden_lookups_are_not_consulted(self):
        class Lying(dict):
            def __getitem__(self, key):
                return "overridden"

            def get(self, key, default=None):
                return "overridden"

            def __contains__(self, key):
                return True

        tracer = pelnorix.configure(Lying(tenant_id=TENANT))
        assert state(tracer) == (TENANT, None, True)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "configure() missing 1 required positional argument: 'config'"),
            (({}, {}), {}, "configure() takes 1 positional arguments but 2 were given"),
            (({},), {"config": {}}, "configure() got multiple values for argument 'config'"),
            ((), {"settings": {}}, "configure() got an unexpected keyword argument 'settings'"),
            (
                ({},),
                {"tenant_id": TENANT},
                "configure() got an unexpected keyword argument 'tenant_id'",
            ),
        ],
    )
    def test_binding_messages(self, args, kwargs, message):
        expect_error(lambda: pelnorix.configure(*args, **kwargs), TypeError, message)

    def test_config_by_keyword(self):
        assert pelnorix.configure(config={"endpoint": "e"}).endpoint == "e"


class TestModuleSurface:
    def test_public_names(self):
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

    def test_configure_identity_and_docstring(self):
        function = pelnorix.configure
        assert function.__self__ is pelnorix
        assert function.__module__ == "pelnorix"
        assert function.__name__ == "configure"
        assert function.__text_signature__ == "(config)"
        assert function.__doc__ == (
            "Configure and create an :class:`TamloxTracer` from a Python dictionary.\n\n"
            "Supported keys:\n"
            "  - ``tenant_id`` (str): UUID string for the tenant.\n"
            "  - ``endpoint`` (str): Collector endpoint URL.\n"
            "  - ``enable_security`` (bool): Enable security analysis.\n\n"
            "Returns:\n"
            "    A configured :class:`TamloxTracer`."
        )
