// GNOME's compositor, headless, started by each test on the private session bus and PipeWire that
// session_bus.sh gives the program: its screen cast over PipeWire, input into its session, its
// clipboard, and the real application using them.
#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <nlohmann/json.hpp>

#include "base/serial_queue.h"
#include "capture/capture_session.h"
#include "capture/frame_pacer.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/gnome/gnome_services.h"
#include "platform/linux/gnome/mutter_event_poster.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/gnome/pipewire_screen_capture.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "support/recorded_frames.h"
#include "support/recording_stream_client.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

struct HeadlessMutter {
  pid_t pid = -1;
  int started = 0;
  std::string socket;
  std::vector<const char*> monitors = {"1280x720"};
  bool start() {
    // A socket name of its own: one left by a compositor killed earlier may still hold the first.
    socket = "qova-mutter-" + std::to_string(getpid()) + "-" + std::to_string(++started);
    pid = fork();
    if (pid == 0) {
      std::vector<const char*> argv = {"mutter", "--headless", "--wayland", "--no-x11", "--wayland-display", socket.c_str()};
      for (const char* size : monitors) argv.insert(argv.end(), {"--virtual-monitor", size});
      argv.push_back(nullptr);
      execvp("mutter", const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    return waitUntil(gnomeRemoteDesktopAvailable, 10s, [] { std::this_thread::sleep_for(50ms); });
  }
  // As a crash ends it: Mutter 43 asked to end with a screen cast running spins in its clean-up.
  void stop() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~HeadlessMutter() { stop(); }
};

// Another client of the compositor with a remote-desktop session of its own, reading what the
// application leaves in the session's shared state.
struct Peer {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  std::string path;
  GVariant* call(const char* method, GVariant* args, GUnixFDList** fds = nullptr) {
    return g_dbus_connection_call_with_unix_fd_list_sync(bus, "org.gnome.Mutter.RemoteDesktop", path.c_str(),
                                                         "org.gnome.Mutter.RemoteDesktop.Session", method, args,
                                                         nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, fds, nullptr,
                                                         nullptr);
  }
  Peer() {
    g_autoptr(GVariant) made = g_dbus_connection_call_sync(
        bus, "org.gnome.Mutter.RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
        "CreateSession", nullptr, G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (!made) return;
    const char* made_path = nullptr;
    g_variant_get(made, "(&o)", &made_path);
    path = made_path;
    for (GVariant* reply : {call("Start", nullptr), call("EnableClipboard", g_variant_new_parsed("(@a{sv} {},)"))}) {
      if (reply) g_variant_unref(reply);
    }
  }
  ~Peer() {
    if (GVariant* reply = call("Stop", nullptr)) g_variant_unref(reply);
    g_object_unref(bus);
  }
  std::string clipboardText() {
    g_autoptr(GUnixFDList) fds = nullptr;
    g_autoptr(GVariant) reply = call("SelectionRead", g_variant_new("(s)", "text/plain;charset=utf-8"), &fds);
    if (!reply || !fds) return {};
    const int fd = g_unix_fd_list_get(fds, 0, nullptr);
    std::string text;
    char chunk[4096];
    // The compositor hands out a non-blocking descriptor.
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 2000) > 0;) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return text;
  }
};

// Pixels that differ between two frames of the same size.
int changedPixels(const PixelBuffer& a, const PixelBuffer& b) {
  int changed = 0;
  for (int y = 0; y < a.height; ++y) {
    changed += std::memcmp(a.data + y * a.bytesPerRow, b.data + y * b.bytesPerRow, size_t(a.width) * 4) != 0;
  }
  return changed;
}

struct GnomeStream {
  std::shared_ptr<MutterSession> session = MutterSession::create();
  PipeWireScreenCapture capture{session};
  std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
  std::shared_ptr<ScreenStream> stream;
  intptr_t depth = 2;
  std::chrono::milliseconds interval = 33ms;  // the pacing's; the compositor is asked for 30 fps
  bool reportsCursor = false;
  bool start(std::optional<CaptureDisplay> display = std::nullopt) {
    const auto content = capture.shareableContent();
    if (!display && (!content || content->displays.size() != 1)) return false;
    stream = capture.makeStream(
        display.value_or(content->displays[0]),
        {640, 360, {1, 30}, depth, !reportsCursor, reportsCursor, std::make_shared<FramePacer>(interval)}, client,
        std::make_shared<SerialQueue>("test.stream"));
    return stream && stream->startCapture();
  }
  // Waits until no sample has come for half a second; the number of samples then.
  size_t settled() {
    size_t count = 0;
    waitUntil([&] { return std::exchange(count, client->all().size()) == client->all().size(); }, 10s,
              [] { std::this_thread::sleep_for(500ms); });
    return count;
  }
};

TEST(GnomeSession, FramesComeOnlyOnChangeWithTheCursorAndAStoppedStreamStartsAgain) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  GnomeStream s;
  EXPECT_EQ(s.capture.shareableContent()->displays[0].width, 1280);
  ASSERT_TRUE(s.start());
  MutterEventPoster poster(s.session);
  poster.moveCursor(100, 100);
  ASSERT_TRUE(s.client->waitFor(0, isComplete));
  const size_t still = s.settled();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(s.client->all().size(), still) << "a still screen sends nothing";
  const PixelBuffer before = *s.client->all().back().imageBuffer;
  EXPECT_EQ(std::make_pair(before.width, before.height), std::make_pair(640, 360));

