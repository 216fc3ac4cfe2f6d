#include "platform/linux/posix/posix_process_launcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/test_bundle.h"

namespace qova {
namespace {

using namespace std::chrono_literals;

std::string agentPath(const test::TestBundle& bundle) {
  return bundle.bundle() + "/Contents/Resources/agent-bin/qova-agent-helper";
}

struct Received {
  std::mutex mutex;
  std::condition_variable changed;
  std::string output;
  bool exited = false;
  ChildHandlers handlers() {
    return {[this](std::string_view chunk) {
              std::lock_guard lock(mutex);
              output.append(chunk);
              changed.notify_all();
            },
            [this] {
              std::lock_guard lock(mutex);
              exited = true;
              changed.notify_all();
            }};
  }
  bool waitExit(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return exited; });
  }
};

TEST(PosixProcessLauncher, LaunchPassesArgumentsEnvironmentAndBothOutputStreams) {
  test::TestBundle bundle;
  bundle.setScript({"write out\\n", "write err\\n"});
  PosixProcessLauncher launcher;
  Received received;
  auto env = launcher.environment();
  env.push_back("EXTRA=with space");
  auto child = launcher.launch({agentPath(bundle), {"--nogui", "two words"}}, env, received.handlers());
  ASSERT_TRUE(child);
  child->input->close();  // end of input: the test agent exits
  ASSERT_TRUE(received.waitExit());
  EXPECT_FALSE(child->process->isRunning());
  EXPECT_EQ(received.output, "out\nerr\n");
  EXPECT_EQ(bundle.recordLines("argv.txt"), (std::vector<std::string>{"--nogui", "two words"}));
  const auto recordedEnv = bundle.recordLines("env.txt");
  EXPECT_NE(std::find(recordedEnv.begin(), recordedEnv.end(), "EXTRA=with space"), recordedEnv.end());
}

TEST(PosixProcessLauncher, MissingOrNonExecutableProgramFailsToLaunch) {
  PosixProcessLauncher launcher;
  Received received;
  EXPECT_FALSE(launcher.launch({"/nonexistent/agent", {}}, {}, received.handlers()));
  EXPECT_FALSE(launcher.launch({"/etc/hostname", {}}, {}, received.handlers()));
  EXPECT_FALSE(launcher.runAndCapture({"/nonexistent/agent", {}}, 1000ms));
  EXPECT_FALSE(launcher.runAndWait({"/nonexistent/agent", {}}, 1000ms));
}

TEST(PosixProcessLauncher, WritesToAnAgentThatClosedItsInputFailWithoutSignal) {
  test::TestBundle bundle;
  bundle.setScript({"close-stdin", "write closed\\n"});
  PosixProcessLauncher launcher;
  Received received;
  auto child = launcher.launch({agentPath(bundle), {}}, launcher.environment(), received.handlers());
  ASSERT_TRUE(child);
  {
    std::unique_lock lock(received.mutex);
    ASSERT_TRUE(received.changed.wait_for(lock, 10s, [&] { return !received.output.empty(); }));
  }
  EXPECT_FALSE(child->input->writeAll("__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n"));
  child->process->terminate();
  EXPECT_TRUE(received.waitExit());
}

TEST(PosixProcessLauncher, CloseEndsAWriteBlockedOnAnAgentThatDoesNotRead) {
  test::TestBundle bundle;
  bundle.setScript({"ignore-stdin"});
  PosixProcessLauncher launcher;
  Received received;
  auto child = launcher.launch({agentPath(bundle), {}}, launcher.environment(), received.handlers());
  ASSERT_TRUE(child);
  std::atomic<int> result{-1};
  std::thread writer([&] { result = child->input->writeAll(std::string(4 * 1024 * 1024, 'x')) ? 1 : 0; });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(result.load(), -1);  // still blocked: the pipe is full
  child->input->close();
  writer.join();
  EXPECT_EQ(result.load(), 0);
  child->process->terminate();
  EXPECT_TRUE(received.waitExit());
}

TEST(PosixProcessLauncher, RunAndCaptureBoundsAHangingChildAndKeepsItsOutput) {
  test::TestBundle bundle;
  bundle.setScript({"write 设备 ID:42\\n", "hang"});
  PosixProcessLauncher launcher;
  const auto started = std::chrono::steady_clock::now();
  const auto output = launcher.runAndCapture({agentPath(bundle), {"--nogui"}}, 300ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_TRUE(output);
  EXPECT_EQ(*output, "设备 ID:42\n");
}

TEST(PosixProcessLauncher, RunAndWaitReportsTheExitStatus) {
  test::TestBundle bundle;
  bundle.setScript({"write lots of output that nobody reads\\n", "exit 3"});
  PosixProcessLauncher launcher;
  EXPECT_EQ(launcher.runAndWait({agentPath(bundle), {}}, 5000ms), 3);
}

}  // namespace
}  // namespace qova
