// The controller with the real process launcher and the test agent: real children, real pipes.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "base/serial_queue.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

// Real launches and identity runs; the clean-up commands are only recorded, so tests never kill
// anything on the machine.
class CleanupRecordingLauncher : public PosixProcessLauncher {
 public:
  std::optional<int> runAndWait(const CommandLine& command, Duration) override {
    std::lock_guard lock(mutex);
    cleanupRuns.push_back(command);
    return 1;
  }
  std::mutex mutex;
  std::vector<CommandLine> cleanupRuns;
};

int countOpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Children of this process, zombies included.
int countChildren() {
  int count = 0;
  const std::string self = std::to_string(getpid());
  DIR* dir = opendir("/proc");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state, parent;
    rest >> state >> parent;
    if (parent == self) ++count;
  }
  closedir(dir);
  return count;
}

class AgentSupervisionTest : public ::testing::Test {
 protected:
  AgentSupervisionTest() {
    fakes.workspace->bundle = bundle.bundle();
    PlatformServices services = fakes.services();
    services.processes = launcher;
    delegate = std::make_shared<AppDelegate>(services);
  }
  ~AgentSupervisionTest() override {
    if (delegate) delegate->stopClicked();
  }

  std::string status() const { return delegate->statusLabel->text(); }
  bool waitForStatus(const std::string& text) {
    return fakes.mainQueue->pumpUntil([&] { return status() == text; });
  }
  bool waitForRecord(const std::string& name, size_t bytes = 1) {
    return fakes.mainQueue->pumpUntil([&] { return bundle.readRecord(name).size() >= bytes; });
  }
  std::vector<std::string> statusHistory() const {
    return static_cast<FakeLabel&>(*delegate->statusLabel).history;
  }
  int agentPid() {
    waitForRecord("pid.txt");
    return std::stoi(bundle.readRecord("pid.txt"));
  }

  TestBundle bundle;
  FakePlatformServices fakes;
  std::shared_ptr<CleanupRecordingLauncher> launcher = std::make_shared<CleanupRecordingLauncher>();
  std::shared_ptr<AppDelegate> delegate;
};

TEST_F(AgentSupervisionTest, TheAgentGetsExactlyNoguiItsVariablesAndOnePermissionMessage) {
  setenv("QOVA_MAC_INPUT_TRUSTED", "stale", 1);
  setenv("QOVA_MAC_CAPTURE_BRIDGE", "0", 1);
  fakes.permissions->input = false;
  delegate->startAgent();
  unsetenv("QOVA_MAC_INPUT_TRUSTED");
  unsetenv("QOVA_MAC_CAPTURE_BRIDGE");
  ASSERT_TRUE(waitForRecord("stdin.bin"));
  fakes.mainQueue->advance(10s);  // unchanged permissions: no more messages
  delegate->agentInputQueue->drain();

  EXPECT_EQ(bundle.recordLines("argv.txt"), (std::vector<std::string>{"--nogui"}));
  std::map<std::string, int> seen;
  for (const auto& entry : bundle.recordLines("env.txt")) {
    if (entry.starts_with("QOVA_MAC_")) ++seen[entry];
  }
  EXPECT_EQ(seen, (std::map<std::string, int>{{"QOVA_MAC_CAPTURE_BRIDGE=1", 1},
                                              {"QOVA_MAC_INPUT_BRIDGE=1", 1},
                                              {"QOVA_MAC_INPUT_TRUSTED=0", 1},
                                              {"QOVA_MAC_SCREEN_TRUSTED=1", 1}}));
  EXPECT_EQ(bundle.readRecord("stdin.bin"), "__QOVA_PERMISSION__{\"input\":false,\"screen\":true}\n");
  EXPECT_EQ(launcher->cleanupRuns.size(), 7u);
}

TEST_F(AgentSupervisionTest, IdentityComesFromTheAgentsShowIdRun) {
  bundle.setScript({"write 设备 ID:  100 200 300\\r\\n验证码:\\tx9y8\\r\\n", "write 服务器:relay.test\\n"});
  delegate->loadIdentity();
  EXPECT_EQ(delegate->idValue->text(), "100 200 300");
  EXPECT_EQ(delegate->codeValue->text(), "x9y8");
  EXPECT_EQ(delegate->serverValue->text(), "relay.test");
  EXPECT_EQ(bundle.recordLines("argv.txt"), (std::vector<std::string>{"--show-id"}));
}

TEST_F(AgentSupervisionTest, AnIdentityQueryThatHangsDoesNotFreezeTheLaunch) {
  bundle.setScript({"write 设备 ID:7\\n", "hang"});
  delegate->loadIdentity();  // bounded: returns with what was printed
  EXPECT_EQ(delegate->idValue->text(), "7");
}

