// Cost of the OTLP encoding per span: reading the span document, and the
// whole request (read, map, write) in each encoding, for one span alone and
// in batches.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pelnorix/otlp.hpp"
#include "pelnorix/span_document.hpp"
#include "typical_span.hpp"

namespace {

using namespace pelnorix;

// What the exporter reads from each span: its to_json() text.
const std::string& typical_document() {
  static const std::string text(span_to_pretty_json(bench::typical_span())->view());
  return text;
}

void BM_ReadSpanDocument(benchmark::State& state) {
  const std::string& text = typical_document();
  for (auto _ : state) {
    TextArena arena;
    benchmark::DoNotOptimize(read_span_document(text, arena));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReadSpanDocument);

// Items are spans: items_per_second inverted is the time per span.
void run_encode(benchmark::State& state, otlp::Encoding encoding) {
  const std::vector<otlp::EncodeItem> items(static_cast<std::size_t>(state.range(0)),
                                            otlp::EncodeItem{typical_document(), {}});
  const std::vector<otlp::KeyValue> resource = {
      {"service.name", otlp::AnyValue::string("checkout")},
      {"telemetry.sdk.name", otlp::AnyValue::string("pelnorix")},
      {"telemetry.sdk.version", otlp::AnyValue::string("0.3.0")},
      {"telemetry.sdk.language", otlp::AnyValue::string("python")}};
  otlp::ContentPolicy policy;
  policy.max_attribute_bytes = 128 * 1024;
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto body =
        otlp::encode_export_request(items, resource, {"pelnorix", "0.3.0"}, policy, encoding);
    bytes = body->size();
    benchmark::DoNotOptimize(body);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["body_bytes_per_span"] =
      static_cast<double>(bytes) / static_cast<double>(state.range(0));
}

void BM_EncodeProtobuf(benchmark::State& state) {
  run_encode(state, otlp::Encoding::Protobuf);
}
BENCHMARK(BM_EncodeProtobuf)->Arg(1)->Arg(64)->Arg(512);

void BM_EncodeJson(benchmark::State& state) {
  run_encode(state, otlp::Encoding::Json);
}
BENCHMARK(BM_EncodeJson)->Arg(1)->Arg(64)->Arg(512);

}  // namespace
