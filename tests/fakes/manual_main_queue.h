#pragma once

#include <condition_variable>
#include <thread>
#include <map>
#include <mutex>
#include <vector>

#include "base/main_queue.h"

namespace qova::test {

// The main thread of a test: the test thread itself, with a virtual clock. Work posted from any
// thread waits until the test runs it (runPending, advance, pumpUntil), so "1.0 s later" is tested
// without sleeping.
class ManualMainQueue : public MainQueue {
 public:
  void post(std::function<void()> fn) override;
  void postAfter(Duration delay, std::function<void()> fn) override;
  std::shared_ptr<Timer> scheduleRepeating(Duration interval, std::function<void()> fn) override;

  // Runs everything that is due now, including work that running posts, until nothing is left.
  void runPending();
  // Moves the virtual clock forward step by step, running what falls due on the way.
  void advance(Duration by);
  // Runs due work as it arrives from other threads until `done` holds or `realTimeout` passes
  // (the virtual clock stands still). Returns done().
  bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));
  // Work queued and not yet run, due or not.
  size_t pendingCount() const;
  // Live repeating timers.
  int activeTimerCount() const;
  // The thread that made the queue plays the main thread.
  bool isCurrent() const override { return std::this_thread::get_id() == home_; }

 private:
  struct TimerState;
  class ManualTimer;
  bool runOneDue();
  void arm(std::weak_ptr<TimerState> weak);

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::multimap<std::pair<Duration, uint64_t>, std::function<void()>> queue_;
  uint64_t nextOrder_ = 0;
  Duration now_{0};
  const std::thread::id home_ = std::this_thread::get_id();
  std::vector<std::weak_ptr<TimerState>> timers_;
};

}  // namespace qova::test
