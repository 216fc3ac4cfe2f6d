#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/imaging.h"

namespace qova {

class SerialQueue;
class ScreenStream;

// A display that can be captured, as the screen capture service lists it.
struct CaptureDisplay {
  uint32_t displayId = 0;
  int64_t width = 0;
  int64_t height = 0;
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;  // in the service's order
};

// value / timescale seconds.
struct FrameInterval {
  int64_t value = 0;
  int32_t timescale = 0;
};

inline constexpr uint32_t kPixelFormatBGRA = 0x42475241;  // 'BGRA'

struct ScreenStreamConfiguration {
  int64_t width = 0;   // size of the delivered pixel buffers
  int64_t height = 0;
  FrameInterval minimumFrameInterval;
  intptr_t queueDepth = 3;  // samples handed over and not yet handled, at most
  uint32_t pixelFormat = kPixelFormatBGRA;
  bool scalesToFit = false;
  bool showsCursor = true;
};

enum class SampleType { screen, audio };

// Per-sample frame information. Values come as the platform gives them; the logic decides what a
// value of an unexpected kind means.
using FrameInfoValue = std::variant<int64_t, double, std::string>;
using FrameInfo = std::map<std::string, FrameInfoValue>;
inline constexpr const char* kFrameInfoStatus = "status";

// Values of the status entry.
enum class FrameStatus : int64_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

struct ScreenSample {
  bool isValid = true;
  std::optional<std::vector<FrameInfo>> attachments;  // nullopt: the sample carries none
  std::optional<PixelBuffer> imageBuffer;             // nullopt: no pixels (an unchanged frame)
  std::chrono::steady_clock::time_point presentationTime;
};

// Receives a stream's samples. Held strongly by the stream it was added to.
class ScreenStreamOutput {
 public:
  virtual ~ScreenStreamOutput() = default;
  // Called on the queue given to addStreamOutput, one sample at a time.
  virtual void didOutputSample(ScreenStream& stream, const ScreenSample& sample, SampleType type) = 0;
};

// Learns that a stream stopped by itself (display gone, capture failing). Held strongly by its stream.
class ScreenStreamDelegate {
 public:
  virtual ~ScreenStreamDelegate() = default;
  // Called at most once, on a thread of the stream's choosing, never after stopCapture was asked.
  virtual void didStopWithError(ScreenStream& stream) = 0;
};

// One capture of one display. Thread-safe. Destroying a running stream stops it.
class ScreenStream {
 public:
  virtual ~ScreenStream() = default;
  // Before startCapture: samples of `type` go to `output`, delivered on `queue` (kept alive by
  // the stream). False when the output cannot be attached.
  virtual bool addStreamOutput(std::shared_ptr<ScreenStreamOutput> output, SampleType type,
                               std::shared_ptr<SerialQueue> queue) = 0;
  // Blocks until capture runs (true) or failed to start (false). Call from a worker thread.
  virtual bool startCapture() = 0;
  // Blocks until no further sample will be handed to the queue. False when the stream was not
  // running. Call from a worker thread.
  virtual bool stopCapture() = 0;
};

// The screen capture service: what can be captured and streams of it. Thread-safe; its blocking
// calls are made from worker threads, never the main thread.
class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  // The capturable displays, or nullopt when the service cannot be asked. Blocks.
  virtual std::optional<ShareableContent> shareableContent() = 0;
  // The identifier of the main display; may match none of the listed displays.
  virtual uint32_t mainDisplayId() = 0;
  // A stream of the whole display, not yet running, reporting its own stop to `delegate`.
  virtual std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                                   const ScreenStreamConfiguration& configuration,
                                                   std::shared_ptr<ScreenStreamDelegate> delegate) = 0;
};

}  // namespace qova
