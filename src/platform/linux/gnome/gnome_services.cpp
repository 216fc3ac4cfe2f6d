#include "platform/linux/gnome/gnome_services.h"

#include "platform/linux/gnome/mutter_event_poster.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/gnome/pipewire_screen_capture.h"

namespace qova {

namespace {

// The text goes onto the session's own clipboard, which every program of the desktop pastes from.
class MutterPasteboard : public Pasteboard {
 public:
  explicit MutterPasteboard(std::shared_ptr<MutterSession> session) : session_(std::move(session)) {}
  bool setString(const std::string& text) override {
    const auto info = session_->ensure();
    return info && session_->setClipboardText(info->generation, text);
  }

 private:
  std::shared_ptr<MutterSession> session_;
};

constexpr uint32_t kKeyboard = 1;
constexpr uint32_t kPointer = 2;

// GNOME asks nobody when its own interfaces are used from inside the session: screen recording is
// there when a screen cast can be made, input when the session may emulate a pointer and keyboard.
// Polled on the main thread, so a session being made is waited for only briefly.
class MutterPermissions : public Permissions {
 public:
  explicit MutterPermissions(std::shared_ptr<MutterSession> session) : session_(std::move(session)) {}
  bool screenCaptureAccess() override { return session_->ensure(MutterSession::Wait::briefly).has_value(); }
  bool inputAccess() override {
    const auto info = session_->ensure(MutterSession::Wait::briefly);
    return info && (info->deviceTypes & (kKeyboard | kPointer)) == (kKeyboard | kPointer);
  }
  bool requestScreenCaptureAccess() override { return screenCaptureAccess(); }
  bool requestInputAccess() override { return inputAccess(); }

 private:
  std::shared_ptr<MutterSession> session_;
};

}  // namespace

GnomeServices createGnomeServices() {
  auto session = MutterSession::create();
  return {std::make_shared<PipeWireScreenCapture>(session), std::make_shared<MutterEventPoster>(session),
          std::make_shared<MutterPasteboard>(session), std::make_shared<MutterPermissions>(session)};
}

bool gnomeRemoteDesktopAvailable() { return mutterRemoteDesktopAvailable(); }

}  // namespace qova
