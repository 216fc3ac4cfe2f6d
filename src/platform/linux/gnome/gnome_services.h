#pragma once

#include <memory>

#include "platform/event_poster.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"
#include "platform/screen_capture.h"

namespace qova {

// Capture, input, the clipboard and the permission probes of a GNOME (Mutter) Wayland session, all
// on one remote-desktop session that is made on first need.
struct GnomeServices {
  std::shared_ptr<ScreenCapture> screenCapture;
  std::shared_ptr<EventPoster> eventPoster;
  std::shared_ptr<Pasteboard> pasteboard;
  std::shared_ptr<Permissions> permissions;
  std::shared_ptr<PasteboardWatcher> pasteboardWatcher;
};

GnomeServices createGnomeServices();

// Whether GNOME's remote-desktop interfaces are on the session bus; asks nothing more of it.
bool gnomeRemoteDesktopAvailable();

}  // namespace qova
