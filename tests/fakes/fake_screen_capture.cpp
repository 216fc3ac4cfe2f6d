#include "fakes/fake_screen_capture.h"

#include <chrono>

#include "base/serial_queue.h"

namespace qova::test {

void FakeCaptureEvents::note(size_t FakeCaptureEvents::*counter) {
  std::lock_guard lock(mutex);
  ++(this->*counter);
  changed.notify_all();
}

bool FakeCaptureEvents::waitFor(size_t FakeCaptureEvents::*counter, size_t count) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(10), [&] { return this->*counter >= count; });
}

FakeScreenStream::FakeScreenStream(CaptureDisplay display, ScreenStreamConfiguration configuration,
                                   std::shared_ptr<ScreenStreamDelegate> delegate,
                                   std::shared_ptr<FakeCaptureEvents> events)
    : display(display), configuration(configuration), delegate(std::move(delegate)), events_(std::move(events)) {}

bool FakeScreenStream::addStreamOutput(std::shared_ptr<ScreenStreamOutput> output, SampleType type,
                                       std::shared_ptr<SerialQueue> queue) {
  if (addOutputFails) return false;
  std::lock_guard lock(mutex_);
  output_ = std::move(output);
  queue_ = std::move(queue);
  type_ = type;
  return true;
}

bool FakeScreenStream::startCapture() {
  events_->note(&FakeCaptureEvents::startRequests);
  if (holdStart) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return startReleased_; });
  }
  if (startFails) return false;
  started = true;
  return true;
}

bool FakeScreenStream::stopCapture() {
  ++stopRequests;
  const bool wasRunning = started.exchange(false);
  events_->note(&FakeCaptureEvents::stopRequests);
  return wasRunning;
}

void FakeScreenStream::releaseStart() {
  std::lock_guard lock(mutex_);
  startReleased_ = true;
  changed_.notify_all();
}

bool FakeScreenStream::deliver(ScreenSample sample, SampleType type) {
  std::shared_ptr<ScreenStreamOutput> output;
  std::shared_ptr<SerialQueue> queue;
  {
    std::lock_guard lock(mutex_);
    if (!output_ || type != type_) return false;
    output = output_;
    queue = queue_;
  }
  return queue->async([this, output, sample = std::move(sample), type] { output->didOutputSample(*this, sample, type); });
}

void FakeScreenStream::failMidStream() {
  started = false;
  delegate->didStopWithError(*this);
}

std::shared_ptr<ScreenStreamOutput> FakeScreenStream::output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

std::shared_ptr<SerialQueue> FakeScreenStream::queue() const {
  std::lock_guard lock(mutex_);
  return queue_;
}

SampleType FakeScreenStream::outputType() const {
  std::lock_guard lock(mutex_);
  return type_;
}

std::optional<ShareableContent> FakeScreenCapture::shareableContent() {
  ++contentQueries;
  std::lock_guard lock(mutex_);
  return content;
}

std::shared_ptr<ScreenStream> FakeScreenCapture::makeStream(const CaptureDisplay& display,
                                                            const ScreenStreamConfiguration& configuration,
                                                            std::shared_ptr<ScreenStreamDelegate> delegate) {
  auto stream = std::make_shared<FakeScreenStream>(display, configuration, std::move(delegate), events);
  std::lock_guard lock(mutex_);
  stream->addOutputFails = addOutputFails;
  stream->startFails = startFails;
  stream->holdStart = holdStart;
  streams_.push_back(stream);
  return stream;
}

std::vector<std::shared_ptr<FakeScreenStream>> FakeScreenCapture::streams() const {
  std::lock_guard lock(mutex_);
  return streams_;
}

size_t FakeScreenCapture::stopRequests() const {
  std::lock_guard lock(events->mutex);
  return events->stopRequests;
}

}  // namespace qova::test
