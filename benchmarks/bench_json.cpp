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
#include "typical_span.hpp"

namespace {

using namespace pelnorix;
using namespace pelnorix::bench;

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
// Bytes per second as the document grows to tens of megabytes: the writer's
// own cost per byte should stay flat; what changes is the memory it reads
// and writes.
void BM_ManyActionsPretty(benchmark::State& state) {
  run_document(state, typical_span(static_cast<std::size_t>(state.range(0))), span_to_pretty_json);
}
BENCHMARK(BM_FreshSpanCompact);
BENCHMARK(BM_FreshSpanPretty);
BENCHMARK(BM_TypicalSpanCompact);
BENCHMARK(BM_TypicalSpanPretty);
BENCHMARK(BM_ThousandActionsCompact);
BENCHMARK(BM_ThousandActionsPretty);
BENCHMARK(BM_ManyActionsPretty)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

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
