#pragma once

#include <QObject>
#include <QPointer>

#include "base/main_queue.h"

namespace qova {

// The Qt event loop of the thread that made it (the main thread).
class QtMainQueue : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  void post(std::function<void()> fn) override;
  void postAfter(Duration delay, std::function<void()> fn) override;
  std::shared_ptr<Timer> scheduleRepeating(Duration interval, std::function<void()> fn) override;
  bool isCurrent() const override;

 private:
  QObject* context_;
};

}  // namespace qova
