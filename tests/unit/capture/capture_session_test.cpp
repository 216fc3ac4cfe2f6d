// The capture session on fakes: start and stop transitions, the stream start, the frame pipeline
// and the write gate, with a host that stands for the controller.
#include "capture/capture_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>
#include <tuple>

#include "base/serial_queue.h"
#include "capture/frame_message.h"
#include "fakes/fake_platform_services.h"
#include "support/frame_messages.h"

namespace qova::test {
namespace {

// Writes frames on a queue of its own, as the controller does on agentInputQueue.
class FakeCaptureHost : public CaptureHost {
 public:
  void writeFrameToAgent(std::string headerLine, std::vector<uint8_t> jpeg,
                         std::function<void(AgentWrite)> done) override {
    agentInput.async([this, headerLine = std::move(headerLine), jpeg = std::move(jpeg), done = std::move(done)] {
      if (outcome == AgentWrite::written) written += headerLine + std::string(jpeg.begin(), jpeg.end());
      done(outcome);
    });
  }
  void showCaptureStatus(std::string_view text) override { statuses.emplace_back(text); }

  SerialQueue agentInput{"test.agent-input"};
  AgentWrite outcome = AgentWrite::written;  // set before the sample is delivered
  std::string written;                       // read after draining agentInput
  std::vector<std::string> statuses;         // main thread
};

class CaptureSessionTest : public ::testing::Test {
 protected:
  ~CaptureSessionTest() override {
    session->stopCaptureBridge();
    releaseWrites();
    session->captureQueue->drain();
  }

  FakeScreenCapture& capture() { return *fakes.screenCapture; }
  FakeImageContext& images() { return *fakes.imaging->context; }
  void command(const std::string& action) { session->handleCaptureBridge(R"({"action":")" + action + "\"}", host); }

  // Whether capture is active, its stream, whether it has a stream output; read on captureQueue.
  using State = std::tuple<bool, std::shared_ptr<ScreenStream>, bool>;
  State state() {
    std::promise<State> promise;
    session->captureQueue->async([&] {
      promise.set_value({session->captureActive.load(), session->captureStream, session->captureStreamOutput != nullptr});
    });
    return promise.get_future().get();
  }
  bool isIdle() { return eventually([&] { return state() == State{false, nullptr, false}; }); }
  bool capturingWith(const std::shared_ptr<FakeScreenStream>& stream) {
    return eventually([&] { return state() == State{true, stream, true}; });
  }
  // Waits (bounded, real time) for other threads' work to come to the wanted state.
  static bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Starts capture and waits until the stream of the given number is adopted.
  std::shared_ptr<FakeScreenStream> startCapturing(size_t streamNumber = 1) {
    command("start");
    EXPECT_TRUE(eventually([&] { return capture().streams().size() >= streamNumber; }));
    auto stream = capture().streams().at(streamNumber - 1);
    EXPECT_TRUE(capturingWith(stream));
    return stream;
  }
  // Runs the sample through the pipeline and, unless writes are held, waits for the write.
  void deliverAndSettle(const std::shared_ptr<FakeScreenStream>& stream, ScreenSample sample) {
    stream->deliver(std::move(sample));
    session->streamOutputQueue->drain();
    if (!heldWrites_) host->agentInput.drain();
  }
  static ScreenSample sampleOf(int width, int height, FrameStatus status = FrameStatus::complete) {
    return {status, solidPixelBuffer(width, height), {}};
  }
  bool writePending() {
    std::lock_guard lock(session->frameWriteLock);
    return session->frameWritePending;
  }
  // Holds the host's writes up, as an agent that does not read would, until released.
  void holdWrites() {
    heldWrites_ = std::make_shared<std::promise<void>>();
    host->agentInput.async([future = heldWrites_->get_future().share()] { future.wait(); });
  }
  void releaseWrites() {
    if (auto gate = std::exchange(heldWrites_, nullptr)) gate->set_value();
    host->agentInput.drain();
  }

