#include "platform/qt/qt_main_queue.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include "base/thread_check.h"
#include "platform/qt/qt_main_thread.h"

namespace qova {

namespace {

class QtTimer : public Timer {
 public:
  QtTimer(QObject* context, Duration interval, std::function<void()> fn) : timer_(new QTimer(context)) {
    timer_->setInterval(static_cast<int>(interval.count()));
    QObject::connect(timer_, &QTimer::timeout, timer_, [fn = std::move(fn)] { fn(); });
    timer_->start();
  }
  ~QtTimer() override { invalidate(); }
  void invalidate() override {
    QOVA_ASSERT_ON(kQtMainThread);
    if (timer_) {
      timer_->stop();
      timer_->deleteLater();
      timer_ = nullptr;
    }
  }
  bool isValid() const override { return timer_ != nullptr; }

 private:
  QPointer<QTimer> timer_;
};

}  // namespace

QtMainQueue::QtMainQueue() : context_(new QObject) {}

QtMainQueue::~QtMainQueue() { delete context_; }

void QtMainQueue::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(context_, std::move(fn), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(Duration delay, std::function<void()> fn) {
  if (QThread::currentThread() == context_->thread()) {
    QTimer::singleShot(static_cast<int>(delay.count()), context_, std::move(fn));
    return;
  }
  // A timer belongs to the thread that starts it; only the main thread is sure to run an event loop.
  post([context = context_, delay, fn = std::move(fn)]() mutable {
    QTimer::singleShot(static_cast<int>(delay.count()), context, std::move(fn));
  });
}

std::shared_ptr<Timer> QtMainQueue::scheduleRepeating(Duration interval, std::function<void()> fn) {
  QOVA_ASSERT_ON(*this);
  return std::make_shared<QtTimer>(context_, interval, std::move(fn));
}

bool QtMainQueue::isCurrent() const { return QThread::currentThread() == context_->thread(); }

}  // namespace qova
