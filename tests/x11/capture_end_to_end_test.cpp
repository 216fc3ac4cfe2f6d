// Capture through the real controller: the test agent asks for frames on its output and records
// its input; the real launcher, X11 stream, libyuv and TurboJPEG sit in between.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xshm_screen_capture.h"
#include "base/serial_queue.h"
#include "support/test_bundle.h"
#include "support/xvfb_server.h"
#include "capture_test_screen.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class CaptureEndToEndTest : public ::testing::Test {
 protected:
  void startAgent(const std::vector<std::string>& script,
                  std::shared_ptr<ScreenCapture> capture = std::make_shared<XShmScreenCapture>()) {
    bundle.setScript(script);
    fakes.workspace->bundle = bundle.bundle();
    PlatformServices services = fakes.services();
    services.processes = std::make_shared<PosixProcessLauncher>();
    services.permissions = std::make_shared<X11Permissions>();
    services.screenCapture = std::move(capture);
    services.imaging = std::make_shared<TurboJpegImaging>();
    delegate = std::make_shared<AppDelegate>(services);
    delegate->startAgent();
    ASSERT_TRUE(delegate->process);
  }
  ~CaptureEndToEndTest() override {
    if (!delegate) return;
    delegate->stopClicked();
    delegate->captureQueue->drain();
    fakes.mainQueue->runPending();
  }
  // Frames the agent has read so far.
  std::vector<SentFrame> received() { return framesIn(bundle.readRecord("stdin.bin")); }
  bool waitFrames(size_t count, std::chrono::milliseconds timeout = 10s) {
    return fakes.mainQueue->pumpUntil([&] { return received().size() >= count; }, timeout);
  }
  bool capturing() {
    std::promise<bool> running;
    delegate->captureQueue->async([&] { running.set_value(delegate->captureActive && delegate->captureStream); });
    return running.get_future().get();
  }

  TestBundle bundle;
  FakePlatformServices fakes;
  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(CaptureEndToEndTest, TheAgentReceivesLiveFramesOfTheScreenWithTheCursorAndNoneWhileItRests) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  const Picture pattern = blockPattern(1440, 900);
  painter.show(pattern);
  painter.warpPointer(240, 675);  // over the white block
  startAgent({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n"});
  ASSERT_TRUE(waitFrames(1));

  const SentFrame first = received().front();
  EXPECT_EQ(first.header.size(), 6u);
  EXPECT_EQ(first.header["width"], 1280);
  EXPECT_EQ(first.header["height"], 800);
  EXPECT_EQ(first.header["inputWidth"], 1440);
  EXPECT_EQ(first.header["inputHeight"], 900);
  EXPECT_EQ(first.header["bytes"], first.jpeg.size());
  const Picture frame = decodeJpeg(first.jpeg);
  ASSERT_EQ(frame.width, 1280);
  ASSERT_EQ(frame.height, 800);
  const Picture expected = blockPattern(1280, 800);
  for (int by = 0; by < 2; ++by) {
    for (int bx = 0; bx < 3; ++bx) {
      const int x = 1280 * (2 * bx + 1) / 6 + 60, y = 800 * (2 * by + 1) / 4;
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(frame.at(x, y)[c], expected.at(x, y)[c], 10) << x << "," << y;
    }
  }
  int cursorPixels = 0;
  for (int y = 590; y < 630; ++y) {
    for (int x = 205; x < 245; ++x) cursorPixels += frame.at(x, y)[1] < 100;
  }
  EXPECT_GT(cursorPixels, 5);  // the cursor, dark on the white block

  // A screen that changes all the time gets at most 10 frames a second.
  painter.keepChanging(700, 100, 40, 15ms, 2s);
  auto frames = received();
  ASSERT_GE(frames.size(), 8u);
  const double seconds =
      static_cast<double>(frames.back().header["timestamp"].get<int64_t>() - frames[1].header["timestamp"].get<int64_t>()) /
      1000.0;
  EXPECT_LE(static_cast<double>(frames.size() - 2), seconds * 10 + 1);

  // Then the screen rests: frames stop coming, and the next change brings one.
  std::this_thread::sleep_for(500ms);
  const size_t resting = received().size();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(received().size(), resting);
  painter.fill(100, 700, 80, 80, 0xFF00FF);
  ASSERT_TRUE(waitFrames(resting + 1));
  const Picture changed = decodeJpeg(received().back().jpeg);
  EXPECT_GT(changed.at(125, 657)[2], 200);  // the magenta square, scaled
  EXPECT_GT(changed.at(125, 657)[0], 200);
  EXPECT_LT(changed.at(125, 657)[1], 60);
  for (const auto& f : received()) EXPECT_EQ(f.header["inputWidth"], 1440);
}

// The real X11 capture service, counting the streams it starts and the stops asked of them.
class CountingCapture : public ScreenCapture {
 public:
  class Stream : public ScreenStream {
   public:
    Stream(std::shared_ptr<ScreenStream> inner, CountingCapture& owner) : inner_(std::move(inner)), owner_(owner) {}
    bool addStreamOutput(std::shared_ptr<ScreenStreamOutput> output, SampleType type,
                         std::shared_ptr<SerialQueue> queue) override {
      return inner_->addStreamOutput(std::move(output), type, std::move(queue));
    }
    bool startCapture() override {
      const bool started = inner_->startCapture();
      if (started) ++owner_.started;
      return started;
    }
    bool stopCapture() override {
      ++owner_.stopped;
      return inner_->stopCapture();
    }

   private:
    std::shared_ptr<ScreenStream> inner_;
    CountingCapture& owner_;
  };
  std::optional<ShareableContent> shareableContent() override { return inner_.shareableContent(); }
  uint32_t mainDisplayId() override { return inner_.mainDisplayId(); }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display, const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamDelegate> delegate) override {
    return std::make_shared<Stream>(inner_.makeStream(display, configuration, std::move(delegate)), *this);
  }
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};

 private:
  XShmScreenCapture inner_;
};

