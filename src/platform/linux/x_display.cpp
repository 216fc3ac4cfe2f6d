#include "platform/linux/x_display.h"

#include <mutex>

namespace qova::x11 {

namespace {
thread_local ErrorTrap* activeTrap = nullptr;
int (*previousHandler)(Display*, XErrorEvent*) = nullptr;
std::once_flag installOnce;
}  // namespace

int trapHandler(Display* display, XErrorEvent* event) {
  if (activeTrap && activeTrap->display_ == display) {
    activeTrap->errorCode_ = event->error_code;
    return 0;
  }
  return previousHandler ? previousHandler(display, event) : 0;
}

DisplayPtr openDisplay() { return DisplayPtr(XOpenDisplay(nullptr)); }

ErrorTrap::ErrorTrap(Display* display) : display_(display), outer_(activeTrap) {
  std::call_once(installOnce, [] { previousHandler = XSetErrorHandler(trapHandler); });
  activeTrap = this;
}

ErrorTrap::~ErrorTrap() {
  XSync(display_, False);
  activeTrap = outer_;
}

bool ErrorTrap::failed() {
  XSync(display_, False);
  return errorCode_ != 0;
}

}  // namespace qova::x11

#include "platform/linux/x_threads.h"

namespace qova::x11 {
void initThreads() { XInitThreads(); }
}  // namespace qova::x11
