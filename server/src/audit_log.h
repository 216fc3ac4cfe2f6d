#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qova::server {

// A value from the network as it may appear in a log line: controls (C0, DEL, C1), the Unicode
// characters that reorder or break text on a terminal (bidi controls, line and paragraph separators)
// and bytes that are not UTF-8 are shown as \xNN or \u{XXXX}, a backslash doubled so no escape can
// be forged, and the whole cut to `maxBytes` with "..." when longer.
std::string escapeForLog(std::string_view text, std::size_t maxBytes = 200);

// The server's audit lines. A refusal a client can repeat at will is written once and then only
// counted for a while, so one address cannot fill the disk with lines; the count is written when
// that while is over. Pure logic: the time comes from `now`, and `flush` is called from a timer.
class AuditLog {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(std::string)>;
  static constexpr std::chrono::seconds kFoldPeriod{60};
  // Beyond this many keys at once, refusals are counted together.
  static constexpr std::size_t kMaxKeys = 10000;

  // The default sink writes "[server] " and the line to standard error.
  explicit AuditLog(std::function<Clock::time_point()> now = Clock::now, Sink sink = {});

  void line(std::string text);
  // Written at once if it is the first for `key` in a period, else counted.
  void refusal(const std::string& key, std::string text);
  // Writes the counts of the periods that are over and forgets them.
  void flush();
  // Whether any period is open, that is whether `flush` has anything to do later.
  bool folding() const { return !folds_.empty(); }

 private:
  struct Fold {
    Clock::time_point start;
    std::string last;  // the text of the latest refusal counted
    std::size_t more = 0;
  };
  void expire(const std::string& key, Clock::time_point now);
  void close(const Fold& fold);

  std::function<Clock::time_point()> now_;
  Sink sink_;
  std::unordered_map<std::string, Fold> folds_;
};

}  // namespace qova::server
