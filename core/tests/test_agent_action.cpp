#include <gtest/gtest.h>

#include <string>

#include "pelnorix/agent_action.hpp"
#include "pelnorix/enums.hpp"

namespace pelnorix {
namespace {

TEST(ActionType, MatchesOnlyTheExactCanonicalTexts) {
  for (int i = 0; i < kAgentActionTypeCount; ++i) {
    const auto type = static_cast<AgentActionType>(i);
    EXPECT_EQ(agent_action_type_from_text(canonical_text(type)), type);
  }
  EXPECT_EQ(canonical_text(AgentActionType::CommandExecution), "command_execution");
  for (const char* text : {"Tool_call", "TOOL_CALL", "tool_call ", " tool_call", "toolcall",
                           "tool-call", "tool", ""}) {
    EXPECT_FALSE(agent_action_type_from_text(text).has_value()) << text;
  }
  EXPECT_FALSE(agent_action_type_from_text(std::string_view("web_access\0", 11)).has_value());
}

TEST(AgentAction, NewActionHasOnlyItsIdentityAndTime) {
  const UtcTimestamp before = now_utc();
  const AgentAction action = new_agent_action(AgentActionType::WebAccess, "fetch");
  const UtcTimestamp after = now_utc();
  EXPECT_EQ(action.action_type, AgentActionType::WebAccess);
  EXPECT_EQ(action.name, "fetch");
  EXPECT_TRUE(action.success);
  EXPECT_FALSE(action.arguments || action.result || action.duration_ms || action.exit_code ||
               action.http_method || action.http_status || action.file_operation);
  EXPECT_TRUE(action.metadata.empty());
  EXPECT_GE(difference(action.timestamp, before).seconds, 0);
  EXPECT_GE(difference(after, action.timestamp).seconds, 0);
  EXPECT_EQ(to_string(action.id)[14], '4');
  EXPECT_NE(new_agent_action(AgentActionType::WebAccess, "fetch").id, action.id);
}

TEST(AgentAction, ArgumentsAndResultReplaceEarlierValues) {
  AgentAction action = new_agent_action(AgentActionType::ToolCall, "");
  const std::string big(100'000, 'a');
  action = with_arguments(std::move(action), "first");
  action = with_arguments(std::move(action), big);
  EXPECT_EQ(action.arguments, big);
  action = with_result(std::move(action), "one");
  action = with_result(std::move(action), "");
  EXPECT_EQ(action.result, "");
}

struct CutCase {
  const char* label;
  std::string text;
  std::size_t kept;
};

std::string ascii(std::size_t n) {
  return std::string(n, 'x');
}

class ResultCut : public testing::TestWithParam<CutCase> {};

TEST_P(ResultCut, KeepsWholeCharactersUpTo4096Bytes) {
  const CutCase& c = GetParam();
  EXPECT_EQ(truncated_result_length(c.text), c.kept);
  const AgentAction action = with_result(new_agent_action(AgentActionType::ToolCall, "t"), c.text);
  ASSERT_TRUE(action.result.has_value());
  EXPECT_EQ(*action.result, c.text.substr(0, c.kept));
}

const std::string kTwo = "\xC3\xA9";           // é
const std::string kThree = "\xE2\x82\xAC";     // €
const std::string kFour = "\xF0\x9F\x98\x80";  // 😀

INSTANTIATE_TEST_SUITE_P(
    AgentAction, ResultCut,
    testing::Values(CutCase{"empty", "", 0}, CutCase{"ascii_4095", ascii(4095), 4095},
                    CutCase{"ascii_4096", ascii(4096), 4096},
                    CutCase{"ascii_4097", ascii(4097), 4096},
                    CutCase{"ascii_100k", ascii(100'000), 4096},
                    CutCase{"two_fits_exactly", ascii(4094) + kTwo, 4096},
                    CutCase{"two_straddles", ascii(4095) + kTwo, 4095},
                    CutCase{"two_starts_at_limit", ascii(4096) + kTwo, 4096},
                    CutCase{"three_fits_exactly", ascii(4093) + kThree, 4096},
                    CutCase{"three_straddles_by_one", ascii(4094) + kThree, 4094},
                    CutCase{"three_straddles_by_two", ascii(4095) + kThree, 4095},
                    CutCase{"three_starts_at_limit", ascii(4096) + kThree + "y", 4096},
                    CutCase{"four_fits_exactly", ascii(4092) + kFour, 4096},
                    CutCase{"four_straddles_by_one", ascii(4093) + kFour, 4093},
                    CutCase{"four_straddles_by_two", ascii(4094) + kFour, 4094},
                    CutCase{"four_straddles_by_three", ascii(4095) + kFour, 4095},
                    CutCase{"four_starts_at_limit", ascii(4096) + kFour, 4096},
                    CutCase{"only_four_byte",
                            [] {
                              std::string s;
                              while (s.size() < 5000)
                                s += kFour;
                              return s;
                            }(),
                            4096},
                    CutCase{"only_three_byte",
                            [] {
                              std::string s;
                              while (s.size() < 5000)
                                s += kThree;
                              return s;
                            }(),
                            4095},
                    // Not UTF-8 at all (cannot come from Python, but must stay in bounds).
                    CutCase{"continuation_bytes_only", std::string(5000, '\x80'), 0},
                    CutCase{"lead_byte_at_end", ascii(4096) + "\xF0", 4096}),
    [](const testing::TestParamInfo<CutCase>& param_info) {
      return std::string(param_info.param.label);
    });

}  // namespace
}  // namespace pelnorix
