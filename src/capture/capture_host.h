#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qova {

// How a frame message's write to the agent ended.
enum class AgentWrite { written, failed, noAgent };

// The controller as capture sees it: where frames go and where the user reads about them. A capture
// run holds its host weakly and stops asking once it is gone.
class CaptureHost {
 public:
  virtual ~CaptureHost() = default;
  // Any thread; returns at once. On agentInputQueue, after every message queued before it, writes
  // `headerLine` and then `jpeg` to the agent's input (the bytes only after a header that arrived
  // whole) and calls `done` there with the outcome. The richer picture's answer and updates go the
  // same way, their payload in place of the JPEG, so that they keep their order.
  virtual void writeFrameToAgent(std::string headerLine, std::vector<uint8_t> jpeg,
                                 std::function<void(AgentWrite)> done) = 0;
  // Main thread. Shows `text` as the status line.
  virtual void showCaptureStatus(std::string_view text) = 0;
};

}  // namespace qova
