"""Span export: the exact JSON text, the dictionary built from the compact text,
the findings list, the summary line, and the use of the application's `json`."""

import datetime
import json
import re
import sys
import types

import pytest
from support import TENANT

import pelnorix

REAL_JSON = json
REAL_LOADS = json.loads

TIMESTAMP = re.compile(r"\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(?:\.(\d{3}|\d{6}|\d{9}))?Z")

# Every character class the writer treats specially, plus text that must pass raw.
SPECIAL = 'q"b\\n\x00\x01\x1f\t\n\b\f\r\x0b\x1b\x7f/é€😀 end'
SPECIAL_ESCAPED = 'q\\"b\\\\n\\u0000\\u0001\\u001f\\t\\n\\b\\f\\r\\u000b\\u001b\x7f/é€😀 end'


def new_tracer():
    return pelnorix.TamloxTracer(tenant_id=TENANT)


def new_span(operation="chat", provider="openai", model="gpt-4"):
    return new_tracer().start_span(operation, provider, model)


def structure(value):
    """The value with dictionary order and scalar types made part of equality."""
    if isinstance(value, dict):
        return ("dict", [(key, structure(item)) for key, item in value.items()])
    if isinstance(value, list):
        return ("list", [structure(item) for item in value])
    return (type(value).__name__, value)


def compact_form(text):
    """What the compact layout of the same document must look like."""
    return json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":"))


def fresh_span():
    return new_span()


def finished_span():
    span = new_span()
    span.set_prompt("What is 2+2?")
    span.set_token_counts(prompt_tokens=4294967295, completion_tokens=0)
    span.set_ttft_ms(0)
    span.set_response("4")
    return span


def failed_span():
    span = new_span("embed", "anthropic", "claude")
    span.set_error("timeout", 504)
    return span


def failed_without_status_span():
    span = new_span()
    span.set_error("x", status_code=404)
    span.set_error("refused")
    return span


def busy_span():
    span = new_span("agent", "My Gateway", "m")
    for index in range(5):
        span.add_tag(f"key{index}", f"value{index}")
    span.report_action("tool_call", "search", arguments="{}", result="[]", duration_ms=12)
    span.report_action("command_execution", "rm -rf /", success=False)
    span.report_action("web_access", "https://example.test/a?b=c", duration_ms=0)
    span.set_ttft_ms(2**64 - 1)
    return span


def response_then_error_span():
    span = busy_span()
    span.set_response("partial")
    span.set_error("cut off")
    return span


SPAN_FACTORIES = [
    fresh_span,
    finished_span,
    failed_span,
    failed_without_status_span,
    busy_span,
    response_then_error_span,
]