  FakePlatformServices fakes;
  std::shared_ptr<FakeCaptureHost> host = std::make_shared<FakeCaptureHost>();
  std::shared_ptr<CaptureSession> session =
      std::make_shared<CaptureSession>(fakes.screenCapture, fakes.permissions, fakes.imaging, fakes.mainQueue);

 private:
  std::shared_ptr<std::promise<void>> heldWrites_;
};

// ---- Transitions and the stream start ------------------------------------------------------------

TEST_F(CaptureSessionTest, StartCapturesTheMainDisplayScaledAndASecondStartChangesNothing) {
  capture().content = ShareableContent{{{3, 1920, 1080}, {7, 3440, 1440}}};
  auto stream = startCapturing();
  command("start");
  session->captureQueue->drain();
  ASSERT_EQ(capture().streams().size(), 1u);
  EXPECT_EQ(stream->display.displayId, 7u);
  const auto& config = stream->configuration;
  EXPECT_EQ(std::make_pair(config.width, config.height), std::make_pair(int64_t{1280}, int64_t{535}));
  EXPECT_EQ(std::make_pair(config.minimumFrameInterval.value, config.minimumFrameInterval.timescale),
            std::make_pair(int64_t{1}, 10));
  EXPECT_EQ(config.queueDepth, 2);
  EXPECT_TRUE(config.showsCursor);
  EXPECT_EQ(stream->queue, session->streamOutputQueue);
  deliverAndSettle(stream, sampleOf(1280, 535));
  const auto frames = framesIn(host->written);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].header["inputWidth"], 3440);
  EXPECT_EQ(frames[0].header["inputHeight"], 1440);
}

TEST_F(CaptureSessionTest, AStopWhileStartingStopsTheLateStreamAndAdoptsNothing) {
  capture().holdStart = true;
  command("start");
  ASSERT_TRUE(capture().waitStarts(1));
  command("stop");
  EXPECT_TRUE(isIdle());
  auto stream = capture().streams().at(0);
  stream->release();
  ASSERT_TRUE(capture().waitStops(1));
  EXPECT_EQ(stream->stops(), 1);
  EXPECT_TRUE(isIdle());
}

TEST_F(CaptureSessionTest, AStopAndAStartDuringAStartLeaveOnlyTheNewestStreamRunning) {
  capture().holdStart = true;
  command("start");
  ASSERT_TRUE(capture().waitStarts(1));
  capture().holdStart = false;
  command("stop");
  auto second = startCapturing(2);
  capture().streams().at(0)->release();
  ASSERT_TRUE(capture().waitStops(1));
  EXPECT_EQ(capture().streams().at(0)->stops(), 1);
  EXPECT_EQ(second->stops(), 0);
  EXPECT_TRUE(capturingWith(second));
}

TEST_F(CaptureSessionTest, AnOutdatedFailedStartDoesNotEndTheCaptureThatFollowedIt) {
  capture().holdStart = true;
  capture().startFails = true;
  command("start");
  ASSERT_TRUE(capture().waitStarts(1));
  capture().holdStart = false;
  capture().startFails = false;
  command("stop");
  auto second = startCapturing(2);
  capture().streams().at(0)->release();
  // The failed start still shows its status text; the capture that followed goes on.
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] { return !host->statuses.empty(); }));
  session->captureQueue->drain();
  EXPECT_TRUE(capturingWith(second));
  EXPECT_EQ(second->stops(), 0);
}

