#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

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
  std::string label;
  std::string text;
  std::size_t kept;
};

class ResultCut : public testing::TestWithParam<CutCase> {};

TEST_P(ResultCut, KeepsWholeCharactersUpTo4096Bytes) {
  const CutCase& c = GetParam();
  EXPECT_EQ(truncated_result_length(c.text), c.kept);
  const AgentAction action = with_result(new_agent_action(AgentActionType::ToolCall, "t"), c.text);
  ASSERT_TRUE(action.result.has_value());
  EXPECT_EQ(*action.result, c.text.substr(0, c.kept));
}

std::string ascii(std::size_t n) {
  return std::string(n, 'x');
}

std::string repeated_up_to_5000_bytes(const std::string& character) {
  std::string text;
  while (text.size() < 5000)
    text += character;
  return text;
}

std::vector<CutCase> cut_cases() {
  std::vector<CutCase> cases = {
      {"empty", "", 0},
      {"ascii_4095", ascii(4095), 4095},
      {"ascii_4096", ascii(4096), 4096},
      {"ascii_4097", ascii(4097), 4096},
      {"ascii_100k", ascii(100'000), 4096},
      {"only_four_byte", repeated_up_to_5000_bytes("\xF0\x9F\x98\x80"), 4096},
      {"only_three_byte", repeated_up_to_5000_bytes("\xE2\x82\xAC"), 4095},
      // Not UTF-8 at all (cannot come from Python, but must stay in bounds).
      {"continuation_bytes_only", std::string(5000, '\x80'), 0},
      {"lead_byte_at_end", ascii(4096) + "\xF0", 4096},
  };
  // A character of each width ending exactly at the limit, straddling it by
  // every possible amount, and starting at it; a character is kept only whole.
  const std::pair<const char*, std::string> characters[] = {
      {"two", "\xC3\xA9"}, {"three", "\xE2\x82\xAC"}, {"four", "\xF0\x9F\x98\x80"}};
  for (const auto& [width, character] : characters) {
    for (std::size_t prefix = 4096 - character.size(); prefix <= 4096; ++prefix) {
      const bool fits = prefix + character.size() <= 4096;
      cases.push_back({std::string(width) + "_after_" + std::to_string(prefix),
                       ascii(prefix) + character, fits ? prefix + character.size() : prefix});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AgentAction, ResultCut, testing::ValuesIn(cut_cases()),
                         [](const testing::TestParamInfo<CutCase>& param_info) {
                           return param_info.param.label;
                         });

}  // namespace
}  // namespace pelnorix
