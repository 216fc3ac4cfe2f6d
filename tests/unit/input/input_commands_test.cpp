// Input commands from the agent's line to the exact events with their pauses, on the recording poster.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "input/input_command.h"
#include "input/input_dispatch.h"
#include "input/pointer_events.h"
#include "input/typed_character.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using Events = std::vector<PostedEvent>;
using T = MouseEventType;
constexpr auto kLeft = MouseButton::left;
constexpr auto kRight = MouseButton::right;
constexpr ModifierFlags kCmd = kModifierCommand;

PostedEvent move(double x, double y) { return PostedEvent::move(x, y); }
PostedEvent mouse(T type, double x, double y, MouseButton b = kLeft) { return PostedEvent::mouse(type, x, y, b); }
PostedEvent pause(uint32_t ms) { return PostedEvent::pause(ms); }
Events key(uint16_t code, ModifierFlags flags = 0) {
  return {PostedEvent::key(code, true, flags), PostedEvent::key(code, false, flags)};
}
Events click(double x, double y, MouseButton b = kLeft) {
  const bool right = b == kRight;
  return {move(x, y), mouse(right ? T::rightMouseDown : T::leftMouseDown, x, y, b), pause(50),
          mouse(right ? T::rightMouseUp : T::leftMouseUp, x, y, b)};
}

class InputCommands : public ::testing::Test {
 protected:
  // One command as the agent prints it after the input marker.
  Events run(const std::string& payload) {
    if (const auto command = decodeInputCommand(payload))
      runInputCommand(*command, poster, pasteboard, dragButton, held);
    return poster.take();
  }
  FakeEventPoster poster;
  FakePasteboard pasteboard;
  MouseButton dragButton = kLeft;
  HeldButtons held;
};

TEST_F(InputCommands, PointerActionsPostTheirEventsWithTheirPauses) {
  Events doubleTap = click(5, 6, kRight);
  doubleTap.push_back(pause(60));
  for (const auto& e : click(5, 6, kRight)) doubleTap.push_back(e);
  const std::pair<const char*, Events> cases[] = {
      {R"({"action":"tap","x":640,"y":400})", click(640, 400)},
      {R"({"action":"tap","x":"12.5","y":" 7"})", click(12.5, 0)},
      {R"({"action":"tap"})", click(0, 0)},
      {R"({"action":"tap","x":1,"y":2,"button":"right"})", click(1, 2, kRight)},
      {R"({"action":"tap","x":1,"y":2,"button":"Right"})", click(1, 2)},
      {R"({"action":"rightClick","x":3,"y":4,"button":"left"})", click(3, 4, kRight)},
      {R"({"action":"doubleTap","x":5,"y":6,"button":"right"})", doubleTap},
      {R"({"action":"swipe","x":10,"y":20,"x2":110,"y2":220})",
       {move(10, 20), mouse(T::leftMouseDown, 10, 20), mouse(T::leftMouseDragged, 110, 220), pause(15),
        mouse(T::leftMouseUp, 110, 220)}},
      {R"({"action":"homeSwipe","x":0,"y":100,"x2":60,"y2":40,"durationMs":30,"button":"right"})",
       {move(0, 100), mouse(T::rightMouseDown, 0, 100, kRight), mouse(T::rightMouseDragged, 30, 70, kRight),
        pause(15), mouse(T::rightMouseDragged, 60, 40, kRight), pause(15), mouse(T::rightMouseUp, 60, 40, kRight)}},
      {R"({"action":"scroll","x":5,"y":5,"deltaY":3})", {PostedEvent::scroll(-3)}},
      {R"({"action":"scroll","deltaY":"-25"})", {PostedEvent::scroll(10)}},
      {R"({"action":"scroll","deltaY":1e300})", {PostedEvent::scroll(-10)}},
  };
  for (const auto& [payload, events] : cases) EXPECT_EQ(run(payload), events) << payload;
}

