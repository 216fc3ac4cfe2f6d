#pragma once

#include "input/held_buttons.h"
#include "input/input_command.h"

namespace qova {

class EventPoster;
class Pasteboard;

// Runs one decoded command to its end, pauses included, by the action table; an unknown action does
// nothing. `dragButton` and `held` are the drag state that outlives commands.
void runInputCommand(const InputCommand& command, EventPoster& poster, Pasteboard& pasteboard,
                     MouseButton& dragButton, HeldButtons& held);

}  // namespace qova
