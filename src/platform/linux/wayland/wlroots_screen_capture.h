#pragma once

#include "platform/screen_capture.h"

namespace qova {

// Screen capture on a wlroots compositor (sway and its kin) through its screen-copy protocol:
// displays are the compositor's outputs (the first one is the main display), and a stream copies its
// output into shared memory on a thread and connection of its own, with the cursor drawn in by the
// compositor. After the first frame each copy waits for the compositor to report a change, so a still
// screen costs nothing and a change is delivered as soon as the frame interval allows. Frames are
// turned upright (row order, output transform) and scaled to the configured size. An output that
// goes away, or a connection that breaks, ends the stream. It cannot report the pointer: screen copy
// only leaves the cursor out (a stream with showsCursor false), and no protocol of these compositors
// tells a client the cursor's image or where it is; ext-image-copy-capture's cursor sessions
// (wlroots 0.19 on) would.
class WlrootsScreenCapture : public ScreenCapture {
 public:
  std::optional<ShareableContent> shareableContent() override;
  uint32_t mainDisplayId() override;
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override;
};

}  // namespace qova
