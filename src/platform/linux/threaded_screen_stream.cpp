#include "platform/linux/threaded_screen_stream.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "base/log.h"
#include "base/serial_queue.h"

namespace qova {

namespace {
const Log kLog("capture");
}  // namespace

class ThreadedScreenStream::WakeUp {
 public:
  WakeUp() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeUp() {
    if (fd_ >= 0) close(fd_);
  }
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;
  int fd() const { return fd_; }
  void signal() const {
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = write(fd_, &one, sizeof one);
  }
  void clear() const {
    uint64_t count;
    [[maybe_unused]] const auto n = read(fd_, &count, sizeof count);
  }

 private:
  const int fd_;
};

ThreadedScreenStream::ThreadedScreenStream(const CaptureDisplay& display,
                                           const ScreenStreamConfiguration& configuration,
                                           std::shared_ptr<ScreenStreamClient> client,
                                           std::shared_ptr<SerialQueue> queue)
    : display_(display),
      configuration_(configuration),
      client_(std::move(client)),
      queue_(std::move(queue)),
      wake_(std::make_shared<WakeUp>()) {}

ThreadedScreenStream::~ThreadedScreenStream() { endThread(); }

void ThreadedScreenStream::endThread() {
  requestStop();
  std::lock_guard lock(controlMutex_);
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool ThreadedScreenStream::usable() const { return wake_->fd() >= 0; }
int ThreadedScreenStream::wakeDescriptor() const { return wake_->fd(); }
void ThreadedScreenStream::clearWake() const { wake_->clear(); }

bool ThreadedScreenStream::startCapture() {
  std::lock_guard lock(controlMutex_);
  if (thread_.joinable() || configuration_.width <= 0 || configuration_.height <= 0 || !usable()) return false;
  stopRequested_ = false;
  wake_->clear();  // a stop asked of an earlier run
  std::promise<bool> started;
  auto result = started.get_future();
  thread_ = std::thread([this, started = std::move(started)]() mutable { run(started); });
  if (result.get()) return true;
  thread_.join();
  return false;
}

bool ThreadedScreenStream::stopCapture() {
  requestStop();
  std::lock_guard lock(controlMutex_);
  if (!thread_.joinable()) return false;
  thread_.join();
  return true;
}

void ThreadedScreenStream::requestStop() {
  stopRequested_ = true;
  wake_->signal();
}

bool ThreadedScreenStream::roomInQueue() const {
  return inFlight_->load() < std::max<intptr_t>(configuration_.queueDepth, 1);
}

void ThreadedScreenStream::deliver(ScreenSample sample) {
  inFlight_->fetch_add(1);
  // A handled sample makes room in the queue, which a capture thread waiting for room wants to know.
  const bool queued = queue_->async(
      [weak = weak_from_this(), client = client_, inFlight = inFlight_, wake = wake_, sample = std::move(sample)] {
        if (weak.lock()) client->didOutputSample(sample);
        inFlight->fetch_sub(1);
        wake->signal();
      });
  if (!queued) inFlight_->fetch_sub(1);
}

void ThreadedScreenStream::stoppedByItself(const std::string& why) {
  if (stopRequested_) return;  // asked to stop: nothing to report
  kLog.warning("the screen stream stopped by itself: " + why);
  if (weak_from_this().lock()) client_->didStopWithError();
}

}  // namespace qova
