#pragma once

#include <memory>
#include <mutex>

#include "platform/event_poster.h"

namespace qova {

class MutterSession;

// Synthesised input through GNOME's remote-desktop session: absolute pointer motion on the recorded
// monitor's stream (points are global and made stream-local; NaN gives 0, and the point is kept on
// the monitor), evdev buttons (left 0x110, right 0x111), discrete wheel steps, and keys as the X
// keysyms of the common key table with the flags' modifier keys pressed around the key as on X11;
// characters go as their keysyms, for which the compositor picks the key and level of its layout.
// Each post returns once its calls are queued on the session's bus thread, which sends them in order
// without waiting for replies. Without a session every event is skipped. Thread-safe.
class MutterEventPoster : public EventPoster {
 public:
  explicit MutterEventPoster(std::shared_ptr<MutterSession> session);
  ~MutterEventPoster() override;

  void moveCursor(double x, double y) override;
  void postMouseEvent(MouseEventType type, double x, double y, MouseButton button) override;
  void postScrollWheel(int32_t lines) override;
  void postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) override;
  bool postCharacter(char32_t codePoint) override;
  void sleepMs(uint32_t milliseconds) override;

 private:
  void motion(uint64_t generation, double x, double y);
  void holdModifiers(uint64_t generation, unsigned wanted);

  const std::shared_ptr<MutterSession> session_;
  std::mutex mutex_;
  unsigned heldModifiers_ = 0;
  uint64_t heldIn_ = 0;  // the session the modifiers are held in
  double left_ = 0, top_ = 0, width_ = 0, height_ = 0;
};

}  // namespace qova
