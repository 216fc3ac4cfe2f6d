#include "platform/permissions.h"
#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "permissions/permission_message.h"
#include "permissions/permission_requests.h"
#include "platform/workspace.h"

namespace qova {

namespace {
constexpr Duration kPermissionPollInterval{1500};
}  // namespace

void AppDelegate::sendPermissionState(bool force) {
  QOVA_ASSERT_ON(mainQueue());
  const bool screen = services().permissions->screenCaptureAccess();
  const bool input = services().permissions->accessibilityTrusted();
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
  if (services().permissions->requestAccessibilityTrust()) {
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
  // Every way is tried every time: which one the desktop understands is not known in advance.
  runCommand(std::string(kSettingsScriptRunner), {"-e", privacySettingsScript(anchor)});
  for (std::string_view prefix : kSettingsURLPrefixes) openSettingsURL(std::string(prefix) + std::string(anchor));
  // Desktops without the system settings above have their own privacy page.
  services().workspace->openPrivacySettings();
}

void AppDelegate::openSettingsURL(const std::string& text) {
  QOVA_ASSERT_ON(mainQueue());
  if (!isValidURL(text)) return;
  services().workspace->openURL(text);
}

}  // namespace qova
