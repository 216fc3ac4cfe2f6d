#include "input/pointer_events.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace qova {
namespace {

TEST(SwipeSteps, DurationTableInDoublePrecision) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> table[] = {
      {0, 1},    {-1, 1},   {-kInf, 1}, {10, 1},  {15, 1},    {29.9, 1},  {30, 2},   {100, 6},  {150, 10},
      {200, 13}, {300, 20}, {330, 22},  {344, 22}, {345, 23}, {359, 23},  {359.9, 23}, {360, 24}, {1000, 24},
      {4999, 24}, {5000, 24}, {1e300, 24}, {kInf, 24}, {kNaN, 24},
  };
  for (const auto& [durationMs, steps] : table) EXPECT_EQ(swipeSteps(durationMs), steps) << durationMs;
}

}  // namespace
}  // namespace qova
