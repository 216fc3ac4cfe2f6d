#pragma once

// Include only from .cpp files under platform/linux/.

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace qova {

// Replies of XCB are malloc'd; this frees them.
template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;
template <class T>
Reply<T> reply(T* raw) {
  return Reply<T>(raw, &std::free);
}

// A connection to the display named by $DISPLAY, owned by one user of the X server (the capture
// stream, the input poster, one question of the permission probe). XCB reports a server that went
// away as an error state of the connection instead of ending the process, which Xlib does unless
// every handler cooperates; so the owner checks `broken()` and makes a new one when it needs to.
class XcbConnection {
 public:
  XcbConnection();
  ~XcbConnection();
  XcbConnection(const XcbConnection&) = delete;
  XcbConnection& operator=(const XcbConnection&) = delete;

  bool usable() const { return screen_ != nullptr && !broken(); }
  bool broken() const { return xcb_connection_has_error(connection_) != 0; }
  xcb_connection_t* get() const { return connection_; }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  // The first event code of an extension, or -1 when the server lacks it.
  int eventBase(xcb_extension_t& extension) const;
  bool has(xcb_extension_t& extension) const { return eventBase(extension) >= 0; }
  // Returns once the server has handled every request sent before; false when the connection broke.
  bool sync() const;
  // "DISPLAY=:0" (or "DISPLAY unset") as it was when connecting, for lines that say what failed.
  const std::string& displayName() const { return displayName_; }

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  std::string displayName_;
};

}  // namespace qova