class TestDocument:
    def test_fresh_span_document(self):
        tracer = new_tracer()
        span = tracer.start_span("chat", "openai", "gpt-4")
        document = span.to_dict()
        expected = {
            "trace_id": span.trace_id,
            "span_id": span.span_id,
            "parent_span_id": None,
            "tenant_id": tracer.tenant_id,
            "operation_name": "chat",
            "start_time": document["start_time"],
            "end_time": None,
            "provider": "OpenAI",
            "model_name": "gpt-4",
            "prompt": "",
            "response": None,
            "prompt_tokens": None,
            "completion_tokens": None,
            "total_tokens": None,
            "time_to_first_token_ms": None,
            "duration_ms": None,
            "status_code": None,
            "error_message": None,
            "estimated_cost_usd": None,
            "security_score": None,
            "security_findings": [],
            "tags": {},
            "events": [],
            "agent_actions": [],
        }
        assert list(document.items()) == list(expected.items())
        assert TIMESTAMP.fullmatch(document["start_time"])

    def test_finished_span_document(self):
        span = finished_span()
        document = span.to_dict()
        assert document["response"] == "4"
        assert document["prompt"] == "What is 2+2?"
        assert (
            document["prompt_tokens"],
            document["completion_tokens"],
            document["total_tokens"],
        ) == (4294967295, 0, 4294967295)
        assert document["time_to_first_token_ms"] == 0
        assert document["duration_ms"] == span.duration_ms
        assert isinstance(document["duration_ms"], int)
        assert TIMESTAMP.fullmatch(document["end_time"])
        assert (document["status_code"], document["error_message"]) == (None, None)
        assert '"total_tokens": 4294967295,' in span.to_json()

    @pytest.mark.parametrize(
        "factory, status, message, response",
        [
            (failed_span, 504, "timeout", None),
            (failed_without_status_span, None, "refused", None),
            (response_then_error_span, None, "cut off", "partial"),
        ],
    )
    def test_failed_span_document(self, factory, status, message, response):
        document = factory().to_dict()
        assert document["error_message"] == message
        assert document["status_code"] == status
        assert document["response"] == response
        assert document["end_time"] is not None

    def test_actions_and_tags(self):
        span = busy_span()
        document = span.to_dict()
        assert document["tags"] == {f"key{i}": f"value{i}" for i in range(5)}
        assert len(document["agent_actions"]) == span.agent_actions_count == 3
        assert [a["success"] for a in document["agent_actions"]] == [True, False, True]
        assert [a["duration_ms"] for a in document["agent_actions"]] == [12, None, 0]
        assert document["time_to_first_token_ms"] == 2**64 - 1
        assert '"time_to_first_token_ms": 18446744073709551615,' in span.to_json()

    @pytest.mark.parametrize("factory", SPAN_FACTORIES)
    def test_identity_fields(self, factory):
        span = factory()
        document = span.to_dict()
        assert document["trace_id"] == span.trace_id
        assert document["span_id"] == span.span_id
        assert document["tenant_id"] == TENANT
        assert document["operation_name"] == span.operation_name
        assert document["model_name"] == span.model_name
        assert document["duration_ms"] == span.duration_ms
        assert len(document["agent_actions"]) == span.agent_actions_count

    def test_findings_are_empty(self):
        for factory in SPAN_FACTORIES:
            span = factory()
            first, second = span.security_findings(), span.security_findings()
            assert first == [] and type(first) is list
            assert first is not second
            assert span.security_findings_count == 0
            assert span.to_dict()["security_findings"] == []
            assert span.to_dict()["events"] == []


class TestJsonText:
    @pytest.mark.parametrize("factory", SPAN_FACTORIES)
    def test_text_and_dictionary_agree(self, factory):
        span = factory()
        text = span.to_json()
        assert structure(json.loads(text)) == structure(span.to_dict())
        assert text.startswith('{\n  "trace_id": "')
        assert text.endswith("\n}")
        assert not text.endswith("\n}\n")
        assert not any(line.endswith(" ") for line in text.split("\n"))

    def test_exact_pretty_text(self):
        span = new_span("chat", "OpenAI", "gpt-4")
        span.set_prompt("Hello")
        span.add_tag("env", "prod")
        span.set_token_counts(prompt_tokens=10, completion_tokens=5)
        span.set_ttft_ms(120)
        first = span.report_action(
            "tool_call", "search", arguments="q=1", result="found", duration_ms=3
        )
        second = span.report_action("file_access", "/tmp/x", success=False)
        span.set_response("Hi there")

        template = """{
  "trace_id": "@TRACE@",
  "span_id": "@SPAN@",
  "parent_span_id": null,
  "tenant_id": "@TENANT@",
  "operation_name": "chat",
  "start_time": "@TS@",
  "end_time": "@TS@",
  "provider": "OpenAI",
  "model_name": "gpt-4",
  "prompt": "Hello",
  "response": "Hi there",
  "prompt_tokens": 10,
  "completion_tokens": 5,
  "total_tokens": 15,
  "time_to_first_token_ms": 120,
  "duration_ms": @INT@,
  "status_code": null,
  "error_message": null,
  "estimated_cost_usd": null,
  "security_score": null,
  "security_findings": [],
  "tags": {
    "env": "prod"
  },
  "events": [],
  "agent_actions": [
    {
      "id": "@FIRST@",
      "action_type": "tool_call",
      "name": "search",
      "arguments": "q=1",
      "result": "found",
      "duration_ms": 3,
      "success": true,
      "exit_code": null,
      "http_method": null,
      "http_status": null,
      "file_operation": null,
      "timestamp": "@TS@",
      "metadata": {}
    },
    {
      "id": "@SECOND@",
      "action_type": "file_access",
      "name": "/tmp/x",
      "arguments": null,
      "result": null,
      "duration_ms": null,
      "success": false,
      "exit_code": null,
      "http_method": null,
      "http_status": null,
      "file_operation": null,
      "timestamp": "@TS@",
      "metadata": {}
    }
  ]
}"""
        for marker, value in [
            ("@TRACE@", span.trace_id),
            ("@SPAN@", span.span_id),
            ("@TENANT@", TENANT),
            ("@FIRST@", first),
            ("@SECOND@", second),
        ]:
            template = template.replace(marker, value)
        pattern = (
            re.escape(template)
            .replace("@TS@", TIMESTAMP.pattern.replace("(\\d{3}", "(?:\\d{3}"))
            .replace("@INT@", "(?:0|[1-9][0-9]*)")
        )
        assert re.fullmatch(pattern, span.to_json()), span.to_json()

    def test_several_tags_in_pretty_layout(self):
        span = new_span()
        tags = {"a": "1", "b": "2", "c": ""}
        for key, value in tags.items():
            span.add_tag(key, value)
        text = span.to_json()
        block = re.search(r'\n  "tags": \{\n((?:    "[abc]": "[12]?",?\n){3})  \},\n', text)
        assert block, text
        lines = block.group(1).rstrip("\n").split("\n")
        assert [line.endswith(",") for line in lines] == [True, True, False]
        assert json.loads(text)["tags"] == tags

    @pytest.mark.parametrize("factory", SPAN_FACTORIES)
    def test_dictionary_comes_from_compact_text(self, factory, monkeypatch):
        seen = []

        def loads(*args, **kwargs):
            seen.append((args, kwargs))
            return REAL_LOADS(*args, **kwargs)

        monkeypatch.setattr(REAL_JSON, "loads", loads)
        span = factory()
        document = span.to_dict()
        assert len(seen) == 1
        (text,), kwargs = seen[0]
        assert kwargs == {} and type(text) is str
        assert text == compact_form(text)
        assert structure(document) == structure(REAL_LOADS(span.to_json()))


