#pragma once

#include <thread>

#include "platform/event_poster.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"
#include "platform/screen_capture.h"

namespace qova {

// The bundle for a session no desktop backend fits (a Wayland compositor without the protocols we
// use): nothing can be captured or posted, and both permissions are refused, so the viewer is told
// the truth instead of being shown another session's X server.
class NoDesktop : public Permissions, public ScreenCapture, public EventPoster, public Pasteboard {
 public:
  bool screenCaptureAccess() override { return false; }
  bool inputAccess() override { return false; }
  bool requestScreenCaptureAccess() override { return false; }
  bool requestInputAccess() override { return false; }

  std::optional<ShareableContent> shareableContent() override { return std::nullopt; }
  uint32_t mainDisplayId() override { return 0; }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay&, const ScreenStreamConfiguration&,
                                           std::shared_ptr<ScreenStreamClient>, std::shared_ptr<SerialQueue>) override {
    return nullptr;
  }

  void moveCursor(double, double) override {}
  void postMouseEvent(MouseEventType, double, double, MouseButton) override {}
  void postScrollWheel(int32_t) override {}
  void postKeyEvent(uint16_t, bool, ModifierFlags) override {}
  void sleepMs(uint32_t milliseconds) override { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

  bool setString(const std::string&) override { return false; }
};

}  // namespace qova