TEST(SwipeSteps, FifteenMillisecondStepsOfTheDurationFromOneToTwentyFour) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> table[] = {{-kInf, 1}, {29.9, 1}, {30, 2}, {359.9, 23}, {360, 24}, {kInf, 24},
                                          {std::nan(""), 24}};
  for (const auto& [durationMs, steps] : table) EXPECT_EQ(swipeSteps(durationMs), steps) << durationMs;
}

TEST_F(InputCommands, TheDragButtonOutlivesCommandsUntilTheDragEnds) {
  const std::pair<const char*, Events> steps[] = {
      {R"({"action":"dragMove","x":1,"y":1})", {mouse(T::leftMouseDragged, 1, 1), pause(15)}},
      {R"({"action":"dragStart","x":10,"y":10,"button":"right"})", {move(10, 10), mouse(T::rightMouseDown, 10, 10, kRight)}},
      {R"({"action":"dragMove","x":20,"y":15,"button":"left"})", {mouse(T::rightMouseDragged, 20, 15, kRight), pause(15)}},
      {R"({"action":"dragEnd","x":30,"y":20})", {move(30, 20), mouse(T::rightMouseUp, 30, 20, kRight)}},
      {R"({"action":"dragEnd","x":1,"y":2,"button":"right"})", {move(1, 2), mouse(T::leftMouseUp, 1, 2)}},
  };
  for (const auto& [payload, events] : steps) EXPECT_EQ(run(payload), events) << payload;
}

TEST_F(InputCommands, KeysCarryExactlyTheirModifierFlags) {
  const std::pair<const char*, Events> cases[] = {
      {R"({"action":"key","key":"A"})", key(0)},
      {R"({"action":"key","key":"z","modifiers":["CMD","SHIFT","fn","cmd"]})", key(6, 0x120000)},
      {R"({"action":"key","key":"Return","modifiers":["Control","option","meta"]})", key(36, 0x1C0000)},
      {R"({"action":"key","key":"delete","modifiers":["ctrl","alt"]})", key(51, 0xC0000)},
      {R"({"action":"key","key":"s","modifiers":["cmd",1]})", key(1)},  // one bad modifier drops them all
      {"{\"action\":\"key\",\"key\":\"BAC\xE2\x84\xAASPACE\"}", key(51)},  // KELVIN SIGN lowercases to k
      {R"({"action":"back"})", key(33, kCmd)},
      {R"({"action":"home","key":"a","modifiers":["shift"]})", key(49, kCmd)},
  };
  for (const auto& [payload, events] : cases) EXPECT_EQ(run(payload), events) << payload;
  // Unknown keys post nothing, not even their modifiers.
  for (const char* name : {R"("f1")", R"("")", "65", R"(" a")"}) {
    EXPECT_TRUE(run(std::string(R"({"action":"key","modifiers":["cmd"],"key":)") + name + "}").empty()) << name;
  }
}

TEST_F(InputCommands, OnePrintableCharacterIsTypedAndAnythingElseIsTheKey) {
  const std::pair<std::string, char32_t> cases[] = {
      {"@", U'@'},        {"Z", U'Z'},        {" ", U' '},   {R"(\u00e4)", U'ä'},   {"€", U'€'},
      {"😀", 0x1F600},    {"", 0},            {"ab", 0},     {R"(\u0007)", 0},      {R"(\u007f)", 0},
      {R"(\u0085)", 0},  {"e\u0301", 0},
  };
  for (const auto& [character, typed] : cases) {
    const auto events = run(R"({"action":"key","key":"q","modifiers":["ctrl","alt"],"char":")" + character + "\"}");
    EXPECT_EQ(events, typed ? Events{PostedEvent::typed(typed)} : key(12, 0xC0000)) << character;
  }
  // Raw bytes no encoder would make: overlong, cut, past U+10FFFF, a lone continuation, a surrogate.
  for (const char* bytes : {"\xC0\x80", "\xE2\x82", "\xF4\x90\x80\x80", "\x80", "\xED\xA0\x80"})
    EXPECT_FALSE(typedCharacter(bytes).has_value()) << bytes;
  // Shortcuts stay keys; control with option is AltGr on some systems.
  EXPECT_EQ(run(R"({"action":"key","key":"c","modifiers":["ctrl"],"char":"c"})"), key(8, 0x40000));
  EXPECT_EQ(run(R"({"action":"key","key":"t","modifiers":["command","shift"],"char":"T"})"), key(17, 0x120000));
  poster.typesCharacters = false;  // a desktop that cannot type it gets the key
  EXPECT_EQ(run(R"({"action":"key","key":"2","modifiers":["shift"],"char":"@"})"), key(19, 0x20000));
}

