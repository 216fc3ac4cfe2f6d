#include "app/app_delegate.h"
#include "base/thread_check.h"

#include <algorithm>

#include "agent/agent_contract.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/imaging.h"
#include "platform/process.h"

namespace qova {

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
  captureQueue = std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".capture");
  streamOutputQueue = std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".stream-output");
  desktopQueue = std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".desktop");
  if (services_.imaging) ciContext = services_.imaging->makeContext();
}

AppDelegate::~AppDelegate() = default;

MainQueue& AppDelegate::mainQueue() const { return *services_.mainQueue; }

void AppDelegate::setStatus(std::string_view text) {
  QOVA_ASSERT_ON(mainQueue());
  statusLabel->setText(std::string(text));
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
  if (process) process->terminate();
}

void AppDelegate::startClicked() { startAgent(); }

}  // namespace qova
