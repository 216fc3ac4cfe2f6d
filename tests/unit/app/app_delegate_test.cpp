#include "app/app_delegate.h"

#include <gtest/gtest.h>

#include "support/controller_fixture.h"
#include "platform/controls.h"
#include "base/main_queue.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ControllerTest, StartsWithTheDefinedInitialState) {
  EXPECT_EQ(delegate->statusLabel->text(), "未启动");
  EXPECT_EQ(delegate->idValue->text(), "-");
  EXPECT_EQ(delegate->codeValue->text(), "-");
  EXPECT_EQ(delegate->serverValue->text(), "-");
  EXPECT_EQ(delegate->startButton->title(), "启动服务");
  EXPECT_EQ(delegate->stopButton->title(), "停止服务");
  EXPECT_EQ(delegate->fileEmptyLabel->text(), "暂无收到的文件");
  EXPECT_EQ(delegate->filePathLabel->text(), "");
  EXPECT_EQ(delegate->fileListStack->arrangedSubviewCount(), 0);
  EXPECT_EQ(delegate->agentInputQueue->label(), "qova.lumaro.agent.input");
  EXPECT_EQ(delegate->dragButton, CGMouseButton::left);
  EXPECT_FALSE(delegate->window || delegate->process || delegate->inputPipe);
  EXPECT_FALSE(delegate->permissionTimer || delegate->fileRefreshTimer);
  EXPECT_FALSE(delegate->lastScreenTrusted.has_value() || delegate->lastInputTrusted.has_value());
  EXPECT_TRUE(fakes.processes->waitedFor.empty());
}

TEST_F(ControllerTest, LaunchCleansUpShowsTheWindowReadsTheIdentityAndWaits) {
  fakes.processes->captureOutput = "设备 ID: 123 456\r\n验证码:  ab12\n服务器:relay.example\n";
  fakes.workspace->home = "/home/a user";
  launchApp();

  const auto& runs = fakes.processes->waitedFor;
  ASSERT_EQ(runs.size(), 8u);  // the service removal, then seven process patterns
  EXPECT_EQ(runs[0].path, "/fake/service-manager");
  EXPECT_EQ(runs[0].arguments, (std::vector<std::string>{"remove", "qova.lumaro.agent", "/home/a user", "1000"}));
  for (size_t i = 1; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].path, "/usr/bin/pkill");
    ASSERT_EQ(runs[i].arguments.size(), 2u);
    EXPECT_EQ(runs[i].arguments[0], "-f");
  }
  EXPECT_EQ(runs[1].arguments[1],
            "/home/a user/Applications/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent --nogui");

  ASSERT_EQ(fakes.controls->windows.size(), 1u);
  EXPECT_TRUE(fakes.controls->windows[0]->isVisible());
  EXPECT_EQ(fakes.controls->activations, 1);
  ASSERT_EQ(fakes.processes->captured.size(), 1u);
  EXPECT_EQ(fakes.processes->captured[0].path,
            "/opt/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper");
  EXPECT_EQ(fakes.processes->captured[0].arguments, (std::vector<std::string>{"--show-id"}));
  EXPECT_EQ(delegate->idValue->text(), "123 456");
  EXPECT_EQ(delegate->codeValue->text(), "ab12");
  EXPECT_EQ(delegate->serverValue->text(), "relay.example");

  ASSERT_TRUE(delegate->fileRefreshTimer);
  EXPECT_TRUE(delegate->fileRefreshTimer->isValid());
  main().advance(10s);
  EXPECT_TRUE(launches().empty());
  EXPECT_EQ(delegate->statusLabel->text(), "未启动");
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
}

TEST_F(ControllerTest, IdentityQueryThatCannotRunLeavesTheDashes) {
  fakes.processes->captureOutput = std::nullopt;
  launchApp();
  EXPECT_EQ(delegate->idValue->text(), "-");
  EXPECT_EQ(delegate->codeValue->text(), "-");
  EXPECT_EQ(delegate->serverValue->text(), "-");
}

TEST_F(ControllerTest, AutoStartStartsTheAgentHalfASecondAfterLaunch) {
  launchApp({"app", "--auto-start"});
  main().advance(499ms);
  EXPECT_TRUE(launches().empty());
  main().advance(1ms);
  ASSERT_EQ(launches().size(), 1u);
  EXPECT_EQ(launches()[0].command.arguments, (std::vector<std::string>{"--nogui"}));
}

TEST_F(ControllerTest, OnlyTheExactAutoStartArgumentCounts) {
  launchApp({"app", "--auto-start=1", "--AUTO-START", "-auto-start", "--auto-starting"});
  main().advance(5s);
  EXPECT_TRUE(launches().empty());
}

TEST_F(ControllerTest, TerminationStopsTimersAndAsksTheAgentToEnd) {
  launchApp();
  delegate->startAgent();
  auto fileTimer = delegate->fileRefreshTimer;
  auto permissionTimer = delegate->permissionTimer;
  delegate->applicationWillTerminate();
  EXPECT_FALSE(fileTimer->isValid());
  EXPECT_FALSE(permissionTimer->isValid());
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  EXPECT_EQ(main().activeTimerCount(), 0);
}

TEST_F(ControllerTest, TerminationWithoutAgentTouchesNoProcess) {
  launchApp();
  const size_t runsBefore = fakes.processes->waitedFor.size();
  delegate->applicationWillTerminate();
  EXPECT_TRUE(launches().empty());
  EXPECT_EQ(fakes.processes->waitedFor.size(), runsBefore);
}

TEST_F(ControllerTest, WorkQueuedForAGoneControllerDoesNothing) {
  launchApp({"app", "--auto-start"});
  auto label = delegate->statusLabel;
  delegate->handleAgentOutput("connecting\n");
  delegate.reset();
  main().advance(10s);  // the status line, the auto-start and both timers fall due
  EXPECT_TRUE(launches().empty());
  EXPECT_EQ(label->text(), "未启动");
}

}  // namespace
}  // namespace qova::test
