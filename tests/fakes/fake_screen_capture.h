#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/screen_capture.h"

namespace qova::test {

// A stream that the test drives: it records what the logic asked of it and delivers the samples the
// test hands it on the queue the logic gave, as a platform stream would.
// What every stream of one fake capture service reports back; shared, since a stream may outlive
// the service (a stop task still holding it).
struct FakeCaptureEvents {
  std::mutex mutex;
  std::condition_variable changed;
  size_t startRequests = 0;
  size_t stopRequests = 0;
  void note(size_t FakeCaptureEvents::*counter);
  bool waitFor(size_t FakeCaptureEvents::*counter, size_t count);
};

class FakeScreenStream : public ScreenStream {
 public:
  FakeScreenStream(CaptureDisplay display, ScreenStreamConfiguration configuration,
                   std::shared_ptr<ScreenStreamDelegate> delegate, std::shared_ptr<FakeCaptureEvents> events);

  bool addStreamOutput(std::shared_ptr<ScreenStreamOutput> output, SampleType type,
                       std::shared_ptr<SerialQueue> queue) override;
  bool startCapture() override;
  bool stopCapture() override;

  // Test side. Queues one sample for the output; false when no output is attached.
  bool deliver(ScreenSample sample, SampleType type = SampleType::screen);
  // The stream stops by itself.
  void failMidStream();
  // Lets a start that the capture service held back go on.
  void releaseStart();

  const CaptureDisplay display;
  const ScreenStreamConfiguration configuration;
  const std::shared_ptr<ScreenStreamDelegate> delegate;
  std::atomic<bool> started{false};
  std::atomic<int> stopRequests{0};
  std::shared_ptr<ScreenStreamOutput> output() const;
  std::shared_ptr<SerialQueue> queue() const;
  SampleType outputType() const;

  // Set by the capture service before the stream is handed out.
  bool addOutputFails = false;
  bool startFails = false;
  bool holdStart = false;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<ScreenStreamOutput> output_;
  std::shared_ptr<SerialQueue> queue_;
  SampleType type_ = SampleType::audio;
  bool startReleased_ = false;
  std::shared_ptr<FakeCaptureEvents> events_;
};

class FakeScreenCapture : public ScreenCapture {
 public:
  std::optional<ShareableContent> shareableContent() override;
  uint32_t mainDisplayId() override { return mainDisplay.load(); }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display, const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamDelegate> delegate) override;

  // Configuration (set before the capture starts).
  std::optional<ShareableContent> content = ShareableContent{{{7, 1440, 900}}};
  std::atomic<uint32_t> mainDisplay{7};
  bool addOutputFails = false;
  bool startFails = false;
  bool holdStart = false;  // startCapture waits until the test releases it

  // Streams made so far, in order.
  std::vector<std::shared_ptr<FakeScreenStream>> streams() const;
  // Wait (real time, bounded) until so many starts or stops have been asked of all streams together.
  bool waitStartRequests(size_t count) { return events->waitFor(&FakeCaptureEvents::startRequests, count); }
  bool waitStopRequests(size_t count) { return events->waitFor(&FakeCaptureEvents::stopRequests, count); }
  size_t stopRequests() const;
  std::atomic<int> contentQueries{0};
  const std::shared_ptr<FakeCaptureEvents> events = std::make_shared<FakeCaptureEvents>();

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeScreenStream>> streams_;
};

}  // namespace qova::test
