#pragma once

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <vector>

#include "platform/event_poster.h"

namespace qova::test {

// One call the logic made on the event poster, pauses included.
struct PostedEvent {
  enum class Kind { moveCursor, mouse, scrollWheel, key, sleep };
  Kind kind = Kind::sleep;
  MouseEventType mouseType = MouseEventType::leftMouseDown;
  double x = 0;
  double y = 0;
  CGMouseButton button = CGMouseButton::left;
  int32_t wheel = 0;
  uint16_t keyCode = 0;
  bool keyDown = false;
  CGEventFlags flags = 0;
  uint32_t milliseconds = 0;

  static PostedEvent move(double x, double y);
  static PostedEvent mouse(MouseEventType type, double x, double y, CGMouseButton button);
  static PostedEvent scroll(int32_t wheel);
  static PostedEvent key(uint16_t code, bool down, CGEventFlags flags);
  static PostedEvent pause(uint32_t ms);

  // Only the fields that belong to the kind are compared; coordinates exactly.
  bool operator==(const PostedEvent& other) const;
};

std::ostream& operator<<(std::ostream& out, const PostedEvent& event);

// Records every call instead of posting or sleeping, so tests see exact sequences with their pauses.
class FakeEventPoster : public EventPoster {
 public:
  void moveCursor(double x, double y) override;
  void postMouseEvent(MouseEventType type, double x, double y, CGMouseButton button) override;
  void postScrollWheel(int32_t lines) override;
  void postKeyEvent(uint16_t keyCode, bool keyDown, CGEventFlags flags) override;
  void sleepMs(uint32_t milliseconds) override;

  std::vector<PostedEvent> events() const;
  // Hands over what was recorded and starts afresh.
  std::vector<PostedEvent> take();
  void clear();
  // Sum of all recorded pauses.
  uint64_t totalPauseMs() const;

 private:
  void record(const PostedEvent& event);
  mutable std::mutex mutex_;
  std::vector<PostedEvent> events_;
};

}  // namespace qova::test
