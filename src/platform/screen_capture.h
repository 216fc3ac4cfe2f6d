#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/pixel_rect.h"
#include "platform/imaging.h"

namespace qova {

class SerialQueue;

// A display that can be captured, as the screen capture service lists it: its size, and where its
// top-left corner lies in the space the event poster takes points in.
struct CaptureDisplay {
  uint32_t displayId = 0;
  int64_t width = 0;
  int64_t height = 0;
  int64_t x = 0;
  int64_t y = 0;
  std::string name = {};  // what a person knows it by ("DP-1"); may be empty, and is in samples
};

struct ShareableContent {
  std::vector<CaptureDisplay> displays;  // in the service's order
};

// value / timescale seconds.
struct FrameInterval {
  int64_t value = 0;
  int32_t timescale = 0;
};

// When a stream samples the changes it sees. The rule is the logic's, so that every backend paces
// alike; one object per stream, called on that stream's capture thread only.
class SamplePacing {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~SamplePacing() = default;
  // A change was seen at `now`; it is kept until a sample with pixels is taken.
  virtual void changed(TimePoint now) = 0;
  // When the kept change is to be sampled (possibly already past); nullopt when none is kept.
  virtual std::optional<TimePoint> due() const = 0;
  // A sample with pixels was taken at `now`: every change kept so far is in it.
  virtual void sampled(TimePoint now) = 0;
};

// The pointer's image, for a stream that reports the pointer rather than drawing it. Rows top to
// bottom, R, G, B, A per pixel, not premultiplied.
struct CursorImage {
  uint64_t serial = 0;  // changes whenever the shape does
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<uint8_t> rgba;
};

// Where the pointer is and what it looks like. The image is shared from sample to sample while the
// shape holds, so comparing serials is enough to see a new one.
struct CursorState {
  int64_t x = 0;  // the hot spot, relative to the display's top-left corner, in display pixels
  int64_t y = 0;
  bool visible = true;
  std::shared_ptr<const CursorImage> image;  // null while the shape is unknown
};

struct ScreenStreamConfiguration {
  int64_t width = 0;  // size of the delivered pixel buffers (BGRX)
  int64_t height = 0;
  FrameInterval minimumFrameInterval;
  intptr_t queueDepth = 3;  // samples handed over and not yet handled, at most
  bool showsCursor = true;
  // With showsCursor false: samples carry `cursor`, and a move or a new shape alone makes an idle
  // sample that carries it. Streams that cannot tell leave `cursor` empty.
  bool reportsCursor = false;
  std::shared_ptr<SamplePacing> pacing;  // required: no stream is made without it
};

// What a sample says of its frame. Only complete and started frames carry a picture worth sending;
// idle means nothing changed since the last complete one.
enum class FrameStatus { complete, idle, blank, suspended, started, stopped };

struct ScreenSample {
  FrameStatus status = FrameStatus::complete;
  std::optional<PixelBuffer> imageBuffer;  // nullopt: no pixels (an idle frame); its storage keeps the pixels
  std::chrono::steady_clock::time_point presentationTime;
  // The display as it was when sampled, for its layout may change under a stream; a size of 0 says
  // it is the one the stream was made for.
  CaptureDisplay display;
  std::optional<CursorState> cursor = std::nullopt;  // only from a stream asked to report the pointer
  // Where this sample's pixels may differ from the stream's previous sample with pixels, as the
  // desktop reported it; nullopt when it did not (anywhere may have changed).
  std::optional<std::vector<PixelRect>> damage = std::nullopt;
};

// What a stream reports to. Held strongly by its stream until the stream has stopped.
class ScreenStreamClient {
 public:
  virtual ~ScreenStreamClient() = default;
  // On the queue the stream was made with, one sample at a time.
  virtual void didOutputSample(const ScreenSample& sample) = 0;
  // The stream stopped by itself (display gone, capture failing). At most once, on a thread of the
  // stream's choosing, never after stopCapture was asked.
  virtual void didStopWithError() = 0;
};

// One capture of one display. Thread-safe. Destroying a running stream stops it.
class ScreenStream {
 public:
  virtual ~ScreenStream() = default;
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
  // Whether its streams can report the pointer (reportsCursor) rather than draw it.
  virtual bool canReportCursor() const { return false; }
  // A stream of the whole display, not yet running. Its samples go to `client` on `queue`; the
  // stream keeps both alive until it has stopped. Null when no such stream can be made.
  virtual std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                                   const ScreenStreamConfiguration& configuration,
                                                   std::shared_ptr<ScreenStreamClient> client,
                                                   std::shared_ptr<SerialQueue> queue) = 0;
};

}  // namespace qova
