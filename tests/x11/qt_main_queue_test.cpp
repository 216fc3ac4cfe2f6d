#include "platform/qt/qt_main_queue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <thread>
#include <vector>

#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

bool runLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
  return waitUntil(done, timeout, [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(2ms);
  });
}

TEST(QtMainQueue, WorkFromAnotherThreadRunsOnTheMainThreadInOrderAndDelayedWorkNoEarlierThanAsked) {
  QtMainQueue queue;
  QElapsedTimer clock;
  clock.start();
  std::vector<int> order;
  int offMain = 0;
  qint64 delayedAt = -1;
  std::thread([&] {
    EXPECT_FALSE(queue.isCurrent());
    queue.postAfter(200ms, [&] {
      delayedAt = clock.elapsed();
      offMain += !queue.isCurrent();
    });
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        offMain += !queue.isCurrent();
      });
    }
  }).join();
  ASSERT_TRUE(runLoopUntil([&] { return delayedAt >= 0; }));
  EXPECT_GE(delayedAt, 190);
  EXPECT_EQ(order.size(), 100u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(offMain, 0);
}

TEST(QtMainQueue, ARepeatingTimerFiresUntilInvalidatedAndNeverAfter) {
  QtMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(20ms, [&] { ++ticks; });
  ASSERT_TRUE(runLoopUntil([&] { return ticks >= 3; }));
  timer->invalidate();
  const int atInvalidate = ticks;
  runLoopUntil([] { return false; }, 150ms);
  EXPECT_EQ(ticks, atInvalidate);
}

}  // namespace
}  // namespace qova::test
