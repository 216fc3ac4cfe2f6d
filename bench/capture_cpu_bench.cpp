// The real capture path end to end, as the application runs it: the controller, the X11 stream on
// $DISPLAY, libyuv and TurboJPEG, and frame messages written to a child's input (the child only
// discards them). Reports the time from the agent's launch to its first whole frame, this process's
// CPU per frame sent, the time from a sample to the last JPEG byte written to the pipe, and resident
// memory. With --after-quiet it instead changes a corner of a still screen (or, with --pointer-after-quiet,
// moves the pointer over it) once a second and reports the
// time from each change to the last byte of the frame showing it in the pipe.
// With QOVA_BENCH_PICTURE set the agent asks for the richer picture (tile updates) instead.
// Usage: capture_cpu_bench <seconds> [--after-quiet | --pointer-after-quiet]
#include <sys/resource.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/app_delegate.h"
#include "base/serial_queue.h"
#include "capture/capture_session.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/gnome/gnome_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/wayland/wlroots_permissions.h"
#include "platform/linux/wayland/wlroots_screen_capture.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xshm_screen_capture.h"

namespace qova {
namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// What the measurement shares between the stream's queue and the agent input queue.
struct Timing {
  std::mutex mutex;
  std::weak_ptr<CaptureSession> session;
  Clock::time_point launched;        // the agent's launch was asked
  double firstFrameMs = -1;          // from the launch to the first frame's last byte in the pipe
  Clock::time_point acceptedSample;  // the newest sample offered while no frame was pending
  std::vector<double> latenciesMs;
  Clock::time_point lastFrameDone;
  std::atomic<long> frames{0};
  std::atomic<long> jpegBytes{0};
};

class TimingClient : public ScreenStreamClient {
 public:
  TimingClient(std::shared_ptr<ScreenStreamClient> inner, std::shared_ptr<Timing> timing)
      : inner_(std::move(inner)), timing_(std::move(timing)) {}
  void didOutputSample(const ScreenSample& sample) override {
    if (auto session = timing_->session.lock()) {
      bool pending;
      {
        std::lock_guard lock(session->frameWriteLock);
        pending = session->frameWritePending;
      }
      // Only a sample offered while nothing is pending can become the next frame written.
      if (!pending && sample.imageBuffer) {
        std::lock_guard lock(timing_->mutex);
        timing_->acceptedSample = sample.presentationTime;
      }
    }
    inner_->didOutputSample(sample);
  }
  void didStopWithError() override { inner_->didStopWithError(); }

 private:
  std::shared_ptr<ScreenStreamClient> inner_;
  std::shared_ptr<Timing> timing_;
};

class TimingCapture : public ScreenCapture {
 public:
  TimingCapture(std::shared_ptr<ScreenCapture> inner, std::shared_ptr<Timing> timing)
      : inner_(std::move(inner)), timing_(std::move(timing)) {}
  std::optional<ShareableContent> shareableContent() override { return inner_->shareableContent(); }
  uint32_t mainDisplayId() override { return inner_->mainDisplayId(); }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override {
    return inner_->makeStream(display, configuration, std::make_shared<TimingClient>(std::move(client), timing_),
                              std::move(queue));
  }

 private:
  std::shared_ptr<ScreenCapture> inner_;
  std::shared_ptr<Timing> timing_;
};

// The agent's input: a frame is done when its JPEG bytes (the second write) are in the pipe.
class TimingPipe : public InputPipe {
 public:
  TimingPipe(std::shared_ptr<InputPipe> inner, std::shared_ptr<Timing> timing)
      : inner_(std::move(inner)), timing_(std::move(timing)) {}
  bool writeAll(std::string_view bytes) override {
    const bool header = bytes.rfind("__QOVA_FRAME_BYTES__", 0) == 0 || bytes.rfind("__QOVA_UPDATE_BYTES__", 0) == 0;
    const bool ok = inner_->writeAll(bytes);
    if (ok && afterHeader_) {
      const auto done = Clock::now();
      std::lock_guard lock(timing_->mutex);
      if (timing_->firstFrameMs < 0) {
        timing_->firstFrameMs = std::chrono::duration<double, std::milli>(done - timing_->launched).count();
      }
      timing_->latenciesMs.push_back(std::chrono::duration<double, std::milli>(done - timing_->acceptedSample).count());
      timing_->lastFrameDone = done;
      timing_->frames += 1;
      timing_->jpegBytes += static_cast<long>(bytes.size());
    }
    afterHeader_ = header;
    return ok;
  }
  void close() override { inner_->close(); }