TEST_F(CaptureEndToEndTest, AnAgentWhoseInputIsClosedStopsCaptureAtTheFirstFailedWrite) {
  auto capture = std::make_shared<CountingCapture>();
  startAgent({"close-stdin", "write __QOVA_CAPTURE__{\"action\":\"start\"}\\n"}, capture);
  // The stream starts, its first frame cannot be written, and capture ends; no signal ends the
  // test program on the way.
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] { return capture->started >= 1 && capture->stopped >= 1; }));
  EXPECT_TRUE(fakes.mainQueue->pumpUntil([&] { return !capturing() && !delegate->captureActive.load(); }));
  EXPECT_EQ(capture->started.load(), 1);  // not restarted: only a new "start" would
  std::lock_guard lock(delegate->frameWriteLock);
  EXPECT_FALSE(delegate->frameWritePending);
  EXPECT_TRUE(received().empty());
}

// Large screens are reduced by area-averaging steps; the sent frame is compared with ImageMagick's
// area-averaged downscale of the same screen (the resampler alone is held to 33 dB in
// capture_imaging_test.cpp).
class LargeScreenCaptureTest : public CaptureEndToEndTest,
                               public ::testing::WithParamInterface<std::array<int, 4>> {};

TEST_P(LargeScreenCaptureTest, TextOfTheScreenSurvivesReduction) {
  const auto [w, h, tw, th] = GetParam();
  XvfbServer server(w, h);
  ASSERT_TRUE(server.running());
  char pattern[] = "/tmp/qova-capture-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  const Picture page = textPage(w, h, dir);
  ASSERT_EQ(page.width, w);
  painter.show(page);
  painter.warpPointer(w - 1, h - 1);
  const std::string grab = "import -display " + server.display() + " -window root -depth 8 " + dir +
                           "/screen.png && convert " + dir + "/screen.png -scale " + std::to_string(tw) + "x" +
                           std::to_string(th) + " -depth 8 BGRA:" + dir + "/reference.bgra";
  ASSERT_EQ(std::system(grab.c_str()), 0);
  const std::string reference = readFile(dir + "/reference.bgra");
  const Picture expected{tw, th, std::vector<uint8_t>(reference.begin(), reference.end())};

  startAgent({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n"});
  ASSERT_TRUE(waitFrames(1));
  const SentFrame frame = received().front();
  EXPECT_EQ(frame.header["inputWidth"], w);
  EXPECT_EQ(frame.header["inputHeight"], h);
  const Picture decoded = decodeJpeg(frame.jpeg);
  ASSERT_EQ(decoded.width, tw);
  ASSERT_EQ(decoded.height, th);
  const double quality = psnr(decoded, expected);
  // What the same JPEG encoding makes of the reference itself: the best any resampler could reach.
  auto bytes = std::make_shared<std::vector<uint8_t>>(expected.bgrx);
  const auto ideal = TurboJpegImaging().makeContext()->encodeJpeg({tw, th, tw * 4, bytes->data(), bytes}, 0.54);
  ASSERT_TRUE(ideal);
  const double best = psnr(decodeJpeg(std::string(ideal->begin(), ideal->end())), expected);
  RecordProperty("psnr", std::to_string(quality));
  std::printf("%dx%d: PSNR of the sent frame %.2f dB (reference through the same JPEG: %.2f dB)\n", w, h, quality,
              best);
  // JPEG at quality 0.54 caps antialiased text near 28-29 dB whatever came before it; the resampler
  // may cost little on top of that (point sampling costs 6 to 12 dB here).
  EXPECT_GE(quality, best - 1.5);
  EXPECT_GE(quality, 26.0);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeScreenCaptureTest,
                         ::testing::Values(std::array<int, 4>{2880, 1800, 1280, 800},
                                           std::array<int, 4>{3840, 2160, 1280, 720}));

}  // namespace
}  // namespace qova::test
