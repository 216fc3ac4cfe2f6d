#include "input/input_command.h"

#include <gtest/gtest.h>

#include <string>

namespace qova {
namespace {

TEST(InputCommandDecoding, OnlyAJsonObjectIsACommand) {
  const std::string payloads[] = {"", " ", "[]", "[{\"action\":\"tap\"}]", "\"tap\"", "42", "null", "true", "{\"action\":\"tap\"",
        "{\"action\":\"tap\",}", "{'action':'tap'}", "{\"action\":\"tap\"} {}", "{\"action\":\"tap\"}x",
        "{action:\"tap\"}", "{\"action\":\"\\ud800\"}", "{\"x\":1e400}", "{\"x\":01}", "{\"x\":NaN}",
        std::string("{\"action\":\"tap\"}\0", 17), std::string("{\"action\":\"tap\"}\0junk", 21),
        std::string("{\"action\":\"t\0ap\"}", 17)};
  for (const std::string& payload : payloads) {
    EXPECT_FALSE(decodeInputCommand(payload).has_value()) << payload;
  }
  EXPECT_TRUE(decodeInputCommand("{}").has_value());
  EXPECT_TRUE(decodeInputCommand(" \t\n{ \"action\" : \"tap\" }\r").has_value());
  EXPECT_TRUE(decodeInputCommand("{\"action\":\"tap\"}\r").has_value());
}

TEST(InputCommandDecoding, MissingMembersTakeTheirDefaults) {
  const auto command = decodeInputCommand("{\"other\":[1,{\"deep\":true}]}");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->action, "");
  EXPECT_EQ(command->x, 0);
  EXPECT_EQ(command->y, 0);
  EXPECT_EQ(command->x2, 0);
  EXPECT_EQ(command->y2, 0);
  EXPECT_EQ(command->durationMs, 0);
  EXPECT_EQ(command->button, CGMouseButton::left);
  EXPECT_EQ(command->deltaY, 0);
  EXPECT_EQ(command->key, "");
  EXPECT_TRUE(command->modifiers.empty());
  EXPECT_EQ(command->text, "");
}

TEST(InputCommandDecoding, MembersAreReadByExactKeyWithTheirCoercions) {
  const auto command = decodeInputCommand(
      R"({"action":"swipe","x":"12.5","y":true,"x2":-3,"y2":"0x10","durationMs":"150","deltaY":2.9,)"
      R"("key":"Z","modifiers":["cmd","Shift"],"text":"a\nb","X":99,"Action":"tap"})");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->action, "swipe");
  EXPECT_EQ(command->x, 12.5);
  EXPECT_EQ(command->y, 1);
  EXPECT_EQ(command->x2, -3);
  EXPECT_EQ(command->y2, 16);
  EXPECT_EQ(command->durationMs, 150);
  EXPECT_EQ(command->deltaY, 2);
  EXPECT_EQ(command->key, "Z");
  EXPECT_EQ(command->modifiers, (std::vector<std::string>{"cmd", "Shift"}));
  EXPECT_EQ(command->text, "a\nb");
}

TEST(InputCommandDecoding, TextMembersOfAnotherTypeCountAsMissing) {
  const auto command =
      decodeInputCommand(R"({"action":5,"button":1,"key":["a"],"text":{"t":"x"},"modifiers":"cmd"})");
  ASSERT_TRUE(command);
  EXPECT_EQ(command->action, "");
  EXPECT_EQ(command->button, CGMouseButton::left);
  EXPECT_EQ(command->key, "");
  EXPECT_EQ(command->text, "");
  EXPECT_TRUE(command->modifiers.empty());
  const auto nulls = decodeInputCommand(R"({"action":null,"key":null,"text":null,"modifiers":null,"x":null})");
  ASSERT_TRUE(nulls);
  EXPECT_EQ(nulls->action, "");
  EXPECT_EQ(nulls->x, 0);
}

TEST(InputCommandDecoding, OnlyExactlyRightSelectsTheRightButton) {
  EXPECT_EQ(decodeInputCommand(R"({"button":"right"})")->button, CGMouseButton::right);
  for (const char* other : {"\"Right\"", "\"RIGHT\"", "\" right\"", "\"right \"", "\"left\"", "1", "true", "[\"right\"]"}) {
    const auto command = decodeInputCommand(std::string("{\"button\":") + other + "}");
    ASSERT_TRUE(command) << other;
    EXPECT_EQ(command->button, CGMouseButton::left) << other;
  }
}

TEST(InputCommandDecoding, OneNonTextModifierMakesTheWholeListEmpty) {
  EXPECT_TRUE(decodeInputCommand(R"({"modifiers":["cmd",1]})")->modifiers.empty());
  EXPECT_TRUE(decodeInputCommand(R"({"modifiers":[null,"shift"]})")->modifiers.empty());
  EXPECT_TRUE(decodeInputCommand(R"({"modifiers":[["cmd"]]})")->modifiers.empty());
  EXPECT_EQ(decodeInputCommand(R"({"modifiers":[]})")->modifiers.size(), 0u);
  EXPECT_EQ(decodeInputCommand(R"({"modifiers":["x","cmd","x"]})")->modifiers,
            (std::vector<std::string>{"x", "cmd", "x"}));
}

TEST(InputCommandDecoding, HostileInputIsDecodedOrDroppedWithoutHarm) {
  // Deep nesting in a member nobody reads.
  const std::string deep = "{\"action\":\"tap\",\"junk\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  const auto nested = decodeInputCommand(deep);
  ASSERT_TRUE(nested);
  EXPECT_EQ(nested->action, "tap");
  // Unbalanced nesting is simply malformed.
  EXPECT_FALSE(decodeInputCommand("{\"a\":" + std::string(100000, '[')).has_value());
  // A megabyte of text survives intact, Chinese and line breaks included.
  std::string big;
  while (big.size() < (1u << 20) + (1u << 17)) big += "第一行\\n第二行 ";
  const auto text = decodeInputCommand("{\"action\":\"text\",\"text\":\"" + big + "\"}");
  ASSERT_TRUE(text);
  EXPECT_GT(text->text.size(), 1000000u);
  EXPECT_EQ(text->text.substr(0, 19), "第一行\n第二行");
  // Huge numbers are numbers.
  const auto huge = decodeInputCommand(R"({"x":1e308,"y":-1e308,"deltaY":1e300,"durationMs":123456789012345678901234567890})");
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->x, 1e308);
  EXPECT_EQ(huge->deltaY, std::numeric_limits<int64_t>::max());
  EXPECT_GT(huge->durationMs, 1e29);
}

TEST(InputActionTable, NamesMatchExactlyAndInOrder) {
  const std::pair<const char*, InputAction> table[] = {
      {"tap", InputAction::tap},           {"doubleTap", InputAction::doubleTap}, {"rightClick", InputAction::rightClick},
      {"swipe", InputAction::swipe},       {"homeSwipe", InputAction::homeSwipe}, {"dragStart", InputAction::dragStart},
      {"dragMove", InputAction::dragMove}, {"dragEnd", InputAction::dragEnd},     {"scroll", InputAction::scroll},
      {"back", InputAction::back},         {"home", InputAction::home},           {"key", InputAction::key},
      {"text", InputAction::text},
  };
  for (const auto& [name, action] : table) EXPECT_EQ(inputActionNamed(name), action) << name;
  for (const char* other : {"", "TAP", "Tap", "doubletap", "tap ", " tap", "right_click", "drag", "keys", "paste"}) {
    EXPECT_EQ(inputActionNamed(other), std::nullopt) << other;
  }
}

}  // namespace
}  // namespace qova