 private:
  std::shared_ptr<InputPipe> inner_;
  std::shared_ptr<Timing> timing_;
  bool afterHeader_ = false;  // agentInputQueue only
};

class TimingLauncher : public PosixProcessLauncher {
 public:
  explicit TimingLauncher(std::shared_ptr<Timing> timing) : timing_(std::move(timing)) {}
  std::optional<LaunchedChild> launch(const CommandLine& command, const std::vector<std::string>& environment,
                                      ChildHandlers handlers) override {
    auto child = PosixProcessLauncher::launch(command, environment, std::move(handlers));
    if (child) child->input = std::make_shared<TimingPipe>(child->input, timing_);
    return child;
  }

 private:
  std::shared_ptr<Timing> timing_;
};

// Of values sorted ascending; 0 for none.
double percentile(const std::vector<double>& sorted, double p) {
  return sorted.empty() ? 0.0 : sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// A small window repainted in a new colour after each second of stillness; the frame that follows a
// change is the one showing it, since nothing else changes. Each quiet spell is a second plus a
// random part of the frame interval, so that changes fall at every phase of a fixed tick.
void measureAfterQuiet(double seconds, bool pointer, Timing& timing, test::ManualMainQueue& mainQueue) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 40, 40, 64, 64, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  xcb_flush(c);
  std::vector<double> latencies;
  for (uint32_t colour = 0x3060A0; latencies.size() < static_cast<size_t>(seconds); colour += 0x0F0B07) {
    mainQueue.pumpUntil([] { return false; }, std::chrono::milliseconds(1000 + std::rand() % 100));
    const long before = timing.frames.load();
    if (pointer) {
      xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, screen->root,
                          static_cast<int16_t>(300 + colour % 400), 300, 0);
    } else {
      xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXEL, &colour);
      xcb_clear_area(c, 0, window, 0, 0, 0, 0);
    }
    const auto changed = Clock::now();
    xcb_flush(c);
    if (!mainQueue.pumpUntil([&] { return timing.frames.load() > before; }, std::chrono::seconds(2))) continue;
    std::lock_guard lock(timing.mutex);
    latencies.push_back(std::chrono::duration<double, std::milli>(timing.lastFrameDone - changed).count());
  }
  xcb_disconnect(c);
  std::sort(latencies.begin(), latencies.end());
  std::printf(
      "change after 1 s of quiet to last byte in the pipe: %zu changes, median %.2f ms, p90 %.2f ms, max %.2f ms\n",
      latencies.size(), percentile(latencies, 0.5), percentile(latencies, 0.9), percentile(latencies, 1.0));
}

// CPU per frame, sample-to-last-byte latency and memory while the screen keeps changing.
void measureSteady(double seconds, Timing& timing, test::ManualMainQueue& mainQueue) {
  const long rssStart = residentKiB();
  const long framesStart = timing.frames.load();
  const double cpuStart = cpuSeconds();
  const auto wallStart = Clock::now();
  {
    std::lock_guard lock(timing.mutex);
    timing.latenciesMs.clear();
  }
  long rssMax = rssStart;
  std::string rssTrace;
  for (int step = 1; Clock::now() - wallStart < std::chrono::duration<double>(seconds); ++step) {
    mainQueue.pumpUntil([] { return false; }, std::chrono::milliseconds(500));
    rssMax = std::max(rssMax, residentKiB());
    if (step % 120 == 0) rssTrace += " " + std::to_string(residentKiB());  // once a minute
  }
  const double cpu = cpuSeconds() - cpuStart;
  const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const long frames = timing.frames.load() - framesStart;
  std::vector<double> latencies;
  {
    std::lock_guard lock(timing.mutex);
    latencies = timing.latenciesMs;
  }
  std::sort(latencies.begin(), latencies.end());
  {
    std::lock_guard lock(timing.mutex);
    std::printf("first frame %.0f ms after the agent's launch\n", timing.firstFrameMs);
  }
  std::printf(
      "frames %ld in %.1f s (%.1f/s), cpu %.1f%% of a core, cpu/frame %.2f ms, sample-to-last-byte median %.2f ms "
      "p90 %.2f ms, jpeg %.0f bytes/frame, rss start %ld KiB max %ld KiB end %ld KiB\n",
      frames, wall, static_cast<double>(frames) / wall, 100.0 * cpu / wall,
      frames ? 1000.0 * cpu / static_cast<double>(frames) : 0.0, percentile(latencies, 0.5), percentile(latencies, 0.9),
      frames ? static_cast<double>(timing.jpegBytes.load()) / static_cast<double>(timing.frames.load()) : 0.0, rssStart,
      rssMax, residentKiB());
  if (!rssTrace.empty()) std::printf("rss KiB each minute:%s\n", rssTrace.c_str());
}

}  // namespace
}  // namespace qova

