#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "capture/capture_command.h"
#include "capture/capture_host.h"
#include "platform/screen_capture.h"

namespace qova {

class SerialQueue;
class MainQueue;
class Permissions;
class Imaging;
class ImageContext;
class CaptureSession;
struct FrameHeader;
struct PictureUpdate;

// Where one stream's samples and its own stop go: to the session, for the host that started it.
// Held by its stream and, once adopted, by the session; it holds both weakly.
class CaptureStreamOutput : public ScreenStreamClient, public std::enable_shared_from_this<CaptureStreamOutput> {
 public:
  CaptureStreamOutput(std::weak_ptr<CaptureSession> session, std::weak_ptr<CaptureHost> host, int64_t inputWidth,
                      int64_t inputHeight, std::optional<PictureRequest> picture = std::nullopt);
  // streamOutputQueue.
  void didOutputSample(const ScreenSample& sample) override;
  // Any thread; only queues the stop transition.
  void didStopWithError() override;

  const std::weak_ptr<CaptureSession> session;
  const std::weak_ptr<CaptureHost> host;
  const int64_t inputWidth;  // of the captured display, at least 1
  const int64_t inputHeight;
  const std::optional<PictureRequest> picture;  // as accepted; absent: written frames
};

// Screen capture for the agent: the start and stop transitions, bringing up the stream, and the
// frame pipeline from sample to frame message. Made once with the controller and shared; every block
// that runs later or on another thread holds it weakly.
class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
 public:
  // Any thread. The services are kept for the session's life; without `imaging` no frame is made.
  CaptureSession(std::shared_ptr<ScreenCapture> screenCapture, std::shared_ptr<Permissions> permissions,
                 std::shared_ptr<Imaging> imaging, std::shared_ptr<MainQueue> mainQueue);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  std::unique_ptr<SerialQueue> captureQueue;  // "qova.lumaro.agent.capture"
  std::mutex frameWriteLock;
  // "qova.lumaro.agent.stream-output"; shared, because a stream keeps its delivery queue alive
  // until it has stopped, which may be after the session is gone.
  std::shared_ptr<SerialQueue> streamOutputQueue;
  std::shared_ptr<ImageContext> ciContext;
  std::shared_ptr<ScreenStream> captureStream;               // captureQueue
  std::shared_ptr<CaptureStreamOutput> captureStreamOutput;  // captureQueue
  std::atomic<bool> captureActive{false};                    // written on captureQueue only
  bool frameWritePending = false;                            // under frameWriteLock
  const int32_t captureFps = 10;
  const intptr_t captureQueueDepth = 2;
  const double captureMaxSide = 1280.0;
  const double captureJpegQuality = 0.54;
  // Of changing photo-like areas in the richer picture, until the agent tunes it.
  static constexpr double kDefaultPhotoQuality = 0.65;

  // Agent output reader thread; only queues work. A start sends frames (or the richer picture it
  // asks for) to `host`. An agent that `choosesDisplay` is sent the list of displays at each
  // start, and the display its start or tune names is captured from then on.
  void handleCaptureBridge(std::string_view payload, std::weak_ptr<CaptureHost> host, bool choosesDisplay = false);
  // Any thread; queue the start or stop transition on captureQueue and return at once.
  void startCaptureBridge(std::weak_ptr<CaptureHost> host, std::optional<PictureRequest> picture = std::nullopt);
  void stopCaptureBridge();
  // A worker thread, launched by the start transition with its attempt number: brings up the stream
  // and queues its adoption (or the return to Idle) on captureQueue.
  // A start that asked for the richer picture first tells the host what it accepted, unless
  // `answered` (a restart at a new size).
  void startScreenCaptureStream(uint64_t attempt, std::weak_ptr<CaptureHost> host,
                                std::optional<PictureRequest> picture = std::nullopt, bool answered = false);
  // streamOutputQueue: the frame pipeline, from sample to frame message.
  void handleStreamSampleBuffer(const ScreenSample& sampleBuffer, const CaptureStreamOutput& from);
  void encodeAndSendCaptureFrame(const PixelBuffer& image, const CaptureStreamOutput& from);
  // streamOutputQueue; returns at once, the write happens on agentInputQueue.
  void writeCaptureFrameInput(const FrameHeader& header, std::vector<uint8_t> jpeg, CaptureHost& host);
  // Any thread: the display the picture shows, as last seen; the points of input commands are
  // relative to its top-left corner. All zero before any capture.
  CaptureDisplay capturedDisplay() const;

