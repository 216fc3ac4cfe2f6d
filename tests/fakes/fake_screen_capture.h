#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "base/serial_queue.h"
#include "platform/screen_capture.h"

namespace qova::test {

// A stream the test drives: it counts the starts and stops asked of it, may hold its start until
// released, and hands the test's samples to its client on its queue, as a platform stream would.
class FakeScreenStream : public ScreenStream {
 public:
  // Shared by every stream of one service: a stop task may still hold a stream after the service.
  struct Counts {
    std::mutex mutex;
    std::condition_variable changed;
    int starts = 0;
    int stops = 0;
  };

  FakeScreenStream(CaptureDisplay display, ScreenStreamConfiguration configuration,
                   std::shared_ptr<ScreenStreamClient> client, std::shared_ptr<SerialQueue> queue, bool held,
                   bool fails, std::shared_ptr<Counts> counts)
      : display(display), configuration(configuration), client(std::move(client)), queue(std::move(queue)),
        held_(held), fails_(fails), counts_(std::move(counts)) {}

  bool startCapture() override {
    std::unique_lock lock(counts_->mutex);
    ++counts_->starts;
    counts_->changed.notify_all();
    counts_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return !held_; });
    return !fails_;
  }
  bool stopCapture() override {
    std::lock_guard lock(counts_->mutex);
    ++stops_;
    ++counts_->stops;
    counts_->changed.notify_all();
    return true;
  }
  void release() {
    std::lock_guard lock(counts_->mutex);
    held_ = false;
    counts_->changed.notify_all();
  }
  int stops() {
    std::lock_guard lock(counts_->mutex);
    return stops_;
  }
  void deliver(ScreenSample sample) {
    queue->async([client = client, sample = std::move(sample)] { client->didOutputSample(sample); });
  }

  const CaptureDisplay display;
  const ScreenStreamConfiguration configuration;
  const std::shared_ptr<ScreenStreamClient> client;
  const std::shared_ptr<SerialQueue> queue;

 private:
  bool held_;
  const bool fails_;
  int stops_ = 0;
  std::shared_ptr<Counts> counts_;
};

class FakeScreenCapture : public ScreenCapture {
 public:
  std::optional<ShareableContent> shareableContent() override {
    ++contentQueries;
    std::lock_guard lock(mutex_);
    return content;
  }
  uint32_t mainDisplayId() override { return mainDisplay.load(); }
  std::shared_ptr<ScreenStream> makeStream(const CaptureDisplay& display, const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue) override {
    if (makeFails) return nullptr;
    auto stream = std::make_shared<FakeScreenStream>(display, configuration, std::move(client), std::move(queue),
                                                     holdStart.load(), startFails.load(), counts_);
    std::lock_guard lock(mutex_);
    streams_.push_back(stream);
    return stream;
  }

  // Streams made so far, in order.
  std::vector<std::shared_ptr<FakeScreenStream>> streams() {
    std::lock_guard lock(mutex_);
    return streams_;
  }
  // Waits (bounded, real time) until all streams together were asked so many starts or stops.
  bool waitStarts(int count) { return waitFor(&FakeScreenStream::Counts::starts, count); }
  bool waitStops(int count) { return waitFor(&FakeScreenStream::Counts::stops, count); }

  // Set before the start they are for.
  std::optional<ShareableContent> content = ShareableContent{{{7, 1440, 900}}};
  std::atomic<uint32_t> mainDisplay{7};
  std::atomic<bool> makeFails{false};
  std::atomic<bool> startFails{false};
  std::atomic<bool> holdStart{false};  // the stream's start waits until it is released
  std::atomic<int> contentQueries{0};

 private:
  bool waitFor(int FakeScreenStream::Counts::*counter, int count) {
    std::unique_lock lock(counts_->mutex);
    return counts_->changed.wait_for(lock, std::chrono::seconds(10), [&] { return (*counts_).*counter >= count; });
  }

  std::mutex mutex_;
  std::vector<std::shared_ptr<FakeScreenStream>> streams_;
  const std::shared_ptr<FakeScreenStream::Counts> counts_ = std::make_shared<FakeScreenStream::Counts>();
};

}  // namespace qova::test
