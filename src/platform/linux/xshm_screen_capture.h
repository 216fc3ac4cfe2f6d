#pragma once

#include <atomic>

#include "platform/screen_capture.h"

namespace qova {

// Screen capture on X11: displays are the RandR outputs that show something (the primary one is
// the main display; a screen without such outputs is one display, identifier 0), and a stream
// copies its display out of the root window through MIT-SHM on a thread and connection of its own.
// Each frame gets the XFixes cursor image drawn in, or, for a stream that reports the pointer, its
// image and position ride along and a move alone makes an idle sample. Frames are scaled to the
// configured size; XDamage marks frames in which nothing changed "idle" and carries no pixels with
// them. Missing optional extensions, and a stream that stops by itself, are logged with what happens
// instead.
class XShmScreenCapture : public ScreenCapture {
 public:
  std::optional<ShareableContent> shareableContent() override;
  uint32_t mainDisplayId() override;
  // When the X server has XFixes 4; asked of the server once it could be reached.
  bool canReportCursor() const override;
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override;

 private:
  mutable std::atomic<int> cursorReports_ = -1;  // -1 until the server answered
};

}  // namespace qova
