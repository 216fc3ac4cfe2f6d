// The real application, started as a user would with the test agent in its bundle. Its window is
// photographed into <build>/test-artifacts for a person to look at; a tray host docks its icon.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/posix/posix_process_launcher.h"
#include "support/running_application.h"
#include "support/test_bundle.h"

#include <QProcess>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::IsSupersetOf;

std::vector<Window> childrenOf(Display* display, Window window) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  XQueryTree(display, window, &root, &parent, &children, &count);
  std::vector<Window> all(children, children + count);
  if (children) XFree(children);
  return all;
}

std::string nameOf(Display* display, Window window) {
  char* name = nullptr;
  XFetchName(display, window, &name);
  const std::string text = name ? name : "";
  if (name) XFree(name);
  return text;
}

// A shown top-level window with the application's title, or without a window manager's frame (a
// popup menu), of a width in [minimum, maximum); or 0.
Window findTopLevel(Display* display, int minimumWidth, int maximumWidth, XWindowAttributes* found = nullptr) {
  Window result = 0;
  for (Window child : childrenOf(display, DefaultRootWindow(display))) {
    XWindowAttributes a;
    if (XGetWindowAttributes(display, child, &a) && a.map_state == IsViewable && a.width >= minimumWidth &&
        a.width < maximumWidth && (a.override_redirect || nameOf(display, child) == "QOVA Lumaro Agent")) {
      result = child;
      if (found) *found = a;
    }
  }
  return result;
}

// The application's main window (menus are narrower), or 0.
Window findWindow(Display* display) { return findTopLevel(display, 300, 10000); }

void closeWindow(Display* display, Window window) {
  XEvent close{};
  close.xclient = {ClientMessage, 0, False, display, window, XInternAtom(display, "WM_PROTOCOLS", False), 32, {}};
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  close.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &close);
  XFlush(display);
}

// The tray host's panel holds the icon window once it has docked, or 0.
Window dockedIcon(Display* display) {
  for (Window child : childrenOf(display, DefaultRootWindow(display))) {
    if (nameOf(display, child) != "panel") continue;
    for (Window socket : childrenOf(display, child)) {
      if (const auto docked = childrenOf(display, socket); !docked.empty()) return docked[0];
    }
  }
  return 0;
}

void click(Display* display, int x, int y, unsigned button) {
  XTestFakeMotionEvent(display, -1, x, y, CurrentTime);
  XFlush(display);
  // As a hand would: the pointer rests before the press, and the button before its release.
  std::this_thread::sleep_for(200ms);
  XTestFakeButtonEvent(display, button, True, CurrentTime);
  XFlush(display);
  std::this_thread::sleep_for(200ms);
  XTestFakeButtonEvent(display, button, False, CurrentTime);
  XFlush(display);
}

std::optional<XWindowAttributes> openTrayMenu(Display* display, Window icon) {
  XWindowAttributes iconAt;
  Window child = 0;
  int x = 0, y = 0;
  XGetWindowAttributes(display, icon, &iconAt);
  XTranslateCoordinates(display, icon, DefaultRootWindow(display), 0, 0, &x, &y, &child);
  click(display, x + iconAt.width / 2, y + iconAt.height / 2, 3);
  XWindowAttributes menu;
  if (!waitUntil([&] { return findTopLevel(display, 40, 300, &menu) != 0; }, 10s)) return std::nullopt;
  return menu;
}

TEST(Application, AutoStartRunsTheAgentAndClosingTheWindowLeavesItRunningUntilTheTrayMenuQuits) {
  QProcess tray;  // a tray host on the screen
  tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                        "--SetDockType", "true", "--transparent", "false", "--tint", "0x303030"});
  ASSERT_TRUE(tray.waitForStarted(5000));
  TestBundle bundle;
  bundle.setScript({"write 设备 ID: 123 456 789\\n验证码: ab12cd\\n服务器: relay.example.com:21116\\n",
                    "write [agent] connected\\n"});
  RunningApplication app(bundle);
  auto ended = app.start({"--auto-start"});

  // The service run follows the identity query; by its first input it has recorded everything.
  ASSERT_TRUE(waitUntil([&] { return !bundle.readRecord("stdin.bin").empty(); }, 20s));
  // Xvfb can be read and has XTest, so both count as granted.
  EXPECT_THAT(bundle.recordLines("env.txt"), IsSupersetOf({"QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_TRUSTED=1"}));
  const std::string pids = bundle.readRecord("pid.txt");
  long agent = 0, application = 0;
  std::istringstream(pids) >> agent >> application;
  // Should the test stop early, the application is not left waiting for its 60 s.
  std::unique_ptr<long, void (*)(long*)> stopper(&application, [](long* pid) {
    if (*pid) kill(static_cast<pid_t>(*pid), SIGTERM);
  });
  std::unique_ptr<Display, int (*)(Display*)> x(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(x);
  Window icon = 0, window = 0;
  ASSERT_TRUE(waitUntil([&] { return (icon = dockedIcon(x.get())) != 0 && (window = findWindow(x.get())) != 0; }, 20s));

  // Once two pictures 150 ms apart agree, painting is over.
  QImage shot, previous;
  EXPECT_TRUE(waitUntil(
      [&] {
        previous = std::exchange(shot, QGuiApplication::primaryScreen()->grabWindow(window).toImage());
        return !shot.isNull() && shot == previous;
      },
      10s, [] { std::this_thread::sleep_for(150ms); }));
  const fs::path artifacts = fs::canonical("/proc/self/exe").parent_path().parent_path() / "test-artifacts";
  fs::create_directories(artifacts);
  EXPECT_TRUE(shot.save(QString::fromStdString((artifacts / "application-window.png").string())));
  std::set<QRgb> colours;
  for (int i = 0; i < shot.width() * shot.height(); ++i) colours.insert(shot.pixel(i % shot.width(), i / shot.width()));
  EXPECT_GT(colours.size(), 50u);  // anti-aliased text: a drawn window has many shades
  EXPECT_GT(std::count_if(colours.begin(), colours.end(), [](QRgb c) { return qGray(c) < 100; }), 5);  // some dark

  closeWindow(x.get(), window);
  EXPECT_TRUE(waitUntil([&] { return findWindow(x.get()) == 0; }, 10s));
  EXPECT_EQ(ended.wait_for(1500ms), std::future_status::timeout);
  // A second start shows the running window and ends, without an agent run of its own.
  EXPECT_EQ(app.run({"--auto-start"}), 0);
  EXPECT_TRUE(waitUntil([&] { return (window = findWindow(x.get())) != 0; }, 10s));
  EXPECT_EQ(bundle.readRecord("pid.txt"), pids);

  // The tray menu has two items of equal height: 显示窗口 above 退出.
  closeWindow(x.get(), window);
  ASSERT_TRUE(waitUntil([&] { return findWindow(x.get()) == 0; }, 10s));
  auto menu = openTrayMenu(x.get(), icon);
  ASSERT_TRUE(menu);
  click(x.get(), menu->x + menu->width / 2, menu->y + menu->height / 4, 1);
  EXPECT_TRUE(waitUntil([&] { return findWindow(x.get()) != 0; }, 10s));
  EXPECT_EQ(ended.wait_for(0s), std::future_status::timeout);
  menu = openTrayMenu(x.get(), icon);
  ASSERT_TRUE(menu);
  click(x.get(), menu->x + menu->width / 2, menu->y + menu->height * 3 / 4, 1);
  ASSERT_EQ(ended.wait_for(20s), std::future_status::ready);
  application = 0;
  EXPECT_EQ(ended.get(), 0);
  EXPECT_TRUE(waitUntil([&] { return kill(static_cast<pid_t>(agent), 0) != 0; }, 10s));
}

