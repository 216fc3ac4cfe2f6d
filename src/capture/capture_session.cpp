#include "capture/capture_session.h"

#include <algorithm>
#include <limits>
#include <string>

#include "agent/agent_contract.h"
#include "base/log.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "capture/capture_rules.h"
#include "capture/detached_task.h"
#include "capture/frame_message.h"
#include "capture/frame_pacer.h"
#include "capture/picture_encoder.h"
#include "capture/tile_diff.h"
#include "platform/imaging.h"
#include "platform/permissions.h"

namespace qova {

namespace {
const Log kLog("capture");
constexpr const char* kStreamStartFailedStatus = "屏幕流启动失败";

double pictureMaxSide(const PictureRequest& picture) {
  return picture.maxSide > 0 ? picture.maxSide : std::numeric_limits<double>::infinity();
}

bool hasPixels(const ScreenSample& sample) {
  return (sample.status == FrameStatus::complete || sample.status == FrameStatus::started) && sample.imageBuffer;
}
}  // namespace

// The richer picture of one stream: what the agent holds, and the pointer as last reported.
struct CaptureSession::PictureRun {
  PictureRun(ImageContext& images, const CaptureStreamOutput& from, uint64_t openings)
      : owner(&from),
        from(std::const_pointer_cast<CaptureStreamOutput>(from.shared_from_this())),
        openings(openings),
        encoder(images) {}
  const CaptureStreamOutput* const owner;
  const std::weak_ptr<CaptureStreamOutput> from;
  const uint64_t openings;  // of the write gate, when the run began
  PictureEncoder encoder;
  std::optional<CursorState> pointer;
  bool refinementArmed = false;
  // Where the pictures sampled since the last one sent may differ from it, in pixels of a sample of
  // damageWidth x damageHeight; nullopt once a sample could not say (everything is compared then).
  std::optional<std::vector<PixelRect>> damage = std::vector<PixelRect>{};
  int damageWidth = 0;
  int damageHeight = 0;

