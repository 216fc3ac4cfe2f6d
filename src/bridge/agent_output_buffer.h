#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qova {

// Turns the agent's output, read in chunks of any size, into lines. A line ends at every line-feed
// byte (a carriage return before it stays in the line). Bytes are kept as they come, so a character
// split between two reads is whole again once its line is complete; a line that is not valid UTF-8
// is dropped on its own. A line longer than the cap is dropped whole, up to its line feed, so an
// agent that never ends a line cannot exhaust memory. Not thread-safe: one caller at a time.
class AgentOutputBuffer {
 public:
  static constexpr size_t kDefaultMaxLineBytes = 16 * 1024 * 1024;

  explicit AgentOutputBuffer(size_t maxLineBytes = kDefaultMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // Appends `chunk` and calls `onLine` for every line it completes, in order, before returning.
  // The view passed to onLine is valid only during the call.
  void append(std::string_view chunk, const std::function<void(std::string_view line)>& onLine);

  // Bytes of the unfinished last line held back (0 while a too-long line is being skipped).
  size_t pendingBytes() const { return pending_.size(); }

 private:
  void deliverLine(std::string_view line, const std::function<void(std::string_view)>& onLine) const;

  size_t maxLineBytes_;
  std::string pending_;
  bool skippingLongLine_ = false;
};

}  // namespace qova