TEST_F(AgentSupervisionTest, AnAgentKilledFromOutsideShowsServiceStopped) {
  delegate->startAgent();
  kill(agentPid(), SIGKILL);
  ASSERT_TRUE(waitForStatus("服务已停止"));
  EXPECT_TRUE(delegate->startButton->isEnabled());
  EXPECT_FALSE(delegate->stopButton->isEnabled());
  EXPECT_FALSE(delegate->process);
}

TEST_F(AgentSupervisionTest, AnAgentThatExitsShowsServiceStoppedAfterItsLastLines) {
  bundle.setScript({"write [agent] connecting\\n", "write socket closed\\n", "exit 3"});
  delegate->startAgent();
  ASSERT_TRUE(waitForStatus("服务已停止"));
  EXPECT_EQ(statusHistory(), (std::vector<std::string>{"正在连接服务器", "正在连接服务器", "连接中", "服务已停止"}));
}

TEST_F(AgentSupervisionTest, LinesSplitAcrossReadsAndCharactersAreRoutedOnceWhole) {
  bundle.setScript({"chunked 1 状态：device online 设备\\n", "chunked 2 \\xe8\\xbf\\x9e closed\\n", "sleep 50",
                    "write [agent] connecting\\n"});
  delegate->startAgent();
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] { return statusHistory().size() >= 4; }));
  EXPECT_EQ(statusHistory(),
            (std::vector<std::string>{"正在连接服务器", "在线，等待 H5 控制", "连接中", "正在连接服务器"}));
}

TEST_F(AgentSupervisionTest, FloodsLongLinesAndMissingLineFeedsLoseNoLaterLine) {
  bundle.setScript({"repeat 11000000 x", "write \\n", "repeat 100000 log line of a chatty agent\\n",
                    "write \\xff\\xfe broken\\n", "write [agent] connected\\n"});
  delegate->startAgent();
  EXPECT_TRUE(waitForStatus("在线，等待 H5 控制"));
  EXPECT_EQ(delegate->outputBuffer.pendingBytes(), 0u);
}

TEST_F(AgentSupervisionTest, AnAgentThatDoesNotReadHoldsNothingUpAfterItIsStopped) {
  // It neither reads nor ends when asked to: only closing our end frees the queue.
  bundle.setScript({"ignore-term", "ignore-stdin"});
  delegate->startAgent();
  const int stubborn = agentPid();
  // More than a pipe holds: the input queue is now stuck on this agent.
  delegate->writeAgentInput(std::string(4 * 1024 * 1024, 'x'));
  delegate->writeAgentInput("__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  delegate->stopClicked();

  auto drained = std::async(std::launch::async, [&] { delegate->agentInputQueue->drain(); });
  const bool freed = drained.wait_for(10s) == std::future_status::ready;
  kill(stubborn, SIGKILL);
  ASSERT_TRUE(freed);

  bundle.setScript({});
  std::remove((bundle.recordDir() + "/stdin.bin").c_str());
  delegate->startAgent();
  const std::string expected = "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n";
  ASSERT_TRUE(waitForRecord("stdin.bin", expected.size()));
  EXPECT_EQ(bundle.readRecord("stdin.bin"), expected);
}

TEST_F(AgentSupervisionTest, AnAgentThatClosedItsInputDoesNotHurtTheApplication) {
  bundle.setScript({"close-stdin", "write closed input\\n", "sleep 100", "write [agent] connected\\n"});
  delegate->startAgent();
  for (int i = 0; i < 20; ++i) delegate->writeAgentInput("__QOVA_PERMISSION__{}\n");
  EXPECT_TRUE(waitForStatus("在线，等待 H5 控制"));
  delegate->agentInputQueue->drain();
  EXPECT_TRUE(delegate->process && delegate->process->isRunning());
}

TEST_F(AgentSupervisionTest, ManyStartStopCyclesLeakNoDescriptorAndNoChild) {
  // Warm up once so lazily opened descriptors of the test program itself are counted before.
  delegate->startAgent();
  delegate->stopClicked();
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([] { return countChildren() == 0; }, 20s));
  const int descriptorsBefore = countOpenDescriptors();

  for (int i = 0; i < 500; ++i) {
    delegate->startAgent();
    ASSERT_TRUE(delegate->process) << "cycle " << i;
    delegate->stopClicked();
    fakes.mainQueue->runPending();
  }
  EXPECT_TRUE(fakes.mainQueue->pumpUntil([] { return countChildren() == 0; }, 60s)) << countChildren();
  delegate->agentInputQueue->drain();
  // The warm-up agent's reader may still have held its pipe when counting began: no more is fine.
  EXPECT_TRUE(fakes.mainQueue->pumpUntil([&] { return countOpenDescriptors() <= descriptorsBefore; }, 20s))
      << countOpenDescriptors() << " vs " << descriptorsBefore;
  EXPECT_EQ(delegate->statusLabel->text(), "已停止");
}

}  // namespace
}  // namespace qova::test
