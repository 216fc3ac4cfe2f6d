#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qova {

// A labelled serial work queue: one worker thread runs the blocks one at a time, first in, first out.
// The worker thread carries the label as its name (cut to 15 characters, the kernel's limit).
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // Drops blocks not yet started and waits for the running one, unless called from a block of this
  // queue (the last owner may be released there), in which case the worker finishes on its own.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Any thread; never waits for the worker. False (block dropped) once the queue is being destroyed.
  bool async(std::function<void()> block);
  // Any thread but the worker's own: returns once every block queued before this call has run.
  void drain();
  // True on this queue's worker thread.
  bool isCurrent() const;

 private:
  struct State;
  static void run(std::shared_ptr<State> state);

  std::string label_;
  std::shared_ptr<State> state_;
  std::thread worker_;
};

}  // namespace qova
