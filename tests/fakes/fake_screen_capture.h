#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "base/serial_queue.h"
#include "platform/screen_capture.h"

namespace qova::test {

// A stream the test drives: it counts the stops asked of it, may hold its start until released, and
// hands the test's samples to its client on its queue, as a platform stream would.
class FakeScreenStream : public ScreenStream {
 public:
  FakeScreenStream(CaptureDisplay display, ScreenStreamConfiguration configuration,
                   std::shared_ptr<ScreenStreamClient> client, std::shared_ptr<SerialQueue> queue, bool held,
                   bool fails)
      : display(display),
        configuration(configuration),
        client(std::move(client)),
        queue(std::move(queue)),
        held_(held),
        fails_(fails) {}

  bool startCapture() override {
    if (held_) released_.wait_for(std::chrono::seconds(10));
    return !fails_;
  }
  bool stopCapture() override {
    ++stops_;
    return true;
  }
  void release() { release_.set_value(); }
  int stops() const { return stops_.load(); }
  // A sample without pixels that only reports the pointer, as a move alone makes one.
  void deliverPointer(int64_t x, int64_t y, std::shared_ptr<const CursorImage> image) {
    deliver({FrameStatus::idle, std::nullopt, std::chrono::steady_clock::now(), {}, CursorState{x, y, true, image}});
  }
  void deliver(ScreenSample sample) {
    queue->async([client = client, sample = std::move(sample)] { client->didOutputSample(sample); });
  }

  const CaptureDisplay display;
  const ScreenStreamConfiguration configuration;
  const std::shared_ptr<ScreenStreamClient> client;
  const std::shared_ptr<SerialQueue> queue;

 private:
  const bool held_;
  const bool fails_;
  std::promise<void> release_;
  const std::shared_future<void> released_ = release_.get_future().share();
  std::atomic<int> stops_{0};
};

class FakeScreenCapture : public ScreenCapture {
 public:
  std::optional<ShareableContent> shareableContent() override {
    ++contentQueries;
    return content;
  }
  uint32_t mainDisplayId() override { return 7; }
  bool canReportCursor() const override { return reportsCursor.load(); }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override {
    if (makeFails) return nullptr;
    auto stream = std::make_shared<FakeScreenStream>(display, configuration, std::move(client), std::move(queue),
                                                     holdStart.load(), startFails.load());
    std::lock_guard lock(mutex_);
    streams_.push_back(stream);
    return stream;
  }
  // Streams made so far, in order.
  std::vector<std::shared_ptr<FakeScreenStream>> streams() {
    std::lock_guard lock(mutex_);
    return streams_;
  }

  // Set while no start runs, before the start they are for.
  std::optional<ShareableContent> content = ShareableContent{{{7, 1440, 900}}};
  std::atomic<bool> makeFails{false};
  std::atomic<bool> startFails{false};
  std::atomic<bool> holdStart{false};      // the stream's start waits until it is released
  std::atomic<bool> reportsCursor{false};  // streams can hand the pointer in samples' `cursor`
  std::atomic<int> contentQueries{0};

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeScreenStream>> streams_;
};

}  // namespace qova::test
