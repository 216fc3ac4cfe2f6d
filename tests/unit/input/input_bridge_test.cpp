// Whole input commands through the controller, on the recording event poster: the exact events with
// their pauses, as the agent's lines arrive.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"

namespace qova {
namespace {

using test::PostedEvent;
using Events = std::vector<PostedEvent>;
using T = MouseEventType;
constexpr auto kLeft = CGMouseButton::left;
constexpr auto kRight = CGMouseButton::right;
constexpr CGEventFlags kCmd = kCGEventFlagMaskCommand;

PostedEvent move(double x, double y) { return PostedEvent::move(x, y); }
PostedEvent mouse(T type, double x, double y, CGMouseButton b = kLeft) { return PostedEvent::mouse(type, x, y, b); }
PostedEvent pause(uint32_t ms) { return PostedEvent::pause(ms); }
PostedEvent keyDown(uint16_t code, CGEventFlags flags = 0) { return PostedEvent::key(code, true, flags); }
PostedEvent keyUp(uint16_t code, CGEventFlags flags = 0) { return PostedEvent::key(code, false, flags); }

class InputBridge : public ::testing::Test {
 protected:
  // One input command line, as the agent prints it.
  Events run(const std::string& payload) {
    fakes.eventPoster->clear();
    app->handleInputBridge(payload);
    return fakes.eventPoster->take();
  }

