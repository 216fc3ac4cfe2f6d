#include <gtest/gtest.h>

#include <algorithm>

#include "support/controller_fixture.h"
#include "base/main_queue.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class AgentSupervisorTest : public ControllerTest {
 protected:
  void SetUp() override { launchApp(); }
  size_t pkillRuns() const {
    return static_cast<size_t>(std::count_if(fakes.processes->waitedFor.begin(), fakes.processes->waitedFor.end(),
                                             [](const CommandLine& c) { return c.path == "/usr/bin/pkill"; }));
  }
};

TEST_F(AgentSupervisorTest, StartLaunchesTheBundledAgentWithItsVariablesAndGoesOnline) {
  fakes.processes->environment_ = {"PATH=/bin", "QOVA_MAC_SCREEN_TRUSTED=stale", "QOVA_MAC_INPUT_BRIDGE=0"};
  fakes.permissions->input = false;
  const size_t pkillBefore = pkillRuns();
  startButton().performClick();

  EXPECT_EQ(pkillRuns(), pkillBefore + 7);  // earlier installations are killed before each start
  ASSERT_EQ(launches().size(), 1u);
  const auto& launch = launches()[0];
  EXPECT_EQ(launch.command.path, "/opt/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper");
  EXPECT_EQ(launch.command.arguments, (std::vector<std::string>{"--nogui"}));
  EXPECT_EQ(launch.environment,
            (std::vector<std::string>{"PATH=/bin", "QOVA_MAC_SCREEN_TRUSTED=1", "QOVA_MAC_INPUT_BRIDGE=1",
                                      "QOVA_MAC_INPUT_TRUSTED=0", "QOVA_MAC_CAPTURE_BRIDGE=1"}));
  EXPECT_EQ(delegate->process, launch.process);
  EXPECT_EQ(delegate->currentInputPipe(), launch.input);
  EXPECT_EQ(status().text(), "正在连接服务器");
  EXPECT_FALSE(startButton().isEnabled());
  EXPECT_TRUE(stopButton().isEnabled());
  EXPECT_EQ(sentTo(launch), "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");

  main().advance(999ms);
  EXPECT_EQ(status().text(), "正在连接服务器");
  main().advance(1ms);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
}

TEST_F(AgentSupervisorTest, AStatusLineBeforeTheOnlineCheckIsShownThenReplaced) {
  delegate->startAgent();
  delegate->handleAgentOutput("agent: connecting to relay\n");
  main().advance(300ms);
  EXPECT_EQ(status().history.back(), "正在连接服务器");
  main().advance(700ms);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
}

TEST_F(AgentSupervisorTest, StartWhileRunningChangesNothing) {
  delegate->startAgent();
  const size_t runs = fakes.processes->waitedFor.size();
  const size_t statusChanges = status().history.size();
  delegate->startAgent();
  EXPECT_EQ(launches().size(), 1u);
  EXPECT_EQ(fakes.processes->waitedFor.size(), runs);
  EXPECT_EQ(status().history.size(), statusChanges);
}

TEST_F(AgentSupervisorTest, FailedLaunchShowsStartFailedAndChangesNothingElse) {
  fakes.processes->launchFails = true;
  delegate->startAgent();
  EXPECT_EQ(status().text(), "启动失败");
  EXPECT_FALSE(delegate->process);
  EXPECT_FALSE(delegate->currentInputPipe());
  EXPECT_FALSE(delegate->permissionTimer);
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
  main().advance(5s);
  EXPECT_EQ(status().text(), "启动失败");

  fakes.processes->launchFails = false;
  startButton().performClick();
  EXPECT_EQ(launches().size(), 1u);
}

TEST_F(AgentSupervisorTest, StopWithinTheFirstSecondLeavesStopped) {
  delegate->startAgent();
  auto& launch = launches()[0];
  main().advance(500ms);
  stopButton().performClick();
  EXPECT_EQ(launch.process->terminateRequests(), 1);
  EXPECT_TRUE(launch.input->closed());
  EXPECT_FALSE(delegate->process);
  EXPECT_FALSE(delegate->currentInputPipe());
  EXPECT_EQ(status().text(), "已停止");
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
  main().advance(2s);
  EXPECT_EQ(status().text(), "已停止");

  // The stopped agent's own end arrives later and is not current any more.
  launch.exit();
  main().runPending();
  EXPECT_EQ(status().text(), "已停止");
}

TEST_F(AgentSupervisorTest, AnAgentThatEndsByItselfShowsServiceStopped) {
  delegate->startAgent();
  main().advance(1s);
  auto timer = delegate->permissionTimer;
  launches()[0].exit();
  main().runPending();
  EXPECT_EQ(status().text(), "服务已停止");
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
  EXPECT_FALSE(delegate->process);
  EXPECT_FALSE(delegate->currentInputPipe());
  EXPECT_FALSE(delegate->permissionTimer);
  EXPECT_FALSE(timer->isValid());
  main().advance(10s);
  EXPECT_EQ(launches().size(), 1u);  // no automatic restart
}

TEST_F(AgentSupervisorTest, AStartAfterAnEndNotYetHandledReplacesTheOldAgent) {
  delegate->startAgent();
  launches()[0].process->setRunning(false);  // ended, but its end notice is still on its way
  delegate->startAgent();
  ASSERT_EQ(launches().size(), 2u);
  launches()[0].exit();
  main().runPending();
  EXPECT_EQ(delegate->process, launches()[1].process);
  EXPECT_EQ(status().text(), "正在连接服务器");
}

TEST_F(AgentSupervisorTest, RestartStartsAgainAfterFourHundredMilliseconds) {
  delegate->startAgent();
  sentTo(launches()[0]);  // written before the restart, so it stays with the first agent
  main().advance(1s);
  delegate->restartAgent();
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");  // a restart keeps the status text
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
  main().advance(399ms);
  EXPECT_EQ(launches().size(), 1u);
  main().advance(1ms);
  ASSERT_EQ(launches().size(), 2u);
  EXPECT_EQ(delegate->process, launches()[1].process);
  EXPECT_EQ(sentTo(launches()[1]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
}

TEST_F(AgentSupervisorTest, TwoRestartsWithinTheDelayStartOneAgent) {
  delegate->restartAgent();  // nothing running: nothing to terminate
  main().advance(200ms);
  delegate->restartAgent();
  main().advance(1s);
  EXPECT_EQ(launches().size(), 1u);
}

TEST_F(AgentSupervisorTest, MessagesQueuedForAStoppedAgentAreDropped) {
  delegate->startAgent();
  auto& launch = launches()[0];
  sentTo(launch);
  delegate->stopClicked();
  delegate->writeAgentInput("__QOVA_PERMISSION__{}\n");
  EXPECT_EQ(sentTo(launch), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
}

}  // namespace
}  // namespace qova::test