  poster.moveCursor(900, 500);
  const auto moved = s.client->waitFor(still, isComplete);
  ASSERT_TRUE(moved);
  EXPECT_GT(changedPixels(before, *s.client->all()[*moved].imageBuffer), 5) << "the cursor is drawn in";

  // Stopped, nothing more comes; started again, the stream serves again.
  ASSERT_TRUE(s.stream->stopCapture());
  const size_t stopped = s.client->all().size();
  poster.moveCursor(300, 300);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(s.client->all().size(), stopped);
  ASSERT_TRUE(s.stream->startCapture());
  EXPECT_TRUE(s.client->waitFor(stopped, isComplete));
  EXPECT_EQ(s.client->stops, 0);
}

TEST(GnomeSession, AReportedCursorStaysOutOfTheFramesAndFollowsTheMoves) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  GnomeStream s;
  s.reportsCursor = true;
  ASSERT_TRUE(s.capture.canReportCursor());
  ASSERT_TRUE(s.start());
  MutterEventPoster poster(s.session);
  poster.moveCursor(100, 100);
  const auto at = [](int64_t x, int64_t y) {
    return [=](const ScreenSample& s) { return s.cursor && s.cursor->visible && s.cursor->x == x && s.cursor->y == y; };
  };
  const auto first = s.client->waitFor(0, at(100, 100));
  ASSERT_TRUE(first);
  EXPECT_GT(s.client->all()[*first].cursor->image->width, 0);
  const size_t still = s.settled();

  poster.moveCursor(900, 500);
  const auto moved = s.client->waitFor(still, at(900, 500));
  ASSERT_TRUE(moved);
  s.settled();
  // Mutter repaints a headless screen for a move, with the cursor left out: the same pixels.
  const auto samples = s.client->all();
  std::optional<PixelBuffer> before;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (!samples[i].imageBuffer) continue;
    if (before && i >= still) EXPECT_EQ(changedPixels(*before, *samples[i].imageBuffer), 0) << "no cursor drawn in";
    before = samples[i].imageBuffer;
  }
}

