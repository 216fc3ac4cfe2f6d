#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace qova {

using Duration = std::chrono::milliseconds;

// A repeating timer of the main thread. Created, invalidated and fired on the main thread only;
// once invalidate() has returned the action never runs again.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;
};

// The main thread's event loop as the logic sees it. Work posted runs on the main thread, first in,
// first out; the queue must outlive everything that posts to it.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Any thread. Runs fn on the main thread after everything posted before it.
  virtual void post(std::function<void()> fn) = 0;
  // Any thread. Runs fn once on the main thread, no earlier than delay from now.
  virtual void postAfter(Duration delay, std::function<void()> fn) = 0;
  // Main thread. Runs fn every interval, the first time one interval from now, until invalidated.
  virtual std::shared_ptr<Timer> scheduleRepeating(Duration interval, std::function<void()> fn) = 0;
  // Any thread. True on the main thread; checks of thread contracts ask it.
  virtual bool isCurrent() const = 0;
};

}  // namespace qova
