#pragma once

#include <algorithm>
#include <chrono>
#include <functional>

namespace qova::server {

// New device IDs for the whole server, whatever the address: a burst, then a steady rate. Rotating
// addresses get round any budget per address; this one bounds how fast the registry can fill at all.
class NewDeviceBudget {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr unsigned kBurst = 200;

  explicit NewDeviceBudget(unsigned perMinute, unsigned burst = kBurst,
                           std::function<Clock::time_point()> clock = Clock::now)
      : interval_(Clock::duration(std::chrono::minutes(1)) / std::max(perMinute, 1u)),
        span_(interval_ * burst),
        clock_(std::move(clock)) {}

  // True when a new device may register now, which spends its share.
  bool admit() {
    const auto now = clock_();
    const auto next = std::max(fullAt_, now) + interval_;
    if (next - now > span_) return false;
    fullAt_ = next;
    return true;
  }

 private:
  Clock::duration interval_;
  Clock::duration span_;
  std::function<Clock::time_point()> clock_;
  // When the budget will be full again; in the past while it is full.
  Clock::time_point fullAt_{};
};

}  // namespace qova::server
