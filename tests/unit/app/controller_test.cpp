// The controller on fakes: launch, the agent's life, and termination, with the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "agent/agent_extensions.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

TEST_F(ControllerTest, LaunchCleansUpShowsTheWindowReadsTheIdentityAndWaits) {
  fakes.processes->captureOutput = "设备 ID: 123 456\r\n验证码:  ab12\n服务器:relay.example\n";
  launchApp();

  const auto& runs = fakes.processes->waitedFor;
  ASSERT_EQ(runs.size(), 8u);  // the service removal, then seven process patterns
  EXPECT_EQ(runs[0].arguments, (Strings{"remove", "qova.lumaro.agent", "/home/tester", "1000"}));
  EXPECT_TRUE(std::all_of(runs.begin() + 1, runs.end(), [](const CommandLine& c) {
    return c.path == "/usr/bin/pkill" && c.arguments.size() == 2 && c.arguments[0] == "-f";
  }));
  ASSERT_EQ(fakes.controls->windows.size(), 1u);
  EXPECT_TRUE(fakes.controls->windows[0]->isVisible());
  ASSERT_EQ(fakes.processes->captured.size(), 1u);
  EXPECT_EQ(fakes.processes->captured[0].path,
            "/opt/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper");
  EXPECT_EQ(fakes.processes->captured[0].arguments, (Strings{"--show-id"}));
  EXPECT_EQ((Strings{delegate->idValue->text(), delegate->codeValue->text(), delegate->serverValue->text()}),
            (Strings{"123 456", "ab12", "relay.example"}));

  main().advance(10s);
  EXPECT_TRUE(launches().empty());
  EXPECT_TRUE(startButton().isEnabled());
  EXPECT_FALSE(stopButton().isEnabled());
}

TEST_F(ControllerTest, AutoStartIsExactlyOneArgumentAndStartsHalfASecondAfterLaunch) {
  launchApp({"app", "--auto-start=1", "--AUTO-START", "-auto-start"});
  main().advance(5s);
  EXPECT_TRUE(launches().empty());
  launchApp({"app", "--auto-start"});
  main().advance(499ms);
  EXPECT_TRUE(launches().empty());
  main().advance(1ms);
  ASSERT_EQ(launches().size(), 1u);
}

TEST_F(ControllerTest, StartLaunchesTheBundledAgentWithItsVariablesAndGoesOnlineAfterOneSecond) {
  launchApp();
  fakes.permissions->input = false;
  const size_t runsBefore = fakes.processes->waitedFor.size();
  startButton().performClick();
  EXPECT_EQ(fakes.processes->waitedFor.size(), runsBefore + 7);  // earlier installations die before each start
  ASSERT_EQ(launches().size(), 1u);
  const auto& launch = launches()[0];
  EXPECT_EQ(launch.command.arguments, (Strings{"--nogui"}));
  EXPECT_NE(std::find(launch.environment.begin(), launch.environment.end(), "QOVA_MAC_INPUT_TRUSTED=0"),
            launch.environment.end());
  EXPECT_EQ(sentTo(launch), "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");
  EXPECT_FALSE(startButton().isEnabled());
  EXPECT_TRUE(stopButton().isEnabled());
  delegate->handleAgentOutput("agent: up\n");  // a line that sets no status
  main().advance(999ms);
  EXPECT_EQ(status().text(), "正在连接服务器");
  main().advance(1ms);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
}

TEST_F(ControllerTest, AnAgentThatEndedOrSpokeBeforeTheOnlineCheckIsNeverShownOnline) {
  launchApp();
  delegate->startAgent();
  launches()[0].process->setRunning(false);  // its end notice is still on its way
  main().advance(1s);
  EXPECT_EQ(status().text(), "正在连接服务器");
  delegate->startAgent();
  main().advance(500ms);
  launches()[1].handlers.onOutput("handshake failed\n");
  main().advance(2s);
  EXPECT_EQ(status().text(), "连接中");
}