class TestEscaping:
    def test_special_text_lowercases_to_itself(self):
        assert SPECIAL.lower() == SPECIAL

    @pytest.mark.parametrize(
        "key, prepare",
        [
            ("prompt", lambda span: span.set_prompt(SPECIAL)),
            ("response", lambda span: span.set_response(SPECIAL)),
            ("error_message", lambda span: span.set_error(SPECIAL)),
            ("name", lambda span: span.report_action("tool_call", SPECIAL)),
            ("arguments", lambda span: span.report_action("tool_call", "n", arguments=SPECIAL)),
            ("result", lambda span: span.report_action("tool_call", "n", result=SPECIAL)),
            ("tag", lambda span: span.add_tag(SPECIAL, SPECIAL)),
        ],
    )
    def test_recorded_text(self, key, prepare):
        span = new_span()
        prepare(span)
        self.check(span, key)

    @pytest.mark.parametrize(
        "key, args",
        [
            ("operation_name", (SPECIAL, "openai", "m")),
            ("model_name", ("op", "openai", SPECIAL)),
            ("Custom", ("op", SPECIAL, "m")),
        ],
    )
    def test_span_names(self, key, args):
        self.check(new_tracer().start_span(*args), key)

    def check(self, span, key):
        text = span.to_json()
        if key == "tag":
            assert f'"{SPECIAL_ESCAPED}": "{SPECIAL_ESCAPED}"' in text
        else:
            assert f'"{key}": "{SPECIAL_ESCAPED}"' in text
        assert "\\u001F" not in text and "\\/" not in text
        assert [c for c in text if c < " " and c != "\n"] == []
        escapes = re.findall(r"(?<!\\)(?:\\\\)*\\u([0-9a-fA-F]{4})", text)
        assert escapes and all(e.startswith("00") and e == e.lower() for e in escapes)

        document = span.to_dict()
        assert document == json.loads(text)
        if key == "tag":
            assert document["tags"] == {SPECIAL: SPECIAL}
        elif key == "Custom":
            assert document["provider"] == {"Custom": SPECIAL}
        elif key in ("name", "arguments", "result"):
            assert document["agent_actions"][0][key] == SPECIAL
        else:
            assert document[key] == SPECIAL

    def test_every_field_round_trips_together(self):
        span = new_tracer().start_span(SPECIAL, SPECIAL, SPECIAL)
        span.set_prompt(SPECIAL)
        span.add_tag(SPECIAL, SPECIAL)
        span.report_action("tool_call", SPECIAL, arguments=SPECIAL, result=SPECIAL)
        span.set_response(SPECIAL)
        span.set_error(SPECIAL)
        document = span.to_dict()
        for key in ["operation_name", "model_name", "prompt", "response", "error_message"]:
            assert document[key] == SPECIAL
        assert document["provider"] == {"Custom": SPECIAL}
        assert document["tags"] == {SPECIAL: SPECIAL}
        action = document["agent_actions"][0]
        assert action["name"] == action["arguments"] == action["result"] == SPECIAL
        assert structure(json.loads(span.to_json())) == structure(document)

    @pytest.mark.parametrize(
        "text", ["", "a/b", "é", "\U0010ffff", "\u2028\u2029", "x" * 100_000, "\\u0041"]
    )
    def test_plain_texts_are_written_raw(self, text):
        span = new_span()
        span.set_prompt(text)
        assert span.to_dict()["prompt"] == text
        assert f'"prompt": {json.dumps(text, ensure_ascii=False)},' in span.to_json()


