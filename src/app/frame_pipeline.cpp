#include "app/app_delegate.h"
#include "base/serial_queue.h"
#include "base/weak_block.h"
#include "capture/capture_rules.h"
#include "capture/frame_message.h"
#include "platform/imaging.h"
#include "platform/process.h"
#include "platform/screen_capture.h"

namespace qova {

void AppDelegate::handleStreamSampleBuffer(const ScreenSample& sampleBuffer, int64_t inputWidth, int64_t inputHeight) {
  if (!captureActive.load()) return;
  {
    // Only a shortcut that saves the image work; writeCaptureFrameInput makes the binding check.
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) return;
  }
  if (!sampleBuffer.isValid) return;
  if (!frameStatusKeepsSample(sampleBuffer.attachments)) return;
  if (!sampleBuffer.imageBuffer) return;
  if (!ciContext) return;
  const auto image = ciContext->render(*sampleBuffer.imageBuffer);
  if (!image) return;
  encodeAndSendCaptureFrame(*image, inputWidth, inputHeight);
}

void AppDelegate::encodeAndSendCaptureFrame(const PixelBuffer& image, int64_t inputWidth, int64_t inputHeight) {
  const FrameSize target = captureFrameSize(image.width, image.height, captureMaxSide);
  std::optional<PixelBuffer> scaled;
  if (image.width != target.width || image.height != target.height) {
    scaled = ciContext->drawScaled(image, static_cast<int>(target.width), static_cast<int>(target.height));
    if (!scaled) return;
  }
  auto jpeg = ciContext->encodeJpeg(scaled ? *scaled : image, captureJpegQuality);
  if (!jpeg) return;

  FrameHeader header;
  header.width = target.width;
  header.height = target.height;
  header.inputWidth = inputWidth;
  header.inputHeight = inputHeight;
  header.bytes = static_cast<int64_t>(jpeg->size());
  header.timestamp = wallClockMilliseconds();
  writeCaptureFrameInput(header, std::move(*jpeg));
}

void AppDelegate::writeCaptureFrameInput(const FrameHeader& header, std::vector<uint8_t> jpeg) {
  std::string headerLine = frameHeaderLine(header);
  {
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) return;
    frameWritePending = true;
  }
  agentInputQueue->async(weakBlock(shared_from_this(), [headerLine = std::move(headerLine),
                                                        jpeg = std::move(jpeg)](AppDelegate& self) {
    if (auto pipe = self.currentInputPipe()) {
      // The JPEG never follows a header that did not arrive whole.
      const bool written = pipe->writeAll(headerLine) &&
                           pipe->writeAll(std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
      if (!written) self.stopCaptureBridge();
    }
    std::lock_guard lock(self.frameWriteLock);
    self.frameWritePending = false;
  }));
}

}  // namespace qova