  void noteDamage(const ScreenSample& sample) {
    static constexpr size_t kMostRects = 512;  // past that, comparing everything is as cheap
    const PixelBuffer& image = *sample.imageBuffer;
    const bool sameSize = damage && (damage->empty() || (image.width == damageWidth && image.height == damageHeight));
    if (!sameSize || !sample.damage || damage->size() + sample.damage->size() > kMostRects) {
      damage.reset();
      return;
    }
    damage->insert(damage->end(), sample.damage->begin(), sample.damage->end());
    damageWidth = image.width;
    damageHeight = image.height;
  }
  // The tiles of `picture` that may differ from the picture last sent; nullopt: any of them.
  std::optional<std::vector<uint8_t>> damagedTiles(const PixelBuffer& picture) const {
    if (!damage) return std::nullopt;
    const bool scaled = picture.width != damageWidth || picture.height != damageHeight;
    return tilesTouched(scaledRects(*damage, damageWidth, damageHeight, picture.width, picture.height, scaled ? 2 : 0),
                        TileGrid{picture.width, picture.height});
  }
};

CaptureStreamOutput::CaptureStreamOutput(std::weak_ptr<CaptureSession> session, std::weak_ptr<CaptureHost> host,
                                         int64_t inputWidth, int64_t inputHeight, std::optional<PictureRequest> picture)
    : session(std::move(session)),
      host(std::move(host)),
      inputWidth(inputWidth),
      inputHeight(inputHeight),
      picture(picture) {}

void CaptureStreamOutput::didOutputSample(const ScreenSample& sample) {
  const auto owner = session.lock();
  if (!owner) return;
  QOVA_ASSERT_ON(*owner->streamOutputQueue);
  owner->handleStreamSampleBuffer(sample, *this);
}

void CaptureStreamOutput::didStopWithError() {
  if (auto owner = session.lock()) {
    kLog.debug("the stream stopped by itself; capture returns to idle");
    owner->stopCaptureBridge();
  }
}

CaptureSession::CaptureSession(std::shared_ptr<ScreenCapture> screenCapture, std::shared_ptr<Permissions> permissions,
                               std::shared_ptr<Imaging> imaging, std::shared_ptr<MainQueue> mainQueue)
    : captureQueue(std::make_unique<SerialQueue>(std::string(kAgentIdentifier) + ".capture")),
      streamOutputQueue(std::make_shared<SerialQueue>(std::string(kAgentIdentifier) + ".stream-output")),
      ciContext(imaging ? imaging->makeContext() : nullptr),
      screenCapture_(std::move(screenCapture)),
      permissions_(std::move(permissions)),
      mainQueue_(std::move(mainQueue)) {}

CaptureSession::~CaptureSession() = default;

// ---- Start and stop transitions --------------------------------------------------------------

void CaptureSession::handleCaptureBridge(std::string_view payload, std::weak_ptr<CaptureHost> host,
                                         bool choosesDisplay) {
  const CaptureCommand command = decodeCaptureCommand(payload);
  switch (command.action) {
    case CaptureAction::start:
      // One transition: the choice is in place before the start reads it.
      captureQueue->async(weakBlock(shared_from_this(), [command, host, choosesDisplay](CaptureSession& self) {
        self.takeDisplayChoice(command, host, choosesDisplay);
        self.beginCapture(host, command.picture, false);
      }));
      break;
    case CaptureAction::stop:
      stopCaptureBridge();
      break;
    case CaptureAction::refresh:
      requestFullPicture();
      break;
    case CaptureAction::tune:
      if (command.quality > 0) photoQuality_.store(command.quality);
      if (choosesDisplay && command.display) {
        captureQueue->async(weakBlock(shared_from_this(), [command, host](CaptureSession& self) {
          self.takeDisplayChoice(command, host, true);
        }));
      }
      break;
    case CaptureAction::none:
      break;
  }
}

void CaptureSession::startCaptureBridge(std::weak_ptr<CaptureHost> host, std::optional<PictureRequest> picture) {
  captureQueue->async(weakBlock(shared_from_this(), [host = std::move(host), picture](CaptureSession& self) {
    self.beginCapture(host, picture, false);
  }));
}

void CaptureSession::stopCaptureBridge() {
  captureQueue->async(weakBlock(shared_from_this(), [](CaptureSession& self) { self.endCapture(); }));
}

void CaptureSession::beginCapture(std::weak_ptr<CaptureHost> host, std::optional<PictureRequest> picture,
                                  bool answered) {
  QOVA_ASSERT_ON(*captureQueue);
  // Starting or Capturing already: the running stream is not restarted.
  if (captureActive.load()) return;
  captureActive.store(true);
  const uint64_t attempt = ++captureAttempt_;
  reopenFrameGate();
  if (picture && !answered) photoQuality_.store(kDefaultPhotoQuality);
  runHost_ = host;
  runPicture_ = picture;
  kLog.debug("capture starting (attempt " + std::to_string(attempt) + ")");
  runDetachedTask(
      weakBlock(shared_from_this(), [attempt, host = std::move(host), picture, answered](CaptureSession& self) {
        self.startScreenCaptureStream(attempt, host, picture, answered);
      }));
}

void CaptureSession::endCapture() {
  QOVA_ASSERT_ON(*captureQueue);
  const bool wasActive = captureActive.exchange(false);
  ++captureAttempt_;
  reopenFrameGate();
  std::shared_ptr<ScreenStream> stream = std::exchange(captureStream, nullptr);
  captureStreamOutput.reset();
  if (wasActive) kLog.debug("capture stopped");
  // The picture last sent is let go; queued before any sample of a stream that starts after this.
  streamOutputQueue->async(weakBlock(shared_from_this(), [](CaptureSession& self) { self.pictureRun_.reset(); }));
  // Stopping waits for the stream's capture thread; the capture queue never waits for it.
  if (stream) runDetachedTask([stream] { stream->stopCapture(); });
}

void CaptureSession::takeDisplayChoice(const CaptureCommand& command, std::weak_ptr<CaptureHost> host,
                                       bool choosesDisplay) {
  QOVA_ASSERT_ON(*captureQueue);
  uint32_t captured = 0;
  {
    std::lock_guard lock(displayMutex_);
    // Every start says afresh whether its agent chooses; a tune only changes the choice.
    if (command.action == CaptureAction::start) displayChoice_ = {choosesDisplay, std::nullopt};
    if (!choosesDisplay || !command.display) return;
    displayChoice_ = {true, command.display};
    captured = capturedDisplay_.displayId;
  }
  if (!captureActive.load() || captured == *command.display) return;
  kLog.info("the agent chose display " + std::to_string(*command.display) + ": capture starts again on it");
  // The picture was answered already; the new stream's first update is whole, at its own size.
  endCapture();
  beginCapture(runHost_.expired() ? std::move(host) : runHost_, runPicture_, true);
}

// ---- Stream start ----------------------------------------------------------------------------

void CaptureSession::startScreenCaptureStream(uint64_t attempt, std::weak_ptr<CaptureHost> host,
                                              std::optional<PictureRequest> picture, bool answered) {
  if (!permissions_->screenCaptureAccess()) {
    kLog.info("screen capture is not available (not permitted, or no display): capture stays idle");
    return returnToIdle(attempt);
  }
  const auto content = screenCapture_->shareableContent();
  if (!content) return streamStartFailed(attempt, host, "the displays could not be listed");
  const uint32_t mainDisplayId = screenCapture_->mainDisplayId();
  DisplayChoice choice;
  std::optional<CaptureDisplay> display;
  {
    // One step with reading the choice, so that a choice made meanwhile sees what this start took.
    std::lock_guard lock(displayMutex_);
    choice = displayChoice_;
    display = chooseCaptureDisplay(content->displays, mainDisplayId, choice.wanted);
    if (display) capturedDisplay_ = *display;
  }
  if (!display) return streamStartFailed(attempt, host, "no display to capture");
  const auto target = host.lock();
  // Through the write path of frames, so that the agent knows the display before its first picture.
  if (choice.listed && target) {
    target->writeFrameToAgent(displayListLine(content->displays, mainDisplayId, display->displayId), {},
                              [](AgentWrite) {});
  }

  const int64_t inputWidth = std::max<int64_t>(display->width, 1);
  const int64_t inputHeight = std::max<int64_t>(display->height, 1);
  if (picture) picture->cursor = picture->cursor && screenCapture_->canReportCursor();
  const FrameSize streamSize =
      captureFrameSize(inputWidth, inputHeight, picture ? pictureMaxSide(*picture) : captureMaxSide);
  const int32_t fps = picture ? picture->fps : captureFps;
  ScreenStreamConfiguration configuration;
  configuration.width = streamSize.width;
  configuration.height = streamSize.height;
  configuration.minimumFrameInterval = {1, fps};
  configuration.queueDepth = captureQueueDepth;
  configuration.showsCursor = !picture || !picture->cursor;
  configuration.reportsCursor = !configuration.showsCursor;
  configuration.pacing = std::make_shared<FramePacer>(std::chrono::nanoseconds(std::chrono::seconds(1)) / fps);

  // Through the write path of updates, so that it is read before the first of them.
  if (picture && !answered && target) target->writeFrameToAgent(pictureAnswerLine(*picture), {}, [](AgentWrite) {});
  auto output = std::make_shared<CaptureStreamOutput>(weak_from_this(), host, inputWidth, inputHeight, picture);
  auto stream = screenCapture_->makeStream(*display, configuration, output, streamOutputQueue);
  if (!stream) return streamStartFailed(attempt, host, "no stream could be made");
  if (!stream->startCapture()) return streamStartFailed(attempt, host, "the stream refused to start");
  kLog.debug("stream running: display " + std::to_string(display->displayId) + " at " +
             std::to_string(streamSize.width) + "x" + std::to_string(streamSize.height));
  captureQueue->async([weakSelf = weak_from_this(), attempt, stream, output] {
    auto self = weakSelf.lock();
    if (self) return self->adoptStream(attempt, stream, output);
    runDetachedTask([stream] { stream->stopCapture(); });
  });
}

void CaptureSession::adoptStream(uint64_t attempt, std::shared_ptr<ScreenStream> stream,
                                 std::shared_ptr<CaptureStreamOutput> output) {
  QOVA_ASSERT_ON(*captureQueue);
  if (!captureActive.load() || captureAttempt_ != attempt) {
    runDetachedTask([stream] { stream->stopCapture(); });
    return;
  }
  std::shared_ptr<ScreenStream> displaced = std::exchange(captureStream, stream);
  captureStreamOutput = std::move(output);
  // One stream at a time: one that this adoption replaces would otherwise run unseen.
  if (displaced && displaced != stream) runDetachedTask([displaced] { displaced->stopCapture(); });
}

void CaptureSession::streamStartFailed(uint64_t attempt, const std::weak_ptr<CaptureHost>& host, std::string_view why) {
  kLog.warning("capture could not start: " + std::string(why));
  mainQueue_->post([host] {
    if (auto target = host.lock()) target->showCaptureStatus(kStreamStartFailedStatus);
  });
  returnToIdle(attempt);
}

void CaptureSession::returnToIdle(uint64_t attempt) {
  captureQueue->async(weakBlock(shared_from_this(), [attempt](CaptureSession& self) {
    if (self.captureAttempt_ == attempt) self.captureActive.store(false);
  }));
}

// ---- Frame pipeline --------------------------------------------------------------------------

void CaptureSession::handleStreamSampleBuffer(const ScreenSample& sampleBuffer, const CaptureStreamOutput& from) {
  QOVA_ASSERT_ON(*streamOutputQueue);
  if (!captureActive.load()) return;
  // Input follows the display to a new place at once; a new size needs a stream of that size. A
  // sample that names no display size is of the display the stream was made for.
  if (sampleBuffer.display.width > 0 && sampleBuffer.display.height > 0) {
    {
      std::lock_guard lock(displayMutex_);
      capturedDisplay_ = sampleBuffer.display;
    }
    if (sampleBuffer.display.width != from.inputWidth || sampleBuffer.display.height != from.inputHeight) {
      return remakeStream(from);
    }
  }
  if (from.picture) return handlePictureSample(sampleBuffer, from);
  if (sampleBuffer.status != FrameStatus::complete && sampleBuffer.status != FrameStatus::started) return;
  if (!sampleBuffer.imageBuffer || !ciContext) return;
  {
    // Saves the image work while a write is pending; writeCaptureFrameInput makes the binding check.
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) {
      heldSample_ = sampleBuffer;
      heldFrom_ = std::const_pointer_cast<CaptureStreamOutput>(from.shared_from_this());
      return;
    }
    heldSample_.reset();  // older than this one
  }
  const auto image = ciContext->render(*sampleBuffer.imageBuffer);
  if (!image) return;
  encodeAndSendCaptureFrame(*image, from);
}

