#include "base/serial_queue.h"

#include <pthread.h>

namespace qova {

struct SerialQueue::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> blocks;
  bool stopping = false;
  std::thread::id workerId;
};

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
  worker_ = std::thread([name = label_.substr(0, 15), state = state_] {
    // Linux allows 15 characters plus the terminator.
    pthread_setname_np(pthread_self(), name.c_str());
    run(state);
  });
  std::lock_guard lock(state_->mutex);
  state_->workerId = worker_.get_id();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->blocks.clear();
  }
  state_->wake.notify_all();
  if (std::this_thread::get_id() == worker_.get_id()) {
    worker_.detach();  // the running block is on our own stack; the worker ends after it
  } else {
    worker_.join();
  }
}

void SerialQueue::run(std::shared_ptr<State> state) {
  for (;;) {
    std::function<void()> block;
    {
      std::unique_lock lock(state->mutex);
      state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
      if (state->stopping) return;
      block = std::move(state->blocks.front());
      state->blocks.pop_front();
    }
    block();
  }
}

bool SerialQueue::async(std::function<void()> block) {
  // Once the block is queued it may release the queue itself, so only the shared state is used.
  auto state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->stopping) return false;
    state->blocks.push_back(std::move(block));
  }
  state->wake.notify_one();
  return true;
}

void SerialQueue::drain() {
  std::mutex doneMutex;
  std::condition_variable doneWake;
  bool done = false;
  const bool queued = async([&] {
    std::lock_guard lock(doneMutex);
    done = true;
    doneWake.notify_all();
  });
  if (!queued) return;
  std::unique_lock lock(doneMutex);
  doneWake.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
  std::lock_guard lock(state_->mutex);
  return std::this_thread::get_id() == state_->workerId;
}

}  // namespace qova
