// Real children and threads: the POSIX process launcher, the serial queue, the release of an object
// on its home thread, and the controller supervising the test agent through real pipes.
#include "platform/linux/posix/posix_process_launcher.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "app/app_delegate.h"
#include "app/home_thread_release.h"
#include "base/serial_queue.h"
#include "capture/capture_session.h"
#include "fakes/fake_platform_services.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

// What a launched child delivered, in order: its output, then "<exit>".
struct Received {
  std::mutex mutex;
  std::string log;
  ChildHandlers handlers() {
    auto append = [this](std::string_view text) {
      std::lock_guard lock(mutex);
      log.append(text);
    };
    return {append, [append] { append("<exit>"); }};
  }
  std::string text() {
    std::lock_guard lock(mutex);
    return log;
  }
  bool waitFor(const std::string& expected) {
    return waitUntil([&] { return text() == expected; }, 10s);
  }
};

class PosixProcessLauncherTest : public ::testing::Test {
 protected:
  LaunchedChild launch(const std::vector<std::string>& script) {
    bundle.setScript(script);
    auto child = launcher.launch({bundle.agentPath(), {}}, launcher.environment(), received.handlers());
    EXPECT_TRUE(child);
    return child.value_or(LaunchedChild{});
  }
  TestBundle bundle;
  PosixProcessLauncher launcher;
  Received received;
};

TEST_F(PosixProcessLauncherTest, TheChildGetsExactlyItsArgumentsAndEnvironmentAndBothStreamsComeBackInOrder) {
  bundle.setScript({"write out\\n", "error err\\n", "write out again\\n"});
  std::vector<std::string> environment = {"EXTRA=with space"};
  for (const auto& entry : launcher.environment()) {
    if (entry.starts_with("QOVA_TEST_AGENT_")) environment.push_back(entry);
  }
  auto child = launcher.launch({bundle.agentPath(), {"--nogui", "two words"}}, environment, received.handlers());
  ASSERT_TRUE(child);
  child->input->close();  // end of input: the test agent exits
  EXPECT_TRUE(received.waitFor("out\nerr\nout again\n<exit>")) << received.text();
  EXPECT_FALSE(child->process->isRunning());
  EXPECT_EQ(bundle.recordLines("argv.txt"), (std::vector<std::string>{"--nogui", "two words"}));
  EXPECT_EQ(bundle.recordLines("env.txt"), environment);
}

TEST_F(PosixProcessLauncherTest, AProgramThatCannotRunIsNotLaunched) {
  EXPECT_FALSE(launcher.launch({"/etc/hostname", {}}, {}, received.handlers()));
  EXPECT_FALSE(launcher.runAndCapture({"/etc/hostname", {}}, 1000ms));
  EXPECT_FALSE(launcher.runAndWait({"/etc/hostname", {}}, 1000ms));
  EXPECT_EQ(received.text(), "");
}

TEST_F(PosixProcessLauncherTest, WritesToAChildThatClosedItsInputFailWithoutASignalAndTerminateEndsIt) {
  auto child = launch({"close-stdin", "write closed\\n"});
  ASSERT_TRUE(received.waitFor("closed\n"));
  EXPECT_FALSE(child.input->writeAll("__QOVA_PERMISSION__{}\n"));  // a SIGPIPE would end this test
  EXPECT_TRUE(child.process->isRunning());
  child.process->terminate(10s);
  EXPECT_TRUE(received.waitFor("closed\n<exit>"));
}

TEST_F(PosixProcessLauncherTest, CloseEndsABlockedWriteAndAChildIgnoringTheRequestToEndIsKilledAfterItsGrace) {
  auto child = launch({"ignore-stdin", "ignore-term", "write ignoring\\n", "hang"});
  ASSERT_TRUE(received.waitFor("ignoring\n"));
  std::atomic<int> result{-1};
  std::thread writer([&] { result = child.input->writeAll(std::string(4 * 1024 * 1024, 'x')) ? 1 : 0; });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(result.load(), -1);  // still blocked: the pipe is full
  child.input->close();
  writer.join();
  EXPECT_EQ(result.load(), 0);
  child.process->terminate(200ms);
  EXPECT_TRUE(received.waitFor("ignoring\n<exit>"));
  EXPECT_FALSE(child.process->isRunning());
}

