"""Reads back, through Phoenix's REST API, the agent run that examples/export_agent_run.py sent.

    phoenix_check.py BASE_URL PROJECT

Checks the spans of the project (a fresh one, holding that one run): three
spans in one trace, the LLM call as the root with the two tool steps under it,
their names and the attributes the exporter maps. Prints the address of the
trace in Phoenix's UI on its last line. Standard library only.
"""

from __future__ import annotations

import json
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from typing import Any

ROOT = "chat gpt-4o-mini"
TOOLS = {"execute_tool search_files", "execute_tool /srv/reports/march.txt"}
ROOT_ATTRIBUTES = {
    "gen_ai.operation.name": "chat",
    "gen_ai.provider.name": "openai",
    "gen_ai.request.model": "gpt-4o-mini",
    "gen_ai.usage.input_tokens": 57,
    "gen_ai.usage.output_tokens": 21,
    "gen_ai.response.time_to_first_chunk": 0.18,
    "env": "example",
}


def get(base: str, path: str) -> Any:
    with urllib.request.urlopen(base + path, timeout=10) as answer:
        return json.load(answer)


def flat(attributes: dict[str, Any], prefix: str = "") -> dict[str, Any]:
    # Phoenix hands attributes back nested by their dotted keys.
    out: dict[str, Any] = {}
    for key, value in attributes.items():
        if isinstance(value, dict):
            out.update(flat(value, f"{prefix}{key}."))
        else:
            out[prefix + key] = value
    return out


def main() -> int:
    base, project = sys.argv[1].rstrip("/"), sys.argv[2]
    path = f"/v1/projects/{urllib.parse.quote(project)}/spans?limit=100"
    spans: list[dict[str, Any]] = []
    for _ in range(40):  # ingestion is asynchronous
        try:
            spans = get(base, path)["data"]
        except urllib.error.HTTPError as error:
            if error.code != 404:  # 404: the project is not there yet
                raise
        if len(spans) >= 3:
            break
        time.sleep(0.5)
    problems: list[str] = []
    names = sorted(span["name"] for span in spans)
    print(f"{len(spans)} spans: {names}")
    if len(spans) != 3 or set(names) != {ROOT, *TOOLS}:
        problems.append(f"expected the spans {sorted({ROOT, *TOOLS})}")
    roots = [span for span in spans if span["name"] == ROOT]
    if roots:
        root = roots[0]
        trace_id, root_id = root["context"]["trace_id"], root["context"]["span_id"]
        if root.get("parent_id"):
            problems.append(f"the LLM span has a parent: {root['parent_id']}")
        attributes = flat(root["attributes"])
        for key, expected in ROOT_ATTRIBUTES.items():
            if attributes.get(key) != expected:
                problems.append(f"{ROOT}: {key} = {attributes.get(key)!r}, expected {expected!r}")
        for key in ("gen_ai.input.messages", "gen_ai.output.messages"):
            value = attributes.get(key)
            messages = json.loads(value) if isinstance(value, str) else value
            if not (isinstance(messages, list) and messages and messages[0].get("parts")):
                problems.append(f"{ROOT}: {key} is not in the message form: {value!r}")
        for span in spans:
            if span["name"] not in TOOLS:
                continue
            if span["context"]["trace_id"] != trace_id or span.get("parent_id") != root_id:
                problems.append(f"{span['name']} is not a child of the LLM span")
            tool = flat(span["attributes"])
            if tool.get("gen_ai.tool.name") != span["name"].removeprefix("execute_tool "):
                problems.append(f"{span['name']}: gen_ai.tool.name = {tool.get('gen_ai.tool.name')!r}")
            print(f"  {span['name']}: parent {span.get('parent_id')}, "
                  f"{span['start_time']} .. {span['end_time']}, status {span['status_code']}")
        print(f"  {ROOT}: trace {trace_id}, span {root_id}, attributes {sorted(attributes)}")
    for problem in problems:
        print(f"FAIL: {problem}")
    if problems or not roots:
        return 1
    project_id = next(p["id"] for p in get(base, "/v1/projects")["data"] if p["name"] == project)
    print(f"{base}/projects/{project_id}/traces/{trace_id}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
