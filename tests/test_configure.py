"""configure(): a tracer from a dictionary, with the key, type and error rules
of the constructor but without per-key notes."""

import collections
import collections.abc
import types

import numpy
import pytest
from support import TENANT, UUID4, Text, raises

import pelnorix


def state(tracer):
    return (tracer.tenant_id, tracer.endpoint, tracer.enable_security)


class TestValues:
    def test_empty_dictionary_gives_defaults(self):
        first, second = pelnorix.configure({}), pelnorix.configure({})
        assert type(first) is pelnorix.TamloxTracer
        assert UUID4.fullmatch(first.tenant_id)
        assert first.tenant_id != second.tenant_id
        assert (first.endpoint, first.enable_security) == (None, True)

    @pytest.mark.parametrize(
        "config",
        [
            {"tenant_id": TENANT},
            {"tenant_id": Text("urn:uuid:" + TENANT.upper())},
            {"endpoint": Text("sub")},
            {"endpoint": "é/\n\x00"},
            {"enable_security": False},
            {"enable_security": numpy.bool_(False)},
            {"tenant_id": TENANT, "endpoint": "", "enable_security": True},
        ],
    )
    def test_matches_the_constructor(self, config):
        configured = pelnorix.configure(config)
        constructed = pelnorix.TamloxTracer(**config)
        assert all(type(text) is str for text in state(configured)[:2] if text is not None)
        if "tenant_id" in config:
            assert state(configured) == state(constructed)
        else:
            assert state(configured)[1:] == state(constructed)[1:]
        assert repr(configured).split("', ", 1)[1] == repr(constructed).split("', ", 1)[1]

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


class TestValueErrors:
    @pytest.mark.parametrize(
        "config, message",
        [
            # Unlike the constructor, configure() does not take None for "absent".
            ({"tenant_id": None}, "'None' is not an instance of 'str'"),
            ({"endpoint": None}, "'None' is not an instance of 'str'"),
            ({"enable_security": None}, "'None' is not an instance of 'bool'"),
            ({"tenant_id": b"x"}, "'bytes' object is not an instance of 'str'"),
            ({"endpoint": ["http://x"]}, "'list' object is not an instance of 'str'"),
            ({"enable_security": 1}, "'int' object is not an instance of 'bool'"),
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
        ],
    )
    def test_wrong_types_without_note(self, config, message):
        with raises(TypeError, message):
            pelnorix.configure(config)

    def test_unparsable_tenant(self):
        # The parser's texts are those of the constructor (test_tracer.py).
        message = (
            "Invalid tenant_id UUID: invalid length: expected length 32 for simple format, found 3"
        )
        with raises(ValueError, message):
            pelnorix.configure({"tenant_id": "bad"})

    def test_unencodable_text(self):
        with raises(UnicodeEncodeError):
            pelnorix.configure({"endpoint": "x\udc80"})

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
        with raises(TypeError, message, note="config"):
            pelnorix.configure(config)

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
