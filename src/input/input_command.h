#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_poster.h"

namespace qova {

// The actions an input command can name, in the order their names are matched.
enum class InputAction {
  tap,
  doubleTap,
  rightClick,
  swipe,
  homeSwipe,
  dragStart,
  dragMove,
  dragEnd,
  scroll,
  back,
  home,
  key,
  text,
};

// Exact, case-sensitive lookup of an action name; none for anything else.
std::optional<InputAction> inputActionNamed(std::string_view name);

// One decoded input command: every parameter already holds its value or its default.
struct InputCommand {
  std::string action;
  double x = 0;
  double y = 0;
  double x2 = 0;
  double y2 = 0;
  double durationMs = 0;
  MouseButton button = MouseButton::left;
  int64_t deltaY = 0;
  std::string key;
  std::vector<std::string> modifiers;
  // What the key produced on the viewer's own layout ("char"), typed as such where it is one
  // printable character; "key" and "modifiers" stand in for it otherwise.
  std::string character;
  std::string text;
};

// Decodes the text after the input marker. None when it is not JSON or its top level is not an
// object; otherwise every missing or unusable member takes its default and the command never fails.
std::optional<InputCommand> decodeInputCommand(std::string_view payload);

// The command with its points moved by (dx, dy): from the captured display's space, where the
// viewer points, to the one input is posted in.
InputCommand movedBy(InputCommand command, double dx, double dy);

}  // namespace qova
