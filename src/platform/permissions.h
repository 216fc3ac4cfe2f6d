#pragma once

namespace qova {

// The two operating-system grants remote control rests on. Neither test asks the user anything.
// Called on the main thread.
class Permissions {
 public:
  virtual ~Permissions() = default;
  // Screen recording: the application may capture the screen.
  virtual bool screenCaptureAccess() = 0;
  // Accessibility: the application may post input events.
  virtual bool accessibilityTrusted() = 0;
};

}  // namespace qova