class TestTimestamps:
    @pytest.mark.parametrize("factory", [finished_span, busy_span, response_then_error_span])
    def test_rfc3339_with_shortest_fraction(self, factory):
        span = factory()
        document = span.to_dict()
        stamps = [document["start_time"]] + [a["timestamp"] for a in document["agent_actions"]]
        if document["end_time"] is not None:
            stamps.append(document["end_time"])
        now = datetime.datetime.now(datetime.timezone.utc)
        for stamp in stamps:
            match = TIMESTAMP.fullmatch(stamp)
            assert match, stamp
            fraction = match.group(1) or ""
            # The narrowest width that holds the nanoseconds exactly is chosen.
            assert not fraction.endswith("000"), stamp
            moment = datetime.datetime.fromisoformat(stamp[:19] + "+00:00")
            assert abs((now - moment).total_seconds()) < 300
            assert f'"{stamp}"' in span.to_json()

    def test_end_not_before_start_in_duration(self):
        span = finished_span()
        document = span.to_dict()
        start = datetime.datetime.fromisoformat(document["start_time"][:19] + "+00:00")
        end = datetime.datetime.fromisoformat(document["end_time"][:19] + "+00:00")
        assert end >= start


class TestProvider:
    @pytest.mark.parametrize(
        "name, form",
        [
            ("openai", "OpenAI"),
            ("OPENAI", "OpenAI"),
            ("anthropic", "Anthropic"),
            ("vllm", "VLLm"),
            ("VLLM", "VLLm"),
            ("sglang", "SGLang"),
            ("tgi", "TGI"),
            ("Ollama", "Ollama"),
            ("azure_openai", "AzureOpenAI"),
            ("azure-openai", "AzureOpenAI"),
            ("AzureOpenAI", "AzureOpenAI"),
            ("AZURE_OPENAI", "AzureOpenAI"),
            ("Bedrock", "Bedrock"),
            # The Kelvin sign lower-cases to an ASCII k.
            ("BEDROC\u212a", "Bedrock"),
            ("MixedCase", {"Custom": "mixedcase"}),
            ("My Provider", {"Custom": "my provider"}),
            ("my-gateway", {"Custom": "my-gateway"}),
            ("open-ai", {"Custom": "open-ai"}),
            (" openai", {"Custom": " openai"}),
            ("openai ", {"Custom": "openai "}),
            ("azure openai", {"Custom": "azure openai"}),
            # Full lower-casing, final sigma included.
            ("ΟΔΟΣ", {"Custom": "οδος"}),
            ("ΟΔΟΣ ΣΑΣ", {"Custom": "οδος σας"}),
            ("İSTANBUL", {"Custom": "i\u0307stanbul"}),
            ("ẞ", {"Custom": "ß"}),
            ("Große", {"Custom": "große"}),
            ("", {"Custom": ""}),
        ],
    )
    def test_provider_forms(self, name, form):
        assert isinstance(form, str) or form["Custom"] == name.lower()
        span = new_span("op", name, "m")
        assert span.to_dict()["provider"] == form
        text = span.to_json()
        if isinstance(form, str):
            assert f'\n  "provider": "{form}",\n' in text
        else:
            custom = json.dumps(form["Custom"], ensure_ascii=False)
            assert f'\n  "provider": {{\n    "Custom": {custom}\n  }},\n' in text


