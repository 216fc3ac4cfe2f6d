// Remote input commands through the controller onto a real X server: XTest events as a window sees
// them, and the Qt clipboard as a pasting application reads it.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <thread>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/xtest_event_poster.h"
#include "platform/qt/qt_pasteboard.h"
#include "support/input_test_window.h"

// Last: Qt and X.h define macros (emit, None, Status) that clash with ordinary names.
#include <QApplication>
#include <QCoreApplication>
#include <X11/X.h>

namespace qova {
namespace {

using test::ReceivedInput;
using Type = ReceivedInput::Type;
using Inputs = std::vector<ReceivedInput>;

Inputs only(const Inputs& events, std::initializer_list<Type> types) {
  Inputs kept;
  for (const auto& e : events) {
    for (Type t : types) {
      if (e.type == t) kept.push_back(e);
    }
  }
  return kept;
}

Inputs buttons(const Inputs& events) { return only(events, {Type::buttonPress, Type::buttonRelease}); }
Inputs keys(const Inputs& events) { return only(events, {Type::keyPress, Type::keyRelease}); }

class InputOnX11 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window.ready());
    ASSERT_TRUE(poster->available());
    PlatformServices services = fakes.services();
    services.eventPoster = poster;
    services.pasteboard = std::make_shared<QtPasteboard>();
    app = std::make_shared<AppDelegate>(services);
    window.takeEvents();
  }

  // One agent output line on a reader thread, as in the application, while this thread runs the
  // Qt event loop that the clipboard needs. Returns what the window received.
  Inputs run(const std::string& payload) {
    std::atomic<bool> done{false};
    std::thread reader([&] {
      app->handleAgentOutput("__QOVA_INPUT__" + payload + "\n");
      done = true;
    });
    while (!done) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reader.join();
    return window.takeEvents();
  }

  test::InputTestWindow window;
  test::FakePlatformServices fakes;
  std::shared_ptr<XTestEventPoster> poster = std::make_shared<XTestEventPoster>();
  std::shared_ptr<AppDelegate> app;
};

void expectButton(const ReceivedInput& e, Type type, unsigned button, int x, int y) {
  EXPECT_EQ(e.type, type);
  EXPECT_EQ(e.button, button);
  EXPECT_EQ(e.x, x);
  EXPECT_EQ(e.y, y);
}

TEST_F(InputOnX11, TapMovesThePointerThenPressesAndReleasesTheLeftButton) {
  const Inputs events = run(R"({"action":"tap","x":640,"y":400})");
  const Inputs clicks = buttons(events);
  ASSERT_EQ(clicks.size(), 2u);
  expectButton(clicks[0], Type::buttonPress, 1, 640, 400);
  expectButton(clicks[1], Type::buttonRelease, 1, 640, 400);
  EXPECT_TRUE(clicks[1].state & Button1Mask);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().type, Type::motion);
  EXPECT_EQ(window.pointer(), std::make_pair(640, 400));
}

TEST_F(InputOnX11, RightClickAndDoubleTap) {
  const Inputs right = buttons(run(R"({"action":"rightClick","x":20,"y":30,"button":"left"})"));
  ASSERT_EQ(right.size(), 2u);
  expectButton(right[0], Type::buttonPress, 3, 20, 30);
  expectButton(right[1], Type::buttonRelease, 3, 20, 30);

  const Inputs twice = buttons(run(R"({"action":"doubleTap","x":"100.9","y":200})"));
  ASSERT_EQ(twice.size(), 4u);
  for (size_t i = 0; i < 4; ++i) expectButton(twice[i], i % 2 ? Type::buttonRelease : Type::buttonPress, 1, 100, 200);
}

TEST_F(InputOnX11, SwipeIsPressMotionWithTheButtonHeldAndReleaseAtTheEnd) {
  const Inputs events = run(R"({"action":"swipe","x":100,"y":100,"x2":400,"y2":250,"durationMs":100})");
  const Inputs clicks = buttons(events);
  ASSERT_EQ(clicks.size(), 2u);
  expectButton(clicks[0], Type::buttonPress, 1, 100, 100);
  expectButton(clicks[1], Type::buttonRelease, 1, 400, 250);
  Inputs dragged;
  bool pressed = false;
  for (const auto& e : events) {
    if (e.type == Type::buttonPress) pressed = true;
    if (pressed && e.type == Type::motion) dragged.push_back(e);
  }
  ASSERT_EQ(dragged.size(), 6u);  // 100 ms is six 15 ms steps
  for (const auto& e : dragged) EXPECT_TRUE(e.state & Button1Mask);
  EXPECT_EQ(dragged[0].x, 150);
  EXPECT_EQ(dragged[0].y, 125);
  EXPECT_EQ(dragged.back().x, 400);
  EXPECT_EQ(dragged.back().y, 250);
}

