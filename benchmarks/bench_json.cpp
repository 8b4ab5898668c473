// Cost of the span document and of the writer's hot paths: string escaping
// and number text.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pelnorix/json_writer.hpp"
#include "pelnorix/span_document.hpp"

namespace {

using namespace pelnorix;

// Words and spaces; with `line_breaks`, a sentence ends in a newline now and
// then, as in prompts.
std::string prose(std::size_t bytes, std::uint64_t seed, bool line_breaks = true) {
  static constexpr const char* kWords[] = {"the",   "model", "returned", "a",    "summary",
                                           "of",    "query", "context",  "with", "tokens",
                                           "agent", "tool",  "result",   "and",  "response"};
  std::mt19937_64 random(seed);
  std::string text;
  while (text.size() < bytes) {
    text += kWords[random() % std::size(kWords)];
    text += line_breaks && random() % 12 == 0 ? ".\n" : " ";
  }
  text.resize(bytes);
  return text;
}

TraceSpan fresh_span() {
  return new_span(generate_uuid_v4(), TenantId::generate(), "chat_completion",
                  LLMProvider{LLMProvider::Kind::OpenAI, {}}, "gpt-4", "");
}

// 1 KB prompt, 1 KB response, 5 tags, 3 agent actions with arguments and results.
TraceSpan typical_span(std::size_t action_count = 3) {
  TraceSpan span = fresh_span();
  span.prompt = prose(1024, 1);
  set_token_counts(span, 250, 310);
  span.time_to_first_token_ms = 180;
  for (int i = 0; i < 5; ++i) {
    span.tags.insert_or_assign("tag_" + std::to_string(i), "value-" + std::to_string(i * 37));
  }
  for (std::size_t i = 0; i < action_count; ++i) {
    AgentAction action = new_agent_action(AgentActionType::ToolCall, "web_search");
    action = with_arguments(std::move(action), R"({"query": "weather in Paris", "limit": 5})");
    action = with_result(std::move(action), prose(200, i));
    action.duration_ms = 35 + i;
    add_agent_action(span, std::move(action));
  }
  return finish_with_response(std::move(span), prose(1024, 2));
}

template <typename Render>
void run_document(benchmark::State& state, const TraceSpan& span, Render render) {
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = render(span);
    bytes = text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
  state.counters["doc_bytes"] = static_cast<double>(bytes);
}

void BM_FreshSpanCompact(benchmark::State& state) {
  run_document(state, fresh_span(), span_to_compact_json);
}
void BM_FreshSpanPretty(benchmark::State& state) {
  run_document(state, fresh_span(), span_to_pretty_json);
}
void BM_TypicalSpanCompact(benchmark::State& state) {
  run_document(state, typical_span(), span_to_compact_json);
}
void BM_TypicalSpanPretty(benchmark::State& state) {
  run_document(state, typical_span(), span_to_pretty_json);
}
void BM_ThousandActionsCompact(benchmark::State& state) {
  run_document(state, typical_span(1000), span_to_compact_json);
}
void BM_ThousandActionsPretty(benchmark::State& state) {
  run_document(state, typical_span(1000), span_to_pretty_json);
}
BENCHMARK(BM_FreshSpanCompact);
BENCHMARK(BM_FreshSpanPretty);
BENCHMARK(BM_TypicalSpanCompact);
BENCHMARK(BM_TypicalSpanPretty);
BENCHMARK(BM_ThousandActionsCompact);
BENCHMARK(BM_ThousandActionsPretty);

// Escaping throughput over 1 MB, counted in input bytes.
void run_escape(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    JsonWriter writer = JsonWriter::compact();
    benchmark::DoNotOptimize(writer.string_value(text).ok());
    benchmark::DoNotOptimize(std::move(writer).take_text());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_EscapePlainAscii1MB(benchmark::State& state) {
  run_escape(state, prose(1 << 20, 3, false));
}

void BM_EscapeTenPercentSpecial1MB(benchmark::State& state) {
  std::string text = prose(1 << 20, 4, false);
  std::mt19937_64 random(5);
  static constexpr char kSpecials[] = {'"', '\\', '\n', '\t', '\x01'};
  for (char& c : text) {
    if (random() % 10 == 0) c = kSpecials[random() % std::size(kSpecials)];
  }
  run_escape(state, text);
}
BENCHMARK(BM_EscapePlainAscii1MB);
BENCHMARK(BM_EscapeTenPercentSpecial1MB);

// Random finite doubles from random bit patterns, written as one array.
void BM_RandomDoubles(benchmark::State& state) {
  std::mt19937_64 random(6);
  std::vector<double> values;
  while (values.size() < 4096) {
    const double value = std::bit_cast<double>(random());
    if (std::isfinite(value)) values.push_back(value);
  }
  for (auto _ : state) {
    JsonWriter writer = JsonWriter::compact();
    (void)writer.begin_array();
    for (const double value : values)
      (void)writer.double_value(value);
    (void)writer.end_array();
    benchmark::DoNotOptimize(std::move(writer).take_text());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size()));
}
BENCHMARK(BM_RandomDoubles);

}  // namespace
