#include "platform/linux/wayland/wlroots_permissions.h"

#include "base/log.h"
#include "platform/linux/wayland/wayland_connection.h"

namespace qova {

namespace {

const Log kLog("permissions");

// True when `granted`; otherwise says `missing` once until it was granted in between.
bool report(bool granted, std::atomic<bool>& reported, const char* missing) {
  if (granted) {
    reported = false;
  } else if (!reported.exchange(true)) {
    kLog.warning(missing);
  }
  return granted;
}

}  // namespace

WlrootsGlobals probeWlrootsCompositor() {
  const auto c = wayland::Connection::open();
  if (!c) return {};
  return {true, c->screencopy != nullptr && c->shm != nullptr, c->pointerManager != nullptr,
          c->keyboardManager != nullptr && c->seat != nullptr, c->dataControlManager != nullptr && c->seat != nullptr};
}

bool WlrootsPermissions::screenCaptureAccess() {
  return report(probeWlrootsCompositor().screenCopy, reportedNoScreenCopy_,
                "the Wayland compositor offers no screen copy (or none answers); screen capture is not available");
}

bool WlrootsPermissions::inputAccess() {
  const auto offer = probeWlrootsCompositor();
  return report(offer.virtualPointer && offer.virtualKeyboard, reportedNoInput_,
                "the Wayland compositor offers no virtual pointer and keyboard (or none answers); input is not "
                "available");
}

}  // namespace qova
