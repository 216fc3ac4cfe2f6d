#include "platform/linux/x11_permissions.h"

#include <xcb/xtest.h>

#include <utility>

#include "base/log.h"
#include "platform/linux/xcb_connection.h"

namespace qova {

namespace {
const Log kLog("permissions");
}  // namespace

bool X11Permissions::reached(const XcbConnection& x) {
  if (x.usable()) {
    reportedNoDisplay_ = false;
    return true;
  }
  if (!std::exchange(reportedNoDisplay_, true)) {
    kLog.warning("cannot connect to the X display (" + x.displayName() +
                 "); screen capture and input are not available");
  }
  return false;
}

// A short-lived connection per question: a display that went away costs a false, not the process.
bool X11Permissions::screenCaptureAccess() {
  XcbConnection x;
  if (!reached(x)) return false;
  xcb_connection_t* c = x.get();
  auto cookie = xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, x.root(), 0, 0, 1, 1, ~0u);
  return reply(xcb_get_image_reply(c, cookie, nullptr)) != nullptr;
}

bool X11Permissions::inputAccess() {
  XcbConnection x;
  if (!reached(x)) return false;
  const bool present = x.has(xcb_test_id);
  if (present) {
    reportedNoXTest_ = false;
  } else if (!std::exchange(reportedNoXTest_, true)) {
    kLog.warning("the X server (" + x.displayName() + ") has no XTest extension; input is not available");
  }
  return present;
}

bool X11Permissions::requestScreenCaptureAccess() { return screenCaptureAccess(); }

bool X11Permissions::requestInputAccess() { return inputAccess(); }

}  // namespace qova
