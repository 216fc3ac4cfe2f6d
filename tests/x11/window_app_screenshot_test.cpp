// The real application, started as a user would with the test agent in its bundle. Its window is
// photographed into <build>/test-artifacts for a person to look at.
#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <algorithm>
#include <filesystem>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include "platform/linux/posix/posix_process_launcher.h"
#include "support/test_bundle.h"

#include <X11/Xlib.h>

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::IsSupersetOf;

// The application's shown window, or 0.
Window findWindow(Display* display) {
  Window root = 0, parent = 0, *children = nullptr, found = 0;
  unsigned count = 0;
  XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes attributes;
    char* name = nullptr;
    if (XGetWindowAttributes(display, children[i], &attributes) && attributes.map_state == IsViewable &&
        XFetchName(display, children[i], &name) && std::string_view(name) == "QOVA Lumaro Agent") {
      found = children[i];
    }
    if (name) XFree(name);
  }
  if (children) XFree(children);
  return found;
}

TEST(Application, AutoStartRunsTheBundledAgentAndClosingTheWindowLeavesItRunningUntilTerminated) {
  TestBundle bundle;
  const std::string executable = bundle.bundle() + "/Contents/MacOS/QOVA Lumaro Agent";
  fs::create_directories(fs::path(executable).parent_path());
  fs::copy_file(QOVA_APP_PATH, executable);
  bundle.setScript({"write 设备 ID: 123 456 789\\n验证码: ab12cd\\n服务器: relay.example.com:21116\\n",
                    "write [agent] connected\\n"});
  PosixProcessLauncher launcher;
  auto ended = std::async(std::launch::async, [&] {
    return launcher.runAndWait({"/usr/bin/env", {"XDG_STATE_HOME=" + bundle.root(), executable, "--auto-start"}},
                               60s);  // log in the bundle
  });

  // The service run follows the identity query; by its first input it has recorded everything.
  ASSERT_TRUE(waitUntil([&] { return !bundle.readRecord("stdin.bin").empty(); }, 20s));
  EXPECT_EQ(bundle.recordLines("argv.txt"), std::vector<std::string>{"--nogui"});
  // Xvfb can be read and has XTest, so both count as granted.
  EXPECT_THAT(bundle.recordLines("env.txt"), IsSupersetOf({"QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_TRUSTED=1"}));
  long agent = 0, application = 0;
  std::istringstream(bundle.readRecord("pid.txt")) >> agent >> application;

  std::unique_ptr<Display, int (*)(Display*)> x(XOpenDisplay(nullptr), XCloseDisplay);
  ASSERT_TRUE(x);
  Window window = 0;
  ASSERT_TRUE(waitUntil([&] { return (window = findWindow(x.get())) != 0; }, 20s));

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

  XEvent close{};
  close.xclient = {ClientMessage, 0, False, x.get(), window, XInternAtom(x.get(), "WM_PROTOCOLS", False), 32, {}};
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(x.get(), "WM_DELETE_WINDOW", False));
  close.xclient.data.l[1] = CurrentTime;
  XSendEvent(x.get(), window, False, NoEventMask, &close);
  XFlush(x.get());
  EXPECT_TRUE(waitUntil([&] { return findWindow(x.get()) == 0; }, 10s));
  EXPECT_EQ(ended.wait_for(1500ms), std::future_status::timeout);

  kill(static_cast<pid_t>(application), SIGTERM);
  ASSERT_EQ(ended.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(ended.get(), 0);
  EXPECT_TRUE(waitUntil([&] { return kill(static_cast<pid_t>(agent), 0) != 0; }, 10s));
}

}  // namespace
}  // namespace qova::test
