// The XTest poster on a real X server: what a window receives, the clipboard pasted, and a server
// that goes away under the poster.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>

#include <atomic>
#include <cmath>
#include <limits>

#include "input/keyboard_events.h"
#include "input/pointer_events.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xtest_event_poster.h"
#include "platform/qt/qt_pasteboard.h"
#include "support/xvfb_server.h"
#include "test_screen.h"

namespace qova::test {
namespace {

constexpr auto kLeft = CGMouseButton::left;
constexpr auto kRight = CGMouseButton::right;

class XTestOnXvfb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(window.ready());
    ASSERT_TRUE(poster.available());
  }
  TestScreen window;
  XTestEventPoster poster;
};

TEST_F(XTestOnXvfb, EventsArriveAsTheWindowExpectsThem) {
  std::string hundredDown = "down 5 | up 5 (B5)";
  for (int i = 1; i < 100; ++i) hundredDown += " | down 5 | up 5 (B5)";
  const struct {
    std::function<void(EventPoster&)> post;
    const char* arrives;
  } cases[] = {
      {[](EventPoster& p) { click(p, 640.9, 400.2, kRight); }, "move 640,400 | down 3 | up 3 (B3)"},
      // The pointer goes to each button event's point first; a held button makes motion a drag.
      {[](EventPoster& p) {
         p.moveCursor(5, 5);
         p.postMouseEvent(MouseEventType::leftMouseDown, 50, 60, kLeft);
         p.postMouseEvent(MouseEventType::leftMouseDragged, 70, 80, kLeft);
         p.postMouseEvent(MouseEventType::leftMouseUp, 90, 100, kLeft);
       },
       "move 5,5 | move 50,60 | down 1 | move 70,80 (B1) | move 90,100 (B1) | up 1 (B1)"},
      {[](EventPoster& p) { p.postScrollWheel(2); }, "down 4 | up 4 (B4) | down 4 | up 4 (B4)"},
      {[](EventPoster& p) { p.postScrollWheel(-1); }, "down 5 | up 5 (B5)"},
      {[](EventPoster& p) { p.postScrollWheel(0); }, ""},
      {[](EventPoster& p) { p.postScrollWheel(std::numeric_limits<int32_t>::min()); }, hundredDown.c_str()},
      {[](EventPoster& p) { pressKey(p, "left", {"control"}); },
       "down Control_L | down Left (Control) | up Left (Control) | up Control_L (Control)"},
      {[](EventPoster& p) {
         pressKey(p, "tab", {"cmd", "alt", "shift"});
       },
       "down Control_L | down Alt_L (Control) | down Shift_L (Control Alt) | down Tab (Shift Control Alt) | "
       "up Tab (Shift Control Alt) | up Control_L (Shift Control Alt) | up Alt_L (Shift Alt) | up Shift_L (Shift)"},
      // A code without a keysym posts nothing, not even its modifiers.
      {[](EventPoster& p) { p.postKeyEvent(200, true, kCGEventFlagMaskShift); }, ""},
      // A poster gone in the middle of a key leaves no modifier held on the desktop.
      {[](EventPoster& p) {
         XTestEventPoster().postKeyEvent(0, true, kCGEventFlagMaskShift);
         p.postKeyEvent(0, false, 0);
       },
       "down Shift_L | down a (Shift) | up Shift_L (Shift) | up a"},
  };
  for (const auto& c : cases) {
    c.post(poster);
    EXPECT_EQ(window.take(), c.arrives);
  }
}

TEST_F(XTestOnXvfb, EveryKeyNameGivesItsKeysym) {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"=", "equal"},       {"-", "minus"},     {"]", "bracketright"},   {"[", "bracketleft"},
      {"'", "apostrophe"},  {";", "semicolon"}, {"\\", "backslash"},     {",", "comma"},
      {"/", "slash"},       {".", "period"},    {"enter", "Return"},     {"return", "Return"},
      {"tab", "Tab"},       {"space", "space"}, {"delete", "BackSpace"}, {"backspace", "BackSpace"},
      {"escape", "Escape"}, {"left", "Left"},   {"right", "Right"},      {"down", "Down"},
      {"up", "Up"}};
  for (char c : std::string("abcdefghijklmnopqrstuvwxyz0123456789")) keys.push_back({{c}, {c}});
  for (const auto& [name, keysym] : keys) {
    pressKey(poster, name, {});
    EXPECT_EQ(window.take(), "down " + keysym + " | up " + keysym) << name;
  }
}

TEST_F(XTestOnXvfb, TextIsPastedFromTheClipboardWithControlV) {
  const std::string text = "第一行 hello\n第二行：你好，世界\n\tthird ✓";
  QtPasteboard pasteboard;
  // From a reader thread, as in the application, while this thread runs the clipboard's event loop.
  std::atomic<bool> done = false;
  std::thread reader([&] {
    enterText(poster, pasteboard, text);
    done = true;
  });
  pumpUntil([&] { return done.load(); });
  reader.join();
  EXPECT_EQ(window.take(), "down Control_L | down v (Control) | up v (Control) | up Control_L (Control)");
  EXPECT_EQ(QGuiApplication::clipboard()->text(QClipboard::Clipboard).toStdString(), text);
}

TEST(XCoordinate, NaNIsZeroAndTheRangeIsClamped) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> cases[] = {{std::nan(""), 0}, {kInf, 32767}, {-kInf, -32768}, {32767.9, 32767},
                                          {640, 640},        {10.7, 10},    {-0.5, -1}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(toXCoordinate(value), expected) << value;
}

// On a server of its own, which it stops and starts again under the poster.
TEST(XTestEventPoster, OutlivesItsServer) {
  XvfbServer server(320, 200, 24, ":" + std::to_string(500 + getpid() % 400));
  ASSERT_TRUE(server.running());
  XTestEventPoster poster;
  ASSERT_TRUE(poster.available());

  ASSERT_TRUE(server.restart());
  {
    TestScreen window;  // gone before its server: Xlib would end the process
    ASSERT_TRUE(window.ready());
    poster.moveCursor(10, 20);
    EXPECT_EQ(window.take(), "move 10,20");
  }

  // Without a server every event is skipped and nothing counts as granted.
  server.stop();
  click(poster, 1, 2, kLeft);
  pressKey(poster, "a", {"shift"});
  poster.postScrollWheel(-3);
  EXPECT_FALSE(X11Permissions().screenCaptureAccess() || X11Permissions().accessibilityTrusted());

  // Reconnecting is paced, not abandoned.
  ASSERT_TRUE(server.restart());
  EXPECT_TRUE(pumpUntil([&] { return poster.available(); }));
}

}  // namespace
}  // namespace qova::test