TEST_F(CaptureSessionTest, AStopCommandOrTheStreamsOwnStopEndCaptureAndAStartWorksAgain) {
  const std::vector<std::function<void(FakeScreenStream&)>> stops = {
      [&](FakeScreenStream&) { command("stop"); },
      [](FakeScreenStream& stream) { stream.client->didStopWithError(); },
  };
  for (size_t i = 0; i < stops.size(); ++i) {
    auto stream = startCapturing(i + 1);
    stops[i](*stream);
    EXPECT_TRUE(isIdle()) << i;
    ASSERT_TRUE(capture().waitStops(static_cast<int>(i) + 1));
    EXPECT_EQ(stream->stops(), 1) << i;
  }
  startCapturing(3);
  fakes.mainQueue->runPending();
  EXPECT_TRUE(host->statuses.empty());
}

TEST_F(CaptureSessionTest, WithoutScreenPermissionStartQuietlyReturnsToIdleUntilGranted) {
  fakes.permissions->screen = false;
  command("start");
  EXPECT_TRUE(eventually([&] { return !std::get<0>(state()); }));
  EXPECT_EQ(capture().contentQueries.load(), 0);
  fakes.mainQueue->runPending();
  EXPECT_TRUE(host->statuses.empty());
  fakes.permissions->screen = true;
  startCapturing();
}

TEST_F(CaptureSessionTest, AFailedStreamStartShowsItsStatusAndReturnsToIdle) {
  const std::vector<std::function<void(FakeScreenCapture&)>> failures = {
      [](FakeScreenCapture& c) { c.content = std::nullopt; },
      [](FakeScreenCapture& c) { c.content = ShareableContent{}; },
      [](FakeScreenCapture& c) { c.makeFails = true; },
      [](FakeScreenCapture& c) { c.startFails = true; },
  };
  for (size_t i = 0; i < failures.size(); ++i) {
    capture().content = ShareableContent{{{7, 1440, 900}}};
    capture().makeFails = capture().startFails = false;
    failures[i](capture());
    command("start");
    ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] { return host->statuses.size() == i + 1; })) << i;
    EXPECT_EQ(host->statuses.back(), "屏幕流启动失败");
    EXPECT_TRUE(eventually([&] { return !std::get<0>(state()); })) << i;
    EXPECT_EQ(capture().contentQueries.load(), static_cast<int>(i) + 1);  // nothing is retried
  }
  for (const auto& stream : capture().streams()) EXPECT_EQ(stream->stops(), 0);
}

// ---- Frame pipeline and write gate -------------------------------------------------------------

TEST_F(CaptureSessionTest, AFrameIsTheHeaderLineAndExactlyTheJpegBytes) {
  auto stream = startCapturing();
  const int64_t earliest = wallClockMilliseconds();
  deliverAndSettle(stream, sampleOf(1280, 800));
  const int64_t latest = wallClockMilliseconds();
  deliverAndSettle(stream, sampleOf(1280, 800));
  const auto frames = framesIn(host->written);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].end, host->written.size());  // nothing between or after the frames
  const auto& header = frames[0].header;
  EXPECT_EQ(frames[0].jpeg, images().jpeg);
  EXPECT_EQ(header, (nlohmann::json{{"width", 1280}, {"height", 800}, {"inputWidth", 1440}, {"inputHeight", 900},
                                    {"bytes", images().jpeg.size()}, {"timestamp", header["timestamp"]}}));
  EXPECT_GE(header["timestamp"].get<int64_t>(), earliest);
  EXPECT_LE(header["timestamp"].get<int64_t>(), latest);
  EXPECT_TRUE(images().scales.empty());  // delivered at the frame size: not rescaled
  EXPECT_DOUBLE_EQ(images().encodes.at(0).quality, 0.54);
}

TEST_F(CaptureSessionTest, PicturesNotAtTheFrameSizeAreRescaledByTheRule) {
  auto stream = startCapturing();
  const struct {
    int width, height, frameWidth, frameHeight;
    bool scaled;
  } cases[] = {{1440, 900, 1280, 800, true}, {2139, 1000, 1279, 598, true}, {1, 1, 1, 1, false}};
  for (const auto& c : cases) {
    const size_t scales = images().scales.size();
    deliverAndSettle(stream, sampleOf(c.width, c.height));
    EXPECT_EQ(images().scales.size(), scales + (c.scaled ? 1 : 0)) << c.width;
    const auto header = framesIn(host->written).back().header;
    EXPECT_EQ(header["width"], c.frameWidth);
    EXPECT_EQ(header["height"], c.frameHeight);
  }
}

