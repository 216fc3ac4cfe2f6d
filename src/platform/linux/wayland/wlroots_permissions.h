#pragma once

#include <atomic>

#include "platform/permissions.h"

namespace qova {

// What a wlroots compositor offers this client, asked on a short-lived connection of its own;
// all false when none answers.
struct WlrootsGlobals {
  bool compositor = false;
  bool screenCopy = false;
  bool virtualPointer = false;
  bool virtualKeyboard = false;
  bool dataControl = false;
};
WlrootsGlobals probeWlrootsCompositor();

// wlroots has no grants either: the screen counts as granted when the compositor offers screen copy,
// input when it offers both virtual devices. A request only reports the state as it is.
class WlrootsPermissions : public Permissions {
 public:
  bool screenCaptureAccess() override;
  bool inputAccess() override;
  bool requestScreenCaptureAccess() override { return screenCaptureAccess(); }
  bool requestInputAccess() override { return inputAccess(); }

 private:
  // Asked again and again: what is missing is said once, and again only after it was there.
  std::atomic<bool> reportedNoScreenCopy_ = false;
  std::atomic<bool> reportedNoInput_ = false;
};

}  // namespace qova