TEST(Application, TextCopiedOnTheDesktopReachesAnAgentThatAskedButWhatItsViewerPastedDoesNot) {
  TestBundle bundle;
  bundle.setScript({"write __QOVA_HELLO__{\"version\":1,\"want\":[\"clipboard\"]}\\n", "sleep 1000",
                    "write __QOVA_INPUT__{\"action\":\"text\",\"text\":\"粘贴 pasted\"}\\n"});
  RunningApplication app(bundle);
  auto ended = app.start({"--auto-start"});
  ASSERT_TRUE(waitUntil([&] { return !bundle.readRecord("pid.txt").empty(); }, 20s));
  long application = 0;
  std::istringstream(bundle.readRecord("pid.txt")) >> application >> application;
  std::unique_ptr<long, void (*)(long*)> stopper(&application, [](long* pid) { kill(static_cast<pid_t>(*pid), SIGTERM); });
  // Qt learns of another program's clipboard through its event loop.
  const auto pumping = [] { QCoreApplication::processEvents(), std::this_thread::sleep_for(2ms); };
  ASSERT_TRUE(waitUntil([&] { return QGuiApplication::clipboard()->text() == "粘贴 pasted"; }, 20s, pumping));
  // Past what one property holds, so the owner (Qt, here) hands it over in pieces.
  QString copied;
  for (int i = 0; copied.size() < 200000; ++i) copied += QString("复制 copied %1 ").arg(i);
  QGuiApplication::clipboard()->setText(copied);
  const std::string line = "__QOVA_CLIPBOARD__{\"text\":\"" + copied.toStdString() + "\"}\n";
  EXPECT_TRUE(waitUntil([&] { return bundle.readRecord("stdin.bin").find(line) != std::string::npos; }, 10s, pumping));
  const std::string input = bundle.readRecord("stdin.bin");
  EXPECT_EQ(input.find("__QOVA_CLIPBOARD__"), input.find(line)) << "the viewer's own paste came back";
}

// Ended, or ended and not yet reaped by whoever adopted it.
bool gone(long pid) {
  std::string state;
  std::ifstream(std::string("/proc/") + std::to_string(pid) + "/stat") >> state >> state >> state;
  return kill(static_cast<pid_t>(pid), 0) != 0 || state == "Z";
}

TEST(Application, ADisplayGoneForGoodStopsTheAgentAndEndsWithAFailure) {
  XvfbServer server(640, 480);  // not the test program's own, which must outlive this
  ASSERT_TRUE(server.running());
  TestBundle bundle;
  // An agent that ends only when told to, as one busy with a viewer would.
  bundle.setScript({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n",
                    "write __QOVA_INPUT__{\"action\":\"tap\",\"x\":10,\"y\":10}\\n", "hang"});
  RunningApplication app(bundle);
  auto ended = app.start({"--auto-start"});
  ASSERT_TRUE(
      waitUntil([&] { return bundle.readRecord("stdin.bin").find("__QOVA_FRAME_BYTES__") != std::string::npos; }, 30s));
  long agent = 0;
  std::istringstream(bundle.readRecord("pid.txt")) >> agent;

  server.stop();
  ASSERT_EQ(ended.wait_for(20s), std::future_status::ready);
  const std::optional<int> status = ended.get();
  ASSERT_TRUE(status.has_value());  // an exit of its own, not a signal
  EXPECT_NE(*status, 0);
  EXPECT_TRUE(waitUntil([&] { return gone(agent); }, 10s));
  if (!gone(agent)) kill(static_cast<pid_t>(agent), SIGKILL);  // it would hang forever
}

}  // namespace
}  // namespace qova::test
