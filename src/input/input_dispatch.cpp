#include "input/input_dispatch.h"

#include "input/keyboard_events.h"
#include "input/pointer_events.h"

namespace qova {

void runInputCommand(const InputCommand& c, EventPoster& poster, Pasteboard& pasteboard, MouseButton& dragButton,
                     HeldButtons& held) {
  const auto action = inputActionNamed(c.action);
  if (!action) return;
  switch (*action) {
    case InputAction::tap:
      click(poster, c.x, c.y, c.button);
      break;
    case InputAction::doubleTap:
      doubleClick(poster, c.x, c.y, c.button);
      break;
    case InputAction::rightClick:
      click(poster, c.x, c.y, MouseButton::right);
      break;
    case InputAction::swipe:
    case InputAction::homeSwipe:
      swipe(poster, c.x, c.y, c.x2, c.y2, c.durationMs, c.button);
      break;
    case InputAction::dragStart:
      dragStart(poster, dragButton, c.x, c.y, c.button);
      held.press(c.button, c.x, c.y);
      break;
    case InputAction::dragMove:
      dragMove(poster, dragButton, c.x, c.y);
      held.moveTo(c.x, c.y);
      break;
    case InputAction::dragEnd:
      held.lift(dragButton);
      held.moveTo(c.x, c.y);
      dragEnd(poster, dragButton, c.x, c.y);
      break;
    case InputAction::scroll:
      scroll(poster, c.deltaY);
      break;
    case InputAction::back:
      hotkey(poster, {"command", "["});
      break;
    case InputAction::home:
      hotkey(poster, {"command", "space"});
      break;
    case InputAction::key:
      pressKey(poster, c.key, c.modifiers, c.character);
      break;
    case InputAction::text:
      enterText(poster, pasteboard, c.text);
      break;
  }
}

}  // namespace qova
