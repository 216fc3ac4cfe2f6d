#include "platform/linux/xcb_connection.h"

#include <signal.h>

#include <mutex>

namespace qova {

namespace {

// libxcb writes to its socket without MSG_NOSIGNAL, so a server that dies between two requests
// would end the process with SIGPIPE instead of breaking the connection. A handler someone else
// installed is left alone.
void ignoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
  });
}

}  // namespace

XcbConnection::XcbConnection() {
  ignoreBrokenPipes();
  const char* display = std::getenv("DISPLAY");
  displayName_ = display ? std::string("DISPLAY=") + display : "DISPLAY unset";
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_)) return;
  auto roots = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; roots.rem && i < screenNumber; ++i) xcb_screen_next(&roots);
  screen_ = roots.rem ? roots.data : nullptr;
}

XcbConnection::~XcbConnection() { xcb_disconnect(connection_); }

int XcbConnection::eventBase(xcb_extension_t& extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, &extension);
  return data && data->present ? data->first_event : -1;
}

bool XcbConnection::sync() const {
  return reply(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)) != nullptr;
}

}  // namespace qova
