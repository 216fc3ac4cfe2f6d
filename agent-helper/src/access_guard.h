#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace qova::agent {

// Compares a code a viewer typed with the real one. The time taken depends only on the length of
// `given`, never on how much of the secret it matches.
bool accessCodeMatches(std::string_view expected, std::string_view given);

// Slows down guessing: each client (a remote address) gets a few free tries, after which every
// further attempt is answered only after a delay that doubles with each failure. Attempts of one
// client queue behind each other, so opening many connections does not guess faster.
// Not thread-safe: the server's one network thread owns it. Time is passed in, so tests need no sleep.
class AttemptLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;

  static constexpr unsigned kFreeFailures = 3;
  static constexpr std::chrono::milliseconds kFirstDelay{500};
  static constexpr std::chrono::milliseconds kMaxDelay{30000};
  static constexpr std::chrono::minutes kForgetAfter{10};
  static constexpr std::size_t kMaxClients = 4096;

  // Books the next attempt of `client` and returns when it may be answered (`now` if at once).
  TimePoint admit(const std::string& client, TimePoint now);
  // Records the outcome of an admitted attempt: success forgets the client's failures.
  void record(const std::string& client, bool success, TimePoint now);

  unsigned failures(const std::string& client) const;

 private:
  struct Entry {
    unsigned failures = 0;
    TimePoint nextSlot{};
    TimePoint lastSeen{};
  };
  static std::chrono::milliseconds delayAfter(unsigned failures);
  void forgetStale(TimePoint now);

  std::map<std::string, Entry> clients_;
};

}  // namespace qova::agent
