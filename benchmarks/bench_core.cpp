// Costs of the trace model's hot operations, per call.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "pelnorix/agent_action.hpp"
#include "pelnorix/string_map.hpp"
#include "pelnorix/trace_span.hpp"
#include "pelnorix/uuid.hpp"

namespace pelnorix {
namespace {

void BM_UuidGenerate(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(generate_uuid_v4());
}
BENCHMARK(BM_UuidGenerate);
BENCHMARK(BM_UuidGenerate)->Threads(2);

void BM_UuidFormat(benchmark::State& state) {
  const Uuid id = generate_uuid_v4();
  char text[kUuidTextLength];
  for (auto _ : state) {
    format_uuid(id, text);
    benchmark::DoNotOptimize(text);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_UuidFormat);

void BM_UuidParse(benchmark::State& state) {
  const std::string texts[] = {to_string(generate_uuid_v4()),
                               "{3F2B8C1E-9D4A-4E7B-B5C6-0A1D2E3F4A5B}"};
  const std::string& text = texts[state.range(0)];
  for (auto _ : state)
    benchmark::DoNotOptimize(parse_uuid(text));
}
BENCHMARK(BM_UuidParse)->Arg(0)->Arg(1);

void BM_UuidParseError(benchmark::State& state) {
  const std::string text = "3f2b8c1e-9d4a-4e7b-b5c6-0a1d2e3f4a5";
  for (auto _ : state)
    benchmark::DoNotOptimize(parse_uuid(text));
}
BENCHMARK(BM_UuidParseError);

void BM_NewSpan(benchmark::State& state) {
  const Uuid trace = generate_uuid_v4();
  const TenantId tenant = TenantId::generate();
  for (auto _ : state) {
    benchmark::DoNotOptimize(new_span(trace, tenant, "chat_completion",
                                      LLMProvider{LLMProvider::Kind::OpenAI, ""}, "gpt-4", ""));
  }
}
BENCHMARK(BM_NewSpan);

// Finishing in place, as the Python layer does it: read the clock, then
// finish. Must not depend on how many actions the span holds.
void BM_FinishInPlace(benchmark::State& state) {
  TraceSpan span = new_span(generate_uuid_v4(), TenantId::generate(), "chat_completion",
                            LLMProvider{LLMProvider::Kind::OpenAI, ""}, "gpt-4", "prompt");
  for (int64_t i = 0; i < state.range(0); ++i) {
    add_agent_action(span, with_result(new_agent_action(AgentActionType::ToolCall, "search"),
                                       std::string(200, 'r')));
  }
  const std::string response = "a short response";
  for (auto _ : state) {
    const UtcTimestamp end = now_utc();
    finish_with_response_at(span, response, end);
    benchmark::DoNotOptimize(span.duration_ms);
  }
}
BENCHMARK(BM_FinishInPlace)->Arg(0)->Arg(1000);

// with_result alone on a 100 KB result: only the kept 4 KB are copied, so
// this must cost about what a 4 KB result does.
void BM_WithResult100KB(benchmark::State& state) {
  const std::string source(100 * 1024, 'x');
  AgentAction action = new_agent_action(AgentActionType::ToolCall, "search");
  for (auto _ : state) {
    action = with_result(std::move(action), source);
    benchmark::DoNotOptimize(action.result.view().data());
  }
}
BENCHMARK(BM_WithResult100KB);

// The tag map: the typical span's five tags put in a fresh map, looked up,
// walked; and a map of `range(0)` tags built, for the growth path.
std::vector<std::pair<std::string, std::string>> tag_pairs(std::int64_t count) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (std::int64_t i = 0; i < count; ++i)
    pairs.emplace_back("tag_" + std::to_string(i), "value-" + std::to_string(i * 37));
  return pairs;
}

StringMap map_of(const std::vector<std::pair<std::string, std::string>>& pairs) {
  StringMap map;
  for (const auto& [key, value] : pairs)
    map.insert_or_assign(key, value);
  return map;
}

void BM_StringMapBuild(benchmark::State& state) {
  const auto pairs = tag_pairs(state.range(0));
  for (auto _ : state)
    benchmark::DoNotOptimize(map_of(pairs));
}
BENCHMARK(BM_StringMapBuild)->Arg(5)->Arg(1000);

void BM_StringMapFindFive(benchmark::State& state) {
  const auto pairs = tag_pairs(5);
  const StringMap map = map_of(pairs);
  for (auto _ : state) {
    for (const auto& [key, value] : pairs)
      benchmark::DoNotOptimize(map.find(key));
    benchmark::DoNotOptimize(map.find("absent"));
  }
}
BENCHMARK(BM_StringMapFindFive);

void BM_StringMapWalkFive(benchmark::State& state) {
  const StringMap map = map_of(tag_pairs(5));
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const auto& entry : map)
      bytes += entry.key.size() + entry.value.size();
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_StringMapWalkFive);

// Replacing one tag's value again and again: the dead text must be reclaimed.
void BM_StringMapReplace(benchmark::State& state) {
  StringMap map = map_of(tag_pairs(5));
  const std::string value = "a value of some forty bytes, not short...";
  for (auto _ : state)
    map.insert_or_assign("tag_2", value);
  benchmark::DoNotOptimize(map.size());
}
BENCHMARK(BM_StringMapReplace);

}  // namespace
}  // namespace pelnorix
