#include "cluster.h"

#include <gtest/gtest.h>

namespace qova::server {
namespace {

// A server passes a client on vouching for its address: only the cluster's secret makes a vouch that
// holds, for that address, for a minute.
TEST(ClusterVouch, HoldsOnlyWithTheSecretForTheAddressWithinAMinute) {
  const std::string secret = "a cluster secret of some length";
  const auto vouch = vouchForAddress(secret, "203.0.113.7", 1000);
  EXPECT_EQ(vouchedAddress(secret, vouch, 1030), "203.0.113.7");
  struct Case { std::string secret, header; std::int64_t now; };
  for (const auto& c : {Case{"another secret of some length", vouch, 1000}, Case{secret, vouch, 1061},
                        Case{secret, "198.51.100.1" + vouch.substr(vouch.find(' ')), 1000}, Case{secret, "", 1000},
                        Case{"", vouch, 1000}}) {
    EXPECT_EQ(vouchedAddress(c.secret, c.header, c.now), std::nullopt) << c.header;
  }
}

}  // namespace
}  // namespace qova::server