TEST_F(InputCommands, TextFillsThePasteboardThenPastesWithCommandV) {
  EXPECT_EQ(run(R"({"action":"text","text":"第一行\n第二行\r\nthird ✓"})"), key(9, kCmd));
  EXPECT_EQ(pasteboard.strings, (std::vector<std::string>{"第一行\n第二行\r\nthird ✓"}));
  for (const char* payload : {R"({"action":"text","text":""})", R"({"action":"text"})", R"({"action":"text","text":42})"}) {
    EXPECT_TRUE(run(payload).empty()) << payload;
  }
  EXPECT_EQ(pasteboard.strings.size(), 1u);
  pasteboard.stalled = true;  // the old contents are still there: pasting them would be wrong
  EXPECT_TRUE(run(R"({"action":"text","text":"new"})").empty());
}

TEST_F(InputCommands, MalformedLinesAndUnknownActionsDoNothing) {
  const std::string payloads[] = {
      "", "[]", R"([{"action":"tap"}])", "null", R"({"action":"tap")", R"({"action":"tap",})", R"({"action":"tap"} {})",
      R"({"action":"\ud800"})", R"({"x":NaN})", std::string("{\"action\":\"tap\"}\0", 17), R"({"action":"TAP","x":1})",
      R"({"action":"wiggle"})", R"({"x":1,"y":2})", "{\"action\":\"tap\",\"junk\":" + std::string(100000, '[') + "}"};
  for (const std::string& payload : payloads) EXPECT_TRUE(run(payload).empty()) << payload.substr(0, 40);
  // Deep nesting in a member nobody reads is no reason to drop a well-formed command.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(run(R"({"action":"tap","junk":)" + deep + "}"), click(0, 0));
}

TEST_F(ControllerTest, WhatADragHoldsDownIsReleasedWhereverItsAgentGoes) {
  const std::pair<const char*, void (*)(ControllerTest&)> ends[] = {
      {"the agent ends",
       [](ControllerTest& t) {
         t.launches().back().exit();
         t.main().runPending();
       }},
      {"stop", [](ControllerTest& t) { t.delegate->stopClicked(); }},
      {"restart", [](ControllerTest& t) { t.delegate->restartAgent(); }},
      {"quit", [](ControllerTest& t) { t.delegate->applicationWillTerminate(); }},
  };
  launchApp();
  for (const auto& [name, end] : ends) {
    SCOPED_TRACE(name);
    delegate->startAgent();
    // Both buttons go down, the drag's end lets go of the right one only, and the left moves on.
    launches().back().handlers.onOutput(
        "__QOVA_INPUT__{\"action\":\"dragStart\",\"x\":1,\"y\":2}\n"
        "__QOVA_INPUT__{\"action\":\"dragStart\",\"x\":3,\"y\":4,\"button\":\"right\"}\n"
        "__QOVA_INPUT__{\"action\":\"dragEnd\",\"x\":5,\"y\":6}\n"
        "__QOVA_INPUT__{\"action\":\"dragMove\",\"x\":7,\"y\":8}\n");
    fakes.eventPoster->take();
    end(*this);
    main().runPending();
    EXPECT_EQ(fakes.eventPoster->take(), (Events{mouse(T::leftMouseUp, 7, 8)}));
  }
}

}  // namespace
}  // namespace qova::test