void CaptureSession::encodeAndSendCaptureFrame(const PixelBuffer& image, const CaptureStreamOutput& from) {
  QOVA_ASSERT_ON(*streamOutputQueue);
  const FrameSize target = captureFrameSize(image.width, image.height, captureMaxSide);
  std::optional<PixelBuffer> scaled;
  if (image.width != target.width || image.height != target.height) {
    scaled = ciContext->drawScaled(image, static_cast<int>(target.width), static_cast<int>(target.height));
    if (!scaled) return;
  }
  auto jpeg = ciContext->encodeJpeg(scaled ? *scaled : image, captureJpegQuality);
  if (!jpeg) return;
  const auto host = from.host.lock();
  if (!host) return;

  FrameHeader header;
  header.width = target.width;
  header.height = target.height;
  header.inputWidth = from.inputWidth;
  header.inputHeight = from.inputHeight;
  header.bytes = static_cast<int64_t>(jpeg->size());
  header.timestamp = wallClockMilliseconds();
  writeCaptureFrameInput(header, std::move(*jpeg), *host);
}

// ---- Richer picture --------------------------------------------------------------------------

CaptureSession::PictureRun* CaptureSession::pictureRunFor(const CaptureStreamOutput& from) {
  if (!ciContext) return nullptr;
  // A run owes nothing to the stream before it: the first update of a stream is whole.
  if (!pictureRun_ || pictureRun_->owner != &from || pictureRun_->from.expired()) {
    std::lock_guard lock(frameWriteLock);
    pictureRun_ = std::make_unique<PictureRun>(*ciContext, from, gateOpenings_);
  }
  return pictureRun_.get();
}

