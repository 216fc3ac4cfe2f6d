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
  bool takes(const char* device, const char* address) { return gate.accept(gate.open({}, device, address)); }
};

TEST(ViewerGate, BudgetsOfTheDeviceAndTheAddressAreSpentAndRefilledAtTheClock) {
  VirtualGate at;
  // After a while, an attempt from an address on a device: judged or not; first a right code on it?
  const struct {
    Clock::duration after;
    const char* address;
    const char* device;
    bool judged;
    bool rightCodeFirst = false;
  } steps[] = {
      {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true}, {0s, "a", "d1", true},
      // The address's budget is spent, and d2's is not touched.
      {0s, "a", "d2", false},
      {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true}, {0s, "c", "d2", true},
      {0s, "e", "d2", true, true},
      // The device's budget is spent for every address; a share comes back each refill.
      {0s, "b", "d1", false}, {1200ms, "b", "d1", true}, {0s, "b", "d1", false},
      // The address's budget refills at a fifth of the device's rate.
      {4800ms, "a", "d3", true}, {0s, "a", "d3", false},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    at.now += step.after;
    ASSERT_TRUE(!step.rightCodeFirst || at.takes(step.device, step.address));
    EXPECT_EQ(at.gate.admit(step.address, step.device) == Clock::duration::zero(), step.judged) << i;
  }
}

TEST(ViewerGate, AnAcceptedTicketJoinsOnceForItsDeviceWithinTheCapsAndARefusedOneNever) {
  VirtualGate at;
  const auto started = at.now;
  const auto refused = at.gate.open({}, "d1", "a");
  at.now += 5s;  // an agent that never answered is refused as late as a wrong code, no later
  EXPECT_EQ(at.gate.refuse(refused, started), started + common::GuessLimiter::kWrongCodeDelay);
  EXPECT_FALSE(at.gate.accept(refused));
  const auto ticket = at.gate.open({}, "d1", "a");
  EXPECT_FALSE(at.gate.redeem(ticket, "d1").has_value());  // not accepted yet
  ASSERT_TRUE(at.gate.accept(ticket));
  EXPECT_FALSE(at.gate.redeem(ticket, "d2").has_value());
  EXPECT_TRUE(at.gate.redeem(ticket, "d1").has_value());
  EXPECT_FALSE(at.gate.redeem(ticket, "d1").has_value());
  // Two sessions a device, three viewers an address; a session that ends frees its places.
  for (const auto* pair : {"d1a", "d1b", "d2a", "d3a"}) at.gate.joined(std::string(pair, 2), std::string(pair + 2));
  EXPECT_EQ((std::vector<bool>{at.takes("d1", "c"), at.takes("d4", "a"), at.takes("d4", "c")}),
            (std::vector<bool>{false, false, true}));
  at.gate.left("d1", "a");
  EXPECT_TRUE(at.takes("d4", "a") && at.takes("d1", "c"));
}

}  // namespace
}  // namespace qova::server
