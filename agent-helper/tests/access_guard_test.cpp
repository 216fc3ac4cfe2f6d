#include "access_guard.h"

#include <gtest/gtest.h>

namespace qova::agent {
namespace {

using namespace std::chrono_literals;

TEST(AccessCodeMatches, OnlyTheExactCodeMatches) {
  EXPECT_TRUE(accessCodeMatches("k7m2p9xa", "k7m2p9xa"));
  EXPECT_FALSE(accessCodeMatches("k7m2p9xa", "k7m2p9xb"));
  EXPECT_FALSE(accessCodeMatches("k7m2p9xa", "k7m2p9x"));
  EXPECT_FALSE(accessCodeMatches("k7m2p9xa", "k7m2p9xak7m2p9xa"));  // a repeat of the code
  EXPECT_FALSE(accessCodeMatches("k7m2p9xa", ""));
  EXPECT_FALSE(accessCodeMatches("", ""));  // no code configured lets nobody in
}

TEST(AttemptLimiter, FreeTriesThenDelaysThatDoubleAndCap) {
  AttemptLimiter limiter;
  const auto t0 = AttemptLimiter::TimePoint{} + 1h;
  auto now = t0;
  for (unsigned i = 0; i < AttemptLimiter::kFreeFailures; ++i) {
    EXPECT_EQ(limiter.admit("10.0.0.1", now), now);
    limiter.record("10.0.0.1", false, now);
  }
  // Fourth failure onwards: 500 ms, then 1 s, 2 s ... never above the cap.
  std::chrono::milliseconds expected = AttemptLimiter::kFirstDelay;
  for (int i = 0; i < 12; ++i) {
    const auto slot = limiter.admit("10.0.0.1", now);
    EXPECT_EQ(slot - now, expected) << i;
    now = slot;
    limiter.record("10.0.0.1", false, now);
    expected = std::min(expected * 2, AttemptLimiter::kMaxDelay);
  }
  // Another client is not slowed by this one.
  EXPECT_EQ(limiter.admit("10.0.0.2", now), now);
}

TEST(AttemptLimiter, ParallelAttemptsQueueBehindEachOther) {
  AttemptLimiter limiter;
  const auto now = AttemptLimiter::TimePoint{} + 1h;
  for (unsigned i = 0; i < AttemptLimiter::kFreeFailures + 1; ++i) {
    limiter.admit("c", now);
    limiter.record("c", false, now);
  }
  const auto first = limiter.admit("c", now);
  const auto second = limiter.admit("c", now);
  const auto third = limiter.admit("c", now);
  EXPECT_GT(first, now);
  EXPECT_GE(second - first, AttemptLimiter::kFirstDelay);
  EXPECT_GE(third - second, AttemptLimiter::kFirstDelay);
}

TEST(AttemptLimiter, SuccessAndTimeForgiveFailures) {
  AttemptLimiter limiter;
  auto now = AttemptLimiter::TimePoint{} + 1h;
  for (int i = 0; i < 6; ++i) {
    now = limiter.admit("c", now);
    limiter.record("c", false, now);
  }
  EXPECT_EQ(limiter.failures("c"), 6u);
  now = limiter.admit("c", now);
  limiter.record("c", true, now);
  EXPECT_EQ(limiter.failures("c"), 0u);
  EXPECT_EQ(limiter.admit("c", now), now);

  for (int i = 0; i < 6; ++i) {
    now = limiter.admit("d", now);
    limiter.record("d", false, now);
  }
  const auto later = now + AttemptLimiter::kForgetAfter + 1s;
  EXPECT_EQ(limiter.admit("d", later), later);
  EXPECT_EQ(limiter.failures("d"), 0u);
}

}  // namespace
}  // namespace qova::agent
