#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct _XDisplay;

namespace qova::test {

// One input event as an X client receives it.
struct ReceivedInput {
  enum class Type { buttonPress, buttonRelease, motion, keyPress, keyRelease };
  Type type;
  int x = 0;  // pointer position in the window (the window covers the screen from 0, 0)
  int y = 0;
  unsigned button = 0;  // buttons only
  unsigned state = 0;   // modifier and button mask before the event
  std::string keysym;   // keys only: the keysym name for the key and state ("A", "v", "Return")
};

// A window that covers the whole screen of the test's X server, holds the keyboard focus and records
// the pointer and key events that reach it, on a connection of its own.
class InputTestWindow {
 public:
  InputTestWindow();
  ~InputTestWindow();
  InputTestWindow(const InputTestWindow&) = delete;
  InputTestWindow& operator=(const InputTestWindow&) = delete;

  bool ready() const { return window_ != 0; }
  // Everything that arrived since the last call (a round trip makes sure nothing is in flight).
  std::vector<ReceivedInput> takeEvents();
  // Root coordinates of the pointer.
  std::pair<int, int> pointer();
  // The CLIPBOARD selection as UTF-8 text, asked for the way a pasting application asks. The owner
  // may answer on this very thread, so `pump` runs while the answer is awaited.
  std::optional<std::string> clipboardText(const std::function<void()>& pump);

 private:
  _XDisplay* display_ = nullptr;
  unsigned long window_ = 0;
};

}  // namespace qova::test
