#include "platform/linux/gnome/gnome_services.h"

#include "platform/linux/gnome/mutter_event_poster.h"
#include "platform/linux/gnome/mutter_session.h"
#include "platform/linux/gnome/pipewire_screen_capture.h"

namespace qova {

namespace {

// The text goes onto the session's own clipboard, which every program of the desktop pastes from;
// while watched, what other programs copy is read from there, once a session runs.
class MutterPasteboard : public Pasteboard, public PasteboardWatcher {
 public:
  explicit MutterPasteboard(std::shared_ptr<MutterSession> session) : session_(std::move(session)) {}
  bool setString(const std::string& text) override {
    const auto info = session_->ensure();
    return info && session_->setClipboardText(info->generation, text);
  }
  void watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) override {
    session_->watchClipboard(std::move(changed), maxBytes);
  }
  void stopWatchingPasteboard() override { session_->watchClipboard(nullptr, 0); }

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
  auto pasteboard = std::make_shared<MutterPasteboard>(session);
  return {std::make_shared<PipeWireScreenCapture>(session), std::make_shared<MutterEventPoster>(session), pasteboard,
          std::make_shared<MutterPermissions>(session), pasteboard};
}

bool gnomeRemoteDesktopAvailable() { return mutterRemoteDesktopAvailable(); }

}  // namespace qova
