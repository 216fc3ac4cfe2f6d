#pragma once

#include <atomic>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/screen_capture.h"

namespace qova {

// What the streams that capture on a thread of their own share: the thread, started and stopped from
// worker threads; a descriptor that wakes it for a stop or for room made in the client's queue; and
// the hand-over of samples to that queue, counting those not yet handled.
class ThreadedScreenStream : public ScreenStream, public std::enable_shared_from_this<ThreadedScreenStream> {
 public:
  ThreadedScreenStream(const CaptureDisplay& display, const ScreenStreamConfiguration& configuration,
                       std::shared_ptr<ScreenStreamClient> client, std::shared_ptr<SerialQueue> queue);
  ~ThreadedScreenStream() override;
  ThreadedScreenStream(const ThreadedScreenStream&) = delete;
  ThreadedScreenStream& operator=(const ThreadedScreenStream&) = delete;
  // False when the wake-up descriptor could not be made: such a stream is never handed out.
  bool usable() const;
  bool startCapture() override;
  bool stopCapture() override;

 protected:
  // The capture thread: says through `started` whether capture runs, then captures until
  // stopRequested() or until it stops by itself.
  virtual void run(std::promise<bool>& started) = 0;
  // Every derived destructor calls this first, so the thread never runs on a half-destroyed object.
  // The capture thread may hold the last reference for a moment; then it is let go, not waited for.
  void endThread();
  bool stopRequested() const { return stopRequested_; }
  // Readable after a stop request or a handled sample; the capture thread clears it before it waits.
  int wakeDescriptor() const;
  void clearWake() const;
  bool roomInQueue() const;  // fewer samples in flight than the queue depth
  void deliver(ScreenSample sample);
  // Tells the client once, unless a stop was asked: then nothing is reported.
  void stoppedByItself(const std::string& why);

  const CaptureDisplay display_;
  const ScreenStreamConfiguration configuration_;

 private:
  class WakeUp;
  void requestStop();

  const std::shared_ptr<ScreenStreamClient> client_;
  const std::shared_ptr<SerialQueue> queue_;
  std::mutex controlMutex_;  // start, stop and the thread handle
  std::thread thread_;
  std::atomic<bool> stopRequested_ = false;
  // Shared with queued hand-overs, which may run after the stream is gone.
  const std::shared_ptr<WakeUp> wake_;
  const std::shared_ptr<std::atomic<intptr_t>> inFlight_ = std::make_shared<std::atomic<intptr_t>>(0);
};

}  // namespace qova
