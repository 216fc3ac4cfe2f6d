#include "permissions/permission_requests.h"

#include <cctype>

#include "app/app_delegate.h"
#include "platform/permissions.h"
#include "platform/workspace.h"

namespace qova {

std::string privacySettingsScript(std::string_view anchor) {
  std::string script = "tell application \"System Settings\"\n  activate\n  reveal anchor \"";
  script += anchor;
  script += "\" of pane id \"com.apple.preference.security\"\nend tell";
  return script;
}

bool isValidURL(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto isAlpha = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  const auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  if (!isAlpha(text[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!isAlnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=";
  for (size_t i = colon + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return false;
      }
      i += 2;
    } else if (!isAlnum(c) && kAllowed.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

void AppDelegate::requestScreenPermission() {
  Permissions& permissions = *services().permissions;
  if (permissions.screenCaptureAccess() || permissions.requestScreenCaptureAccess()) {
    setStatus("录屏权限已开启，正在刷新服务");
    restartAgent();
    return;
  }
  setStatus("录屏权限请求已发起");
}

void AppDelegate::requestAccessibilityPermission() {
  if (services().permissions->requestAccessibilityTrust()) {
    setStatus("辅助功能权限已开启，正在刷新服务");
    restartAgent();
    return;
  }
  setStatus("辅助功能权限请求已发起");
}

void AppDelegate::openScreenSettings() {
  openPrivacySettings(kScreenCaptureAnchor);
  setStatus("已打开录屏权限设置");
}

void AppDelegate::openAccessibilitySettings() {
  openPrivacySettings(kAccessibilityAnchor);
  setStatus("已打开辅助功能设置");
}

void AppDelegate::openPrivacySettings(std::string_view anchor) {
  // Every way is tried every time: which one the desktop understands is not known in advance.
  runCommand(std::string(kSettingsScriptRunner), {"-e", privacySettingsScript(anchor)});
  for (std::string_view prefix : kSettingsURLPrefixes) openSettingsURL(std::string(prefix) + std::string(anchor));
  // Desktops without the system settings above have their own privacy page.
  services().workspace->openPrivacySettings();
}

void AppDelegate::openSettingsURL(const std::string& text) {
  if (!isValidURL(text)) return;
  services().workspace->openURL(text);
}

}  // namespace qova