TEST_F(CaptureSessionTest, OnlyCompleteAndStartedSamplesWithPixelsReachRendering) {
  auto stream = startCapturing();
  const struct {
    FrameStatus status;
    bool pixels;
    bool rendered;
  } cases[] = {{FrameStatus::complete, true, true},  {FrameStatus::started, true, true},
               {FrameStatus::idle, false, false},    {FrameStatus::idle, true, false},
               {FrameStatus::blank, true, false},    {FrameStatus::suspended, true, false},
               {FrameStatus::stopped, true, false},  {FrameStatus::complete, false, false}};
  for (const auto& c : cases) {
    const int renders = images().renders;
    ScreenSample sample = sampleOf(1280, 800, c.status);
    if (!c.pixels) sample.imageBuffer.reset();
    deliverAndSettle(stream, sample);
    EXPECT_EQ(images().renders, renders + (c.rendered ? 1 : 0)) << static_cast<int>(c.status) << c.pixels;
  }
  EXPECT_EQ(framesIn(host->written).size(), 2u);
}

TEST_F(CaptureSessionTest, WhileAFrameIsPendingSamplesAreDroppedAndTheNextAfterItsWriteGoesOut) {
  auto stream = startCapturing();
  holdWrites();
  deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_TRUE(writePending());
  for (int i = 0; i < 3; ++i) deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_EQ(images().renders, 1);  // dropped before any image work
  releaseWrites();
  EXPECT_FALSE(writePending());
  deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_EQ(framesIn(host->written).size(), 2u);
}

TEST_F(CaptureSessionTest, AFramePendingFromBeforeAStopDoesNotHoldBackTheNextCapture) {
  auto stream = startCapturing();
  holdWrites();
  deliverAndSettle(stream, sampleOf(1280, 800));
  ASSERT_TRUE(writePending());
  command("stop");
  ASSERT_TRUE(isIdle());
  deliverAndSettle(stream, sampleOf(1280, 800));  // a late sample of the stopped stream
  EXPECT_EQ(images().renders, 1);
  auto next = startCapturing(2);
  deliverAndSettle(next, sampleOf(1280, 800));
  EXPECT_EQ(images().encodes.size(), 2u);
  releaseWrites();
  EXPECT_EQ(framesIn(host->written).size(), 2u);
}

TEST_F(CaptureSessionTest, AFailedImageStepDropsOnlyThatFrame) {
  auto stream = startCapturing();
  using Step = FakeImageContext::Step;
  for (Step step : {Step::render, Step::scale, Step::encode}) {
    images().failing = step;
    deliverAndSettle(stream, sampleOf(1440, 900));
  }
  images().failing = Step::none;
  ScreenSample malformed = sampleOf(1280, 800);
  malformed.imageBuffer->bytesPerRow = 100;
  deliverAndSettle(stream, malformed);
  EXPECT_TRUE(host->written.empty());
  EXPECT_FALSE(writePending());
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_EQ(framesIn(host->written).size(), 1u);
}

TEST_F(CaptureSessionTest, AFrameWithNoAgentIsDroppedAndAFailedWriteStopsCapture) {
  auto stream = startCapturing();
  host->outcome = AgentWrite::noAgent;
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_FALSE(writePending());
  EXPECT_TRUE(capturingWith(stream));
  host->outcome = AgentWrite::failed;
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_EQ(images().encodes.size(), 2u);
  EXPECT_FALSE(writePending());
  EXPECT_TRUE(isIdle());
  EXPECT_TRUE(capture().waitStops(1));
}

}  // namespace
}  // namespace qova::test
