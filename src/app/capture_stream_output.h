#pragma once

#include <cstdint>
#include <memory>

#include "platform/screen_capture.h"

namespace qova {

class AppDelegate;

// The capture stream's receiver: hands screen samples to the frame pipeline and turns the stream's
// own stop into the stop transition. Held by its stream and, once adopted, by the controller; it
// holds the controller only weakly and forwards nothing once the controller is gone.
class CaptureStreamOutput : public ScreenStreamOutput, public ScreenStreamDelegate {
 public:
  CaptureStreamOutput(std::weak_ptr<AppDelegate> owner, int64_t inputWidth, int64_t inputHeight);

  // streamOutputQueue.
  void didOutputSample(ScreenStream& stream, const ScreenSample& sample, SampleType type) override;
  // Any thread; only queues the stop transition.
  void didStopWithError(ScreenStream& stream) override;

  const std::weak_ptr<AppDelegate> owner;
  const int64_t inputWidth;  // of the captured display, at least 1
  const int64_t inputHeight;
};

}  // namespace qova