TEST_F(InputOnX11, StepwiseDragKeepsTheRightButtonUntilItsEnd) {
  Inputs events = run(R"({"action":"dragStart","x":50,"y":60,"button":"right"})");
  for (const auto& more : {run(R"({"action":"dragMove","x":70,"y":80})"), run(R"({"action":"dragEnd","x":90,"y":100})")}) {
    events.insert(events.end(), more.begin(), more.end());
  }
  const Inputs clicks = buttons(events);
  ASSERT_EQ(clicks.size(), 2u);
  expectButton(clicks[0], Type::buttonPress, 3, 50, 60);
  expectButton(clicks[1], Type::buttonRelease, 3, 90, 100);
  bool sawDrag = false;
  for (const auto& e : events) {
    if (e.type == Type::motion && e.x == 70 && e.y == 80) sawDrag = (e.state & Button3Mask) != 0;
  }
  EXPECT_TRUE(sawDrag);
  EXPECT_EQ(app->dragButton, CGMouseButton::left);
}

TEST_F(InputOnX11, ScrollLinesAreWheelClicks) {
  const Inputs down = buttons(run(R"({"action":"scroll","deltaY":3})"));
  ASSERT_EQ(down.size(), 6u);
  for (size_t i = 0; i < down.size(); ++i) {
    EXPECT_EQ(down[i].button, 5u);
    EXPECT_EQ(down[i].type, i % 2 ? Type::buttonRelease : Type::buttonPress);
  }
  const Inputs up = buttons(run(R"({"action":"scroll","deltaY":"-99999999999"})"));
  ASSERT_EQ(up.size(), 20u);  // clamped to ten lines
  for (const auto& e : up) EXPECT_EQ(e.button, 4u);
  EXPECT_TRUE(buttons(run(R"({"action":"scroll","deltaY":0})")).empty());
}

TEST_F(InputOnX11, ShiftedKeyArrivesAsACapitalAndNoModifierStaysHeld) {
  const Inputs events = keys(run(R"({"action":"key","key":"a","modifiers":["shift"]})"));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].type, Type::keyPress);
  EXPECT_EQ(events[0].keysym, "Shift_L");
  EXPECT_EQ(events[1].type, Type::keyPress);
  EXPECT_EQ(events[1].keysym, "A");
  EXPECT_TRUE(events[1].state & ShiftMask);
  EXPECT_EQ(events[2].type, Type::keyRelease);
  EXPECT_EQ(events[2].keysym, "A");
  EXPECT_EQ(events[3].type, Type::keyRelease);
  EXPECT_EQ(events[3].keysym, "Shift_L");
  // The next key is plain again.
  const Inputs plain = keys(run(R"({"action":"key","key":"B"})"));
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].keysym, "b");
  EXPECT_EQ(plain[0].state & (ShiftMask | ControlMask | Mod1Mask), 0u);
}

TEST_F(InputOnX11, CommandControlOptionAndShiftMapToControlAltShift) {
  const Inputs events = keys(run(R"({"action":"key","key":"Return","modifiers":["cmd","option","shift"]})"));
  const auto press = std::find_if(events.begin(), events.end(),
                                  [](const ReceivedInput& e) { return e.type == Type::keyPress && e.keysym == "Return"; });
  ASSERT_NE(press, events.end());
  EXPECT_EQ(press->state & (ShiftMask | ControlMask | Mod1Mask), unsigned{ShiftMask | ControlMask | Mod1Mask});
  const Inputs control = keys(run(R"({"action":"key","key":"left","modifiers":["control"]})"));
  ASSERT_EQ(control.size(), 4u);
  EXPECT_EQ(control[1].keysym, "Left");
  EXPECT_EQ(control[1].state & ControlMask, unsigned{ControlMask});
}

TEST_F(InputOnX11, BackAndHomeAreControlShortcuts) {
  const Inputs back = keys(run(R"({"action":"back"})"));
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(back[1].keysym, "bracketleft");
  EXPECT_TRUE(back[1].state & ControlMask);
  const Inputs home = keys(run(R"({"action":"home"})"));
  ASSERT_EQ(home.size(), 4u);
  EXPECT_EQ(home[1].keysym, "space");
  EXPECT_TRUE(home[1].state & ControlMask);
}

