#include "access_guard.h"

#include <algorithm>

namespace qova::agent {

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

std::chrono::milliseconds AttemptLimiter::delayAfter(unsigned failures) {
  if (failures < kFreeFailures) return std::chrono::milliseconds{0};
  const unsigned doublings = std::min(failures - kFreeFailures, 16u);
  return std::min(kMaxDelay, kFirstDelay * (1u << doublings));
}

AttemptLimiter::TimePoint AttemptLimiter::admit(const std::string& client, TimePoint now) {
  forgetStale(now);
  auto it = clients_.find(client);
  if (it == clients_.end()) {
    if (clients_.size() >= kMaxClients) {
      // Many distinct addresses: keep the memory bounded by dropping the oldest failure record.
      auto oldest = std::min_element(clients_.begin(), clients_.end(), [](const auto& a, const auto& b) {
        return a.second.lastSeen < b.second.lastSeen;
      });
      clients_.erase(oldest);
    }
    it = clients_.emplace(client, Entry{}).first;
  }
  auto& entry = it->second;
  entry.lastSeen = now;
  const auto slot = std::max(now, entry.nextSlot);
  entry.nextSlot = slot + delayAfter(entry.failures);
  return slot;
}

void AttemptLimiter::record(const std::string& client, bool success, TimePoint now) {
  if (success) {
    clients_.erase(client);
    return;
  }
  auto& entry = clients_[client];
  ++entry.failures;
  entry.lastSeen = now;
  entry.nextSlot = std::max(entry.nextSlot, now + delayAfter(entry.failures));
}

unsigned AttemptLimiter::failures(const std::string& client) const {
  const auto it = clients_.find(client);
  return it == clients_.end() ? 0 : it->second.failures;
}

void AttemptLimiter::forgetStale(TimePoint now) {
  std::erase_if(clients_, [now](const auto& item) {
    return now - item.second.lastSeen > kForgetAfter;
  });
}

}  // namespace qova::agent

