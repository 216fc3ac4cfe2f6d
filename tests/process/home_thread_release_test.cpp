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
struct Owned : std::enable_shared_from_this<Owned> {
  explicit Owned(std::atomic<std::thread::id>* destroyedOn) : destroyedOn(destroyedOn) {}
  ~Owned() { *destroyedOn = std::this_thread::get_id(); }
  std::atomic<std::thread::id>* destroyedOn;
};

TEST(HomeThreadRelease, ALastReleaseOnAnotherThreadIsDestroyedAtHome) {
  std::atomic<std::thread::id> destroyedOn{};
  HomeThreadRelease<Owned> release;
  auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));

  // A worker that got its reference the way blocks do, and lets go only after home has let go.
  std::promise<void> homeLetGo;
  std::thread worker([held = owned->shared_from_this(), letGo = homeLetGo.get_future()]() mutable {
    letGo.wait();
    std::this_thread::sleep_for(20ms);
    held.reset();
  });
  owned.reset();
  homeLetGo.set_value();
  EXPECT_TRUE(release.finish(10s));
  EXPECT_EQ(destroyedOn.load(), std::this_thread::get_id());
  worker.join();
}

TEST(HomeThreadRelease, ALastReleaseAtHomeDestroysAtOnce) {
  std::atomic<std::thread::id> destroyedOn{};
  HomeThreadRelease<Owned> release;
  auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));
  std::thread([copy = owned] {}).join();
  owned.reset();
  EXPECT_EQ(destroyedOn.load(), std::this_thread::get_id());
  EXPECT_TRUE(release.finish(0ms));
}

// Where an abandoned object ends up, so that it stays reachable and no leak check counts it.
Owned* abandonedObject = nullptr;

TEST(HomeThreadRelease, AHolderThatOutlastsTheWaitNeverDestroysTheObjectElsewhere) {
  std::atomic<std::thread::id> destroyedOn{};
  HomeThreadRelease<Owned> release;
  auto owned = release.adopt(std::make_unique<Owned>(&destroyedOn));
  abandonedObject = owned.get();
  std::promise<void> waitOver;
  std::thread worker([held = owned, over = waitOver.get_future()]() mutable {
    over.wait();
    held.reset();
  });
  owned.reset();
  EXPECT_FALSE(release.finish(50ms));
  waitOver.set_value();
  worker.join();
  EXPECT_EQ(destroyedOn.load(), std::thread::id());
}

}  // namespace
}  // namespace qova
