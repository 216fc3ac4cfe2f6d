#include "platform/qt/qt_main_queue.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <thread>
#include <vector>

namespace qova {
namespace {

void spinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(QtMainQueue, WorkFromOtherThreadsRunsOnTheMainThreadInOrder) {
  QtMainQueue queue;
  std::vector<int> order;
  std::vector<bool> onMain;
  const auto mainId = std::this_thread::get_id();
  std::thread producer([&] {
    for (int i = 0; i < 100; ++i) {
      queue.post([&, i] {
        order.push_back(i);
        onMain.push_back(std::this_thread::get_id() == mainId);
      });
    }
  });
  producer.join();
  spinUntil([&] { return order.size() == 100; });
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
  EXPECT_EQ(std::count(onMain.begin(), onMain.end(), true), 100);
}

TEST(QtMainQueue, DelayedWorkFromAnotherThreadRunsLaterOnTheMainThread) {
  QtMainQueue queue;
  bool ran = false;
  QElapsedTimer clock;
  clock.start();
  qint64 ranAt = -1;
  std::thread([&] { queue.postAfter(Duration(200), [&] {
                      ran = true;
                      ranAt = clock.elapsed();
                    }); }).join();
  spinUntil([&] { return ran; });
  EXPECT_TRUE(ran);
  EXPECT_GE(ranAt, 190);
}

TEST(QtMainQueue, AnInvalidatedTimerNeverFiresAgain) {
  QtMainQueue queue;
  int ticks = 0;
  auto timer = queue.scheduleRepeating(Duration(20), [&] { ++ticks; });
  spinUntil([&] { return ticks >= 3; });
  EXPECT_GE(ticks, 3);
  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  const int atInvalidate = ticks;
  spinUntil([] { return false; }, 150);
  EXPECT_EQ(ticks, atInvalidate);
}

}  // namespace
}  // namespace qova
