#include "app/app_delegate.h"
#include "app/capture_stream_output.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/weak_block.h"
#include "capture/capture_rules.h"
#include "capture/detached_task.h"
#include "platform/permissions.h"
#include "platform/screen_capture.h"

namespace qova {

namespace {
constexpr const char* kStreamStartFailedStatus = "屏幕流启动失败";
}  // namespace

CaptureStreamOutput::CaptureStreamOutput(std::weak_ptr<AppDelegate> owner, int64_t inputWidth, int64_t inputHeight)
    : owner(std::move(owner)), inputWidth(inputWidth), inputHeight(inputHeight) {}

void CaptureStreamOutput::didOutputSample(ScreenStream& /*stream*/, const ScreenSample& sample, SampleType type) {
  if (type != SampleType::screen) return;
  if (auto delegate = owner.lock()) delegate->handleStreamSampleBuffer(sample, inputWidth, inputHeight);
}

void CaptureStreamOutput::didStopWithError(ScreenStream& /*stream*/) {
  if (auto delegate = owner.lock()) delegate->stopCaptureBridge();
}

void AppDelegate::startScreenCaptureStream(uint64_t attempt) {
  const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
  // A start that did not come to a stream returns to Idle, unless a later start or stop has
  // already taken over the capture state.
  const auto returnToIdle = [this, weakSelf, attempt] {
    captureQueue->async([weakSelf, attempt] {
      auto self = weakSelf.lock();
      if (self && self->captureAttempt_ == attempt) self->captureActive.store(false);
    });
  };
  const auto fail = [&] {
    mainQueue().post(
        weakBlock(shared_from_this(), [](AppDelegate& self) { self.setStatus(kStreamStartFailedStatus); }));
    returnToIdle();
  };

  if (!services().permissions->screenCaptureAccess()) {
    returnToIdle();
    return;
  }
  ScreenCapture& capture = *services().screenCapture;
  const auto content = capture.shareableContent();
  if (!content) return fail();
  const auto display = chooseCaptureDisplay(content->displays, capture.mainDisplayId());
  if (!display) return fail();

  const int64_t inputWidth = std::max<int64_t>(display->width, 1);
  const int64_t inputHeight = std::max<int64_t>(display->height, 1);
  const FrameSize streamSize = captureFrameSize(inputWidth, inputHeight, captureMaxSide);
  ScreenStreamConfiguration configuration;
  configuration.width = streamSize.width;
  configuration.height = streamSize.height;
  configuration.minimumFrameInterval = {1, captureFps};
  configuration.queueDepth = captureQueueDepth;
  configuration.pixelFormat = kPixelFormatBGRA;
  configuration.scalesToFit = true;
  configuration.showsCursor = true;

  auto output = std::make_shared<CaptureStreamOutput>(weakSelf, inputWidth, inputHeight);
  auto stream = capture.makeStream(*display, configuration, output);
  if (!stream) return fail();
  if (!stream->addStreamOutput(output, SampleType::screen, streamOutputQueue)) return fail();
  if (!stream->startCapture()) return fail();

  captureQueue->async([weakSelf, attempt, stream, output] {
    auto self = weakSelf.lock();
    if (!self || !self->captureActive.load() || self->captureAttempt_ != attempt) {
      runDetachedTask([stream] { stream->stopCapture(); });
      return;
    }
    std::shared_ptr<ScreenStream> displaced = std::exchange(self->captureStream, stream);
    self->captureStreamOutput = output;
    // One stream at a time: one that this adoption replaces would otherwise run unseen.
    if (displaced && displaced != stream) runDetachedTask([displaced] { displaced->stopCapture(); });
  });
}

}  // namespace qova
