#include "app/app_delegate.h"
#include "base/thread_check.h"

#include <algorithm>

#include "agent/agent_contract.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/weak_block.h"
#include "capture/capture_session.h"
#include "platform/controls.h"
#include "platform/process.h"

namespace qova {

namespace {
// Longer than any input command but a paste, which waits on the main thread itself.
constexpr Duration kQuitReleaseWait{500};
// The same grace as a stop; it holds only while this process still runs.
constexpr Duration kQuitTerminationGrace{3000};
constexpr Duration kQuitKillWait{1000};
}  // namespace

AppDelegate::AppDelegate(PlatformServices services) : services_(std::move(services)) {
  Controls& controls = *services_.controls;
  statusLabel = controls.makeLabel("未启动");
  idValue = controls.makeLabel("-");
  codeValue = controls.makeLabel("-");
  serverValue = controls.makeLabel("-");
  startButton = controls.makeButton("启动服务");
  stopButton = controls.makeButton("停止服务");
  fileListStack = controls.makeStackView();
  fileEmptyLabel = controls.makeLabel("暂无收到的文件");
  filePathLabel = controls.makeLabel("");
  agentInputQueue = std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".input");
  capture = std::make_shared<CaptureSession>(services_.screenCapture, services_.permissions, services_.imaging,
                                             services_.mainQueue);
  desktopQueue = std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".desktop");
}

AppDelegate::~AppDelegate() = default;

MainQueue& AppDelegate::mainQueue() const { return *services_.mainQueue; }

void AppDelegate::setStatus(std::string_view text) {
  QOVA_ASSERT_ON(mainQueue());
  statusText_ = std::string(text);
  showStatusLine();
}

void AppDelegate::applicationDidFinishLaunching(const std::vector<std::string>& arguments) {
  QOVA_ASSERT_ON(mainQueue());
  // Before anything that touches agents: a second start must leave the running one's agent alone.
  if (!claimSingleInstance()) {
    services_.controls->terminateApplication();
    return;
  }
  stopLegacyLaunchAgent();
  buildWindow();
  if (!services_.desktopUnavailable.empty()) setStatus(services_.desktopUnavailable);
  showTrayIcon();
  loadIdentity();
  startFileRefreshTimer();
  services_.controls->activateApplication();
  if (std::find(arguments.begin(), arguments.end(), kAutoStartArgument) != arguments.end()) {
    mainQueue().postAfter(Duration(500), weakBlock(shared_from_this(), [](AppDelegate& self) { self.startAgent(); }));
  }
}

void AppDelegate::applicationWillTerminate() {
  QOVA_ASSERT_ON(mainQueue());
  if (permissionTimer) permissionTimer->invalidate();
  if (fileRefreshTimer) fileRefreshTimer->invalidate();
  stopCaptureBridge();
  setCurrentRun(0);
  // Nothing runs after this to release a drag later, so a command in flight is given a moment.
  releaseHeldInput(kQuitReleaseWait);
  if (process) {
    process->terminate(kQuitTerminationGrace);
    // The kill of an agent that ignores the request is carried out by a thread of this process, which
    // ends with the quit: so the quit waits for the agent's end, a moment past the grace at most.
    process->waitForEnd(kQuitTerminationGrace + kQuitKillWait);
  }
}

void AppDelegate::startClicked() { startAgent(); }

}  // namespace qova