TEST_F(ControllerTest, AFailedLaunchSaysSoAndLeavesEverythingReadyForTheNextTry) {
  launchApp();
  fakes.processes->launchFails = true;
  delegate->startAgent();
  main().advance(5s);
  EXPECT_EQ(status().text(), "启动失败");
  EXPECT_FALSE(delegate->process || delegate->currentInputPipe() || delegate->permissionTimer);
  EXPECT_TRUE(startButton().isEnabled());
  fakes.processes->launchFails = false;
  startButton().performClick();
  EXPECT_EQ(launches().size(), 1u);
}

TEST_F(ControllerTest, EveryEndOfAnAgentClearsItAndShowsWhy) {
  struct Case {
    const char* name;
    void (*end)(ControllerTest&);
    const char* status;
  };
  const Case cases[] = {
      {"the agent ends", [](ControllerTest& t) { t.launches().back().exit(); }, "服务已停止"},
      {"stop button", [](ControllerTest& t) { t.stopButton().performClick(); }, "已停止"},
  };
  launchApp();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    delegate->startAgent();
    auto& launch = launches().back();
    auto timer = delegate->permissionTimer;
    main().advance(500ms);
    c.end(*this);
    main().runPending();
    main().advance(2s);  // the online check of the ended agent falls due and changes nothing
    EXPECT_EQ(status().text(), c.status);
    EXPECT_FALSE(delegate->process || delegate->currentInputPipe() || delegate->permissionTimer);
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(launch.input->closed());
    EXPECT_TRUE(startButton().isEnabled());
    EXPECT_FALSE(stopButton().isEnabled());
  }
  // A stopped agent's own end arrives later and is not current any more; nothing restarts by itself.
  launches()[1].exit();
  main().advance(10s);
  EXPECT_EQ(status().text(), "已停止");
  EXPECT_EQ(launches().size(), 2u);
  EXPECT_EQ(launches()[1].process->terminateRequests(), 1);
}

TEST_F(ControllerTest, AStartAfterAnEndNotYetHandledReplacesTheOldAgent) {
  launchApp();
  delegate->startAgent();
  launches()[0].process->setRunning(false);  // ended, but its end notice is still on its way
  delegate->startAgent();
  ASSERT_EQ(launches().size(), 2u);
  launches()[0].exit();
  main().runPending();
  EXPECT_EQ(delegate->process, launches()[1].process);
}

