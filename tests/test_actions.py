"""Agent actions reported on a span: kind matching, result truncation, optional
fields, argument binding and the guarantee that a failed report changes nothing."""

import re

import numpy
import pytest

import pelnorix

TENANT = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5b"
UUID4 = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
KINDS = ["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
EXPECTED_KINDS = "tool_call, skill_invocation, command_execution, web_access, file_access"
RESULT_LIMIT = 4096


@pytest.fixture
def span():
    return pelnorix.TamloxTracer(tenant_id=TENANT).start_span("chat", "openai", "gpt-4")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def last_action(span):
    return span.to_dict()["agent_actions"][-1]


def expect_error(call, exc_type, message, notes=()):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", []) == list(notes)
    return info.value


class TestActionKind:
    @pytest.mark.parametrize("kind", KINDS)
    def test_canonical_kind_round_trips(self, span, kind):
        span.report_action(kind, "thing")
        assert last_action(span)["action_type"] == kind

    @pytest.mark.parametrize(
        "kind",
        [
            "Tool_Call",
            "tool_call ",
            " tool_call",
            "TOOL_CALL",
            "toolcall",
            "tool",
            "tool_calls",
            "tool-call",
            "",
            "bogus",
            "web_accès",
            # A NUL must not end the comparison early.
            "tool_call\x00",
            "tool_call\x00garbage",
            "it's\nodd",
        ],
    )
    def test_other_texts_are_rejected_verbatim(self, span, kind):
        expect_error(
            lambda: span.report_action(kind, "x"),
            ValueError,
            f"Invalid action_type: '{kind}'. Expected one of: {EXPECTED_KINDS}",
        )
        assert span.agent_actions_count == 0

    def test_kind_by_keyword(self, span):
        action_id = span.report_action(name="n", action_type="web_access")
        assert last_action(span)["action_type"] == "web_access"
        assert last_action(span)["id"] == action_id

    @pytest.mark.parametrize(
        "args, kwargs, exc_type, message, note",
        [
            # Type errors come before the check of the kind.
            (("bogus", 5), {}, TypeError, "'int' object is not an instance of 'str'", "name"),
            (
                ("bogus", "x"),
                {"success": 1},
                TypeError,
                "'int' object is not an instance of 'bool'",
                "success",
            ),
            (
                ("bogus", "x"),
                {"arguments": ["a"]},
                TypeError,
                "'list' object is not an instance of 'str'",
                "arguments",
            ),
            (
                ("bogus", "x"),
                {"result": b"r"},
                TypeError,
                "'bytes' object is not an instance of 'str'",
                "result",
            ),
            (("bogus", "x"), {"duration_ms": -1}, OverflowError, None, "duration_ms"),
            ((5, "x"), {}, TypeError, "'int' object is not an instance of 'str'", "action_type"),
            ((None, "x"), {}, TypeError, "'None' is not an instance of 'str'", "action_type"),
            (("tool_call", None), {}, TypeError, "'None' is not an instance of 'str'", "name"),
        ],
    )
    def test_type_errors_win_over_an_invalid_kind(
        self, span, args, kwargs, exc_type, message, note
    ):
        expect_error(
            lambda: span.report_action(*args, **kwargs),
            exc_type,
            message,
            [f"while processing '{note}'"],
        )
        assert span.agent_actions_count == 0

    def test_first_failing_parameter_is_reported(self, span):
        expect_error(
            lambda: span.report_action("tool_call", "x", arguments=1, result=2, success=3),
            TypeError,
            "'int' object is not an instance of 'str'",
            ["while processing 'arguments'"],
        )


def _truncation_cases():
    cases = []
    for char in ["a", "é", "€", "😀"]:
        width = len(char.encode())
        for prefix_len in range(RESULT_LIMIT - 4, RESULT_LIMIT + 1):
            text = "x" * prefix_len + char
            kept = text if prefix_len + width <= RESULT_LIMIT else "x" * prefix_len
            cases.append(pytest.param(text, kept, id=f"{prefix_len}+{width}byte"))
    cases += [
        pytest.param("", "", id="empty"),
        pytest.param("y" * RESULT_LIMIT, "y" * RESULT_LIMIT, id="exactly-limit"),
        pytest.param("y" * 5000, "y" * RESULT_LIMIT, id="5000-ascii"),
        pytest.param("é" * 3000, "é" * 2048, id="all-2byte"),
        pytest.param("€" * 2000, "€" * 1365, id="all-3byte"),
        pytest.param("😀" * 2000, "😀" * 1024, id="all-4byte"),
        pytest.param("a" + "😀" * 1100, "a" + "😀" * 1023, id="shortest-cut"),
        pytest.param("ab" + "😀" * 1100, "ab" + "😀" * 1023, id="4094-cut"),
        pytest.param("y" * RESULT_LIMIT + "😀", "y" * RESULT_LIMIT, id="char-at-limit"),
    ]
    return cases


class TestResultTruncation:
    @pytest.mark.parametrize("text, kept", _truncation_cases())
    def test_result_is_cut_at_a_character_boundary(self, span, text, kept):
        span.report_action("tool_call", "t", result=text)
        stored = last_action(span)["result"]
        assert stored == kept
        assert len(stored.encode()) <= RESULT_LIMIT
        assert text.startswith(stored)

    def test_truncated_result_is_the_same_in_json_text(self, span):
        span.report_action("tool_call", "t", result="x" * 4095 + "€")
        assert '"result": "' + "x" * 4095 + '"' in span.to_json()

    def test_arguments_and_name_are_never_cut(self, span):
        long_text = "é" * 50_000
        span.report_action("tool_call", long_text, arguments=long_text, result=long_text)
        action = last_action(span)
        assert action["name"] == long_text
        assert action["arguments"] == long_text
        assert len(action["result"].encode()) == RESULT_LIMIT


class TestOptionalFields:
    def test_plain_report(self, span):
        action_id = span.report_action("tool_call", "search")
        assert UUID4.fullmatch(action_id)
        assert span.agent_actions_count == 1
        action = last_action(span)
        assert list(action) == [
            "id",
            "action_type",
            "name",
            "arguments",
            "result",
            "duration_ms",
            "success",
            "exit_code",
            "http_method",
            "http_status",
            "file_operation",
            "timestamp",
            "metadata",
        ]
        assert action == {
            "id": action_id,
            "action_type": "tool_call",
            "name": "search",
            "arguments": None,
            "result": None,
            "duration_ms": None,
            "success": True,
            "exit_code": None,
            "http_method": None,
            "http_status": None,
            "file_operation": None,
            "timestamp": action["timestamp"],
            "metadata": {},
        }

    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            ({}, True),
            ({"success": None}, True),
            ({"success": True}, True),
            ({"success": False}, False),
            ({"success": numpy.bool_(False)}, False),
            ({"success": numpy.bool_(True)}, True),
        ],
    )
    def test_success(self, span, kwargs, expected):
        span.report_action("command_execution", "ls", **kwargs)
        assert last_action(span)["success"] is expected

    @pytest.mark.parametrize(
        "value, type_name", [(0, "int"), (1, "int"), ("yes", "str"), (0.0, "float")]
    )
    def test_success_rejects_non_booleans(self, span, value, type_name):
        expect_error(
            lambda: span.report_action("command_execution", "ls", success=value),
            TypeError,
            f"'{type_name}' object is not an instance of 'bool'",
            ["while processing 'success'"],
        )
        assert span.agent_actions_count == 0

    @pytest.mark.parametrize(
        "value, stored",
        [(0, 0), (7, 7), (2**64 - 1, 2**64 - 1), (True, 1), (Index(42), 42)],
    )
    def test_duration_accepted(self, span, value, stored):
        span.report_action("web_access", "https://example.test", duration_ms=value)
        assert last_action(span)["duration_ms"] == stored

    def test_largest_duration_written_in_full(self, span):
        span.report_action("web_access", "u", duration_ms=2**64 - 1)
        assert '"duration_ms": 18446744073709551615,' in span.to_json()

    @pytest.mark.parametrize(
        "value, exc_type",
        [(-1, OverflowError), (2**64, OverflowError), (-(2**70), OverflowError),
         (1.5, TypeError), ("5", TypeError)],
    )
    def test_duration_rejected(self, span, value, exc_type):
        expect_error(
            lambda: span.report_action("web_access", "u", duration_ms=value),
            exc_type,
            None,
            ["while processing 'duration_ms'"],
        )
        assert span.agent_actions_count == 0

    def test_duration_none_is_absence(self, span):
        span.report_action("web_access", "u", duration_ms=None)
        assert last_action(span)["duration_ms"] is None

    @pytest.mark.parametrize(
        "kwargs, stored",
        [
            ({}, None),
            ({"arguments": None}, None),
            ({"arguments": ""}, ""),
            ({"arguments": "-la"}, "-la"),
        ],
    )
    def test_arguments(self, span, kwargs, stored):
        span.report_action("command_execution", "ls", **kwargs)
        assert last_action(span)["arguments"] == stored

    @pytest.mark.parametrize(
        "kwargs, stored", [({}, None), ({"result": None}, None), ({"result": ""}, "")]
    )
    def test_result_presence(self, span, kwargs, stored):
        span.report_action("file_access", "/etc/hosts", **kwargs)
        assert last_action(span)["result"] == stored

    def test_str_subclasses_are_accepted(self, span):
        class Text(str):
            pass

        span.report_action(Text("tool_call"), Text("n"), arguments=Text("a"), result=Text("r"))
        action = last_action(span)
        assert (action["action_type"], action["name"], action["arguments"], action["result"]) == (
            "tool_call",
            "n",
            "a",
            "r",
        )

    def test_unpaired_surrogate_is_refused(self, span):
        expect_error(
            lambda: span.report_action("tool_call", "bad\ud800"),
            UnicodeEncodeError,
            None,
            ["while processing 'name'"],
        )
        assert span.agent_actions_count == 0


class TestBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (
                ("tool_call", "x", "y"),
                {},
                "TraceSpan.report_action() takes 2 positional arguments but 3 were given",
            ),
            (
                ("tool_call", "x", "y", "z"),
                {},
                "TraceSpan.report_action() takes 2 positional arguments but 4 were given",
            ),
            (
                (),
                {},
                "TraceSpan.report_action() missing 2 required positional arguments: "
                "'action_type' and 'name'",
            ),
            (
                ("tool_call",),
                {},
                "TraceSpan.report_action() missing 1 required positional argument: 'name'",
            ),
            (
                (),
                {"name": "x"},
                "TraceSpan.report_action() missing 1 required positional argument: 'action_type'",
            ),
            (
                ("tool_call", "x"),
                {"name": "y"},
                "TraceSpan.report_action() got multiple values for argument 'name'",
            ),
            (
                ("tool_call", "x"),
                {"args": "y"},
                "TraceSpan.report_action() got an unexpected keyword argument 'args'",
            ),
            (
                ("bogus", 5),
                {"status": 1},
                "TraceSpan.report_action() got an unexpected keyword argument 'status'",
            ),
        ],
    )
    def test_binding_messages(self, span, args, kwargs, message):
        expect_error(lambda: span.report_action(*args, **kwargs), TypeError, message)
        assert span.agent_actions_count == 0

    def test_docstring_and_signature(self):
        method = pelnorix.TraceSpan.report_action
        assert method.__text_signature__ == (
            "($self, action_type, name, *, arguments=None, result=None, duration_ms=None, "
            "success=None)"
        )
        assert method.__doc__ == (
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


class TestIdentifiersAndOrder:
    def test_returned_id_matches_document(self, span):
        ids = [span.report_action(kind, f"n{i}") for i, kind in enumerate(KINDS)]
        actions = span.to_dict()["agent_actions"]
        assert [a["id"] for a in actions] == ids
        assert [a["name"] for a in actions] == [f"n{i}" for i in range(len(KINDS))]
        for action_id in ids:
            assert isinstance(action_id, str)
            assert UUID4.fullmatch(action_id)

    def test_identical_reports_are_distinct_actions(self, span):
        first = span.report_action("tool_call", "same", arguments="a")
        second = span.report_action("tool_call", "same", arguments="a")
        assert first != second
        assert span.agent_actions_count == 2
        actions = span.to_dict()["agent_actions"]
        assert [a["id"] for a in actions] == [first, second]

    def test_ids_differ_from_span_ids(self, span):
        action_id = span.report_action("tool_call", "x")
        assert action_id not in (span.trace_id, span.span_id, TENANT)


def _failing_reports():
    return [
        pytest.param(("Tool_Call", "x"), {}, ValueError, id="bad-kind"),
        pytest.param(("tool_call ", "x"), {"result": "r" * 9000}, ValueError, id="bad-kind-long"),
        pytest.param(("tool_call", 5), {}, TypeError, id="name-type"),
        pytest.param(("tool_call", "x"), {"success": 0}, TypeError, id="success-type"),
        pytest.param(("tool_call", "x"), {"duration_ms": 2**64}, OverflowError, id="duration"),
        pytest.param(("tool_call", "x", "a"), {}, TypeError, id="positional"),
        pytest.param(("tool_call",), {}, TypeError, id="missing"),
        pytest.param(("tool_call", "x"), {"extra": 1}, TypeError, id="unexpected"),
    ]


class TestFailureLeavesSpanUnchanged:
    @pytest.mark.parametrize("args, kwargs, exc_type", _failing_reports())
    @pytest.mark.parametrize("finished", [False, True])
    def test_failed_report_changes_nothing(self, span, args, kwargs, exc_type, finished):
        span.add_tag("env", "test")
        span.report_action("tool_call", "earlier", result="r")
        if finished:
            span.set_response("done")
        before = span.to_dict()
        count = span.agent_actions_count
        with pytest.raises(exc_type):
            span.report_action(*args, **kwargs)
        assert span.agent_actions_count == count
        assert span.to_dict() == before
        # The borrow taken for the failed call is released again.
        span.report_action("tool_call", "later")
        assert span.agent_actions_count == count + 1

    def test_reentrant_index_sees_the_span_borrowed(self, span):
        seen = []

        class Sneaky:
            def __index__(self):
                for attempt in (lambda: span.prompt, lambda: span.agent_actions_count):
                    try:
                        attempt()
                    except RuntimeError as error:
                        seen.append(str(error))
                try:
                    span.report_action("tool_call", "nested")
                except RuntimeError as error:
                    seen.append(str(error))
                return 1

        span.report_action("tool_call", "outer", duration_ms=Sneaky())
        assert seen == ["Already mutably borrowed", "Already mutably borrowed", "Already borrowed"]
        assert span.agent_actions_count == 1
        assert last_action(span)["name"] == "outer"

    def test_reentrant_failure_surfaces_as_duration_error(self, span):
        class ReadsSpan:
            def __index__(self):
                return span.agent_actions_count

        expect_error(
            lambda: span.report_action("tool_call", "x", duration_ms=ReadsSpan()),
            RuntimeError,
            "Already mutably borrowed",
            ["while processing 'duration_ms'"],
        )
        assert span.agent_actions_count == 0


class TestOnFinishedSpans:
    @pytest.mark.parametrize("finish", ["response", "error"])
    def test_report_after_finishing_keeps_the_outcome(self, span, finish):
        if finish == "response":
            span.set_response("answer")
        else:
            span.set_error("boom", 500)
        before = span.to_dict()
        def outcome():
            return (span.is_complete, span.is_failed, span.response, span.duration_ms,
                    span.status_code)

        state = outcome()
        action_id = span.report_action("skill_invocation", "summarise", success=False)
        after = span.to_dict()
        assert outcome() == state
        assert after["agent_actions"][-1]["id"] == action_id
        assert after["agent_actions"][-1]["success"] is False
        del before["agent_actions"], after["agent_actions"]
        assert after == before
