#include "base/serial_queue.h"

#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace qova {
namespace {

TEST(SerialQueue, RunsBlocksOneAtATimeInTheOrderTheyWereQueued) {
  SerialQueue queue("qova.lumaro.agent.input");
  std::vector<int> order;  // touched only by blocks: serial execution makes that safe
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (running.fetch_add(1) != 0) overlapped = true;
      order.push_back(i);
      running.fetch_sub(1);
    });
  }
  queue.drain();
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(order.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
}

TEST(SerialQueue, WorkerCarriesTheLabelCutToFifteenCharacters) {
  SerialQueue queue("qova.lumaro.agent.capture");
  char name[32] = {};
  bool current = false;
  queue.async([&] {
    pthread_getname_np(pthread_self(), name, sizeof name);
    current = queue.isCurrent();
  });
  queue.drain();
  EXPECT_STREQ(name, "qova.lumaro.age");
  EXPECT_TRUE(current);
  EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, TheLastOwnerMayReleaseTheQueueFromItsOwnBlock) {
  auto queue = std::make_shared<std::unique_ptr<SerialQueue>>(std::make_unique<SerialQueue>("self-release"));
  std::atomic<bool> released{false};
  (*queue)->async([queue, &released] {
    queue->reset();  // destroys the queue on its own worker
    released = true;
  });
  for (int i = 0; i < 500 && !released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(released);
}

TEST(SerialQueue, ProducersOnManyThreadsLoseNothing) {
  SerialQueue queue("many-producers");
  std::atomic<int> ran{0};
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) queue.async([&] { ran.fetch_add(1); });
    });
  }
  for (auto& producer : producers) producer.join();
  queue.drain();
  EXPECT_EQ(ran.load(), 2000);
}

}  // namespace
}  // namespace qova
