#pragma once

// X11 helpers shared by the Linux backends. Include only from .cpp files under platform/linux/.

#include <X11/Xlib.h>

#include <memory>

namespace qova::x11 {

struct DisplayCloser {
  void operator()(Display* display) const {
    if (display) XCloseDisplay(display);
  }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

// Opens the default display ($DISPLAY); null when there is none.
DisplayPtr openDisplay();

// Catches X protocol errors raised on this thread while it is alive instead of letting Xlib's
// default handler end the process. Errors of other threads keep going to the handler that was there.
class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display);
  ~ErrorTrap();
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;
  // Syncs with the server and tells whether any error arrived since the trap was set.
  bool failed();

 private:
  Display* display_;
  ErrorTrap* outer_;
  int errorCode_ = 0;
  friend int trapHandler(Display*, XErrorEvent*);
};

}  // namespace qova::x11
