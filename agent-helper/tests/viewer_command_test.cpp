#include "viewer_command.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace qova::agent {
namespace {

using nlohmann::json;

constexpr InputSpace kSpace{1440, 900};
constexpr std::string_view kMarker = "__QOVA_INPUT__";

TEST(InputCommandLine, PassesOnlyWhatEachActionUsesWithinTheDisplay) {
  const struct {
    const char* event;
    const char* command;
  } cases[] = {
      {R"({"type":"input","action":"tap","x":640.04,"y":400,"button":"left","extra":1})",
       R"({"action":"tap","x":640.0,"y":400.0,"button":"left"})"},
      {R"({"action":"doubleTap","x":1,"y":2,"button":"RIGHT"})",
       R"({"action":"doubleTap","x":1,"y":2,"button":"left"})"},
      {R"({"action":"rightClick","x":5,"y":6,"button":"left"})", R"({"action":"rightClick","x":5.0,"y":6.0})"},
      {R"({"action":"dragStart","x":5,"y":6,"button":"right"})",
       R"({"action":"dragStart","x":5,"y":6,"button":"right"})"},
      {R"({"action":"dragMove","x":-50,"y":1e308})", R"({"action":"dragMove","x":0.0,"y":899.0})"},
      {R"({"action":"dragEnd","x":9,"y":10})", R"({"action":"dragEnd","x":9.0,"y":10.0})"},
      {R"({"action":"swipe","x":1,"y":2,"x2":3000,"y2":4,"durationMs":1e300})",
       R"({"action":"swipe","x":1.0,"y":2.0,"x2":1439.0,"y2":4.0,"durationMs":5000.0,"button":"left"})"},
      {R"({"action":"key","key":"a","modifiers":["ctrl","hyper","shift","ctrl"]})",
       R"({"action":"key","key":"a","modifiers":["ctrl","shift"]})"},
      {R"({"action":"key","key":"enter"})", R"({"action":"key","key":"enter","modifiers":[]})"},
      {R"({"action":"scroll","deltaY":2.9})", R"({"action":"scroll","deltaY":2})"},
      {R"({"action":"scroll","deltaY":-250})", R"({"action":"scroll","deltaY":-10})"},
  };
  for (const auto& c : cases) {
    const auto line = inputCommandLine(json::parse(c.event), kSpace);
    ASSERT_TRUE(line && line->starts_with(kMarker)) << c.event;
    EXPECT_EQ(json::parse(line->substr(kMarker.size())), json::parse(c.command)) << c.event;
  }
}

TEST(InputCommandLine, RefusesWhatTheApplicationMustNotSee) {
  for (const char* event : {
           R"({"action":"tap","x":"640","y":400})",  // numbers only
           R"({"action":"tap","y":400})",            // position needed
           R"({"action":"TAP","x":1,"y":1})",        // unknown action
           R"({"action":"back"})",                   // not offered by the viewer
           R"({"x":1,"y":1})",
           R"({"action":"scroll","deltaY":0.4})",  // rounds to nothing
           R"({"action":"key","key":""})",
           R"({"action":"key","key":"a","modifiers":["shift",3]})",
           R"({"action":"text","text":""})",
           R"([1,2])",
       }) {
    EXPECT_FALSE(inputCommandLine(json::parse(event), kSpace)) << event;
  }
  EXPECT_FALSE(
      inputCommandLine(json::object({{"action", "text"}, {"text", std::string(kMaxTextBytes + 1, 'a')}}), kSpace));
  // Before the first frame nobody knows where a position lies.
  EXPECT_FALSE(inputCommandLine(json::parse(R"({"action":"tap","x":1e308,"y":3})"), InputSpace{}));
}

TEST(InputCommandLine, TextStaysOneLineWhateverItHolds) {
  const std::string text = "line one\nline two\r\n\ttab \xE2\x80\xA8 sep \"quoted\" \xFF";
  const auto line = inputCommandLine(json{{"action", "text"}, {"text", text}}, kSpace);
  ASSERT_TRUE(line);
  EXPECT_EQ(line->find_first_of("\r\n"), std::string::npos);
  const auto decoded = json::parse(line->substr(kMarker.size()))["text"].get<std::string>();
  EXPECT_TRUE(decoded.starts_with("line one\nline two\r\n\ttab "));
}

}  // namespace
}  // namespace qova::agent
