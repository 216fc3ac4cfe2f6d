#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

TEST_F(ControllerTest, StatusLinesReachTheWindowInOrderOnTheMainThread) {
  delegate->handleAgentOutput("[agent] connecting\nplain log\nhandshake failed\n[agent] conn");
  EXPECT_EQ(status().text(), "未启动");  // nothing changes until the main thread runs
  main().runPending();
  EXPECT_EQ(status().history, (std::vector<std::string>{"正在连接服务器", "连接中"}));
  delegate->handleAgentOutput("ected\n");
  main().runPending();
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
}

TEST_F(ControllerTest, MarkerLinesAndInvalidLinesNeverTouchTheStatus) {
  delegate->handleAgentOutput("__QOVA_CAPTURE__{\"action\":\"failed\"}\n__QOVA_INPUT__closed\n");
  delegate->handleAgentOutput("__QOVA_FILE_RECEIVED__/tmp/connecting\nconnecting \xff\n");
  main().runPending();
  // Only the file marker's own text: its payload is never read as a status line.
  EXPECT_EQ(status().history, (std::vector<std::string>{"已收到文件"}));
}

TEST_F(ControllerTest, AnUnfinishedLineOfOneAgentJoinsTheNextAgentsOutput) {
  launchApp();
  delegate->startAgent();
  launches()[0].handlers.onOutput("[agent] connec");
  delegate->stopClicked();
  delegate->startAgent();
  launches()[1].handlers.onOutput("ted\n");
  main().runPending();
  EXPECT_EQ(status().text(), "在线，等待 H5 控制");
}

}  // namespace
}  // namespace qova::test

namespace qova::test {
namespace {

TEST_F(ControllerTest, ReadersOfTwoAgentsDeliveringAtOnceNeverMixTheirLines) {
  launchApp();
  delegate->startAgent();
  delegate->stopClicked();  // the first agent's reader keeps delivering what it still writes
  delegate->startAgent();
  std::latch bothReady(2);
  auto feed = [&bothReady](const ChildHandlers& handlers, std::string_view line) {
    bothReady.arrive_and_wait();
    for (int i = 0; i < 20000; ++i) {
      // Split every line in two reads, so an interleaving would glue halves of different lines.
      handlers.onOutput(line.substr(0, 5));
      handlers.onOutput(line.substr(5));
    }
  };
  std::thread oldReader(feed, launches()[0].handlers, "socket closed\n");
  std::thread newReader(feed, launches()[1].handlers, "[agent] connecting\n");
  oldReader.join();
  newReader.join();
  main().runPending();
  const auto& history = status().history;
  EXPECT_EQ(std::count(history.begin(), history.end(), "连接中"), 20000);
  EXPECT_EQ(std::count(history.begin(), history.end(), "正在连接服务器"), 20000 + 2);  // plus the two starts
}

}  // namespace
}  // namespace qova::test
