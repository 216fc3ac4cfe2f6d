#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>

namespace qova::agent {

// Picks the JPEG quality of moving areas from how long the slowest viewer's updates take: a step
// down while they take long, a step up once they are quick again for a while, never more than one
// change a second. Between the two thresholds it holds, so it does not swing on a borderline link.
class QualityTuner {
 public:
  using Clock = std::chrono::steady_clock;
  // The first is the application's own quality of moving areas.
  static constexpr std::array<double, 5> kLevels = {0.65, 0.5, 0.4, 0.3, 0.2};
  static constexpr std::chrono::milliseconds kSlow{150};
  static constexpr std::chrono::milliseconds kFast{60};
  static constexpr std::chrono::seconds kMinGap{1};
  static constexpr std::chrono::seconds kRaiseAfter{3};  // quick this long before a step up

  // The quality to ask for now, when it changes.
  std::optional<double> observe(std::chrono::milliseconds slowest, Clock::time_point now);
  // A new capture run starts at the application's own quality.
  void reset() { *this = QualityTuner{}; }

 private:
  std::size_t level_ = 0;
  std::optional<Clock::time_point> changedAt_;
  std::optional<Clock::time_point> fastSince_;
};

}  // namespace qova::agent
