// The controller's side of capture: its forwards reach the session, its frame writes take their turn
// on agentInputQueue, and whatever ends the agent, or a write to it, ends capture too.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "capture/capture_session.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

// An agent input whose writes fail from the n-th on, counting every attempt.
struct FailingPipe : InputPipe {
  explicit FailingPipe(int failFrom) : failFrom(failFrom) {}
  bool writeAll(std::string_view) override { return ++attempts < failFrom; }
  void close() override {}
  const int failFrom;
  std::atomic<int> attempts{0};
};

class CaptureBridgeTest : public ControllerTest {
 protected:
  void SetUp() override {
    delegate->startAgent();
    delegate->handleCaptureBridge(R"({"action":"start"})");
    ASSERT_TRUE(capturing(true));
  }
  ~CaptureBridgeTest() override { delegate->capture->captureQueue->drain(); }

  FakeScreenCapture& capture() { return *fakes.screenCapture; }
  // Waits until capture is active with a stream, or idle.
  bool capturing(bool active) {
    return main().pumpUntil([&] {
      std::promise<bool> now;
      delegate->capture->captureQueue->async(
          [&] { now.set_value((delegate->capture->captureStream != nullptr) == active); });
      return now.get_future().get() && delegate->capture->captureActive.load() == active;
    });
  }
  void deliverFrame() {
    capture().streams().back()->deliver({FrameStatus::complete, solidPixelBuffer(1440, 900), {}});
    delegate->capture->streamOutputQueue->drain();
    delegate->agentInputQueue->drain();
  }
  // A frame to an agent input whose writes fail from the n-th on: tried n times, no more.
  void frameToFailingInput(int failFrom) {
    auto pipe = std::make_shared<FailingPipe>(failFrom);
    delegate->setInputPipe(pipe);
    deliverFrame();
    EXPECT_EQ(pipe->attempts.load(), failFrom);
  }
};

TEST_F(CaptureBridgeTest, AFrameTakesItsTurnOnAgentInputQueueAndArrivesWhole) {
  const std::string before = sentTo(fakes.processes->lastLaunch());
  const std::string permission = "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n";
  std::promise<void> gate;
  delegate->agentInputQueue->async([held = gate.get_future().share()] { held.wait(); });
  delegate->writeAgentInput(permission);
  capture().streams().back()->deliver({FrameStatus::complete, solidPixelBuffer(1440, 900), {}});
  delegate->capture->streamOutputQueue->drain();
  gate.set_value();
  // The message queued first, then the frame's header line and directly after it the JPEG, whole.
  const std::string sent = sentTo(fakes.processes->lastLaunch()).substr(before.size());
  ASSERT_EQ(sent.rfind(permission + "__QOVA_FRAME_BYTES__{", 0), 0u);
  EXPECT_EQ(sent.substr(sent.find('\n', permission.size()) + 1), fakes.imaging->context->jpeg);
  // With no agent to take them, frames are dropped and capture goes on.
  delegate->setInputPipe(nullptr);
  deliverFrame();
  EXPECT_TRUE(capturing(true));
}

TEST_F(CaptureBridgeTest, EndingTheAgentOrTheApplicationOrAFailedWriteEndsCapture) {
  const std::vector<std::function<void()>> enders = {
      [&] { delegate->stopClicked(); },
      [&] { delegate->applicationWillTerminate(); },
      [&] {
        fakes.processes->lastLaunch().input->failWrites(true);
        delegate->writeAgentInput("x\n");
      },
      [&] { frameToFailingInput(1); },  // the header fails: its JPEG is never tried
      [&] { frameToFailingInput(2); },
  };
  for (const auto& end : enders) {
    delegate->startAgent();
    delegate->startCaptureBridge();
    ASSERT_TRUE(capturing(true));
    const auto stream = capture().streams().back();
    end();
    EXPECT_TRUE(capturing(false));
    EXPECT_TRUE(main().pumpUntil([&] { return stream->stops() == 1; }));
  }
}

}  // namespace
}  // namespace qova::test
