#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event_poster.h"
#include "platform/pasteboard.h"

namespace qova {

class ClipboardWatch;

// Synthesised input and the clipboard on a wlroots compositor, on one connection owned by one thread
// of its own (made on first use):
// - a virtual pointer whose absolute motion covers the main display (the first output): left and
//   right are BTN_LEFT and BTN_RIGHT, a dragged event is motion with the button still held, each
//   wheel line is one discrete step of the vertical axis;
// - a virtual keyboard with a US keymap built by libxkbcommon: key codes of the ANSI key table map to
//   the X keysym of the same key and then to this keymap's keys; modifier flags are pressed as on X11
//   (command and control give Control, option Alt, shift Shift) around the key and released after it;
//   a character is typed on the key (with Shift if its level needs it) that gives its keysym, or on a
//   spare key that the keymap, sent anew, lends the keysym;
// - the clipboard through data control: the text becomes the seat's selection, served to whoever
//   pastes it for as long as nobody replaces it; while watched, each new selection with text is read
//   (on a short-lived thread, so a slow owner holds up nothing else) and only the newest is told.
// Without a compositor, or without one of these protocols, the events it needs are skipped (the
// connection is tried again at most once a second); a connection the compositor dropped is replaced
// before the next event. Thread-safe; each post returns after the compositor has taken the event.
class WlrootsInput : public EventPoster, public Pasteboard, public PasteboardWatcher {
 public:
  WlrootsInput();
  ~WlrootsInput() override;
  WlrootsInput(const WlrootsInput&) = delete;
  WlrootsInput& operator=(const WlrootsInput&) = delete;

  void moveCursor(double x, double y) override;
  void postMouseEvent(MouseEventType type, double x, double y, MouseButton button) override;
  void postScrollWheel(int32_t lines) override;
  void postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) override;
  bool postCharacter(char32_t codePoint) override;
  void sleepMs(uint32_t milliseconds) override;
  bool setString(const std::string& text) override;
  // Connects at once (waiting for the compositor, a few seconds at most), so that what is copied from
  // now on is seen; a selection that was there before is not told.
  void watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) override;
  void stopWatchingPasteboard() override;
  void followDisplay(uint32_t displayId) override { followed_.store(displayId); }

  struct Session;

 private:
  class Worker;
  // Runs `task` on the connection's thread and waits for it; false when there is no session.
  bool call(std::function<bool(Session&)> task);

  std::atomic<uint32_t> followed_{0};  // the output the pointer is bound to, once a display is followed
  std::mutex mutex_;  // one call at a time; guards what follows
  std::unique_ptr<Worker> worker_;
  std::optional<std::chrono::steady_clock::time_point> lastFailure_;
  const std::shared_ptr<ClipboardWatch> watching_;
};

}  // namespace qova
