#include "platform/permissions.h"
#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "permissions/permission_message.h"
#include "permissions/permission_requests.h"
#include "platform/process.h"
#include "platform/workspace.h"

namespace qova {

namespace {
constexpr Duration kPermissionPollInterval{1500};
constexpr Duration kSettingsCommandTimeout{10000};
}  // namespace

void AppDelegate::sendPermissionState(bool force) {
  QOVA_ASSERT_ON(mainQueue());
  const bool screen = services().permissions->screenCaptureAccess();
  const bool input = services().permissions->inputAccess();
  if (!force && lastScreenTrusted == screen && lastInputTrusted == input) return;
  lastScreenTrusted = screen;
  lastInputTrusted = input;
  writeAgentInput(permissionMessage(screen, input));
}

void AppDelegate::startPermissionSync() {
  QOVA_ASSERT_ON(mainQueue());
  lastScreenTrusted.reset();
  lastInputTrusted.reset();
  sendPermissionState(true);
  if (permissionTimer) permissionTimer->invalidate();
  permissionTimer = mainQueue().scheduleRepeating(
      kPermissionPollInterval,
      weakBlock(shared_from_this(), [](AppDelegate& self) { self.sendPermissionState(false); }));
}

void AppDelegate::requestScreenPermission() {
  QOVA_ASSERT_ON(mainQueue());
  Permissions& permissions = *services().permissions;
  if (permissions.screenCaptureAccess() || permissions.requestScreenCaptureAccess()) {
    setStatus("录屏权限已开启，正在刷新服务");
    restartAgent();
    return;
  }
  setStatus("录屏权限请求已发起");
}

void AppDelegate::requestAccessibilityPermission() {
  QOVA_ASSERT_ON(mainQueue());
  if (services().permissions->requestInputAccess()) {
    setStatus("辅助功能权限已开启，正在刷新服务");
    restartAgent();
    return;
  }
  setStatus("辅助功能权限请求已发起");
}

void AppDelegate::openScreenSettings() {
  QOVA_ASSERT_ON(mainQueue());
  openPrivacySettings(kScreenCaptureAnchor);
  setStatus("已打开录屏权限设置");
}

void AppDelegate::openAccessibilitySettings() {
  QOVA_ASSERT_ON(mainQueue());
  openPrivacySettings(kAccessibilityAnchor);
  setStatus("已打开辅助功能设置");
}

void AppDelegate::openPrivacySettings(std::string_view anchor) {
  QOVA_ASSERT_ON(mainQueue());
  std::vector<std::string> urls;
  for (std::string_view prefix : kSettingsURLPrefixes) {
    std::string url = std::string(prefix) + std::string(anchor);
    if (isValidURL(url)) urls.push_back(std::move(url));
  }
  // The block holds the services, not the controller: a settings program slow to start must not keep
  // the controller alive past the end of the application.
  desktopQueue->async([processes = services().processes, workspace = services().workspace,
                       script = privacySettingsScript(anchor), urls = std::move(urls)] {
    // Every way is tried every time, in this order: which one the desktop understands is not known
    // in advance.
    processes->runAndWait({std::string(kSettingsScriptRunner), {"-e", script}}, kSettingsCommandTimeout);
    for (const std::string& url : urls) workspace->openURL(url);
    // Desktops without the system settings above have their own privacy page.
    workspace->openPrivacySettings();
  });
}

}  // namespace qova
