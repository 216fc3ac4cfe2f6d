#include "app/app_delegate.h"
#include "base/weak_block.h"
#include "permissions/permission_message.h"
#include "base/main_queue.h"
#include "platform/permissions.h"

namespace qova {

namespace {
constexpr Duration kPermissionPollInterval{1500};
}  // namespace

void AppDelegate::sendPermissionState(bool force) {
  const bool screen = services().permissions->screenCaptureAccess();
  const bool input = services().permissions->accessibilityTrusted();
  if (!force && lastScreenTrusted == screen && lastInputTrusted == input) return;
  lastScreenTrusted = screen;
  lastInputTrusted = input;
  writeAgentInput(permissionMessage(screen, input));
}

void AppDelegate::startPermissionSync() {
  lastScreenTrusted.reset();
  lastInputTrusted.reset();
  sendPermissionState(true);
  if (permissionTimer) permissionTimer->invalidate();
  permissionTimer = mainQueue().scheduleRepeating(
      kPermissionPollInterval, weakBlock(shared_from_this(), [](AppDelegate& self) { self.sendPermissionState(false); }));
}

}  // namespace qova
