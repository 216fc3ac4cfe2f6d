#include "base/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "support/test_bundle.h"

namespace qova::test {
namespace {

TEST(SerialQueue, BlocksFromManyThreadsRunOneAtATimeEachThreadsInTheOrderItQueuedThem) {
  SerialQueue queue("many-producers");
  constexpr int kProducers = 4, kBlocks = 500;
  std::vector<int> next(kProducers, 0);  // touched only by blocks: serial execution makes that safe
  std::atomic<int> running{0}, outOfOrder{0}, overlapped{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kBlocks; ++i) {
        queue.async([&, p, i] {
          overlapped += running.fetch_add(1) != 0;
          outOfOrder += next[static_cast<size_t>(p)]++ != i;
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  queue.drain();
  EXPECT_EQ(overlapped.load(), 0);
  EXPECT_EQ(outOfOrder.load(), 0);
  EXPECT_EQ(next, std::vector<int>(kProducers, kBlocks));
}

TEST(SerialQueue, TheLastOwnerMayReleaseTheQueueFromItsOwnBlock) {
  auto owner = std::make_shared<std::unique_ptr<SerialQueue>>(std::make_unique<SerialQueue>("self-release"));
  std::atomic<bool> released{false};
  (*owner)->async([owner, &released] {
    owner->reset();  // destroys the queue on its own worker
    released = true;
  });
  EXPECT_TRUE(waitUntil([&] { return released.load(); }, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace qova::test
