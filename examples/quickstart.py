"""Trace one LLM call of a small agent with pelnorix.

The client below stands in for a real LLM SDK client (no network): it answers
a chat request after "calling" a search tool and reading a file, and reports
token usage and time to first token the way real clients do.
"""

from __future__ import annotations

import time
from dataclasses import dataclass

import pelnorix


@dataclass
class Usage:
    prompt_tokens: int
    completion_tokens: int


@dataclass
class ChatResult:
    text: str
    usage: Usage
    first_token_ms: int


class StandInLLMClient:
    """A local stand-in for an LLM SDK client."""

    model = "gpt-4o-mini"

    def chat(self, prompt: str) -> ChatResult:
        started = time.perf_counter()
        time.sleep(0.002)  # the model "thinks"
        first_token_ms = int((time.perf_counter() - started) * 1000)
        answer = "Paris is the capital of France; the population figure is from 2023."
        return ChatResult(
            text=answer,
            usage=Usage(prompt_tokens=len(prompt.split()), completion_tokens=len(answer.split())),
            first_token_ms=first_token_ms,
        )

    def __repr__(self) -> str:
        return f"StandInLLMClient(model={self.model!r})"


def main() -> None:
    tracer = pelnorix.TamloxTracer(endpoint="http://localhost:4318", enable_security=True)
    client = pelnorix.instrument(StandInLLMClient(), tracer=tracer)
    print(f"pelnorix {pelnorix.__version__}: {client!r}")

    prompt = "What is the capital of France, and how many people live there?"
    span = client.start_span("chat_completion", "openai", client.model)
    span.set_prompt(prompt)
    span.add_tag("env", "production")
    span.add_tag("user_tier", "pro")

    # The agent looks something up and reads a file before answering.
    span.report_action(
        "tool_call",
        "web_search",
        arguments='{"query": "population of Paris"}',
        result='{"population": 2102650, "year": 2023}',
        duration_ms=120,
    )
    span.report_action(
        "file_access", "/srv/kb/france.md", arguments="read", result="# France\n...", duration_ms=3
    )

    result = client.chat(prompt)
    span.set_token_counts(
        prompt_tokens=result.usage.prompt_tokens,
        completion_tokens=result.usage.completion_tokens,
    )
    span.set_ttft_ms(result.first_token_ms)
    span.set_response(result.text)

    print(repr(span))
    print(span.to_json())


if __name__ == "__main__":
    main()