 private:
  // captureQueue.
  void beginCapture(std::weak_ptr<CaptureHost> host, std::optional<PictureRequest> picture, bool answered);
  void endCapture();
  // A start or tune of an agent that chooses: remembers its choice and, while capturing another
  // display, captures the chosen one instead.
  void takeDisplayChoice(const CaptureCommand& command, std::weak_ptr<CaptureHost> host, bool choosesDisplay);
  void adoptStream(uint64_t attempt, std::shared_ptr<ScreenStream> stream, std::shared_ptr<CaptureStreamOutput> output);
  // The stream start's worker thread; both only queue work. A start that failed for `why` is shown
  // to the user; either way the attempt returns to Idle unless a later one took over.
  void streamStartFailed(uint64_t attempt, const std::weak_ptr<CaptureHost>& host, std::string_view why);
  void returnToIdle(uint64_t attempt);
  // Called back by the host once its write has ended: the next sample may become a frame, and the
  // one held meanwhile is sent.
  void frameWriteEnded(AgentWrite result);
  // streamOutputQueue: the held sample, or what the richer picture owes without a new one.
  void sendHeldSample();
  // streamOutputQueue: the richer picture's pipeline, from sample (with pixels or not) to update.
  struct PictureRun;
  void handlePictureSample(const ScreenSample& sample, const CaptureStreamOutput& from);
  PictureRun* pictureRunFor(const CaptureStreamOutput& from);
  // False when a write was already under way: nothing was sent.
  bool writePictureUpdate(PictureRun& run, PictureUpdate update, CaptureHost& host);
  // Still lossy tiles are refined when due even where the stream sends nothing while still.
  void armRefinement(PictureRun& run);
  void requestFullPicture();
  // streamOutputQueue: a stream of the display's new size takes the place of `from`, when that is
  // still the current one.
  void remakeStream(const CaptureStreamOutput& from);
  // Any thread: a new capture run owes nothing to the one before, neither a pending write nor a
  // held sample.
  void reopenFrameGate();

  const std::shared_ptr<ScreenCapture> screenCapture_;
  const std::shared_ptr<Permissions> permissions_;
  const std::shared_ptr<MainQueue> mainQueue_;
  // captureQueue only. Every start and stop transition begins a new attempt; a stream start that
  // finishes (or fails) for an attempt that is no longer current changes nothing but its own stream.
  uint64_t captureAttempt_ = 0;
  // Under frameWriteLock: the newest sample with a picture that came while a frame's write was
  // pending, and the stream it came from. A stream that sees no further change sends no further
  // picture, so without it the last change could wait for the next one, however long.
  std::optional<ScreenSample> heldSample_;
  std::weak_ptr<CaptureStreamOutput> heldFrom_;
  uint64_t gateOpenings_ = 0;               // under frameWriteLock: a new capture run voids what the last one owed
  std::unique_ptr<PictureRun> pictureRun_;  // streamOutputQueue
  std::atomic<double> photoQuality_{kDefaultPhotoQuality};
  mutable std::mutex displayMutex_;
  CaptureDisplay capturedDisplay_;  // under displayMutex_
  // Under displayMutex_: whether the agent chooses the display (and so is sent the list), and its choice.
  struct DisplayChoice {
    bool listed = false;
    std::optional<uint32_t> wanted;
  } displayChoice_;
  // captureQueue: what the running capture was started with, for a start on another display.
  std::weak_ptr<CaptureHost> runHost_;
  std::optional<PictureRequest> runPicture_;
};

}  // namespace qova
