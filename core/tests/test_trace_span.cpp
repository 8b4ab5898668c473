#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "pelnorix/trace_span.hpp"
#include "support.hpp"

namespace pelnorix {
namespace {

TraceSpan make_span() {
  return new_span(generate_uuid_v4(), TenantId::generate(), "chat_completion",
                  LLMProvider::custom("local"), "gpt-4", "hello");
}

// A span whose start time is fixed, so that durations can be computed exactly.
TraceSpan span_started_at(UtcTimestamp start) {
  TraceSpan span = make_span();
  span.start_time = start;
  return span;
}

TEST(TraceSpan, NewSpanIsOpenAndEmpty) {
  const Uuid trace = generate_uuid_v4();
  const TenantId tenant = TenantId::generate();
  const TraceSpan span =
      new_span(trace, tenant, "op", LLMProvider{LLMProvider::Kind::TGI, ""}, "m", "");
  EXPECT_EQ(span.trace_id, trace);
  EXPECT_NE(span.span_id, trace);
  EXPECT_EQ(span.tenant_id, tenant);
  EXPECT_EQ(span.operation_name, "op");
  EXPECT_EQ(span.provider.kind, LLMProvider::Kind::TGI);
  EXPECT_EQ(span.model_name, "m");
  EXPECT_EQ(span.prompt, "");
  EXPECT_FALSE(span.parent_span_id || span.end_time || span.response || span.prompt_tokens ||
               span.completion_tokens || span.total_tokens || span.time_to_first_token_ms ||
               span.duration_ms || span.status_code || span.error_message ||
               span.estimated_cost_usd || span.security_score);
  EXPECT_TRUE(span.security_findings.empty() && span.events.empty() && span.agent_actions.empty() &&
              span.tags.empty());
  EXPECT_FALSE(span.is_complete());
  EXPECT_FALSE(span.is_failed());
  EXPECT_NE(make_span().span_id, make_span().span_id);
}

constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max();

// One interval seen three ways: the signed clock difference, its whole
// milliseconds, and the span's duration, which never goes below zero.
struct DurationCase {
  UtcTimestamp start;
  UtcTimestamp end;
  SignedDuration difference;  // end - start
  std::int64_t whole_ms;
  std::uint64_t span_ms;
};
void PrintTo(const DurationCase& c, std::ostream* os) {
  PrintTo(c.start, os);
  *os << " to ";
  PrintTo(c.end, os);
}

class Durations : public testing::TestWithParam<DurationCase> {};

TEST_P(Durations, TruncateTowardZeroAndClampTheSpanAtZero) {
  const DurationCase& c = GetParam();
  const SignedDuration d = difference(c.end, c.start);
  EXPECT_EQ(d, c.difference);
  EXPECT_EQ(whole_milliseconds(d), c.whole_ms);
  EXPECT_EQ(duration_between(c.start, c.end), c.span_ms);
  TraceSpan span = span_started_at(c.start);
  finish_with_response_at(span, "ok", c.end);
  EXPECT_EQ(span.end_time, c.end);
  EXPECT_EQ(span.duration_ms, c.span_ms);
}

INSTANTIATE_TEST_SUITE_P(
    TraceSpan, Durations,
    testing::Values(DurationCase{{10, 0}, {10, 0}, {0, 0}, 0, 0},
                    DurationCase{{10, 0}, {10, 999'999}, {0, 999'999}, 0, 0},      // under 1 ms
                    DurationCase{{10, 0}, {10, 2'500'000}, {0, 2'500'000}, 2, 2},  // 2.5 ms
                    DurationCase{
                        {10, 0}, {11, 999'900'000}, {1, 999'900'000}, 1999, 1999},  // 1.9999 s
                    DurationCase{{10, 999'999'900}, {11, 100}, {0, 200}, 0, 0},  // across a second
                    DurationCase{{10, 500'000'000}, {12, 0}, {1, 500'000'000}, 1500, 1500},
                    // The wall clock went back: truncated toward zero, and the span clamped
                    // instead of wrapping.
                    DurationCase{{10, 1'500'000}, {10, 0}, {-1, 998'500'000}, -1, 0},  // -1.5 ms
                    DurationCase{{10, 400'000}, {10, 0}, {-1, 999'600'000}, 0, 0},     // -0.4 ms
                    DurationCase{{12, 0}, {10, 0}, {-2, 0}, -2000, 0},
                    DurationCase{{11, 500'000'000}, {10, 0}, {-2, 500'000'000}, -1500, 0},
                    // Milliseconds past the int64 range saturate.
                    DurationCase{{0, 0},
                                 {kMaxSeconds, 0},
                                 {kMaxSeconds, 0},
                                 kMaxSeconds,
                                 static_cast<std::uint64_t>(kMaxSeconds)},
                    DurationCase{{kMaxSeconds, 0},
                                 {0, 0},
                                 {-kMaxSeconds, 0},
                                 std::numeric_limits<std::int64_t>::min(),
                                 0}));

TEST(TraceSpanFinish, ByValueReadsTheClock) {
  const TraceSpan span = make_span();
  const TraceSpan done = finish_with_response(span, "answer");
  EXPECT_FALSE(span.is_complete());  // the caller's copy is untouched
  ASSERT_TRUE(done.is_complete());
  EXPECT_EQ(done.response, "answer");
  EXPECT_GE(difference(*done.end_time, done.start_time).seconds, 0);
  EXPECT_EQ(done.duration_ms, duration_between(done.start_time, *done.end_time));
  const TraceSpan failed = finish_with_error(done, "boom", 503);
  EXPECT_TRUE(failed.is_failed());
  EXPECT_EQ(failed.status_code, 503);
  EXPECT_EQ(failed.duration_ms, duration_between(failed.start_time, *failed.end_time));
}

TEST(TraceSpanFinish, ResponseThenErrorKeepsBothAndTheLaterTime) {
  TraceSpan span = span_started_at({1000, 0});
  finish_with_response_at(span, "partial", {1000, 10'000'000});
  finish_with_error_at(span, "timeout", std::uint16_t{504}, {1003, 0});
  EXPECT_EQ(span.response, "partial");
  EXPECT_EQ(span.error_message, "timeout");
  EXPECT_EQ(span.status_code, 504);
  EXPECT_EQ(span.end_time, (UtcTimestamp{1003, 0}));
  EXPECT_EQ(span.duration_ms, 3000u);
  EXPECT_TRUE(span.is_complete() && span.is_failed());
  // A response after the error keeps the error and its status code.
  finish_with_response_at(span, "late", {1004, 0});
  EXPECT_EQ(span.response, "late");
  EXPECT_EQ(span.error_message, "timeout");
  EXPECT_EQ(span.status_code, 504);
  EXPECT_EQ(span.duration_ms, 4000u);
}

TEST(TraceSpanFinish, ErrorWithoutStatusClearsAnEarlierOne) {
  TraceSpan span = span_started_at({1000, 0});
  finish_with_error_at(span, "first", std::uint16_t{500}, {1001, 0});
  finish_with_error_at(span, "second", std::nullopt, {1002, 0});
  EXPECT_EQ(span.error_message, "second");
  EXPECT_FALSE(span.status_code.has_value());
  EXPECT_EQ(span.end_time, (UtcTimestamp{1002, 0}));
  EXPECT_EQ(span.duration_ms, 2000u);
}

struct TokenCase {
  std::optional<std::uint32_t> prompt;
  std::optional<std::uint32_t> completion;
  std::optional<std::uint32_t> total;
};
void PrintTo(const TokenCase& c, std::ostream* os) {
  const auto show = [os](const std::optional<std::uint32_t>& v) {
    if (v)
      *os << *v;
    else
      *os << "absent";
  };
  show(c.prompt);
  *os << " + ";
  show(c.completion);
}

class TokenCounts : public testing::TestWithParam<TokenCase> {};

TEST_P(TokenCounts, TotalIsTheSaturatedSumOfBoth) {
  TraceSpan span = make_span();
  set_token_counts(span, 1, 2);  // an earlier update that must not linger
  set_token_counts(span, GetParam().prompt, GetParam().completion);
  EXPECT_EQ(span.prompt_tokens, GetParam().prompt);
  EXPECT_EQ(span.completion_tokens, GetParam().completion);
  EXPECT_EQ(span.total_tokens, GetParam().total);
}

constexpr std::uint32_t kMaxTokens = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    TraceSpan, TokenCounts,
    testing::Values(TokenCase{10, 5, 15}, TokenCase{10, std::nullopt, std::nullopt},
                    TokenCase{std::nullopt, 5, std::nullopt},
                    TokenCase{std::nullopt, std::nullopt, std::nullopt}, TokenCase{0, 0, 0},
                    TokenCase{kMaxTokens - 1, 1, kMaxTokens}, TokenCase{kMaxTokens, 1, kMaxTokens},
                    TokenCase{kMaxTokens, kMaxTokens, kMaxTokens},
                    TokenCase{3'000'000'000u, 2'000'000'000u, kMaxTokens}));

// Tag order and replacement of a copied map are the string map's own tests.
TEST(TraceSpan, CopyIsDeepAndEqual) {
  TraceSpan span = make_span();
  span.tags.insert_or_assign("env", "prod");
  add_agent_action(span, with_result(new_agent_action(AgentActionType::ToolCall, "search"), "r"));
  set_token_counts(span, 10, 5);
  finish_with_response_at(span, "done", {span.start_time.unix_seconds + 1, 0});

  const TraceSpan copy = span;
  EXPECT_EQ(copy, span);
  TraceSpan changed = copy;
  changed.agent_actions[0].name = "other";
  EXPECT_NE(changed, span);
  EXPECT_EQ(span.agent_actions[0].name, "search");
}

TEST(TraceSpan, ActionsKeepTheirOrderAndCanFollowCompletion) {
  TraceSpan span = make_span();
  finish_with_response_at(span, "done", span.start_time);
  std::vector<Uuid> ids;
  for (int i = 0; i < 100; ++i) {
    AgentAction action = new_agent_action(AgentActionType::FileAccess, std::to_string(i));
    ids.push_back(action.id);
    add_agent_action(span, std::move(action));
    // A span with a handful of actions holds no empty slots; a long one
    // still grows geometrically, so the number of regrowths stays small.
    const std::size_t size = span.agent_actions.size();
    if (size <= 4) {
      EXPECT_EQ(span.agent_actions.capacity(), size);
    }
    EXPECT_LT(span.agent_actions.capacity(), 2 * size);
  }
  ASSERT_EQ(span.agent_actions.size(), 100u);
  for (std::size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(span.agent_actions[i].id, ids[i]);
}

}  // namespace
}  // namespace pelnorix