class TestRepr:
    @pytest.mark.parametrize(
        "operation, model",
        [("chat", "gpt-4"), ("it's", "o'clock"), ("line\nbreak", "tab\there"), ("", ""),
         ("ünï", "模型")],
    )
    def test_summary_line(self, operation, model):
        span = new_span(operation, "openai", model)
        head = f"TraceSpan(trace_id='{span.trace_id}', op='{operation}', model='{model}', "
        assert repr(span) == head + "complete=false)"
        assert str(span) == repr(span)
        span.report_action("tool_call", "t")
        assert repr(span) == head + "complete=false)"
        span.set_response("done")
        assert repr(span) == head + "complete=true)"
        assert str(span) == repr(span)

    def test_failed_span_is_complete(self):
        span = failed_span()
        assert repr(span).endswith("', op='embed', model='claude', complete=true)")


@pytest.fixture
def json_slot():
    """Lets a test replace `sys.modules["json"]`; the real module always comes back."""
    yield
    sys.modules["json"] = REAL_JSON


def fake_json(loads):
    module = types.ModuleType("json")
    module.loads = loads
    return module


class TestApplicationJson:
    def test_replaced_module_is_used_and_result_returned_unchecked(self, json_slot):
        sentinel = object()
        calls = []

        def loads(*args, **kwargs):
            calls.append((args, kwargs))
            return sentinel

        span = busy_span()
        sys.modules["json"] = fake_json(loads)
        assert span.to_dict() is sentinel
        assert span.security_findings() is sentinel
        assert len(calls) == 2
        (document_text,), kwargs = calls[0]
        assert kwargs == {} and type(document_text) is str
        assert calls[1] == (("[]",), {})
        sys.modules["json"] = REAL_JSON
        assert REAL_LOADS(document_text) == span.to_dict()

    def test_module_and_loads_are_looked_up_on_every_call(self, json_slot):
        span = new_span()
        module = fake_json(lambda text: "first")
        sys.modules["json"] = module
        assert span.to_dict() == "first"
        module.loads = lambda text: "second"
        assert span.to_dict() == "second"
        assert span.security_findings() == "second"
        sys.modules["json"] = fake_json(lambda text: "third")
        assert span.to_dict() == "third"
        sys.modules["json"] = REAL_JSON
        assert span.to_dict()["trace_id"] == span.trace_id

    def test_loads_replaced_on_the_real_module(self, monkeypatch):
        monkeypatch.setattr(REAL_JSON, "loads", lambda text: {"patched": text[:1]})
        span = new_span()
        assert span.to_dict() == {"patched": "{"}
        assert span.security_findings() == {"patched": "["}

    def test_json_unavailable(self, json_slot):
        span = busy_span()
        expected_text = span.to_json()
        expected_repr = repr(span)
        sys.modules["json"] = None
        with pytest.raises(ImportError):
            span.to_dict()
        with pytest.raises(ImportError):
            span.security_findings()
        assert span.to_json() == expected_text
        assert repr(span) == expected_repr
        # The failed exports released their borrow.
        span.set_prompt("still writable")
        assert span.prompt == "still writable"

    def test_module_without_loads(self, json_slot):
        sys.modules["json"] = types.ModuleType("json")
        span = new_span()
        with pytest.raises(AttributeError, match="loads"):
            span.to_dict()
        with pytest.raises(AttributeError, match="loads"):
            span.security_findings()

    @pytest.mark.parametrize("method", ["to_dict", "security_findings"])
    def test_exception_from_loads_passes_unchanged(self, method, json_slot):
        class Failure(Exception):
            pass

        failure = Failure("nope")

        def loads(text):
            raise failure

        span = new_span()
        sys.modules["json"] = fake_json(loads)
        with pytest.raises(Failure) as info:
            getattr(span, method)()
        assert info.value is failure
        assert getattr(info.value, "__notes__", []) == []
        span.set_prompt("borrow released")
        assert span.prompt == "borrow released"

    def test_reentrant_loads(self, json_slot):
        span = busy_span()
        expected = span.to_dict()
        recorders = {
            "set_prompt": lambda: span.set_prompt("x"),
            "set_response": lambda: span.set_response("x"),
            "set_error": lambda: span.set_error("x", 1),
            "set_token_counts": lambda: span.set_token_counts(prompt_tokens=1),
            "set_ttft_ms": lambda: span.set_ttft_ms(1),
            "add_tag": lambda: span.add_tag("k", "v"),
            "report_action": lambda: span.report_action("tool_call", "x"),
        }
        observed = {}
        depth = []

        def attempt_recordings(label):
            for name, call in recorders.items():
                try:
                    call()
                    observed[(label, name)] = "succeeded"
                except RuntimeError as error:
                    observed[(label, name)] = str(error)

        def loads(text):
            depth.append(text)
            if len(depth) == 1:
                attempt_recordings("outer")
                observed["reads"] = (
                    span.trace_id,
                    span.prompt,
                    span.agent_actions_count,
                    span.is_complete,
                    repr(span),
                    REAL_LOADS(span.to_json()),
                )
                # A nested export borrows and releases on its own.
                observed["nested"] = span.to_dict()
                attempt_recordings("after-nested")
            return REAL_LOADS(text)

        sys.modules["json"] = fake_json(loads)
        result = span.to_dict()
        sys.modules["json"] = REAL_JSON

        # The result is the text written before `loads` ran; the borrow ended
        # with the text, so `loads` could record on the span.
        assert result == expected
        for label in ("outer", "after-nested"):
            for name in recorders:
                assert observed[(label, name)] == "succeeded", (label, name)
        trace_id, prompt, count, complete, summary, parsed = observed["reads"]
        assert (trace_id, prompt, count, complete) == (span.trace_id, "x", 4, True)
        assert summary == repr(span)
        assert observed["nested"] == parsed
        assert span.agent_actions_count == 5
        span.set_prompt("writable again")
        assert span.prompt == "writable again"

    def test_reentrant_loads_in_findings(self, json_slot):
        span = new_span()
        outcome = []

        def loads(text):
            try:
                span.add_tag("k", "v")
            except RuntimeError as error:
                outcome.append(str(error))
            outcome.append(span.security_findings_count)
            return REAL_LOADS(text)

        sys.modules["json"] = fake_json(loads)
        assert span.security_findings() == []
        assert outcome == [0]
        sys.modules["json"] = REAL_JSON
        assert span.to_dict()["tags"] == {"k": "v"}


