#include "viewer_command.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace qova::agent {
namespace {

using nlohmann::json;

constexpr InputSpace kSpace{1440, 900};
constexpr std::string_view kMarker = "__QOVA_INPUT__";

json command(const std::string& eventText, InputSpace space = kSpace) {
  const auto line = inputCommandLine(json::parse(eventText), space);
  if (!line) return nullptr;
  EXPECT_TRUE(line->starts_with(kMarker));
  EXPECT_EQ(line->find('\n'), std::string::npos);
  return json::parse(line->substr(kMarker.size()));
}

TEST(InputCommandLine, PointerActionsCarryOnlyTheirMembers) {
  EXPECT_EQ(command(R"({"type":"input","action":"tap","x":640.04,"y":400,"button":"left","extra":1})"),
            json::parse(R"({"action":"tap","x":640.0,"y":400.0,"button":"left"})"));
  EXPECT_EQ(command(R"({"action":"doubleTap","x":1,"y":2,"button":"RIGHT"})")["button"], "left");
  EXPECT_EQ(command(R"({"action":"rightClick","x":5,"y":6,"button":"left"})"),
            json::parse(R"({"action":"rightClick","x":5.0,"y":6.0})"));
  EXPECT_EQ(command(R"({"action":"dragStart","x":5,"y":6,"button":"right"})")["button"], "right");
  EXPECT_EQ(command(R"({"action":"dragMove","x":7,"y":8})"), json::parse(R"({"action":"dragMove","x":7.0,"y":8.0})"));
  EXPECT_EQ(command(R"({"action":"dragEnd","x":9,"y":10})"), json::parse(R"({"action":"dragEnd","x":9.0,"y":10.0})"));
}

TEST(InputCommandLine, PositionsStayOnTheDisplay) {
  const auto c = command(R"({"action":"tap","x":-50,"y":100000})");
  EXPECT_EQ(c["x"], 0.0);
  EXPECT_EQ(c["y"], 899.0);
  // Before the first frame the size is unknown and positions pass as they are.
  EXPECT_EQ(command(R"({"action":"tap","x":5000,"y":3})", InputSpace{})["x"], 5000.0);
}

TEST(InputCommandLine, RefusesWhatTheApplicationMustNotSee) {
  for (const char* event : {
           R"({"action":"tap","x":"640","y":400})",        // numbers only
           R"({"action":"tap","y":400})",                   // position needed
           R"({"action":"TAP","x":1,"y":1})",               // unknown action
           R"({"action":"back"})",                          // not offered by the viewer
           R"({"x":1,"y":1})",
           R"({"action":"scroll","deltaY":0.4})",           // rounds to nothing
           R"({"action":"key","key":""})",
           R"({"action":"key","key":"a","modifiers":["shift",3]})",
           R"({"action":"text","text":""})",
           R"([1,2])",
       }) {
    EXPECT_FALSE(inputCommandLine(json::parse(event), kSpace)) << event;
  }
  EXPECT_FALSE(inputCommandLine(json::object({{"action", "text"}, {"text", std::string(kMaxTextBytes + 1, 'a')}}),
                                kSpace));
}

TEST(InputCommandLine, KeysKeepOnlyKnownModifiersOnce) {
  EXPECT_EQ(command(R"({"action":"key","key":"a","modifiers":["ctrl","hyper","shift","ctrl"]})"),
            json::parse(R"({"action":"key","key":"a","modifiers":["ctrl","shift"]})"));
  EXPECT_EQ(command(R"({"action":"key","key":"enter"})")["modifiers"], json::array());
}

TEST(InputCommandLine, ScrollIsWholeLinesWithinTen) {
  EXPECT_EQ(command(R"({"action":"scroll","deltaY":2.9})")["deltaY"], 2);
  EXPECT_EQ(command(R"({"action":"scroll","deltaY":-250})")["deltaY"], -10);
}

TEST(InputCommandLine, TextStaysOneLineWhateverItHolds) {
  const std::string text = "line one\nline two\r\n\ttab \xE2\x80\xA8 sep \"quoted\" \xFF";
  const auto line = inputCommandLine(json{{"action", "text"}, {"text", text}}, kSpace);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->find('\n'), std::string::npos);
  EXPECT_EQ(line->find('\r'), std::string::npos);
  const auto decoded = json::parse(line->substr(kMarker.size()))["text"].get<std::string>();
  EXPECT_TRUE(decoded.starts_with("line one\nline two\r\n\ttab "));
}

}  // namespace
}  // namespace qova::agent
