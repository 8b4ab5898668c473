"""Agent actions reported on a span: kind matching, result truncation, optional
fields and identifiers."""

import pytest
from support import TENANT, UUID4, last_action, raises

KINDS = ["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
EXPECTED_KINDS = "tool_call, skill_invocation, command_execution, web_access, file_access"
RESULT_LIMIT = 4096


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
        message = f"Invalid action_type: '{kind}'. Expected one of: {EXPECTED_KINDS}"
        with raises(ValueError, message):
            span.report_action(kind, "x")
        assert span.agent_actions_count == 0

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

    def test_largest_duration_written_in_full(self, span):
        span.report_action("web_access", "u", duration_ms=2**64 - 1)
        assert '"duration_ms": 18446744073709551615,' in span.to_json()

    @pytest.mark.parametrize("field", ["arguments", "result"])
    @pytest.mark.parametrize("value, stored", [(None, None), ("", ""), ("-la", "-la")])
    def test_optional_text(self, span, field, value, stored):
        span.report_action("command_execution", "ls", **{field: value})
        assert last_action(span)[field] == stored


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
