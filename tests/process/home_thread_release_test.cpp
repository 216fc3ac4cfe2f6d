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
  enum class Last { home, workerWhileHomeWaits, workerAfterTheWait };
  const struct {
    const char* name;
    Last last;
    bool finished;
    bool destroyedAtHome;
  } cases[] = {
      {"home", Last::home, true, true},
      {"a worker, while home waits", Last::workerWhileHomeWaits, true, true},
      {"a worker, after home gave up", Last::workerAfterTheWait, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<std::thread::id> destroyedOn{};
    HomeThreadRelease<Owned> release;
    auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));
    if (c.last == Last::workerAfterTheWait) abandonedObject = owned.get();
    std::promise<void> letGo;
    std::thread worker([held = owned, go = letGo.get_future()]() mutable {
      go.wait();
      held.reset();
    });
    if (c.last == Last::home) {
      letGo.set_value();
      worker.join();
    }
    owned.reset();
    if (c.last == Last::workerWhileHomeWaits) letGo.set_value();
    EXPECT_EQ(release.finish(c.last == Last::workerAfterTheWait ? 50ms : 10s), c.finished);
    if (c.last == Last::workerAfterTheWait) letGo.set_value();
    if (worker.joinable()) worker.join();
    EXPECT_EQ(destroyedOn.load(), c.destroyedAtHome ? std::this_thread::get_id() : std::thread::id());
  }
}

}  // namespace
}  // namespace qova
