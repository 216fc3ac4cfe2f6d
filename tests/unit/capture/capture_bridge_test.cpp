// The controller's side of capture: frame writes take their turn on agentInputQueue and say how they
// ended, and whatever ends the agent, or a write to it, ends capture too.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "capture/capture_session.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

// An agent input that keeps what arrives and fails from the n-th write on.
struct FailingPipe : InputPipe {
  explicit FailingPipe(int failFrom) : failFrom(failFrom) {}
  bool writeAll(std::string_view bytes) override {
    if (++attempts >= failFrom) return false;
    written += bytes;
    return true;
  }
  void close() override {}
  const int failFrom;
  int attempts = 0;     // agentInputQueue
  std::string written;  // agentInputQueue
};

// The JPEG follows only a header that arrived whole; with no agent nothing is tried.
TEST_F(ControllerTest, AFrameWriteTakesItsTurnAndSaysHowItEnded) {
  const struct {
    int failFrom;  // 0: no agent
    AgentWrite outcome;
    int attempts;
  } cases[] = {{0, AgentWrite::noAgent, 0},
               {2, AgentWrite::failed, 2},
               {3, AgentWrite::failed, 3},
               {9, AgentWrite::written, 3}};  // the first write is the message queued before the frame
  for (const auto& c : cases) {
    auto pipe = c.failFrom ? std::make_shared<FailingPipe>(c.failFrom) : nullptr;
    delegate->setInputPipe(pipe);
    std::promise<void> gate;  // holds the queue, so that the message below is queued first
    delegate->agentInputQueue->async([held = gate.get_future().share()] { held.wait(); });
    delegate->writeAgentInput("before\n");
    std::optional<AgentWrite> outcome;
    delegate->writeFrameToAgent("header\n", {'J', 'P'}, [&](AgentWrite result) { outcome = result; });
    gate.set_value();
    delegate->agentInputQueue->drain();
    EXPECT_EQ(outcome, c.outcome) << c.failFrom;
    EXPECT_EQ(pipe ? pipe->attempts : 0, c.attempts) << c.failFrom;
    if (c.outcome == AgentWrite::written) {
      EXPECT_EQ(pipe->written, "before\nheader\nJP");
    }
  }
}

TEST_F(ControllerTest, EndingTheAgentOrTheApplicationOrAFailedWriteEndsCapture) {
  const auto capturing = [&](bool active) {
    return main().pumpUntil([&] {
      std::promise<bool> now;
      delegate->capture->captureQueue->async([&] { now.set_value(!delegate->capture->captureStream == !active); });
      return now.get_future().get() && delegate->capture->captureActive.load() == active;
    });
  };
  const std::vector<std::function<void()>> enders = {
      [&] { delegate->stopClicked(); },
      [&] { delegate->applicationWillTerminate(); },
      [&] {
        fakes.processes->lastLaunch().input->failWrites(true);
        delegate->writeAgentInput("x\n");
      },
  };
  for (const auto& end : enders) {
    delegate->startAgent();
    delegate->handleCaptureBridge(R"({"action":"start"})");
    ASSERT_TRUE(capturing(true));
    const auto stream = fakes.screenCapture->streams().back();
    end();
    EXPECT_TRUE(capturing(false));
    EXPECT_TRUE(main().pumpUntil([&] { return stream->stops() == 1; }));
  }
}

TEST_F(ControllerTest, InputAndFramesFollowTheCapturedDisplay) {
  fakes.screenCapture->content = ShareableContent{{{7, 1440, 900, 1920, 0}}};
  delegate->startAgent();
  auto& agent = fakes.processes->lastLaunch();
  const auto stream = [&](size_t n) {
    EXPECT_TRUE(main().pumpUntil([&] { return fakes.screenCapture->streams().size() >= n; }));
    return fakes.screenCapture->streams().at(n - 1);
  };
  const std::string tap = "__QOVA_INPUT__{\"action\":\"tap\",\"x\":10,\"y\":20}\n";
  agent.handlers.onOutput("__QOVA_CAPTURE__{\"action\":\"start\"}\n");
  stream(1);
  agent.handlers.onOutput(tap);
  fakes.screenCapture->content = ShareableContent{{{7, 1024, 768, 0, 100}}};
  stream(1)->deliver({FrameStatus::complete, solidPixelBuffer(1280, 800), {}, {7, 1024, 768, 0, 100}});
  EXPECT_EQ(stream(2)->configuration.width, 1024);
  stream(2)->deliver({FrameStatus::complete, solidPixelBuffer(1024, 768), {}, {}});
  EXPECT_TRUE(main().pumpUntil([&] { return sentTo(agent).find("\"inputWidth\":1024") != std::string::npos; }));
  agent.handlers.onOutput(tap);
  const auto events = fakes.eventPoster->take();
  EXPECT_EQ(events.front(), PostedEvent::move(1930, 20));
  EXPECT_EQ(events.back(), PostedEvent::mouse(MouseEventType::leftMouseUp, 10, 120, MouseButton::left));
}

}  // namespace
}  // namespace qova::test