TEST_F(PosixProcessLauncherTest, RunsToTheEndAreBoundedAndKeepWhatTheChildPrintedOrItsStatus) {
  bundle.setScript({"write 设备 ID:42\\n", "error and on stderr\\n", "hang"});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(launcher.runAndCapture({bundle.agentPath(), {}}, 300ms), "设备 ID:42\nand on stderr\n");
  EXPECT_EQ(launcher.runAndWait({bundle.agentPath(), {}}, 300ms), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  bundle.setScript({"write output nobody reads\\n", "exit 3"});
  EXPECT_EQ(launcher.runAndWait({bundle.agentPath(), {}}, 5000ms), 3);
}

TEST(SerialQueue, BlocksFromManyThreadsRunOneAtATimeEachThreadsInTheOrderItQueuedThem) {
  SerialQueue queue("many-producers");
  constexpr int kProducers = 4, kBlocks = 500;
  std::vector<int> next(kProducers, 0);  // touched only by blocks: serial execution makes that safe
  std::atomic<int> running{0}, outOfOrder{0}, overlapped{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kBlocks; ++i) {
        queue.async([&, p, i] {
          overlapped += running.fetch_add(1) != 0;
          outOfOrder += next[static_cast<size_t>(p)]++ != i;
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  queue.drain();
  EXPECT_EQ(overlapped.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_EQ(next, std::vector<int>(kProducers, kBlocks));
}

TEST(SerialQueue, TheLastOwnerMayReleaseTheQueueFromItsOwnBlock) {
  auto owner = std::make_shared<std::unique_ptr<SerialQueue>>(std::make_unique<SerialQueue>("self-release"));
  std::atomic<bool> released{false};
  (*owner)->async([owner, &released] {
    owner->reset();  // destroys the queue on its own worker
    released = true;
  });
  EXPECT_TRUE(waitUntil([&] { return released.load(); }, 5s));
}

struct Owned {
  explicit Owned(std::atomic<std::thread::id>* destroyedOn) : destroyedOn(destroyedOn) {}
  ~Owned() { *destroyedOn = std::this_thread::get_id(); }
  std::atomic<std::thread::id>* destroyedOn;
};

// Where an abandoned object ends up, so that it stays reachable and no leak check counts it.
Owned* abandonedObject = nullptr;

TEST(HomeThreadRelease, TheObjectIsDestroyedAtHomeWhoeverLetsGoLastOrNotAtAll) {
  enum Last { home, workerWhileHomeWaits, workerAfterHomeGaveUp };
  for (const Last last : {home, workerWhileHomeWaits, workerAfterHomeGaveUp}) {
    SCOPED_TRACE(last);
    std::atomic<std::thread::id> destroyedOn{};
    HomeThreadRelease<Owned> release;
    auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));
    abandonedObject = owned.get();
    std::promise<void> letGo;
    std::thread worker([held = owned, go = letGo.get_future()]() mutable {
      go.wait();
      held.reset();
    });
    if (last == home) {
      letGo.set_value();
      worker.join();
    }
    owned.reset();
    if (last == workerWhileHomeWaits) letGo.set_value();
    EXPECT_EQ(release.finish(last == workerAfterHomeGaveUp ? 50ms : 10s), last != workerAfterHomeGaveUp);
    if (last == workerAfterHomeGaveUp) letGo.set_value();
    if (worker.joinable()) worker.join();
    EXPECT_EQ(destroyedOn.load(), last == workerAfterHomeGaveUp ? std::thread::id() : std::this_thread::get_id());
  }
}

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

TEST_F(AgentSupervisionTest, AQuitOutlivesNoAgentThatIgnoresTheRequestToEnd) {
  bundle.setScript({"ignore-term", "write socket closed\\n", "hang"});
  delegate->startAgent();
  const int stubborn = delegate->process->processId();
  ASSERT_TRUE(pumpUntil([&] { return statuses().back() == "连接中"; }));
  delegate->applicationWillTerminate();
  EXPECT_NE(kill(stubborn, 0), 0);
}

TEST_F(AgentSupervisionTest, AnAgentKilledInTheMiddleOfAFrameLeavesTheNextOneWholeFrames) {
  const std::string jpeg(1 << 20, 'J');  // many times what a pipe holds
  fakes.imaging->context->jpeg = jpeg;
  const std::string startCapture = "write __QOVA_CAPTURE__{\"action\":\"start\"}\\n";
  for (size_t agent = 1; agent <= 2; ++agent) {
    bundle.setScript(agent == 1 ? std::vector<std::string>{"ignore-stdin", startCapture} : std::vector{startCapture});
    std::filesystem::remove(bundle.root() + "/record/stdin.bin");
    delegate->startAgent();
    ASSERT_TRUE(pumpUntil([&] { return fakes.screenCapture->streams().size() == agent; }));
    fakes.screenCapture->streams().back()->deliver({FrameStatus::complete, solidPixelBuffer(1440, 900), {}, {}});
    if (agent == 2) break;
    std::this_thread::sleep_for(200ms);
    kill(delegate->process->processId(), SIGKILL);
    ASSERT_TRUE(pumpUntil([&] { return !delegate->process && !delegate->capture->captureActive; }));
  }
  ASSERT_TRUE(pumpUntil([&] { return bundle.readRecord("stdin.bin").ends_with(jpeg); }));
  const std::string input = bundle.readRecord("stdin.bin");
  const size_t header = input.find('\n') + 1;
  EXPECT_TRUE(input.starts_with("__QOVA_PERMISSION__") && input.substr(header).starts_with("__QOVA_FRAME_BYTES__{"));
  EXPECT_EQ(input.find('\n', header) + 1 + jpeg.size(), input.size());
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
}

}  // namespace
}  // namespace qova::test