void CaptureSession::handlePictureSample(const ScreenSample& sample, const CaptureStreamOutput& from) {
  PictureRun* run = pictureRunFor(from);
  if (!run) return;
  if (sample.cursor) run->pointer = sample.cursor;
  const bool pixels = hasPixels(sample);
  if (pixels) run->noteDamage(sample);
  const UpdateSettings settings{from.inputWidth, from.inputHeight, photoQuality_.load(), from.picture->cursor,
                                from.picture->copy};
  const auto now = std::chrono::steady_clock::now();
  // Most samples of a still screen end here, at the cost of a few comparisons.
  if (!pixels && !run->encoder.owesUpdate(run->pointer, settings, now)) return;
  {
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) {
      // What is owed without pixels is looked at again when the write ends.
      if (pixels) {
        heldSample_ = sample;
        heldFrom_ = run->from;
      }
      return;
    }
    if (pixels) heldSample_.reset();
  }
  std::optional<PixelBuffer> picture;
  if (pixels) {
    picture = ciContext->render(*sample.imageBuffer);
    if (!picture) return;
    const FrameSize target = captureFrameSize(picture->width, picture->height, pictureMaxSide(*from.picture));
    if (picture->width != target.width || picture->height != target.height) {
      picture = ciContext->drawScaled(*picture, static_cast<int>(target.width), static_cast<int>(target.height));
      if (!picture) return;
    }
  }
  const auto damaged = picture ? run->damagedTiles(*picture) : std::nullopt;
  auto update = run->encoder.makeUpdate(picture ? &*picture : nullptr, run->pointer, settings, now,
                                        damaged ? &*damaged : nullptr);
  const auto host = from.host.lock();
  if (update && host && writePictureUpdate(*run, std::move(*update), *host) && picture) run->damage.emplace();
}

