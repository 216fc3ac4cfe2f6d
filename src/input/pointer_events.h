#pragma once

#include <cstdint>

#include "platform/event_poster.h"

namespace qova {

enum class MousePhase { down, up, dragged };

// The event kind for a phase of `button`: the right-button kinds for right, the left ones otherwise.
MouseEventType mouseEventType(MousePhase phase, MouseButton button);

// Dragged steps of a swipe lasting durationMs: the duration capped at 5 s (also when it is not a
// number) and at least 10 ms, cut into 15 ms steps, at least 1 and at most 24.
int swipeSteps(double durationMs);

// The wheel value for a scroll of deltaY lines: negated, then clamped to -10 ... 10 (safe for the
// most negative 64-bit value).
int32_t scrollWheelValue(int64_t deltaY);

// The pointer actions. All run on the agent output reader thread and block it for their pauses.

// Cursor to the point, button down, 50 ms, button up.
void click(EventPoster& poster, double x, double y, MouseButton button);
// Two clicks 60 ms apart.
void doubleClick(EventPoster& poster, double x, double y, MouseButton button);
// Press at (x, y), swipeSteps dragged events 15 ms apart ending on (x2, y2), release there.
void swipe(EventPoster& poster, double x, double y, double x2, double y2, double durationMs, MouseButton button);
// The agent-driven drag: the button pressed at the start is remembered in `dragButton` and used
// by every later move and by the end, which puts it back to left.
void dragStart(EventPoster& poster, MouseButton& dragButton, double x, double y, MouseButton button);
void dragMove(EventPoster& poster, MouseButton dragButton, double x, double y);
void dragEnd(EventPoster& poster, MouseButton& dragButton, double x, double y);
// One line-unit wheel event of scrollWheelValue(deltaY), even when that is 0; the cursor stays.
void scroll(EventPoster& poster, int64_t deltaY);

}  // namespace qova
