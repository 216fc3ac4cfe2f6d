#include "access_guard.h"

#include <algorithm>

namespace qova::common {

bool accessCodeMatches(std::string_view expected, std::string_view given) {
  if (expected.empty()) return false;
  // Walk the typed code, not the secret, so the loop length reveals nothing about the secret.
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  }
  volatile unsigned char result = difference;
  return result == 0;
}

GuessLimiter::GuessLimiter(std::function<Clock::time_point()> clock, Rate rate) : clock_(std::move(clock)), rate_(rate) {}

GuessLimiter::Clock::duration GuessLimiter::admit() {
  const auto now = clock_();
  const auto full = std::max(fullAt_, now);
  // Spending one more share must leave the budget no further than kBurst shares from full.
  const auto spentUntil = full + rate_.refill;
  const auto limit = now + rate_.refill * rate_.burst;
  if (spentUntil > limit) return spentUntil - limit;
  fullAt_ = spentUntil;
  return Clock::duration::zero();
}

bool GuessLimiter::rested() const { return fullAt_ <= clock_(); }

void GuessLimiter::succeeded() { fullAt_ = std::max(clock_(), fullAt_ - rate_.refill); }

}  // namespace qova::common
