#pragma once

#include <cstdint>
#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

#include "platform/event_poster.h"

namespace qova::test {

// One call the logic made on the event poster, pauses included; members that do not belong to the
// kind keep their defaults, so whole events compare.
struct PostedEvent {
  enum class Kind { moveCursor, mouse, scrollWheel, key, sleep, character };
  Kind kind = Kind::sleep;
  MouseEventType mouseType{};
  double x = 0;
  double y = 0;
  MouseButton button{};
  int32_t wheel = 0;
  uint16_t keyCode = 0;
  bool keyDown = false;
  ModifierFlags flags = 0;
  uint32_t milliseconds = 0;
  char32_t character = 0;

  static PostedEvent move(double x, double y) { return {Kind::moveCursor, {}, x, y}; }
  static PostedEvent mouse(MouseEventType type, double x, double y, MouseButton b) {
    return {Kind::mouse, type, x, y, b};
  }
  static PostedEvent scroll(int32_t wheel) { return {.kind = Kind::scrollWheel, .wheel = wheel}; }
  static PostedEvent key(uint16_t code, bool down, ModifierFlags flags) {
    return {.kind = Kind::key, .keyCode = code, .keyDown = down, .flags = flags};
  }
  static PostedEvent pause(uint32_t ms) { return {.kind = Kind::sleep, .milliseconds = ms}; }
  static PostedEvent typed(char32_t c) { return {.kind = Kind::character, .character = c}; }
  bool operator==(const PostedEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const PostedEvent& e) {
  return out << "{kind " << static_cast<int>(e.kind) << " type " << static_cast<int>(e.mouseType) << " at " << e.x
             << "," << e.y << " button " << static_cast<int>(e.button) << " wheel " << e.wheel << " key " << e.keyCode
             << (e.keyDown ? " down" : " up") << " flags 0x" << std::hex << e.flags << std::dec << " pause "
             << e.milliseconds << " char U+" << std::hex << static_cast<uint32_t>(e.character) << std::dec << "}";
}

// Records every call instead of posting or sleeping, so tests see exact sequences with their pauses.
class FakeEventPoster : public EventPoster {
 public:
  void moveCursor(double x, double y) override { record(PostedEvent::move(x, y)); }
  void postMouseEvent(MouseEventType type, double x, double y, MouseButton button) override {
    record(PostedEvent::mouse(type, x, y, button));
  }
  void postScrollWheel(int32_t lines) override { record(PostedEvent::scroll(lines)); }
  void postKeyEvent(uint16_t keyCode, bool keyDown, ModifierFlags flags) override {
    record(PostedEvent::key(keyCode, keyDown, flags));
  }
  // Characters are recorded as typed, or refused (nothing recorded) while `typesCharacters` is off.
  bool postCharacter(char32_t codePoint) override {
    if (typesCharacters) record(PostedEvent::typed(codePoint));
    return typesCharacters;
  }
  void sleepMs(uint32_t milliseconds) override { record(PostedEvent::pause(milliseconds)); }

  bool typesCharacters = true;

  // Hands over what was recorded and starts afresh.
  std::vector<PostedEvent> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

 private:
  void record(const PostedEvent& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::mutex mutex_;
  std::vector<PostedEvent> events_;
};

}  // namespace qova::test