TEST_F(ControllerTest, RestartStartsAgainAfterFourHundredMillisecondsAndTwoRestartsStartOne) {
  launchApp();
  delegate->startAgent();
  sentTo(launches()[0]);
  delegate->restartAgent();
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  main().advance(200ms);
  delegate->restartAgent();
  main().advance(199ms);
  EXPECT_EQ(launches().size(), 1u);
  main().advance(1ms);
  EXPECT_EQ(launches().size(), 2u);
  main().advance(1s);  // the second restart's start finds the agent running
  ASSERT_EQ(launches().size(), 2u);
  EXPECT_EQ(sentTo(launches()[1]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  // Messages queued after a stop are not sent to the stopped agent.
  delegate->stopClicked();
  delegate->writeAgentInput("late\n");
  EXPECT_EQ(sentTo(launches()[1]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
}

TEST_F(ControllerTest, AMessageOrFrameQueuedForOneAgentNeverReachesTheNext) {
  launchApp();
  delegate->startAgent();
  sentTo(launches()[0]);
  // The input queue is busy (a frame, a slow pipe) while a message is queued and the agent restarts.
  std::promise<void> release;
  delegate->agentInputQueue->async([wait = release.get_future().share()] { wait.wait_for(10s); });
  delegate->writeAgentInput("for the first agent\n");
  delegate->writeFrameToAgent("frame for the first agent\n", {'J'}, [](AgentWrite) {});
  delegate->restartAgent();
  main().advance(1s);
  release.set_value();
  ASSERT_EQ(launches().size(), 2u);
  EXPECT_EQ(sentTo(launches()[1]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
}

TEST_F(ControllerTest, AnAgentThatAskedReportsItsViewersAndTheTrayEndsTheirSessions) {
  launchApp();
  delegate->startAgent();
  sentTo(launches()[0]);
  const auto titles = [&] {
    Strings shown;
    for (const auto& item : fakes.tray->items) shown.push_back(item.title);
    return shown;
  };
  delegate->handleAgentOutput("__QOVA_VIEWERS__{\"count\":3}\n");  // not asked for: not shown
  delegate->handleAgentOutput("__QOVA_HELLO__{\"want\":[\"viewers\"]}\n");
  main().advance(1s);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
  EXPECT_EQ(titles(), (Strings{"显示窗口", "断开所有查看者", "退出"}));
  delegate->handleAgentOutput("__QOVA_VIEWERS__{\"count\":1,\"joined\":\"10.0.0.7\"}\n");
  delegate->handleAgentOutput("__QOVA_VIEWERS__{\"count\":2,\"joined\":\"server\"}\n");
  main().advance(1ms);
  EXPECT_EQ(status().text(), "在线，等待 H5 控制 · 2 个查看者");
  EXPECT_EQ(fakes.tray->notices, (Strings{"查看者已连接: 来自 10.0.0.7，共 2 个查看者", "查看者已连接: 来自 server，共 2 个查看者"}));
  fakes.tray->items[1].action();
  EXPECT_EQ(sentTo(launches()[0]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n"
                                   "__QOVA_HELLO__{\"accepted\":[\"viewers\"],\"version\":1}\n"
                                   "__QOVA_VIEWERS__{\"action\":\"endAll\"}\n");
  delegate->restartAgent();
  main().advance(1s);
  EXPECT_EQ(titles(), (Strings{"显示窗口", "退出"}));
  EXPECT_EQ(status().text().find("查看者"), std::string::npos);
}

TEST_F(ControllerTest, CopiedTextGoesOnlyToAnAgentThatAskedAndNeverBackToTheViewerWhoPastedIt) {
  launchApp();
  delegate->startAgent();
  delegate->handleAgentOutput("__QOVA_HELLO__{\"want\":[\"clipboard\"]}\n");
  main().advance(1s);
  delegate->handleAgentOutput("__QOVA_INPUT__{\"action\":\"text\",\"text\":\"pasted\"}\n");
  for (const std::string& text : Strings{"pasted", "copied \"here\"\n第二行", "copied \"here\"\n第二行", "", "bad \xC3",
                                  std::string(kMaxClipboardBytes + 1, 'a'), "pasted"}) {
    fakes.pasteboardWatcher->change(text);
  }
  EXPECT_EQ(sentTo(launches()[0]), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n"
                                   "__QOVA_HELLO__{\"accepted\":[\"clipboard\"],\"version\":1}\n"
                                   "__QOVA_CLIPBOARD__{\"text\":\"copied \\\"here\\\"\\n第二行\"}\n"
                                   "__QOVA_CLIPBOARD__{\"text\":\"pasted\"}\n");
  delegate->restartAgent();  // an agent that did not ask is not watched for
  main().advance(1s);
  EXPECT_FALSE(fakes.pasteboardWatcher->callback);
}

TEST_F(ControllerTest, TerminationStopsTimersAndAsksTheAgentToEnd) {
  launchApp();
  delegate->startAgent();
  delegate->applicationWillTerminate();
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  EXPECT_EQ(main().activeTimerCount(), 0);
}

TEST(Controller, ADesktopNoBackendFitsIsSaidInTheStatus) {
  FakePlatformServices fakes;
  PlatformServices services = fakes.services();
  services.desktopUnavailable = "no desktop";
  auto delegate = std::make_shared<AppDelegate>(services);
  delegate->applicationDidFinishLaunching({"app"});
  EXPECT_EQ(delegate->statusLabel->text(), "no desktop");
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
