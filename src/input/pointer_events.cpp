#include "input/pointer_events.h"

#include <algorithm>
#include <cmath>

namespace qova {

namespace {

constexpr uint32_t kClickHoldMs = 50;
constexpr uint32_t kDoubleClickGapMs = 60;
constexpr uint32_t kDragStepMs = 15;
constexpr int kMaxSwipeSteps = 24;

}  // namespace

MouseEventType mouseEventType(MousePhase phase, MouseButton button) {
  const bool right = button == MouseButton::right;
  switch (phase) {
    case MousePhase::down:
      return right ? MouseEventType::rightMouseDown : MouseEventType::leftMouseDown;
    case MousePhase::up:
      return right ? MouseEventType::rightMouseUp : MouseEventType::leftMouseUp;
    case MousePhase::dragged:
      break;
  }
  return right ? MouseEventType::rightMouseDragged : MouseEventType::leftMouseDragged;
}

int swipeSteps(double durationMs) {
  const double seconds = durationMs / 1000.0;
  // Written so that NaN falls to the cap: every comparison with NaN is false.
  const double s = seconds < 5.0 ? std::max(seconds, 0.01) : 5.0;
  const double steps = std::trunc(s / 0.015);
  return static_cast<int>(std::clamp(steps, 1.0, static_cast<double>(kMaxSwipeSteps)));
}

int32_t scrollWheelValue(int64_t deltaY) {
  // Clamp before negating so that INT64_MIN never has to be negated.
  const int64_t clamped = std::clamp<int64_t>(deltaY, -10, 10);
  return static_cast<int32_t>(-clamped);
}

void click(EventPoster& poster, double x, double y, MouseButton button) {
  poster.moveCursor(x, y);
  poster.postMouseEvent(mouseEventType(MousePhase::down, button), x, y, button);
  poster.sleepMs(kClickHoldMs);
  poster.postMouseEvent(mouseEventType(MousePhase::up, button), x, y, button);
}

void doubleClick(EventPoster& poster, double x, double y, MouseButton button) {
  click(poster, x, y, button);
  poster.sleepMs(kDoubleClickGapMs);
  click(poster, x, y, button);
}

void swipe(EventPoster& poster, double x, double y, double x2, double y2, double durationMs, MouseButton button) {
  poster.moveCursor(x, y);
  poster.postMouseEvent(mouseEventType(MousePhase::down, button), x, y, button);
  const int steps = swipeSteps(durationMs);
  for (int i = 1; i <= steps; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(steps);
    poster.postMouseEvent(mouseEventType(MousePhase::dragged, button), x + (x2 - x) * t, y + (y2 - y) * t, button);
    poster.sleepMs(kDragStepMs);
  }
  poster.postMouseEvent(mouseEventType(MousePhase::up, button), x2, y2, button);
}

void dragStart(EventPoster& poster, MouseButton& dragButton, double x, double y, MouseButton button) {
  dragButton = button;
  poster.moveCursor(x, y);
  poster.postMouseEvent(mouseEventType(MousePhase::down, button), x, y, button);
}

void dragMove(EventPoster& poster, MouseButton dragButton, double x, double y) {
  poster.postMouseEvent(mouseEventType(MousePhase::dragged, dragButton), x, y, dragButton);
  poster.sleepMs(kDragStepMs);
}

void dragEnd(EventPoster& poster, MouseButton& dragButton, double x, double y) {
  poster.moveCursor(x, y);
  poster.postMouseEvent(mouseEventType(MousePhase::up, dragButton), x, y, dragButton);
  dragButton = MouseButton::left;
}

void scroll(EventPoster& poster, int64_t deltaY) { poster.postScrollWheel(scrollWheelValue(deltaY)); }

}  // namespace qova
