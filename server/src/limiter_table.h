#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <unordered_map>

#include "access_guard.h"

namespace qova::server {

// One guess budget per key (a device ID, an address), forgotten once it is full again.
class LimiterTable {
 public:
  using Clock = std::chrono::steady_clock;
  using Rate = common::GuessLimiter::Rate;
  static constexpr std::size_t kMaxEntries = 100000;

  explicit LimiterTable(Rate rate = {common::GuessLimiter::kBurst, common::GuessLimiter::kRefill},
                        std::function<Clock::time_point()> clock = Clock::now)
      : rate_(rate), clock_(std::move(clock)) {}

  Clock::duration admit(const std::string& key) {
    if (limiters_.size() >= kMaxEntries && clock_() - lastPrune_ > std::chrono::seconds(1)) {
      lastPrune_ = clock_();
      std::erase_if(limiters_, [](const auto& entry) { return entry.second.rested(); });
    }
    auto found = limiters_.find(key);
    if (found == limiters_.end()) {
      // Full of budgets in use: a new key waits rather than the table grows.
      if (limiters_.size() >= kMaxEntries) return rate_.refill;
      found = limiters_.try_emplace(key, clock_, rate_).first;
    }
    return found->second.admit();
  }

  void succeeded(const std::string& key) {
    if (const auto found = limiters_.find(key); found != limiters_.end()) found->second.succeeded();
  }

 private:
  Rate rate_;
  std::function<Clock::time_point()> clock_;
  std::unordered_map<std::string, common::GuessLimiter> limiters_;
  Clock::time_point lastPrune_{};
};

}  // namespace qova::server
