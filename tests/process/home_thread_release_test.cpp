#include "app/home_thread_release.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace qova {
namespace {

using namespace std::chrono_literals;

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
}  // namespace qova
