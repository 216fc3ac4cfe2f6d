// The controller's side of capture: its forwards reach the session, its frame writes go through
// agentInputQueue to the agent's input, and the places that end an agent end capture too.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "capture/capture_session.h"
#include "fakes/fake_imaging.h"
#include "support/controller_fixture.h"
#include "support/frame_messages.h"

namespace qova::test {
namespace {

// An agent input whose writes fail from a given write on, counting every attempt.
class FailingPipe : public InputPipe {
 public:
  explicit FailingPipe(int failFrom) : failFrom_(failFrom) {}
  bool writeAll(std::string_view) override { return ++attempts < failFrom_; }
  void close() override {}
  std::atomic<int> attempts{0};

 private:
  const int failFrom_;
};

class CaptureBridgeTest : public ControllerTest {
 protected:
  void SetUp() override {
    delegate->startAgent();
    delegate->handleCaptureBridge(R"({"action":"start"})");
    ASSERT_TRUE(fakes.screenCapture->waitStarts(1));
    stream = fakes.screenCapture->streams().at(0);
    ASSERT_TRUE(eventuallyCapturing(true));
  }
  ~CaptureBridgeTest() override { delegate->capture->captureQueue->drain(); }

  bool eventuallyCapturing(bool active) {
    return main().pumpUntil([&] {
      delegate->capture->captureQueue->drain();
      return delegate->capture->captureActive.load() == active;
    });
  }
  void deliverFrame() {
    stream->deliver({FrameStatus::complete, solidPixelBuffer(1440, 900), {}});
    delegate->capture->streamOutputQueue->drain();
    delegate->agentInputQueue->drain();
  }

  std::shared_ptr<FakeScreenStream> stream;
};

TEST_F(CaptureBridgeTest, AFrameTakesItsTurnOnAgentInputQueueAndArrivesWhole) {
  const std::string before = sentTo(fakes.processes->lastLaunch());
  const std::string permission = "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n";
  std::promise<void> gate;
  delegate->agentInputQueue->async([held = gate.get_future().share()] { held.wait(); });
  delegate->writeAgentInput(permission);
  stream->deliver({FrameStatus::complete, solidPixelBuffer(1440, 900), {}});
  delegate->capture->streamOutputQueue->drain();
  gate.set_value();
  const std::string sent = sentTo(fakes.processes->lastLaunch()).substr(before.size());
  ASSERT_EQ(sent.rfind(permission, 0), 0u);
  const auto frames = framesIn(sent);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].jpeg, fakes.imaging->context->jpeg);
  EXPECT_EQ(frames[0].end, sent.size());
}

TEST_F(CaptureBridgeTest, AWriteThatFailsStopsCaptureAndTheJpegNeverFollowsAFailedHeader) {
  const struct {
    int failFrom;
    int attempts;
  } cases[] = {{1, 1}, {2, 2}};
  for (const auto& c : cases) {
    auto pipe = std::make_shared<FailingPipe>(c.failFrom);
    delegate->setInputPipe(pipe);
    deliverFrame();
    EXPECT_EQ(pipe->attempts.load(), c.attempts);
    EXPECT_TRUE(eventuallyCapturing(false));
    const int made = static_cast<int>(fakes.screenCapture->streams().size());
    delegate->startCaptureBridge();
    ASSERT_TRUE(fakes.screenCapture->waitStarts(made + 1));
    stream = fakes.screenCapture->streams().back();
  }
}

TEST_F(CaptureBridgeTest, WithNoAgentFramesAreDroppedAndCaptureGoesOn) {
  delegate->setInputPipe(nullptr);
  deliverFrame();
  deliverFrame();
  EXPECT_EQ(fakes.imaging->context->encodes.size(), 2u);
  EXPECT_TRUE(delegate->capture->captureActive.load());
}

TEST_F(CaptureBridgeTest, EndingTheAgentOrTheApplicationEndsCapture) {
  const std::vector<std::function<void()>> enders = {
      [&] { delegate->stopClicked(); },
      [&] { delegate->applicationWillTerminate(); },
      [&] {
        fakes.processes->lastLaunch().input->failWrites(true);
        delegate->writeAgentInput("x\n");
      },
  };
  for (size_t i = 0; i < enders.size(); ++i) {
    if (i > 0) {
      delegate->startAgent();
      delegate->startCaptureBridge();
      ASSERT_TRUE(eventuallyCapturing(true)) << i;
    }
    enders[i]();
    EXPECT_TRUE(eventuallyCapturing(false)) << i;
    EXPECT_TRUE(fakes.screenCapture->waitStops(static_cast<int>(i) + 1)) << i;
  }
}

}  // namespace
}  // namespace qova::test
