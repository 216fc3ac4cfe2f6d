#include "platform/linux/x11_permissions.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "platform/linux/x_display.h"

namespace qova {

// A short-lived connection per test: a display that went away costs a false, not the process.
bool X11Permissions::screenCaptureAccess() {
  auto display = x11::openDisplay();
  if (!display) return false;
  x11::ErrorTrap trap(display.get());
  XImage* image = XGetImage(display.get(), DefaultRootWindow(display.get()), 0, 0, 1, 1, AllPlanes, ZPixmap);
  const bool readable = image != nullptr && !trap.failed();
  if (image) XDestroyImage(image);
  return readable;
}

bool X11Permissions::accessibilityTrusted() {
  auto display = x11::openDisplay();
  if (!display) return false;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  return XTestQueryExtension(display.get(), &eventBase, &errorBase, &major, &minor) == True;
}

bool X11Permissions::requestScreenCaptureAccess() { return screenCaptureAccess(); }

bool X11Permissions::requestAccessibilityTrust() { return accessibilityTrusted(); }

}  // namespace qova
