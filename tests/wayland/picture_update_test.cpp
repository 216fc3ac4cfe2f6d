// The richer picture on a real sway: the updates of an opt-in capture, decoded and painted over the
// picture they follow, give back the screen exactly wherever they were lossless, through a change,
// a window move and a resize.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/serial_queue.h"
#include "capture/capture_session.h"
#include "capture/frame_pacer.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/wayland/wlroots_screen_capture.h"
#include "support/painting_host.h"
#include "support/recording_stream_client.h"
#include "support/sway_session.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

// The whole output as it is now, through a stream of the test's own.
std::optional<PixelBuffer> screenNow(WlrootsScreenCapture& capture) {
  const auto display = capture.shareableContent()->displays.at(0);
  auto client = std::make_shared<RecordingClient>();
  auto stream = capture.makeStream(
      display, {display.width, display.height, {1, 30}, 1, false, false, std::make_shared<FramePacer>(0ms)}, client,
      std::make_shared<SerialQueue>("test.truth"));
  if (!stream || !stream->startCapture()) return std::nullopt;
  const auto first = client->waitFor(0, isComplete);
  stream->stopCapture();
  return first ? client->all()[*first].imageBuffer : std::nullopt;
}

TEST(WlrootsPictureUpdates, PaintedOverThePictureBeforeGiveBackTheScreenExactlyWhereLossless) {
  // A window of flat colours with no title, floating where the test puts it.
  SwaySession sway(
      "output * bg #336699 solid_color\ndefault_floating_border pixel 3\n"
      "for_window [title=\".*\"] fullscreen disable, floating enable, resize set 400 300, "
      "move position 100 100\n");
  ASSERT_TRUE(sway.running());
  const pid_t window = fork();
  if (window == 0)
    freopen("/dev/null", "w", stdout), execl(QOVA_INPUT_LOG_CLIENT, QOVA_INPUT_LOG_CLIENT, nullptr), _exit(127);
  const std::shared_ptr<void> closing(nullptr, [&](void*) { kill(window, SIGKILL), waitpid(window, nullptr, 0); });
  ASSERT_TRUE(
      waitUntil([&] { return sway.message("-t get_tree").find("qova_input_log_client") != std::string::npos; }, 10s));
  FakePlatformServices fakes;
  auto host = std::make_shared<PaintingHost>();
  auto capture = std::make_shared<WlrootsScreenCapture>();
  auto session = std::make_shared<CaptureSession>(capture, fakes.permissions, std::make_shared<TurboJpegImaging>(),
                                                  fakes.mainQueue);
  session->handleCaptureBridge(R"({"action":"start","picture":{"version":1}})", host);
  const std::pair<const char*, const char*> steps[] = {
      {"first picture", "nop"},
      {"a change", "output '*' bg '#cc3311' solid_color"},
      {"a window move", "[title=\".*\"] move position 700 350"},
      {"a resize", "-- output HEADLESS-1 mode --custom 1024x768"},
  };
  // Flat colours only: all of it lossless.
  const auto exact = [&] {
    const auto screen = screenNow(*capture);
    return screen && heldEquals(*host, *screen, {0, 0, screen->width, screen->height});
  };
  for (const auto& [name, command] : steps) {
    sway.message(command);
    // Lossy areas are made exact on the main queue's timers, whose clock the test moves along.
    bool ok = false;  // the screen may still change after it matched once
    waitUntil([&] { return ok || (ok = exact()); }, 10s,
              [&] {
                std::this_thread::sleep_for(100ms);
                fakes.mainQueue->advance(100ms);
              });
    EXPECT_TRUE(ok) << name;
  }
  session->stopCaptureBridge();
  session->captureQueue->drain();
}

}  // namespace
}  // namespace qova::test