TEST_F(InputOnX11, EveryKeyOfTheTableReachesTheServer) {
  const char* const names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r",
                               "s", "t", "u", "v", "w", "x", "y", "z", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                               "=", "-", "]", "[", "'", ";", "\\\\", ",", "/", ".", "enter", "return", "tab", "space",
                               "delete", "backspace", "escape", "left", "right", "down", "up"};
  const char* const expected[] = {
      "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v", "w", "x",
      "y", "z", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "equal", "minus", "bracketright", "bracketleft",
      "apostrophe", "semicolon", "backslash", "comma", "slash", "period", "Return", "Return", "Tab", "space", "BackSpace",
      "BackSpace", "Escape", "Left", "Right", "Down", "Up"};
  static_assert(std::size(names) == 57 && std::size(expected) == 57);
  for (size_t i = 0; i < std::size(names); ++i) {
    const Inputs events = keys(run(std::string(R"({"action":"key","key":")") + names[i] + "\"}"));
    ASSERT_EQ(events.size(), 2u) << names[i];
    EXPECT_EQ(events[0].keysym, expected[i]) << names[i];
    EXPECT_EQ(events[1].type, Type::keyRelease) << names[i];
  }
}

TEST_F(InputOnX11, TextGoesToTheClipboardAndIsPastedWithControlV) {
  const std::string text = "第一行 hello\n第二行：你好，世界\n\tthird ✓";
  const Inputs events = keys(run(R"({"action":"text","text":"第一行 hello\n第二行：你好，世界\n\tthird ✓"})"));
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].keysym, "Control_L");
  EXPECT_EQ(events[1].type, Type::keyPress);
  EXPECT_EQ(events[1].keysym, "v");
  EXPECT_TRUE(events[1].state & ControlMask);
  EXPECT_EQ(window.clipboardText([] { QCoreApplication::processEvents(); }), text);
}

TEST_F(InputOnX11, CoordinatesBeyondAnyScreenAreClampedSafely) {
  // NaN becomes 0; huge and infinite values are clamped, and the server keeps the pointer on screen.
  EXPECT_EQ(buttons(run(R"({"action":"tap","x":"nan","y":1e300})")).size(), 2u);
  EXPECT_EQ(window.pointer(), std::make_pair(0, 899));
  EXPECT_EQ(buttons(run(R"({"action":"tap","x":"inf","y":"-inf"})")).size(), 2u);
  EXPECT_EQ(window.pointer(), std::make_pair(1439, 0));
  EXPECT_EQ(buttons(run(R"({"action":"swipe","x":"-1e308","y":5,"x2":"1e308","y2":"nan","durationMs":30})")).size(), 2u);
  EXPECT_EQ(window.pointer(), std::make_pair(1439, 0));
}

TEST(XCoordinate, NaNIsZeroAndTheRangeIsClamped) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(toXCoordinate(std::nan("")), 0);
  EXPECT_EQ(toXCoordinate(-std::nan("")), 0);
  EXPECT_EQ(toXCoordinate(kInf), 32767);
  EXPECT_EQ(toXCoordinate(-kInf), -32768);
  EXPECT_EQ(toXCoordinate(1e300), 32767);
  EXPECT_EQ(toXCoordinate(-1e300), -32768);
  EXPECT_EQ(toXCoordinate(32767.9), 32767);
  EXPECT_EQ(toXCoordinate(640), 640);
  EXPECT_EQ(toXCoordinate(10.7), 10);
  EXPECT_EQ(toXCoordinate(-0.5), -1);
}

}  // namespace
}  // namespace qova

namespace qova {
namespace {

TEST(XTestEventPosterWithoutServer, SkipsEventsAndConnectsOnceAServerIsThere) {
  const std::string display = std::getenv("DISPLAY");
  setenv("DISPLAY", ":9999", 1);  // nothing listens there
  XTestEventPoster poster;
  EXPECT_FALSE(poster.available());
  poster.moveCursor(1, 2);
  poster.postMouseEvent(MouseEventType::leftMouseDown, 1, 2, CGMouseButton::left);
  poster.postKeyEvent(0, true, kCGEventFlagMaskShift);
  poster.postScrollWheel(-3);
  setenv("DISPLAY", display.c_str(), 1);
  // Reconnection is paced, not abandoned: the poster reaches the server within a few seconds.
  bool connected = false;
  for (int i = 0; i < 40 && !connected; ++i) {
    connected = poster.available();
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(connected);
}

}  // namespace
}  // namespace qova
