// The viewer's gate at a virtual clock: budgets, tickets, caps and the one refusal delay.
#include <gtest/gtest.h>

#include "viewer_gate.h"

namespace qova::server {
namespace {

using namespace std::chrono_literals;
using Clock = ViewerGate::Clock;

struct VirtualGate {
  Clock::time_point now = Clock::time_point{} + 1h;
  ViewerGate gate{{2, 3}, [this] { return now; }};
  std::string accepted(const char* device, const char* address) {
    auto ticket = gate.open({}, device, address);
    return gate.accept(ticket) ? ticket : "";
  }
};

TEST(ViewerGate, BudgetsOfTheDeviceAndTheAddressAreSpentAndRefilledAtTheClock) {
  VirtualGate at;
  const struct {
    Clock::duration after;
    const char* address;
    const char* device;
    bool judged;
    bool rightCodeFirst = false;  // a right code on the device gives its share back
  } steps[] = {
      {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true},
      {0s, "a", "d2", false},  // the address's budget is spent, and d2's is not touched
      {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true},
      {0s, "e", "d2", true, true},
      {0s, "b", "d1", false},     // the device's budget is spent for every address
      {1200ms, "b", "d1", true},  // one share back per refill
      {0s, "b", "d1", false},
      {4800ms, "a", "d3", true},  // the address refills at a fifth of the device's rate
      {0s, "a", "d3", false},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    at.now += step.after;
    if (step.rightCodeFirst) {
      ASSERT_FALSE(at.accepted(step.device, step.address).empty());
    }
    EXPECT_EQ(at.gate.admit(step.address, step.device) == Clock::duration::zero(), step.judged) << i;
  }
}

TEST(ViewerGate, EveryRefusalComesAtTheSameTimeAndLeavesNoTicketToJoinWith) {
  VirtualGate at;
  const auto started = at.now;
  // An ID nobody has (no ticket), a wrong code answered at once, an agent that never answers.
  for (const auto answeredAfter : {0ms, 100ms, 5000ms}) {
    const auto ticket = answeredAfter == 0ms ? std::string() : at.gate.open({}, "d1", "a");
    at.now = started + answeredAfter;
    EXPECT_EQ(at.gate.refuse(ticket, started), started + common::GuessLimiter::kWrongCodeDelay);
    EXPECT_FALSE(at.gate.accept(ticket));
    EXPECT_FALSE(at.gate.redeem(ticket, "d1").has_value());
  }
}

TEST(ViewerGate, AnAcceptedTicketJoinsOnceForItsDeviceWithinTheCaps) {
  VirtualGate at;
  const auto ticket = at.gate.open({}, "d1", "a");
  EXPECT_FALSE(at.gate.redeem(ticket, "d1").has_value());  // not accepted yet
  ASSERT_TRUE(at.gate.accept(ticket));
  EXPECT_FALSE(at.gate.redeem(ticket, "d2").has_value());
  EXPECT_TRUE(at.gate.redeem(ticket, "d1").has_value());
  EXPECT_FALSE(at.gate.redeem(ticket, "d1").has_value());
  // Two sessions a device, three viewers an address; a session that ends frees its places.
  at.gate.joined("d1", "a");
  at.gate.joined("d1", "b");
  EXPECT_TRUE(at.accepted("d1", "c").empty());
  at.gate.joined("d2", "a");
  at.gate.joined("d3", "a");
  EXPECT_TRUE(at.accepted("d4", "a").empty());
  EXPECT_FALSE(at.accepted("d4", "c").empty());
  at.gate.left("d1", "a");
  EXPECT_FALSE(at.accepted("d4", "a").empty());
  EXPECT_FALSE(at.accepted("d1", "c").empty());
}

}  // namespace
}  // namespace qova::server
