#include "input/held_buttons.h"

#include <initializer_list>

#include "input/pointer_events.h"

namespace qova {

bool& HeldButtons::heldFlag(MouseButton button) { return button == MouseButton::right ? right_ : left_; }

void HeldButtons::press(MouseButton button, double x, double y) {
  heldFlag(button) = true;
  moveTo(x, y);
}

void HeldButtons::moveTo(double x, double y) {
  x_ = x;
  y_ = y;
}

void HeldButtons::lift(MouseButton button) { heldFlag(button) = false; }

bool HeldButtons::releaseAll(EventPoster& poster) {
  const bool any = left_ || right_;
  for (const auto button : {MouseButton::left, MouseButton::right}) {
    if (!heldFlag(button)) continue;
    poster.postMouseEvent(mouseEventType(MousePhase::up, button), x_, y_, button);
    lift(button);
  }
  return any;
}

}  // namespace qova