TEST(GnomeSession, AFrameWithinThePacingIntervalIsSentAsTheIntervalEndsWithoutAnotherChange) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  GnomeStream s;
  s.interval = 1s;
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(s.client->waitFor(0, isComplete));
  MutterEventPoster(s.session).moveCursor(500, 300);
  const auto next = s.client->waitFor(1, isComplete);
  ASSERT_TRUE(next);
  EXPECT_GE(s.client->all()[*next].presentationTime - s.client->all()[0].presentationTime, 950ms);
}

TEST(GnomeSession, ACompositorGoneStopsTheStreamOnceAndARestartedOneServesAgain) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  GnomeStream first;
  ASSERT_TRUE(first.start());
  ASSERT_TRUE(first.client->waitFor(0, isComplete));
  mutter.stop();
  EXPECT_TRUE(waitUntil([&] { return first.client->stops == 1; }, 10s));
  EXPECT_FALSE(first.session->ensure());
  ASSERT_TRUE(mutter.start());
  std::this_thread::sleep_for(1s);  // past the pause between attempts
  GnomeStream again;
  again.session = first.session;
  ASSERT_TRUE(again.start());
  EXPECT_TRUE(again.client->waitFor(0, isComplete));
  EXPECT_EQ(first.client->stops, 1);
}

TEST(GnomeSession, EachMonitorIsADisplayAndAStreamRecordsTheOneItIsMadeFor) {
  HeadlessMutter mutter;
  mutter.monitors = {"1280x720", "800x600"};
  ASSERT_TRUE(mutter.start());
  GnomeStream s;
  const auto content = s.capture.shareableContent();
  ASSERT_TRUE(content && content->displays.size() == 2);
  const auto other = content->displays[0].displayId == s.capture.mainDisplayId() ? content->displays[1]
                                                                                 : content->displays[0];
  EXPECT_NE(other.x, 0);
  ASSERT_TRUE(s.start(other));
  EXPECT_TRUE(s.client->waitFor(0, isComplete));
  const auto recorded = s.session->ensure();
  ASSERT_TRUE(recorded);
  EXPECT_EQ(std::make_tuple(recorded->x, recorded->width, recorded->height),
            std::make_tuple(other.x, other.width, other.height));
}

// A window of its own on the compositor (tests/gnome/input_log_client.cpp), with the lines it printed
// for the input that reached it.
struct InputLogClient {
  std::string log = std::filesystem::temp_directory_path() / ("qova-input-" + std::to_string(getpid()) + ".log");
  pid_t pid = -1;
  InputLogClient() {
    pid = fork();
    if (pid == 0) {
      freopen(log.c_str(), "w", stdout);
      execl(QOVA_INPUT_LOG_CLIENT, QOVA_INPUT_LOG_CLIENT, nullptr);
      _exit(127);
    }
  }
  ~InputLogClient() {
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    std::filesystem::remove(log);
  }
  std::string printed() {
    std::ostringstream text;
    text << std::ifstream(log).rdbuf();
    return text.str();
  }
  bool printed(const std::string& line) { return ("\n" + printed()).find("\n" + line + "\n") != std::string::npos; }
};

TEST(GnomeSession, EveryEventOfANewSessionReachesTheFocusedWindowTheFirstClickAndKeyIncluded) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  setenv("WAYLAND_DISPLAY", mutter.socket.c_str(), 1);  // as the application has it
  InputLogClient window;
  ASSERT_TRUE(waitUntil([&] { return window.printed("active"); }, 10s));
  MutterEventPoster poster(MutterSession::create());
  // The very first events make the session.
  poster.postMouseEvent(MouseEventType::leftMouseDown, 640, 360, MouseButton::left);
  poster.postMouseEvent(MouseEventType::leftMouseUp, 640, 360, MouseButton::left);
  poster.postScrollWheel(1);
  for (bool down : {true, false}) poster.postKeyEvent(0, down, kModifierShift);  // A
  poster.postCharacter(U'@');  // the compositor finds Shift and the key in its layout
  for (const char* line : {"motion 640 360", "press 1", "release 1", "wheel 120", "key A shift=1", "key @ shift=1"}) {
    EXPECT_TRUE(waitUntil([&] { return window.printed(line); }, 5s)) << line << " not in:\n" << window.printed();
  }
}

