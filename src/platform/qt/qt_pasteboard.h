#pragma once

#include "platform/pasteboard.h"

namespace qova {

// The Qt clipboard; it lives on the main thread, so other threads hand the text over and wait.
class QtPasteboard : public Pasteboard {
 public:
  bool setString(const std::string& text) override;
};

}  // namespace qova
