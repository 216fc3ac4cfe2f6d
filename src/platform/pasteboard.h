#pragma once

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

}  // namespace qova
