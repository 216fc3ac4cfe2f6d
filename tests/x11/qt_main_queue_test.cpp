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

TEST(QtMainQueue, WorkPostedFromAnotherThreadRunsOnTheMainThreadInOrder) {
  QtMainQueue queue;
  std::vector<int> order;
  int offMain = 0;
  EXPECT_TRUE(queue.isCurrent());
  std::thread([&] {
    EXPECT_FALSE(queue.isCurrent());
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        offMain += !queue.isCurrent();
      });
    }
  }).join();
  ASSERT_TRUE(runLoopUntil([&] { return order.size() == 100; }));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_EQ(offMain, 0);
}

TEST(QtMainQueue, DelayedWorkFromAnotherThreadRunsOnTheMainThreadNoEarlierThanAsked) {
  QtMainQueue queue;
  QElapsedTimer clock;
  clock.start();
  qint64 ranAt = -1;
  bool onMain = false;
  std::thread([&] {
    queue.postAfter(200ms, [&] {
      ranAt = clock.elapsed();
      onMain = queue.isCurrent();
    });
  }).join();
  ASSERT_TRUE(runLoopUntil([&] { return ranAt >= 0; }));
  EXPECT_GE(ranAt, 190);
  EXPECT_TRUE(onMain);
}

TEST(QtMainQueue, ARepeatingTimerFiresUntilInvalidatedAndNeverAfter) {
  QtMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(20ms, [&] { ++ticks; });
  ASSERT_TRUE(runLoopUntil([&] { return ticks >= 3; }));
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  const int atInvalidate = ticks;
  runLoopUntil([] { return false; }, 150ms);
  EXPECT_EQ(ticks, atInvalidate);
}

}  // namespace
}  // namespace qova::test