TEST(GnomeSession, TextAnotherSessionCopiesIsToldButOurOwnIsNot) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  auto ours = createGnomeServices(), other = createGnomeServices();
  std::mutex mutex;
  std::vector<std::string> told;
  const auto seen = [&] {
    std::lock_guard lock(mutex);
    return told;
  };
  ours.pasteboardWatcher->watchPasteboard(
      [&](std::string text) {
        std::lock_guard lock(mutex);
        told.push_back(std::move(text));
      },
      1 << 20);
  ASSERT_TRUE(ours.pasteboard->setString("ours"));  // the session is made, and watched from then on
  ASSERT_TRUE(other.pasteboard->setString("复制 copied"));
  EXPECT_TRUE(waitUntil([&] { return !seen().empty(); }, 10s));
  ours.pasteboardWatcher->stopWatchingPasteboard();
  EXPECT_EQ(seen(), std::vector<std::string>{"复制 copied"});
}

TEST(GnomeSession, TheApplicationStreamsTheMonitorAndPastesThroughTheSessionClipboard) {
  HeadlessMutter mutter;
  ASSERT_TRUE(mutter.start());
  TestBundle bundle;
  bundle.setScript({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n",
                    "write __QOVA_INPUT__{\"action\":\"text\",\"text\":\"grüße 你好\"}\\n", "hang"});
  const std::string app = bundle.bundle() + "/Contents/MacOS/QOVA Lumaro Agent";
  std::filesystem::create_directories(std::filesystem::path(app).parent_path());
  std::filesystem::copy_file(QOVA_APP_PATH, app);
  PosixProcessLauncher launcher;
  auto ended = std::async(std::launch::async, [&] {
    return launcher.runAndWait({"/usr/bin/env",
                                {"XDG_STATE_HOME=" + bundle.root(), "WAYLAND_DISPLAY=" + mutter.socket, app, "--auto-start"}},
                               60s);
  });
  Peer peer;
  // Read once per try: a read right after another may be refused while the compositor finishes it.
  std::string pasted;
  waitUntil([&] { return pasted == "grüße 你好" || (pasted = peer.clipboardText()) == "grüße 你好"; }, 20s,
            [] { std::this_thread::sleep_for(200ms); });
  EXPECT_EQ(pasted, "grüße 你好");
  // The application's window on Mutter is drawn a moment after the first frames; the last is kept once they stop.
  const auto frames = [&] { return recordedFrames(bundle.readRecord("stdin.bin"), "gnome-frame.jpg"); };
  ASSERT_TRUE(waitUntil([&] { return !frames().empty(); }, 20s));
  size_t count = 0;
  waitUntil([&] { return std::exchange(count, frames().size()) == count; }, 10s,
            [] { std::this_thread::sleep_for(1s); });
  const auto last = frames().back();
  EXPECT_EQ(std::make_pair(last.header["inputWidth"].get<int>(), last.header["inputHeight"].get<int>()),
            std::make_pair(1280, 720));
  EXPECT_EQ(std::make_pair(last.width, last.height),
            std::make_pair(last.header["width"].get<int>(), last.header["height"].get<int>()));
  const auto env = bundle.recordLines("env.txt");
  for (const char* granted : {"QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_TRUSTED=1"}) {
    EXPECT_NE(std::find(env.begin(), env.end(), granted), env.end()) << granted;
  }
  long agent = 0, application = 0;
  std::istringstream(bundle.readRecord("pid.txt")) >> agent >> application;
  kill(static_cast<pid_t>(application), SIGTERM);
  EXPECT_EQ(ended.wait_for(20s), std::future_status::ready);
}

}  // namespace
}  // namespace qova::test