bool CaptureSession::writePictureUpdate(PictureRun& run, PictureUpdate update, CaptureHost& host) {
  QOVA_ASSERT_ON(*streamOutputQueue);
  std::string headerLine = std::move(update.headerLine);
  std::vector<uint8_t> payload = std::move(update.payload);
  {
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) return false;
    frameWritePending = true;
  }
  // Only what is handed to the write counts as held by the agent.
  run.encoder.sent(std::move(update));
  armRefinement(run);
  host.writeFrameToAgent(
      std::move(headerLine), std::move(payload),
      weakBlock(shared_from_this(), [](CaptureSession& self, AgentWrite result) { self.frameWriteEnded(result); }));
  return true;
}

void CaptureSession::armRefinement(PictureRun& run) {
  const auto due = run.encoder.refinementDue();
  if (!due || run.refinementArmed) return;
  run.refinementArmed = true;
  const auto wait = std::chrono::ceil<Duration>(*due - std::chrono::steady_clock::now());
  mainQueue_->postAfter(std::max(wait, Duration(1)), [weakSelf = weak_from_this(), owner = run.owner] {
    const auto self = weakSelf.lock();
    if (!self) return;
    self->streamOutputQueue->async(weakBlock(self, [owner](CaptureSession& session) {
      if (!session.pictureRun_ || session.pictureRun_->owner != owner) return;
      session.pictureRun_->refinementArmed = false;
      session.sendHeldSample();
      // Tiles that changed meanwhile are due later; while a write is pending its end looks again.
      if (session.pictureRun_ && session.pictureRun_->owner == owner) session.armRefinement(*session.pictureRun_);
    }));
  });
}

