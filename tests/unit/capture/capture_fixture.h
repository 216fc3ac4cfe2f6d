#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <thread>

#include "app/capture_stream_output.h"
#include "support/controller_fixture.h"

namespace qova::test {

// The controller on fakes with its capture state observable from the test thread.
class CaptureTest : public ControllerTest {
 protected:
  struct CaptureState {
    bool active = false;
    std::shared_ptr<ScreenStream> stream;
    std::shared_ptr<CaptureStreamOutput> output;
  };

  ~CaptureTest() override {
    delegate->stopCaptureBridge();
    releaseAgentInput();
    delegate->captureQueue->drain();
  }

  FakeScreenCapture& capture() { return *fakes.screenCapture; }
  FakeImageContext& images() { return *fakes.imaging->context; }

  // Read on captureQueue, where the state lives.
  CaptureState state() {
    std::promise<CaptureState> promise;
    delegate->captureQueue->async([&] {
      promise.set_value({delegate->captureActive.load(), delegate->captureStream, delegate->captureStreamOutput});
    });
    return promise.get_future().get();
  }
  bool isIdle() {
    const auto s = state();
    return !s.active && !s.stream && !s.output;
  }
  // Waits (bounded, real time) for work of other threads to come to the wanted state.
  static bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  bool capturingWith(const std::shared_ptr<FakeScreenStream>& stream) {
    return eventually([&] {
      const auto s = state();
      return s.active && s.stream == stream && s.output;
    });
  }
  // Starts capture and waits until the stream of the given number is adopted.
  std::shared_ptr<FakeScreenStream> startCapturing(size_t streamNumber = 1) {
    delegate->handleCaptureBridge(R"({"action":"start"})");
    EXPECT_TRUE(eventually([&] { return capture().streams().size() >= streamNumber; }));
    auto stream = capture().streams().at(streamNumber - 1);
    EXPECT_TRUE(capturingWith(stream));
    return stream;
  }
  // Runs the sample through the pipeline and waits for the resulting write, if any. The write
  // runs on agentInputQueue; until it ends the frame is pending and the gate would drop the next
  // sample, so a held queue is the only case in which the write is left in flight.
  void deliverAndSettle(const std::shared_ptr<FakeScreenStream>& stream, ScreenSample sample) {
    ASSERT_TRUE(stream->deliver(std::move(sample)));
    delegate->streamOutputQueue->drain();
    if (!heldAgentInput_) delegate->agentInputQueue->drain();
  }
  static ScreenSample sampleOf(int width, int height, std::optional<int64_t> status = int64_t{0}) {
    ScreenSample sample;
    sample.imageBuffer = solidPixelBuffer(width, height);
    if (status) sample.attachments = std::vector<FrameInfo>{FrameInfo{{kFrameInfoStatus, *status}}};
    return sample;
  }
  bool writePending() {
    std::lock_guard lock(delegate->frameWriteLock);
    return delegate->frameWritePending;
  }
  // Holds agentInputQueue up, as an agent that does not read would, until released.
  void holdAgentInput() {
    auto gate = std::make_shared<std::promise<void>>();
    heldAgentInput_ = gate;
    delegate->agentInputQueue->async([future = gate->get_future().share()] { future.wait(); });
  }
  void releaseAgentInput() {
    if (auto gate = std::exchange(heldAgentInput_, nullptr)) gate->set_value();
  }

 private:
  std::shared_ptr<std::promise<void>> heldAgentInput_;
};

}  // namespace qova::test
