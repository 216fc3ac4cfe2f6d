#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/event_poster.h"

namespace qova {

// A root-window coordinate for an unchecked double: NaN gives 0, the value is clamped to the signed
// 16-bit range that the X protocol carries and then floored to the pixel that contains it.
int toXCoordinate(double value);

// Synthesised input through the XTest extension on a connection of its own (opened on first use).
// Buttons, wheel lines and keys arrive as if from the core pointer and keyboard:
// - left and right are buttons 1 and 3; a dragged event is pointer motion with the button still held;
// - each wheel line is one click of button 4 (up) or 5 (down);
// - key codes of the ANSI key table map to X keysyms and then to the server's keycodes; modifier
//   flags are pressed as modifier keys around the key and released after its key up (command and
//   control both give Control, option gives Alt, shift gives Shift).
// - a character is typed by its keysym on the keycode whose first group holds it, with Shift and
//   ISO_Level3_Shift (AltGr) pressed around it as its level needs; a keysym the mapping lacks is lent
//   an empty keycode for as long as it is among the last few lent (restored when the poster goes).
// Without a display or without XTest every event is skipped (the connection is tried again at most
// once a second); a connection the server dropped is replaced before the next event. Thread-safe;
// meant for the agent output reader thread. Each post returns after the server has taken the event.
class XTestEventPoster : public EventPoster {
 public:
  XTestEventPoster();
  ~XTestEventPoster() override;
  XTestEventPoster(const XTestEventPoster&) = delete;
  XTestEventPoster& operator=(const XTestEventPoster&) = delete;

  void moveCursor(double x, double y) override;
  void postMouseEvent(MouseEventType type, double x, double y, MouseButton button) override;
  void postScrollWheel(int32_t lines) override;
  void postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) override;
  bool postCharacter(char32_t codePoint) override;
  void sleepMs(uint32_t milliseconds) override;

  // Whether a display with XTest could be reached (opens the connection if needed).
  bool available();

 private:
  struct Connection;
  Connection* connection();
  std::unique_ptr<Connection> connect();
  template <class Events>
  void post(Events&& events);

  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
  std::optional<std::chrono::steady_clock::time_point> lastFailure_;
  bool reportedNoDisplay_ = false;
  bool reportedNoXTest_ = false;
};

}  // namespace qova