void CaptureSession::requestFullPicture() {
  streamOutputQueue->async(weakBlock(shared_from_this(), [](CaptureSession& self) {
    if (!self.pictureRun_) return;
    self.pictureRun_->encoder.requireFull();
    self.sendHeldSample();
  }));
}

void CaptureSession::remakeStream(const CaptureStreamOutput& from) {
  captureQueue->async(
      weakBlock(shared_from_this(), [output = from.weak_from_this(), host = from.host](CaptureSession& self) {
        const auto current = output.lock();
        if (!current || current != self.captureStreamOutput || !self.captureActive.load()) return;
        kLog.info("the captured display changed size: capture starts again at the new size");
        self.endCapture();
        self.beginCapture(host, current->picture, true);
      }));
}

CaptureDisplay CaptureSession::capturedDisplay() const {
  std::lock_guard lock(displayMutex_);
  return capturedDisplay_;
}

// ---- Frame write -----------------------------------------------------------------------------

void CaptureSession::writeCaptureFrameInput(const FrameHeader& header, std::vector<uint8_t> jpeg, CaptureHost& host) {
  QOVA_ASSERT_ON(*streamOutputQueue);
  std::string headerLine = frameHeaderLine(header);
  {
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) return;
    frameWritePending = true;
  }
  host.writeFrameToAgent(
      std::move(headerLine), std::move(jpeg),
      weakBlock(shared_from_this(), [](CaptureSession& self, AgentWrite result) { self.frameWriteEnded(result); }));
}

void CaptureSession::frameWriteEnded(AgentWrite result) {
  if (result == AgentWrite::failed) {
    kLog.warning("a frame could not be written to the agent's input; capture stopped");
    stopCaptureBridge();
  }
  std::lock_guard lock(frameWriteLock);
  frameWritePending = false;
  // After a failure capture is stopping, and with no agent there is no one to send it to. The richer
  // picture may owe an update without a held sample (a refinement, the pointer).
  if (result == AgentWrite::written) {
    streamOutputQueue->async(weakBlock(shared_from_this(), [](CaptureSession& self) { self.sendHeldSample(); }));
  }
}

void CaptureSession::sendHeldSample() {
  QOVA_ASSERT_ON(*streamOutputQueue);
  std::optional<ScreenSample> sample;
  std::shared_ptr<CaptureStreamOutput> from;
  uint64_t openings = 0;
  {
    std::lock_guard lock(frameWriteLock);
    if (frameWritePending) return;  // a write began meanwhile: what is held goes when it ends
    sample = std::exchange(heldSample_, std::nullopt);
    from = heldFrom_.lock();
    openings = gateOpenings_;
  }
  if (sample && from) return handleStreamSampleBuffer(*sample, *from);
  if (!pictureRun_ || pictureRun_->openings != openings) return;
  if (const auto owner = pictureRun_->from.lock()) {
    handleStreamSampleBuffer({FrameStatus::idle, std::nullopt, std::chrono::steady_clock::now(), {}, std::nullopt},
                             *owner);
  }
}

void CaptureSession::reopenFrameGate() {
  std::lock_guard lock(frameWriteLock);
  frameWritePending = false;
  heldSample_.reset();
  heldFrom_.reset();
  ++gateOpenings_;
}

}  // namespace qova
