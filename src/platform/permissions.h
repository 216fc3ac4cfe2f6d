#pragma once

namespace qova {

// The two operating-system grants remote control rests on. Any thread: each answer asks afresh.
class Permissions {
 public:
  virtual ~Permissions() = default;
  // Screen recording: the application may capture the screen. Never asks the user.
  virtual bool screenCaptureAccess() = 0;
  // Accessibility: the application may post input events. Never asks the user.
  virtual bool inputAccess() = 0;
  // Asks the system to grant screen recording (it may show its own prompt); true when granted.
  virtual bool requestScreenCaptureAccess() = 0;
  // Like inputAccess, but when not trusted the system is asked to prompt the user.
  virtual bool requestInputAccess() = 0;
};

}  // namespace qova