  test::FakePlatformServices fakes;
  std::shared_ptr<AppDelegate> app = std::make_shared<AppDelegate>(fakes.services());
};

TEST_F(InputBridge, TapMovesThenPressesAndReleasesFiftyMillisecondsApart) {
  EXPECT_EQ(run(R"({"action":"tap","x":640,"y":400})"),
            (Events{move(640, 400), mouse(T::leftMouseDown, 640, 400), pause(50), mouse(T::leftMouseUp, 640, 400)}));
  EXPECT_EQ(run(R"({"action":"tap","x":"12.5","y":"-7"})"),
            (Events{move(12.5, -7), mouse(T::leftMouseDown, 12.5, -7), pause(50), mouse(T::leftMouseUp, 12.5, -7)}));
  // A leading space makes the string unusable; missing coordinates are 0.
  EXPECT_EQ(run(R"({"action":"tap","x":" 12","y":5})")[0], move(0, 5));
  EXPECT_EQ(run(R"({"action":"tap"})")[0], move(0, 0));
}

TEST_F(InputBridge, ButtonChoiceForClicks) {
  EXPECT_EQ(run(R"({"action":"tap","x":1,"y":2,"button":"right"})"),
            (Events{move(1, 2), mouse(T::rightMouseDown, 1, 2, kRight), pause(50), mouse(T::rightMouseUp, 1, 2, kRight)}));
  EXPECT_EQ(run(R"({"action":"tap","x":1,"y":2,"button":"Right"})")[1], mouse(T::leftMouseDown, 1, 2));
  for (const char* button : {R"("left")", R"("right")", "null", "7"}) {
    EXPECT_EQ(run(std::string(R"({"action":"rightClick","x":3,"y":4,"button":)") + button + "}"),
              (Events{move(3, 4), mouse(T::rightMouseDown, 3, 4, kRight), pause(50), mouse(T::rightMouseUp, 3, 4, kRight)}))
        << button;
  }
}

TEST_F(InputBridge, DoubleTapIsTwoClicksSixtyMillisecondsApart) {
  const Events click = {move(5, 6), mouse(T::rightMouseDown, 5, 6, kRight), pause(50), mouse(T::rightMouseUp, 5, 6, kRight)};
  Events expected = click;
  expected.push_back(pause(60));
  expected.insert(expected.end(), click.begin(), click.end());
  EXPECT_EQ(run(R"({"action":"doubleTap","x":5,"y":6,"button":"right"})"), expected);
}

TEST_F(InputBridge, SwipeWithoutDurationIsOneDraggedStep) {
  EXPECT_EQ(run(R"({"action":"swipe","x":10,"y":20,"x2":110,"y2":220})"),
            (Events{move(10, 20), mouse(T::leftMouseDown, 10, 20), mouse(T::leftMouseDragged, 110, 220), pause(15),
                    mouse(T::leftMouseUp, 110, 220)}));
}

TEST_F(InputBridge, SwipeStepsAreEvenlySpacedAndEndOnTheEndPoint) {
  const Events events = run(R"({"action":"homeSwipe","x":0,"y":100,"x2":60,"y2":40,"durationMs":100,"button":"right"})");
  Events expected = {move(0, 100), mouse(T::rightMouseDown, 0, 100, kRight)};
  for (int i = 1; i <= 6; ++i) {
    const double t = i / 6.0;
    expected.push_back(mouse(T::rightMouseDragged, 0 + 60 * t, 100 + (40 - 100) * t, kRight));
    expected.push_back(pause(15));
  }
  expected.push_back(mouse(T::rightMouseUp, 60, 40, kRight));
  EXPECT_EQ(events, expected);
  EXPECT_EQ(events[events.size() - 3], mouse(T::rightMouseDragged, 60, 40, kRight));
  // "swipe" and "homeSwipe" are the same gesture.
  EXPECT_EQ(run(R"({"action":"swipe","x":0,"y":100,"x2":60,"y2":40,"durationMs":100,"button":"right"})"), expected);
}

TEST_F(InputBridge, SwipeDurationsCapAtTwentyFourSteps) {
  struct Case {
    const char* duration;
    size_t steps;
  };
  for (const Case& c : {Case{"10000", 24}, Case{"360", 24}, Case{"359", 23}, Case{"\"nan\"", 24}, Case{"\"-inf\"", 1},
                        Case{"-5", 1}, Case{"30", 2}}) {
    const Events events = run(std::string(R"({"action":"swipe","x":1,"y":1,"x2":2,"y2":2,"durationMs":)") + c.duration + "}");
    ASSERT_EQ(events.size(), 2 + 2 * c.steps + 1) << c.duration;
    uint64_t paused = 0;
    for (const auto& e : events) paused += e.kind == PostedEvent::Kind::sleep ? e.milliseconds : 0;
    EXPECT_EQ(paused, 15 * c.steps) << c.duration;
  }
}

TEST_F(InputBridge, DragButtonOutlivesCommandsUntilDragEnd) {
  // A move before any start drags the left button.
  EXPECT_EQ(run(R"({"action":"dragMove","x":1,"y":1})"), (Events{mouse(T::leftMouseDragged, 1, 1), pause(15)}));
  EXPECT_EQ(run(R"({"action":"dragStart","x":10,"y":10,"button":"right"})"),
            (Events{move(10, 10), mouse(T::rightMouseDown, 10, 10, kRight)}));
  EXPECT_EQ(app->dragButton, kRight);
  // The moves' and the end's own buttons are not used.
  EXPECT_EQ(run(R"({"action":"dragMove","x":20,"y":15,"button":"left"})"),
            (Events{mouse(T::rightMouseDragged, 20, 15, kRight), pause(15)}));
  EXPECT_EQ(run(R"({"action":"dragEnd","x":30,"y":20})"), (Events{move(30, 20), mouse(T::rightMouseUp, 30, 20, kRight)}));
  EXPECT_EQ(app->dragButton, kLeft);
  EXPECT_EQ(run(R"({"action":"dragEnd","x":1,"y":2,"button":"right"})"), (Events{move(1, 2), mouse(T::leftMouseUp, 1, 2)}));
}

TEST_F(InputBridge, ScrollNegatesAndClampsToTenLines) {
  struct Case {
    const char* deltaY;
    int32_t wheel;
  };
  for (const Case& c : {Case{"3", -3}, Case{"-25", 10}, Case{"0", 0}, Case{"2.9", -2}, Case{"\"2.9\"", 0}, Case{"\"-4\"", 4},
                        Case{"true", -1}, Case{"\"-9223372036854775808\"", 10}, Case{"-9223372036854775808", 10},
                        Case{"18446744073709551615", -10}, Case{"1e300", -10}, Case{"-1e300", 10}, Case{"null", 0}}) {
    EXPECT_EQ(run(std::string(R"({"action":"scroll","x":5,"y":5,"deltaY":)") + c.deltaY + "}"),
              (Events{PostedEvent::scroll(c.wheel)}))
        << c.deltaY;
  }
}

TEST_F(InputBridge, KeysCarryExactlyTheirModifierFlags) {
  EXPECT_EQ(run(R"({"action":"key","key":"A"})"), (Events{keyDown(0), keyUp(0)}));
  EXPECT_EQ(run(R"({"action":"key","key":"z","modifiers":["CMD","SHIFT","fn","cmd"]})"),
            (Events{keyDown(6, 0x120000), keyUp(6, 0x120000)}));
  EXPECT_EQ(run(R"({"action":"key","key":"Return","modifiers":["Control","option","meta"]})"),
            (Events{keyDown(36, 0x1C0000), keyUp(36, 0x1C0000)}));
  EXPECT_EQ(run(R"({"action":"key","key":"delete","modifiers":["ctrl","alt"]})"),
            (Events{keyDown(51, 0xC0000), keyUp(51, 0xC0000)}));
  // One modifier that is not text drops them all; the key is still pressed.
  EXPECT_EQ(run(R"({"action":"key","key":"s","modifiers":["cmd",1]})"), (Events{keyDown(1), keyUp(1)}));
  // U+212A KELVIN SIGN lowercases to the letter k.
  EXPECT_EQ(run("{\"action\":\"key\",\"key\":\"\xE2\x84\xAA\"}"), (Events{keyDown(40), keyUp(40)}));
}

TEST_F(InputBridge, UnknownKeysPostNothingNotEvenModifiers) {
  for (const char* key : {R"("f1")", R"("esc")", R"("`")", R"("home")", R"("")", "null", "65", R"("aa")", R"(" a")"}) {
    EXPECT_TRUE(run(std::string(R"({"action":"key","modifiers":["cmd"],"key":)") + key + "}").empty()) << key;
  }
}

TEST_F(InputBridge, BackAndHomeAreCommandShortcuts) {
  EXPECT_EQ(run(R"({"action":"back"})"), (Events{keyDown(33, kCmd), keyUp(33, kCmd)}));
  EXPECT_EQ(run(R"({"action":"home","key":"a","modifiers":["shift"]})"), (Events{keyDown(49, kCmd), keyUp(49, kCmd)}));
}

// Records when the pasteboard was filled relative to the posted events.
class OrderedPasteboard : public Pasteboard {
 public:
  explicit OrderedPasteboard(test::FakeEventPoster& poster) : poster_(poster) {}
  void setString(const std::string& text) override {
    texts.push_back(text);
    eventsBefore.push_back(poster_.events().size());
  }
  std::vector<std::string> texts;
  std::vector<size_t> eventsBefore;

 private:
  test::FakeEventPoster& poster_;
};

TEST(InputBridgeText, FillsThePasteboardThenPastesWithCommandV) {
  test::FakePlatformServices fakes;
  auto pasteboard = std::make_shared<OrderedPasteboard>(*fakes.eventPoster);
  PlatformServices services = fakes.services();
  services.pasteboard = pasteboard;
  auto app = std::make_shared<AppDelegate>(services);
  app->handleInputBridge(R"({"action":"text","text":"第一行\n第二行\r\nthird ✓"})");
  ASSERT_EQ(pasteboard->texts, (std::vector<std::string>{"第一行\n第二行\r\nthird ✓"}));
  EXPECT_EQ(pasteboard->eventsBefore, (std::vector<size_t>{0}));
  EXPECT_EQ(fakes.eventPoster->take(), (Events{keyDown(9, kCmd), keyUp(9, kCmd)}));
  // Empty or unusable text touches nothing.
  for (const char* payload : {R"({"action":"text","text":""})", R"({"action":"text"})", R"({"action":"text","text":42})"}) {
    app->handleInputBridge(payload);
    EXPECT_EQ(pasteboard->texts.size(), 1u) << payload;
    EXPECT_TRUE(fakes.eventPoster->events().empty()) << payload;
  }
}

TEST_F(InputBridge, CoordinatesReachThePlatformUnchanged) {
  const Events events = run(R"({"action":"tap","x":"nan","y":1e300})");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(std::isnan(events[0].x));
  EXPECT_EQ(events[0].y, 1e300);
  EXPECT_EQ(run(R"({"action":"dragMove","x":"-inf","y":"0x1p10"})")[0],
            mouse(T::leftMouseDragged, -std::numeric_limits<double>::infinity(), 1024));
}

TEST_F(InputBridge, NothingHappensForUnknownActionsOrMalformedLines) {
  for (const char* payload : {R"({"action":"TAP","x":1})", R"({"action":"Tap"})", R"({"action":"wiggle"})", R"({"x":1,"y":2})",
                              R"({"action":["tap"]})", R"([{"action":"tap"}])", R"("tap")", R"({"action":"tap")", ""}) {
    EXPECT_TRUE(run(payload).empty()) << payload;
  }
  EXPECT_EQ(fakes.pasteboard->strings.size(), 0u);
}

TEST_F(InputBridge, AgentLinesAreRoutedAndABadLineDoesNotDisturbTheNext) {
  fakes.eventPoster->clear();
  // Split mid-line, with CRLF endings and a broken command in between.
  app->handleAgentOutput("__QOVA_INPUT__{\"action\":\"scroll\",\"del");
  app->handleAgentOutput("taY\":1}\r\n__QOVA_INPUT__{\"action\":\"tap\",\r\n__QOVA_INPUT__{\"action\":\"key\",\"key\":\"b\"}\r\n");
  app->handleAgentOutput("__QOVA_INPUT__ {\"action\":\"back\"} \n__qova_input__{\"action\":\"home\"}\n");
  EXPECT_EQ(fakes.eventPoster->take(),
            (Events{PostedEvent::scroll(-1), keyDown(11), keyUp(11), keyDown(33, kCmd), keyUp(33, kCmd)}));
}

}  // namespace
}  // namespace qova
