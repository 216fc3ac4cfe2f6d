// The time from a change of the screen to the sample that shows it, through the real capture
// stream at 10 fps: the pointer is moved (the cursor is drawn into frames) every 150 ms, and the
// first complete sample made after each move is awaited. X11 (XTest and the MIT-SHM stream on
// $DISPLAY) by default; with QOVA_DESKTOP_BACKEND=wlroots the wlroots pointer and stream on
// $WAYLAND_DISPLAY; with QOVA_DESKTOP_BACKEND=gnome GNOME's session on the session bus. Adding the frame pipeline's sample-to-pipe time (capture_cpu_bench) gives the
// change-to-pipe latency.
// Usage: capture_change_latency_bench [moves]
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/frame_pacer.h"
#include "base/serial_queue.h"
#include "platform/linux/gnome/gnome_services.h"
#include "platform/linux/wayland/wlroots_input.h"
#include "platform/linux/wayland/wlroots_screen_capture.h"
#include "platform/linux/xshm_screen_capture.h"
#include "platform/linux/xtest_event_poster.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Waiter : qova::ScreenStreamClient {
  void didOutputSample(const qova::ScreenSample& sample) override {
    if (sample.status != qova::FrameStatus::complete) return;
    std::lock_guard lock(mutex);
    latest = sample.presentationTime;
    arrived.notify_all();
  }
  void didStopWithError() override {}
  // The time of the first complete sample made after `since`, or nothing within a second.
  std::optional<Clock::time_point> after(Clock::time_point since) {
    std::unique_lock lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(1), [&] { return latest > since; })) return std::nullopt;
    return latest;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  Clock::time_point latest{};
};

}  // namespace

int main(int argc, char** argv) {
  const int moves = argc > 1 ? std::atoi(argv[1]) : 100;
  const char* backend = std::getenv("QOVA_DESKTOP_BACKEND");
  const bool wlroots = backend && std::string(backend) == "wlroots";
  std::shared_ptr<qova::ScreenCapture> capture =
      wlroots ? std::shared_ptr<qova::ScreenCapture>(std::make_shared<qova::WlrootsScreenCapture>())
              : std::make_shared<qova::XShmScreenCapture>();
  std::shared_ptr<qova::EventPoster> pointer =
      wlroots ? std::shared_ptr<qova::EventPoster>(std::make_shared<qova::WlrootsInput>())
              : std::make_shared<qova::XTestEventPoster>();
  if (backend && std::string(backend) == "gnome") {
    const auto gnome = qova::createGnomeServices();
    capture = gnome.screenCapture;
    pointer = gnome.eventPoster;
  }
  const auto content = capture->shareableContent();
  if (!content || content->displays.empty()) return std::fprintf(stderr, "no display\n"), 1;
  const auto display = content->displays.front();
  auto waiter = std::make_shared<Waiter>();
  auto stream = capture->makeStream(display, {1280, 720, {1, 10}, 2, true, false, std::make_shared<qova::FramePacer>(std::chrono::milliseconds(100))}, waiter,
                                    std::make_shared<qova::SerialQueue>("bench.stream"));
  if (!stream || !stream->startCapture()) return std::fprintf(stderr, "no stream\n"), 1;
  std::vector<double> latencies;
  int missed = 0;
  for (int i = 0; i < moves; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const auto moved = Clock::now();
    pointer->moveCursor(static_cast<double>(display.width) / 3 + (i % 2) * 40, static_cast<double>(display.height) / 3);
    if (const auto shown = waiter->after(moved)) {
      latencies.push_back(std::chrono::duration<double, std::milli>(*shown - moved).count());
    } else {
      ++missed;
    }
  }
  stream->stopCapture();
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * static_cast<double>(latencies.size() - 1))];
  };
  std::printf("change to sample: median %.1f ms, p90 %.1f ms, max %.1f ms over %zu changes (%d not seen)\n", at(0.5),
              at(0.9), at(1.0), latencies.size(), missed);
  return 0;
}
