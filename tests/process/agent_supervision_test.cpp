// The controller with the real process launcher and the test agent: real children, real pipes.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/app_delegate.h"
#include "base/serial_queue.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Real launches; the legacy clean-up commands are never run, so tests kill nothing on the machine.
class NoCleanupLauncher : public PosixProcessLauncher {
 public:
  std::optional<int> runAndWait(const CommandLine&, Duration) override { return 1; }
};

int openDescriptors() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }

// Children of this process, zombies included.
int children() {
  int count = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream list(task.path() / "children");
    for (std::string pid; list >> pid;) ++count;
  }
  return count;
}

class AgentSupervisionTest : public ::testing::Test {
 protected:
  AgentSupervisionTest() {
    fakes.workspace->bundle = bundle.bundle();
    PlatformServices services = fakes.services();
    services.processes = std::make_shared<NoCleanupLauncher>();
    delegate = std::make_shared<AppDelegate>(services);
  }
  ~AgentSupervisionTest() override { delegate->stopClicked(); }

  bool pumpUntil(const std::function<bool()>& done, Duration timeout = 10s) {
    return fakes.mainQueue->pumpUntil(done, timeout);
  }
  std::vector<std::string>& statuses() { return static_cast<FakeLabel&>(*delegate->statusLabel).history; }

  TestBundle bundle;
  FakePlatformServices fakes;
  std::shared_ptr<AppDelegate> delegate;
};

// Output and exit come together; the exit is reported after every line.
TEST_F(AgentSupervisionTest, TheAgentsLinesReachTheStatusAndItsEndIsReportedAfterThem) {
  bundle.setScript({"write [agent] starting\\n", "write socket closed\\n", "exit 3"});
  statuses().clear();
  delegate->startAgent();
  const std::vector<std::string> expected = {"正在连接服务器", "连接中", "服务已停止"};
  EXPECT_TRUE(pumpUntil([&] { return statuses().size() == expected.size(); }));
  EXPECT_EQ(statuses(), expected);
}

TEST_F(AgentSupervisionTest, ARestartPastAnAgentThatNeitherReadsNorEndsGivesTheNextOneOnlyItsOwnInput) {
  bundle.setScript({"ignore-term", "ignore-stdin"});
  delegate->startAgent();
  const int stubborn = delegate->process->processId();
  // More than a pipe holds: the input queue is now stuck on this agent.
  delegate->writeAgentInput(std::string(4 * 1024 * 1024, 'x'));
  bundle.setScript({});
  std::filesystem::remove(bundle.root() + "/record/stdin.bin");
  delegate->restartAgent();
  fakes.mainQueue->advance(1s);
  delegate->writeAgentInput("next\n");
  const bool reached = pumpUntil([&] { return bundle.readRecord("stdin.bin").ends_with("next\n"); });
  kill(stubborn, SIGKILL);
  ASSERT_TRUE(reached);
  // Its own permission message, then what followed: nothing meant for the old agent.
  EXPECT_EQ(bundle.recordLines("stdin.bin").size(), 2u);
}

TEST_F(AgentSupervisionTest, StartAndStopOverAndOverLeaveNoDescriptorAndNoChildBehind) {
  // Once first, so descriptors the test program opens lazily are counted before.
  delegate->startAgent();
  delegate->stopClicked();
  ASSERT_TRUE(pumpUntil([] { return children() == 0; }, 20s));
  const int descriptorsBefore = openDescriptors();

  for (int i = 0; i < 100; ++i) {
    delegate->startAgent();
    ASSERT_TRUE(delegate->process) << "cycle " << i;
    delegate->stopClicked();
    fakes.mainQueue->runPending();
  }
  EXPECT_TRUE(pumpUntil([] { return children() == 0; }, 30s)) << children();
  delegate->agentInputQueue->drain();
  EXPECT_TRUE(pumpUntil([&] { return openDescriptors() <= descriptorsBefore; }, 20s))
      << openDescriptors() << " vs " << descriptorsBefore;
  EXPECT_EQ(delegate->statusLabel->text(), "已停止");
}

}  // namespace
}  // namespace qova::test
