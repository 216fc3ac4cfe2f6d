// The serial queue and the release of an object on its home thread, with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "app/home_thread_release.h"
#include "base/serial_queue.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

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
  EXPECT_TRUE(waitUntil([&] { return released.load(); }, 5s));
}

// Records the thread its destructor ran on.
struct Owned {
  explicit Owned(std::atomic<std::thread::id>* destroyedOn) : destroyedOn(destroyedOn) {}
  ~Owned() { *destroyedOn = std::this_thread::get_id(); }
  std::atomic<std::thread::id>* destroyedOn;
};

// Where an abandoned object ends up, so that it stays reachable and no leak check counts it.
Owned* abandonedObject = nullptr;

TEST(HomeThreadRelease, TheObjectIsDestroyedAtHomeWhoeverLetsGoLastOrNotAtAll) {
  enum Last { home, workerWhileHomeWaits, workerAfterHomeGaveUp };
  for (const Last last : {home, workerWhileHomeWaits, workerAfterHomeGaveUp}) {
    SCOPED_TRACE(last);
    std::atomic<std::thread::id> destroyedOn{};
    HomeThreadRelease<Owned> release;
    auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));
    abandonedObject = owned.get();
    std::promise<void> letGo;
    std::thread worker([held = owned, go = letGo.get_future()]() mutable {
      go.wait();
      held.reset();
    });
    if (last == home) {
      letGo.set_value();
      worker.join();
    }
    owned.reset();
    if (last == workerWhileHomeWaits) letGo.set_value();
    EXPECT_EQ(release.finish(last == workerAfterHomeGaveUp ? 50ms : 10s), last != workerAfterHomeGaveUp);
    if (last == workerAfterHomeGaveUp) letGo.set_value();
    if (worker.joinable()) worker.join();
    EXPECT_EQ(destroyedOn.load(), last == workerAfterHomeGaveUp ? std::thread::id() : std::this_thread::get_id());
  }
}

}  // namespace
}  // namespace qova::test