class TestIndependence:
    def test_results_do_not_follow_later_changes(self):
        span = busy_span()
        document = span.to_dict()
        text = span.to_json()
        snapshot = json.loads(text)
        span.set_prompt("changed")
        span.add_tag("new", "tag")
        span.report_action("tool_call", "later")
        span.set_response("now done")
        assert document == snapshot
        assert json.loads(text) == snapshot

    def test_changing_a_result_does_not_touch_the_span(self):
        span = busy_span()
        before = span.to_dict()
        changed = span.to_dict()
        changed["tags"]["injected"] = "x"
        changed["agent_actions"].append({})
        changed["agent_actions"][0]["name"] = "renamed"
        changed["prompt"] = "rewritten"
        findings = span.security_findings()
        findings.append({"id": "x"})
        assert span.to_dict() == before
        assert span.security_findings() == []
        assert span.agent_actions_count == 3


def test_large_number_of_actions():
    span = new_span()
    total = 100_000
    kinds = ["tool_call", "skill_invocation", "command_execution", "web_access", "file_access"]
    report = span.report_action
    ids = [report(kinds[index % 5], f"action-{index}") for index in range(total)]
    assert span.agent_actions_count == total
    assert len(set(ids)) == total

    actions = span.to_dict()["agent_actions"]
    assert len(actions) == total
    for index in (0, 1, 4, 12_345, total // 2, total - 2, total - 1):
        action = actions[index]
        assert action["id"] == ids[index]
        assert action["name"] == f"action-{index}"
        assert action["action_type"] == kinds[index % 5]
    del actions

    text = span.to_json()
    assert text.count('\n      "action_type": ') == total
    assert f'"id": "{ids[-1]}",' in text[-1000:]
    assert text.endswith('\n      "metadata": {}\n    }\n  ]\n}')
