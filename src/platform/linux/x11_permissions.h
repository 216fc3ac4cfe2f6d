#pragma once

#include "platform/permissions.h"

namespace qova {

class XcbConnection;

// X11 has no grants: the screen counts as granted when the display can be read, input when the
// XTest extension is there to post events with. Nothing can be granted, so a request only reports
// the state as it is.
class X11Permissions : public Permissions {
 public:
  bool screenCaptureAccess() override;
  bool inputAccess() override;
  bool requestScreenCaptureAccess() override;
  bool requestInputAccess() override;

 private:
  bool reached(const XcbConnection& x);

  // The questions come again and again; what is missing is said once, and again only after it was
  // there in between.
  bool reportedNoDisplay_ = false;
  bool reportedNoXTest_ = false;
};

}  // namespace qova
