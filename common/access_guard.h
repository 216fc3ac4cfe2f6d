#pragma once

#include <chrono>
#include <functional>
#include <string_view>

namespace qova::common {

// Compares a code a viewer typed with the real one. The time taken depends only on the length of
// `given`, never on how much of the secret it matches.
bool accessCodeMatches(std::string_view expected, std::string_view given);

// Keeps guessing one access code hopeless however many addresses or sockets the guesser uses: all
// attempts on the code share one budget. Sources are not told apart on purpose: any local process
// may use every address of 127.0.0.0/8 and ::1, and remote addresses are cheap, so a record per
// address only hands out fresh tries. The budget holds a few attempts, so a person's typo is judged
// at once, and refills by one every kRefill; no minute ever sees more than kBurst + 50 judged attempts.
// An attempt over budget is not judged but told when to come back. Nothing is booked ahead, so a
// guesser that gives up leaves nothing behind, and the right code is judged within kRefill of a
// flood ending.
// Plain logic without threads or sockets, so any server can hold one per code. Not thread-safe.
class GuessLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr unsigned kBurst = 5;
  static constexpr std::chrono::milliseconds kRefill{1200};
  // How long a wrong code waits for its answer, on its own connection: a single socket cannot
  // judge faster than this even while the budget lasts.
  static constexpr std::chrono::milliseconds kWrongCodeDelay{1000};

  // How many attempts are judged at once, and how often one more may be.
  struct Rate {
    unsigned burst;
    Clock::duration refill;
  };

  explicit GuessLimiter(std::function<Clock::time_point()> clock = Clock::now, Rate rate = {kBurst, kRefill});

  // Zero when the attempt may be judged now, which spends its share of the budget; otherwise the
  // time until an attempt may be judged.
  Clock::duration admit();
  // A right code gives its share back: the budget is there for wrong guesses only.
  void succeeded();
  // True once the budget is full again: a table of limiters may then forget this one, since a
  // fresh limiter judges the same.
  bool rested() const;

 private:
  std::function<Clock::time_point()> clock_;
  Rate rate_;
  // When the budget will be full again; in the past while it is full.
  Clock::time_point fullAt_{};
};

}  // namespace qova::common
