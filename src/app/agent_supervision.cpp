#include "agent/agent_contract.h"
#include "agent/agent_launch.h"
#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/permissions.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/workspace.h"

namespace qova {

namespace {
constexpr Duration kOnlineCheckDelay{1000};
constexpr Duration kRestartDelay{400};
// An agent that ignores the request to end would go on injecting input and holding its port.
constexpr Duration kAgentTerminationGrace{3000};
// pkill and the service manager end at once; the bound only keeps a wedged one from freezing us.
constexpr Duration kCommandTimeout{10000};
constexpr const char* kProcessKiller = "/usr/bin/pkill";
}  // namespace

std::string AppDelegate::agentURL() const { return agentPathInBundle(services().workspace->bundleDirectory()); }

void AppDelegate::startAgent() {
  QOVA_ASSERT_ON(mainQueue());
  if (process && process->isRunning()) return;
  stopLegacyAgentProcesses();

  const bool inputTrusted = services().permissions->inputAccess();
  const bool screenTrusted = services().permissions->screenCaptureAccess();
  auto environment = agentEnvironment(services().processes->environment(), inputTrusted, screenTrusted);

  // A previous agent that ended without its end being handled yet is replaced here.
  endRun();
  const uint64_t run = ++lastRun_;
  setCurrentRun(run);
  statusSinceLaunch_ = false;

  auto self = shared_from_this();
  ChildHandlers handlers;
  handlers.onOutput = weakBlock(
      self, [run, buffer = std::make_shared<AgentOutputBuffer>()](AppDelegate& delegate, std::string_view chunk) {
        delegate.handleAgentOutput(*buffer, chunk, run);
      });
  // The end notice must name its child, but may not keep it alive: it is filled in after launch.
  auto endedChild = std::make_shared<std::weak_ptr<ChildProcess>>();
  auto launchedLock = std::make_shared<std::mutex>();
  handlers.onExit = [weakSelf = std::weak_ptr<AppDelegate>(self), endedChild, launchedLock] {
    auto delegate = weakSelf.lock();
    if (!delegate) return;
    std::weak_ptr<ChildProcess> child;
    {
      std::lock_guard lock(*launchedLock);
      child = *endedChild;
    }
    delegate->mainQueue().post([weakSelf, child] {
      auto delegate = weakSelf.lock();
      auto ended = child.lock();
      if (delegate && ended) delegate->handleAgentEnd(ended);
    });
  };

  std::optional<LaunchedChild> launched;
  {
    // Held across the launch so a child that ends at once is still named by its end notice.
    std::lock_guard lock(*launchedLock);
    launched = services().processes->launch({agentURL(), {std::string(kAgentServiceArgument)}}, environment,
                                            std::move(handlers));
    if (launched) *endedChild = launched->process;
  }
  if (!launched) {
    endRun();
    setStatus("启动失败");
    return;
  }

  process = launched->process;
  setInputPipe(launched->input);
  startPermissionSync();
  setStatus("正在连接服务器");
  setServiceButtons(true);

  mainQueue().postAfter(kOnlineCheckDelay,
                        [weakSelf = std::weak_ptr<AppDelegate>(self), child = std::weak_ptr<ChildProcess>(process)] {
                          auto delegate = weakSelf.lock();
                          auto current = child.lock();
                          if (!delegate || !current || current != delegate->process || !current->isRunning()) return;
                          // Whatever the agent said of itself in its first second is closer to the truth.
                          if (delegate->statusSinceLaunch_) return;
                          delegate->setStatus("在线，等待 H5 控制");
                        });
}

void AppDelegate::handleAgentEnd(const std::shared_ptr<ChildProcess>& child) {
  QOVA_ASSERT_ON(mainQueue());
  if (child != process) return;
  clearAgent();
  setStatus("服务已停止");
  setServiceButtons(false);
}

void AppDelegate::clearAgent() {
  QOVA_ASSERT_ON(mainQueue());
  endRun();
  if (permissionTimer) permissionTimer->invalidate();
  permissionTimer.reset();
  stopCaptureBridge();
  // An agent that has ended already needs no request; its end handling comes here too.
  if (process && process->isRunning()) process->terminate(kAgentTerminationGrace);
  process.reset();
  setInputPipe(nullptr);
}

void AppDelegate::setCurrentRun(uint64_t run) {
  QOVA_ASSERT_ON(mainQueue());
  std::lock_guard lock(runMutex_);
  currentRun_ = run;
}

void AppDelegate::endRun() {
  QOVA_ASSERT_ON(mainQueue());
  setCurrentRun(0);
  forgetViewers();
  watchPasteboardFor(0);
  releaseHeldInput(Duration(0));
}

void AppDelegate::setServiceButtons(bool agentRunning) {
  QOVA_ASSERT_ON(mainQueue());
  startButton->setEnabled(!agentRunning);
  stopButton->setEnabled(agentRunning);
}

void AppDelegate::stopClicked() {
  QOVA_ASSERT_ON(mainQueue());
  clearAgent();
  setStatus("已停止");
  setServiceButtons(false);
}

void AppDelegate::restartAgent() {
  QOVA_ASSERT_ON(mainQueue());
  clearAgent();
  setServiceButtons(false);
  mainQueue().postAfter(kRestartDelay, weakBlock(shared_from_this(), [](AppDelegate& self) { self.startAgent(); }));
}

void AppDelegate::runCommand(const std::string& path, const std::vector<std::string>& arguments) {
  services().processes->runAndWait({path, arguments}, kCommandTimeout);
}

void AppDelegate::stopLegacyAgentProcesses() {
  for (const auto& pattern : legacyProcessPatterns(services().workspace->homeDirectory())) {
    runCommand(kProcessKiller, {"-f", pattern});
  }
}

void AppDelegate::stopLegacyLaunchAgent() {
  QOVA_ASSERT_ON(mainQueue());
  const auto& workspace = *services().workspace;
  for (const auto& command : services().serviceManager->removalCommands(kAgentIdentifier, workspace.homeDirectory(),
                                                                        workspace.realUserId())) {
    runCommand(command.path, command.arguments);
  }
  stopLegacyAgentProcesses();
}

}  // namespace qova
