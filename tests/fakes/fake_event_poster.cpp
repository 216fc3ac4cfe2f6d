#include "fakes/fake_event_poster.h"

#include <ostream>

namespace qova::test {

PostedEvent PostedEvent::move(double x, double y) {
  PostedEvent e;
  e.kind = Kind::moveCursor;
  e.x = x;
  e.y = y;
  return e;
}

PostedEvent PostedEvent::mouse(MouseEventType type, double x, double y, CGMouseButton button) {
  PostedEvent e;
  e.kind = Kind::mouse;
  e.mouseType = type;
  e.x = x;
  e.y = y;
  e.button = button;
  return e;
}

PostedEvent PostedEvent::scroll(int32_t wheel) {
  PostedEvent e;
  e.kind = Kind::scrollWheel;
  e.wheel = wheel;
  return e;
}

PostedEvent PostedEvent::key(uint16_t code, bool down, CGEventFlags flags) {
  PostedEvent e;
  e.kind = Kind::key;
  e.keyCode = code;
  e.keyDown = down;
  e.flags = flags;
  return e;
}

PostedEvent PostedEvent::pause(uint32_t ms) {
  PostedEvent e;
  e.kind = Kind::sleep;
  e.milliseconds = ms;
  return e;
}

bool PostedEvent::operator==(const PostedEvent& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case Kind::moveCursor:
      return x == o.x && y == o.y;
    case Kind::mouse:
      return mouseType == o.mouseType && x == o.x && y == o.y && button == o.button;
    case Kind::scrollWheel:
      return wheel == o.wheel;
    case Kind::key:
      return keyCode == o.keyCode && keyDown == o.keyDown && flags == o.flags;
    case Kind::sleep:
      return milliseconds == o.milliseconds;
  }
  return false;
}

std::ostream& operator<<(std::ostream& out, const PostedEvent& e) {
  switch (e.kind) {
    case PostedEvent::Kind::moveCursor:
      return out << "move(" << e.x << ", " << e.y << ")";
    case PostedEvent::Kind::mouse:
      return out << "mouse(type " << static_cast<uint32_t>(e.mouseType) << ", " << e.x << ", " << e.y << ", button "
                 << static_cast<uint32_t>(e.button) << ")";
    case PostedEvent::Kind::scrollWheel:
      return out << "scroll(" << e.wheel << ")";
    case PostedEvent::Kind::key:
      return out << "key(" << e.keyCode << (e.keyDown ? " down" : " up") << ", flags 0x" << std::hex << e.flags
                 << std::dec << ")";
    case PostedEvent::Kind::sleep:
      return out << "sleep(" << e.milliseconds << " ms)";
  }
  return out;
}

void FakeEventPoster::moveCursor(double x, double y) { record(PostedEvent::move(x, y)); }

void FakeEventPoster::postMouseEvent(MouseEventType type, double x, double y, CGMouseButton button) {
  record(PostedEvent::mouse(type, x, y, button));
}

void FakeEventPoster::postScrollWheel(int32_t lines) { record(PostedEvent::scroll(lines)); }

void FakeEventPoster::postKeyEvent(uint16_t keyCode, bool keyDown, CGEventFlags flags) {
  record(PostedEvent::key(keyCode, keyDown, flags));
}

void FakeEventPoster::sleepMs(uint32_t milliseconds) { record(PostedEvent::pause(milliseconds)); }

std::vector<PostedEvent> FakeEventPoster::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<PostedEvent> FakeEventPoster::take() {
  std::lock_guard lock(mutex_);
  std::vector<PostedEvent> taken;
  taken.swap(events_);
  return taken;
}

void FakeEventPoster::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

uint64_t FakeEventPoster::totalPauseMs() const {
  std::lock_guard lock(mutex_);
  uint64_t total = 0;
  for (const auto& e : events_) {
    if (e.kind == PostedEvent::Kind::sleep) total += e.milliseconds;
  }
  return total;
}

void FakeEventPoster::record(const PostedEvent& event) {
  std::lock_guard lock(mutex_);
  events_.push_back(event);
}

}  // namespace qova::test
