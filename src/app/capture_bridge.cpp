#include "app/app_delegate.h"
#include "base/serial_queue.h"
#include "base/weak_block.h"
#include "capture/capture_rules.h"
#include "capture/detached_task.h"
#include "platform/screen_capture.h"

namespace qova {

void AppDelegate::handleCaptureBridge(std::string_view payload) {
  switch (decodeCaptureAction(payload)) {
    case CaptureAction::start:
      startCaptureBridge();
      break;
    case CaptureAction::stop:
      stopCaptureBridge();
      break;
    case CaptureAction::none:
      break;
  }
}

void AppDelegate::startCaptureBridge() {
  captureQueue->async(weakBlock(shared_from_this(), [](AppDelegate& self) {
    // Starting or Capturing already: the running stream is not restarted.
    if (self.captureActive.load()) return;
    self.captureActive.store(true);
    const uint64_t attempt = ++self.captureAttempt_;
    {
      std::lock_guard lock(self.frameWriteLock);
      self.frameWritePending = false;
    }
    runDetachedTask(weakBlock(self.shared_from_this(),
                              [attempt](AppDelegate& delegate) { delegate.startScreenCaptureStream(attempt); }));
  }));
}

void AppDelegate::stopCaptureBridge() {
  captureQueue->async(weakBlock(shared_from_this(), [](AppDelegate& self) {
    self.captureActive.store(false);
    ++self.captureAttempt_;
    {
      std::lock_guard lock(self.frameWriteLock);
      self.frameWritePending = false;
    }
    std::shared_ptr<ScreenStream> stream = std::exchange(self.captureStream, nullptr);
    self.captureStreamOutput.reset();
    // Stopping waits for the stream's capture thread; the capture queue never waits for it.
    if (stream) runDetachedTask([stream] { stream->stopCapture(); });
  }));
}

}  // namespace qova
