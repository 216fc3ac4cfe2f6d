#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace qova {

// Shares an object whose destruction must happen on the thread that adopted it. The controller owns
// the window's widgets, and blocks on reader, waiter and queue threads hold it for as long as they
// run; whichever of them happened to let go last would otherwise destroy the widgets off the UI
// thread. A last release elsewhere hands the object back instead, and `finish` destroys it at home.
template <class T>
class HomeThreadRelease {
 public:
  HomeThreadRelease() : state_(std::make_shared<State>()) {}

  // Called on the home thread, once. Every copy of the result shares the one object.
  std::shared_ptr<T> adopt(std::unique_ptr<T> object) { return std::shared_ptr<T>(object.release(), Deleter{state_}); }

  // Called on the home thread after it dropped its own references. Waits up to `timeout` for other
  // threads to let go and destroys the object here. False if some thread still holds it then; that
  // holder's release later leaks the object rather than destroying it off the home thread, which is
  // the better end for a process that is about to exit.
  bool finish(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    const bool released =
        state_->changed.wait_for(lock, timeout, [&] { return state_->destroyed || state_->returned != nullptr; });
    if (!released) {
      state_->abandoned = true;
      return false;
    }
    std::unique_ptr<T> returned = std::move(state_->returned);
    lock.unlock();
    returned.reset();
    return true;
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id home = std::this_thread::get_id();
    std::unique_ptr<T> returned;
    bool destroyed = false;
    bool abandoned = false;
  };

  struct Deleter {
    std::shared_ptr<State> state;
    void operator()(T* raw) const {
      std::unique_ptr<T> object(raw);
      if (std::this_thread::get_id() == state->home) {
        object.reset();
        std::lock_guard lock(state->mutex);
        state->destroyed = true;
        return;
      }
      std::lock_guard lock(state->mutex);
      if (state->abandoned) {
        [[maybe_unused]] T* leaked = object.release();
        return;
      }
      state->returned = std::move(object);
      state->changed.notify_all();
    }
  };

  std::shared_ptr<State> state_;
};

}  // namespace qova
