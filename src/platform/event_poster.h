#pragma once

#include <cstdint>

namespace qova {

// The mouse buttons the remote input uses, with the values the rest of the system knows them by.
enum class MouseButton : uint32_t { left = 0, right = 1 };

// Modifier bits carried on a key event (the kModifier constants below); 0 means none.
using ModifierFlags = uint64_t;

inline constexpr ModifierFlags kModifierShift = 0x20000;
inline constexpr ModifierFlags kModifierControl = 0x40000;
inline constexpr ModifierFlags kModifierAlternate = 0x80000;
inline constexpr ModifierFlags kModifierCommand = 0x100000;

// Mouse event kinds; the button the event is for travels beside it.
enum class MouseEventType : uint32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  leftMouseDragged = 6,
  rightMouseDragged = 7,
};

// Synthesised pointer and keyboard input, delivered where hardware input enters the system, plus the
// pauses that pace it. Called one call at a time: on the agent output reader thread, or on the main
// thread releasing what an agent that has gone left pressed. Every post
// returns once the event has been handed over; an event the system cannot make is skipped silently,
// and the caller goes on with the rest of its sequence either way.
class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // Moves the cursor to the point (global display coordinates, y down, unchecked doubles) and keeps
  // pointer movement coupled to it.
  virtual void moveCursor(double x, double y) = 0;
  // A button down, up or dragged event for `button` at the point.
  virtual void postMouseEvent(MouseEventType type, double x, double y, MouseButton button) = 0;
  // One vertical scroll-wheel event in line units at the cursor; positive scrolls up.
  virtual void postScrollWheel(int32_t lines) = 0;
  // A key down or up of a virtual key code (the ANSI-layout codes of the key-name table), carrying
  // exactly `flags` as its modifiers.
  virtual void postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) = 0;
  // Types one printable character (a Unicode code point) as a key down and up that give exactly it
  // in the desktop's current keyboard layout, whatever that layout is, with the shift levels it needs
  // and none of the modifiers a key event carries. False when this poster cannot type it, so that
  // the caller can post a key instead.
  virtual bool postCharacter(char32_t /*codePoint*/) { return false; }
  // Blocks the calling thread; every pause of an input sequence goes through here.
  virtual void sleepMs(uint32_t milliseconds) = 0;
  // Points from now on belong to display `displayId` (as the screen capture service lists it), for a
  // poster whose points are relative to one display rather than to a shared desktop; 0 or a display
  // that is not there keeps the one followed. Others ignore it.
  virtual void followDisplay(uint32_t /*displayId*/) {}
};

}  // namespace qova
