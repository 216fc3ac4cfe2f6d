#include "fakes/manual_main_queue.h"

namespace qova::test {

struct ManualMainQueue::TimerState {
  bool valid = true;
  Duration interval;
  std::function<void()> fn;
};

class ManualMainQueue::ManualTimer : public Timer {
 public:
  explicit ManualTimer(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  void invalidate() override { state_->valid = false; }
  bool isValid() const override { return state_->valid; }

 private:
  std::shared_ptr<TimerState> state_;
};

void ManualMainQueue::post(std::function<void()> fn) { postAfter(Duration::zero(), std::move(fn)); }

void ManualMainQueue::postAfter(Duration delay, std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace(std::make_pair(now_ + delay, nextOrder_++), std::move(fn));
  }
  arrived_.notify_all();
}

std::shared_ptr<Timer> ManualMainQueue::scheduleRepeating(Duration interval, std::function<void()> fn) {
  auto state = std::make_shared<TimerState>(TimerState{true, interval, std::move(fn)});
  {
    std::lock_guard lock(mutex_);
    timers_.push_back(state);
  }
  arm(std::weak_ptr<TimerState>(state));
  return std::make_shared<ManualTimer>(state);
}

// Each tick arms the next one while the timer is valid; ticks hold the timer only weakly, so a
// dropped timer stops like an invalidated one.
void ManualMainQueue::arm(std::weak_ptr<TimerState> weak) {
  auto state = weak.lock();
  if (!state) return;
  postAfter(state->interval, [this, weak] {
    auto current = weak.lock();
    if (!current || !current->valid) return;
    arm(weak);
    current->fn();
  });
}

bool ManualMainQueue::runOneDue() {
  std::function<void()> fn;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty() || queue_.begin()->first.first > now_) return false;
    fn = std::move(queue_.begin()->second);
    queue_.erase(queue_.begin());
  }
  fn();
  return true;
}

void ManualMainQueue::runPending() {
  while (runOneDue()) {
  }
}

void ManualMainQueue::advance(Duration by) {
  Duration target;
  {
    std::lock_guard lock(mutex_);
    target = now_ + by;
  }
  for (;;) {
    runPending();
    std::lock_guard lock(mutex_);
    if (queue_.empty() || queue_.begin()->first.first > target) {
      now_ = target;
      break;
    }
    now_ = std::max(now_, queue_.begin()->first.first);
  }
  runPending();
}

bool ManualMainQueue::pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout) {
  const auto deadline = std::chrono::steady_clock::now() + realTimeout;
  for (;;) {
    runPending();
    if (done()) return true;
    std::unique_lock lock(mutex_);
    if (std::chrono::steady_clock::now() >= deadline) break;
    arrived_.wait_for(lock, std::chrono::milliseconds(5));
  }
  runPending();
  return done();
}

size_t ManualMainQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

int ManualMainQueue::activeTimerCount() const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& weak : timers_) {
    if (auto state = weak.lock(); state && state->valid) ++count;
  }
  return count;
}

}  // namespace qova::test
