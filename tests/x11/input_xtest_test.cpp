// The desktop backends on a real X server: the XTest poster (what a window receives, the clipboard
// pasted, a server that goes away under it), and Qt's main queue, controls and workspace, the latter
// against real helpers (a stand-in xdg-open on PATH, a private D-Bus bus with a file manager on it).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLabel>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "input/keyboard_events.h"
#include "input/pointer_events.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xtest_event_poster.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_workspace.h"
#include "test_screen.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

constexpr auto kLeft = MouseButton::left;
constexpr auto kRight = MouseButton::right;

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
      {[](EventPoster& p) { p.postKeyEvent(200, true, kModifierShift); }, ""},
      // A poster gone in the middle of a key leaves no modifier held on the desktop.
      {[](EventPoster& p) {
         XTestEventPoster().postKeyEvent(0, true, kModifierShift);
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
      {"=", "equal"},      {"-", "minus"},          {"]", "bracketright"}, {"[", "bracketleft"},
      {"'", "apostrophe"}, {";", "semicolon"},      {"\\", "backslash"},   {",", "comma"},
      {"/", "slash"},      {".", "period"},         {"return", "Return"},  {"tab", "Tab"},
      {"space", "space"},  {"delete", "BackSpace"}, {"escape", "Escape"},  {"left", "Left"},
      {"right", "Right"},  {"down", "Down"},        {"up", "Up"}};
  for (char c : std::string("abcdefghijklmnopqrstuvwxyz0123456789")) keys.push_back({{c}, {c}});
  for (const auto& [name, keysym] : keys) {
    pressKey(poster, name, {});
    EXPECT_EQ(window.take(), "down " + keysym + " | up " + keysym) << name;
  }
}

TEST_F(XTestOnXvfb, CharactersArriveAsTypedOnGermanAndFrenchLayoutsAndShortcutsStayKeys) {
  const std::pair<std::string, const char*> layouts[] = {{"de", "^@^€äßé+!+Zé<Ctrl+c><Ctrl+c>"},
                                                         {"fr", "^@^€ä^ßé!+Zé<Ctrl+c><Ctrl+c>"}};
  for (const auto& [layout, typed] : layouts) {
    ASSERT_EQ(std::system(("setxkbmap " + layout).c_str()), 0);
    {
      XTestEventPoster poster;  // "é" has no key on "de", nor "ä" on "fr": each is lent one
      for (const char* c : {"@", "€", "ä", "ß", "é", "!", "Z", "é"}) pressKey(poster, "q", {"ctrl", "alt"}, c);
      pressKey(poster, "c", {"ctrl"}, "c");  // a shortcut, whatever a careless viewer says it produced
      pressKey(poster, "c", {"ctrl"});
      EXPECT_EQ(window.typed(), typed) << layout;
    }
    window.typed();  // the lent key is given back when the poster goes
    EXPECT_EQ(XKeysymToKeycode(window.display(), layout == "de" ? XK_eacute : XK_adiaeresis), 0) << layout;
  }
  EXPECT_EQ(std::system("setxkbmap us"), 0);
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
  EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Clipboard).toStdString(), text);
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
  EXPECT_FALSE(X11Permissions().screenCaptureAccess() || X11Permissions().inputAccess());

  // Reconnecting is paced, not abandoned.
  ASSERT_TRUE(server.restart());
  EXPECT_TRUE(pumpUntil([&] { return poster.available(); }));
}

TEST(QtMainQueue, WorkRunsOnTheMainThreadInOrderDelayedNoEarlierThanAskedAndTimersUntilInvalidated) {
  QtMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(20ms, [&] { ++ticks; });
  QElapsedTimer clock;
  clock.start();
  std::vector<int> order;
  int offMain = 0;
  qint64 delayedAt = -1;
  qint64 mainDelayedAt = -1;
  queue.postAfter(150ms, [&] { mainDelayedAt = clock.elapsed(); });  // a timer of the main thread itself
  std::thread([&] {
    EXPECT_FALSE(queue.isCurrent());
    queue.postAfter(200ms, [&] {
      delayedAt = clock.elapsed();
      offMain += !queue.isCurrent();
    });
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        offMain += !queue.isCurrent();
      });
    }
  }).join();
  ASSERT_TRUE(pumpUntil([&] { return delayedAt >= 0; }));
  EXPECT_GE(delayedAt, 190);
  EXPECT_GE(mainDelayedAt, 140);
  EXPECT_EQ(order.size(), 100u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(offMain, 0);
  EXPECT_GE(ticks, 3);
  timer->invalidate();
  const int atInvalidate = ticks;
  pumpUntil([] { return false; }, 150ms);
  EXPECT_EQ(ticks, atInvalidate);
}

QLabel* labelWithText(const QString& text) {
  const auto widgets = QApplication::allWidgets();
  auto found = std::find_if(widgets.begin(), widgets.end(), [&](QWidget* w) {
    return qobject_cast<QLabel*>(w) && static_cast<QLabel*>(w)->text() == text;
  });
  return found == widgets.end() ? nullptr : static_cast<QLabel*>(*found);
}

TEST(QtControls, FramesFromTheBottomLeftAreFlippedOnceAgainstTheirParentsHeight) {
  const struct {
    const char* name;
    Rect box;
    Rect label;  // in the box
    QRect expected;
  } cases[] = {
      {"in a smaller box", {10, 20, 200, 100}, {5, 10, 50, 20}, {15, 150, 50, 20}},
      {"at the top of a smaller box", {10, 20, 200, 100}, {0, 80, 200, 20}, {10, 80, 200, 20}},
  };
  QtControls controls;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto window = controls.makeWindow(300, 200);
    auto box = controls.makeView();
    auto label = controls.makeLabel(c.name);
    label->setFrame(c.label);  // before it has a parent
    box->addSubview(label);
    box->setFrame(c.box);  // after its child was placed
    window->contentView()->addSubview(box);
    QLabel* widget = labelWithText(c.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(QRect(widget->mapTo(widget->window(), QPoint()), widget->size()), c.expected);
  }
}

TEST(QtControls, LabelsShowTheirTextPlainAndOnOneLineAndADisabledButtonDoesNothing) {
  QtControls controls;
  auto window = controls.makeWindow(300, 200);
  auto label = controls.makeLabel("<b>bold?</b>\nsecond line \u202eevil.exe");
  label->setFrame({0, 0, 60, 20});
  label->setTruncation(Truncation::middle);
  window->contentView()->addSubview(label);
  window->makeKeyAndOrderFront();
  QLabel* shown = labelWithText("<b>bold?</b> second line \u202eevil.exe");
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->textFormat(), Qt::PlainText);
  shown->repaint();  // eliding a text with a right-to-left override

  auto button = controls.makeButton("x");
  int presses = 0;
  button->setAction([&] { ++presses; });
  button->setEnabled(false);
  button->performClick();
  button->setEnabled(true);
  button->performClick();
  EXPECT_EQ(presses, 1);
}

TEST(QtWorkspace, FileURLsKeepEveryByteOfThePath) {
  EXPECT_EQ(fileURLForPath("/tmp/a b/\xff\xfe #%.txt"), "file:///tmp/a%20b/%FF%FE%20%23%25.txt");
  EXPECT_EQ(fileURLForPath("/下载/x"), "file:///%E4%B8%8B%E8%BD%BD/x");
}

}  // namespace
}  // namespace qova::test
