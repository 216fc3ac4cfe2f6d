#include "access_guard.h"

#include <gtest/gtest.h>

#include <vector>

namespace qova::agent {
namespace {

using namespace std::chrono_literals;
using Clock = GuessLimiter::Clock;

TEST(AccessCodeMatches, OnlyTheExactCodeMatches) {
  EXPECT_TRUE(accessCodeMatches("k7m2p9xa", "k7m2p9xa"));
  for (const char* given : {"k7m2p9xb", "k7m2p9x", "k7m2p9xak7m2p9xa", ""}) {
    EXPECT_FALSE(accessCodeMatches("k7m2p9xa", given)) << given;
  }
  EXPECT_FALSE(accessCodeMatches("", ""));  // no code configured lets nobody in
}

struct VirtualClock {
  Clock::time_point now = Clock::time_point{} + 1h;
  GuessLimiter limiter{[this] { return now; }};
};

TEST(GuessLimiter, NoMinuteJudgesMoreThanSixtyHoweverManyAttemptsCome) {
  VirtualClock clock;
  std::vector<Clock::time_point> judged;
  for (int i = 0; i < 30000; ++i, clock.now += 10ms) {
    if (clock.limiter.admit() == Clock::duration::zero()) judged.push_back(clock.now);
  }
  for (std::size_t i = 0; i + 60 < judged.size(); ++i) EXPECT_GE(judged[i + 60] - judged[i], 60s) << i;
  EXPECT_GE(judged.size(), 5u * 50u);  // and the budget is really given out, five minutes long
}

TEST(GuessLimiter, AfterAFloodTheNextAttemptIsJudgedWhenItIsToldTo) {
  VirtualClock clock;
  for (int i = 0; i < 5000; ++i, clock.now += 600us) clock.limiter.admit();
  const auto wait = clock.limiter.admit();
  EXPECT_GT(wait, Clock::duration::zero());
  EXPECT_LE(wait, GuessLimiter::kRefill);
  clock.now += wait;
  EXPECT_EQ(clock.limiter.admit(), Clock::duration::zero());
}

TEST(GuessLimiter, ARightCodeGivesItsShareBack) {
  VirtualClock clock;
  for (unsigned i = 0; i < 2 * GuessLimiter::kBurst; ++i) {
    ASSERT_EQ(clock.limiter.admit(), Clock::duration::zero()) << i;
    clock.limiter.succeeded();
  }
}

}  // namespace
}  // namespace qova::agent
