#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace qova {

// The general plain-text pasteboard (the clipboard).
class Pasteboard {
 public:
  virtual ~Pasteboard() = default;
  // Any thread. Replaces the contents with `text` and returns once it is in place, so a paste that
  // follows finds it: true. False when it could not be put there in time; the old contents may
  // still be on the pasteboard then.
  virtual bool setString(const std::string& text) = 0;
};

// Tells of text that programs of the desktop (this one included) put on the pasteboard.
class PasteboardWatcher {
 public:
  virtual ~PasteboardWatcher() = default;
  // Main thread. From now on, each time the pasteboard gets a new owner that offers text, `changed`
  // is called with that text, on a thread of the watcher's own, one call at a time; owners without
  // text, or with more than `maxBytes` of it, are passed over. The text is as the owner gave it (it
  // may not be valid UTF-8). `changed` must return soon. Replaces an earlier callback.
  virtual void watchPasteboard(std::function<void(std::string)> changed, size_t maxBytes) = 0;
  // Main thread. Ends the watching; a call already under way may still finish after this returns.
  virtual void stopWatchingPasteboard() = 0;
};

}  // namespace qova
