#include <gtest/gtest.h>

#include "capture_fixture.h"

namespace qova::test {
namespace {

TEST_F(CaptureTest, StartCapturesTheMainDisplayScaledWithOneStreamForTwoStarts) {
  capture().content = ShareableContent{{{3, 1920, 1080}, {7, 3440, 1440}}};
  auto stream = startCapturing();
  delegate->handleCaptureBridge(R"({"action":"start","fps":60,"quality":1.0})");
  delegate->captureQueue->drain();

  ASSERT_EQ(capture().streams().size(), 1u);
  EXPECT_EQ(stream->display.displayId, 7u);
  const auto& config = stream->configuration;
  EXPECT_EQ(config.width, 1280);
  EXPECT_EQ(config.height, 535);
  EXPECT_EQ(config.minimumFrameInterval.value, 1);
  EXPECT_EQ(config.minimumFrameInterval.timescale, 10);
  EXPECT_EQ(config.queueDepth, 2);
  EXPECT_EQ(config.pixelFormat, 0x42475241u);
  EXPECT_TRUE(config.scalesToFit);
  EXPECT_TRUE(config.showsCursor);
  EXPECT_EQ(stream->queue(), delegate->streamOutputQueue);
  EXPECT_EQ(stream->outputType(), SampleType::screen);
  const auto adopted = state();
  EXPECT_EQ(adopted.output, stream->output());
  EXPECT_EQ(adopted.output, stream->delegate);
  EXPECT_EQ(adopted.output->inputWidth, 3440);
  EXPECT_EQ(adopted.output->inputHeight, 1440);
  EXPECT_EQ(stream->stopRequests.load(), 0);
}

TEST_F(CaptureTest, WithoutAMainDisplayTheFirstListedIsCapturedUnscaledWhenSmall) {
  capture().content = ShareableContent{{{3, 1280, 720}, {4, 1440, 900}}};
  capture().mainDisplay = 99;
  auto stream = startCapturing();
  EXPECT_EQ(stream->display.displayId, 3u);
  EXPECT_EQ(stream->configuration.width, 1280);
  EXPECT_EQ(stream->configuration.height, 720);
  EXPECT_EQ(state().output->inputWidth, 1280);
}

TEST_F(CaptureTest, CommandsThatAreNotStartOrStopChangeNothing) {
  for (const char* command : {"", "not json", "[\"start\"]", R"({"action":"Start"})", R"({"action":1})", "{}"}) {
    delegate->handleCaptureBridge(command);
  }
  delegate->handleCaptureBridge(R"({"action":"stop"})");  // stop while Idle: nothing visible either
  EXPECT_TRUE(isIdle());
  EXPECT_EQ(capture().contentQueries.load(), 0);
  EXPECT_TRUE(capture().streams().empty());
  main().runPending();
  EXPECT_EQ(status().text(), "未启动");
}

TEST_F(CaptureTest, StopWhileStartingStopsTheLateStreamAndAdoptsNothing) {
  capture().holdStart = true;
  delegate->handleCaptureBridge(R"({"action":"start"})");
  ASSERT_TRUE(capture().waitStartRequests(1));
  delegate->handleCaptureBridge(R"({"action":"stop"})");
  EXPECT_TRUE(isIdle());
  auto stream = capture().streams().at(0);
  stream->releaseStart();
  ASSERT_TRUE(capture().waitStopRequests(1));
  EXPECT_EQ(stream->stopRequests.load(), 1);
  EXPECT_TRUE(isIdle());
}

TEST_F(CaptureTest, StopAndStartDuringAStartLeaveOnlyTheNewestStreamRunning) {
  capture().holdStart = true;
  delegate->handleCaptureBridge(R"({"action":"start"})");
  ASSERT_TRUE(capture().waitStartRequests(1));
  capture().holdStart = false;
  delegate->handleCaptureBridge(R"({"action":"stop"})");
  auto second = startCapturing(2);
  auto first = capture().streams().at(0);
  first->releaseStart();
  ASSERT_TRUE(capture().waitStopRequests(1));
  EXPECT_EQ(first->stopRequests.load(), 1);
  EXPECT_EQ(second->stopRequests.load(), 0);
  EXPECT_TRUE(capturingWith(second));
}

TEST_F(CaptureTest, AnOutdatedFailedStartDoesNotEndTheCaptureThatFollowedIt) {
  capture().holdStart = true;
  capture().startFails = true;
  delegate->handleCaptureBridge(R"({"action":"start"})");
  ASSERT_TRUE(capture().waitStartRequests(1));
  capture().holdStart = false;
  capture().startFails = false;
  delegate->handleCaptureBridge(R"({"action":"stop"})");
  auto second = startCapturing(2);
  capture().streams().at(0)->releaseStart();
  // The failed start still shows its status text; the capture that followed goes on.
  ASSERT_TRUE(main().pumpUntil([&] { return status().text() == "屏幕流启动失败"; }));
  delegate->captureQueue->drain();
  EXPECT_TRUE(capturingWith(second));
  EXPECT_EQ(second->stopRequests.load(), 0);
}

TEST_F(CaptureTest, StopWhileCapturingStopsTheStreamAndALaterStartMakesANewOne) {
  auto first = startCapturing();
  delegate->handleCaptureBridge(R"({"action":"stop"})");
  EXPECT_TRUE(isIdle());
  ASSERT_TRUE(capture().waitStopRequests(1));
  EXPECT_EQ(first->stopRequests.load(), 1);
  auto second = startCapturing(2);
  EXPECT_NE(first, second);
}

TEST_F(CaptureTest, AStreamThatStopsByItselfReturnsToIdleAndStartWorksAgain) {
  auto first = startCapturing();
  first->failMidStream();
  EXPECT_TRUE(eventually([&] { return isIdle(); }));
  startCapturing(2);
  main().runPending();
  EXPECT_EQ(status().text(), "未启动");
}

TEST_F(CaptureTest, WithoutScreenPermissionStartQuietlyReturnsToIdleUntilGranted) {
  fakes.permissions->screen = false;
  delegate->handleCaptureBridge(R"({"action":"start"})");
  EXPECT_TRUE(eventually([&] { return isIdle(); }));
  EXPECT_EQ(capture().contentQueries.load(), 0);
  main().runPending();
  EXPECT_EQ(status().text(), "未启动");
  fakes.permissions->screen = true;
  startCapturing();
}

enum class StartFailure { contentQuery, noDisplay, addOutput, startCapture };

class CaptureStartFailureTest : public CaptureTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(CaptureStartFailureTest, ShowsTheStatusAndReturnsToIdle) {
  switch (GetParam()) {
    case StartFailure::contentQuery: capture().content = std::nullopt; break;
    case StartFailure::noDisplay: capture().content = ShareableContent{}; break;
    case StartFailure::addOutput: capture().addOutputFails = true; break;
    case StartFailure::startCapture: capture().startFails = true; break;
  }
  delegate->handleCaptureBridge(R"({"action":"start"})");
  ASSERT_TRUE(main().pumpUntil([&] { return status().text() == "屏幕流启动失败"; }));
  EXPECT_TRUE(eventually([&] { return isIdle(); }));
  for (const auto& stream : capture().streams()) EXPECT_EQ(stream->stopRequests.load(), 0);
  // Nothing is retried, and nothing reaches the agent.
  EXPECT_EQ(capture().contentQueries.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Failures, CaptureStartFailureTest,
                         ::testing::Values(StartFailure::contentQuery, StartFailure::noDisplay,
                                           StartFailure::addOutput, StartFailure::startCapture));

TEST_F(CaptureTest, TerminationStopsCaptureAndTheAgent) {
  delegate->startAgent();
  auto stream = startCapturing();
  delegate->applicationWillTerminate();
  EXPECT_TRUE(isIdle());
  ASSERT_TRUE(capture().waitStopRequests(1));
  EXPECT_EQ(fakes.processes->lastLaunch().process->terminateRequests(), 1);
}

}  // namespace
}  // namespace qova::test