int main(int argc, char** argv) {
  using namespace qova;
  const double seconds = argc > 1 ? std::stod(argv[1]) : 10.0;
  const std::string mode = argc > 2 ? argv[2] : "";
  const bool afterQuiet = mode == "--after-quiet" || mode == "--pointer-after-quiet";

  // A bundle whose agent asks for capture and then discards its input.
  const auto root = std::filesystem::temp_directory_path() / ("qova-bench-" + std::to_string(getpid()));
  const auto agentDir = root / "QOVA Lumaro Agent.app/Contents/Resources/agent-bin";
  std::filesystem::create_directories(agentDir);
  {
    std::ofstream agent(agentDir / "qova-agent-helper");
    agent << "#!/bin/sh\n"
          << "[ \"$1\" = --show-id ] && exit 0\n"
          << (std::getenv("QOVA_BENCH_PICTURE")
                  ? "echo '__QOVA_CAPTURE__{\"action\":\"start\",\"picture\":{\"version\":1}}'\n"
                  : "echo '__QOVA_CAPTURE__{\"action\":\"start\"}'\n")
          << "exec cat > /dev/null\n";
  }
  std::filesystem::permissions(agentDir / "qova-agent-helper", std::filesystem::perms::owner_all);

  auto timing = std::make_shared<Timing>();
  test::FakePlatformServices fakes;
  fakes.workspace->bundle = (root / "QOVA Lumaro Agent.app").string();
  PlatformServices services = fakes.services();
  services.processes = std::make_shared<TimingLauncher>(timing);
  // QOVA_DESKTOP_BACKEND=wlroots: the wlroots stream on $WAYLAND_DISPLAY instead; =gnome: GNOME's
  // screen cast of the session bus's compositor, whose pointer this bench moves every 100 ms (the
  // cursor is drawn into the frames) unless QOVA_BENCH_STILL_SCREEN is set.
  const char* backend = std::getenv("QOVA_DESKTOP_BACKEND");
  const bool wlroots = backend && std::string(backend) == "wlroots";
  const bool gnome = backend && std::string(backend) == "gnome";
  const bool quiet = std::getenv("QOVA_BENCH_STILL_SCREEN") != nullptr;
  GnomeServices desktop;
  if (gnome) desktop = createGnomeServices();
  std::shared_ptr<ScreenCapture> capture = std::make_shared<XShmScreenCapture>();
  services.permissions = std::make_shared<X11Permissions>();
  if (wlroots) {
    capture = std::make_shared<WlrootsScreenCapture>();
    services.permissions = std::make_shared<WlrootsPermissions>();
  } else if (gnome) {
    capture = desktop.screenCapture;
    services.permissions = desktop.permissions;
  }
  services.screenCapture = std::make_shared<TimingCapture>(capture, timing);
  services.imaging = std::make_shared<TurboJpegImaging>();
  auto delegate = std::make_shared<AppDelegate>(services);
  timing->session = delegate->capture;
  timing->launched = Clock::now();
  delegate->startAgent();

  std::atomic<bool> moving{gnome && !quiet};
  std::thread mover([&] {
    for (int step = 0; moving; ++step) {
      desktop.eventPoster->moveCursor(200 + 100 * (step % 8), 300);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  // Warm-up: the first frames pay for page faults and encoder set-up.
  fakes.mainQueue->pumpUntil([&] { return timing->frames.load() >= 1; }, std::chrono::seconds(10));
  fakes.mainQueue->pumpUntil([] { return false; }, std::chrono::seconds(1));
  if (afterQuiet) {
    measureAfterQuiet(seconds, mode == "--pointer-after-quiet", *timing, *fakes.mainQueue);
  } else {
    measureSteady(seconds, *timing, *fakes.mainQueue);
  }
  moving = false;
  mover.join();
  delegate->stopClicked();
  delegate->capture->captureQueue->drain();
  fakes.mainQueue->runPending();
  std::filesystem::remove_all(root);
  return 0;
}
