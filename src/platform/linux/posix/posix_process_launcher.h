#pragma once

#include "platform/process.h"

namespace qova {

// posix_spawn with close-on-exec pipes; one reader and one waiter thread per launched child.
// Constructing it makes the process ignore SIGPIPE, so a write to a closed pipe is a failed write.
class PosixProcessLauncher : public ProcessLauncher {
 public:
  PosixProcessLauncher();
  std::optional<LaunchedChild> launch(const CommandLine& command, const std::vector<std::string>& environment,
                                      ChildHandlers handlers) override;
  std::optional<std::string> runAndCapture(const CommandLine& command, Duration timeout) override;
  std::optional<int> runAndWait(const CommandLine& command, Duration timeout) override;
  std::vector<std::string> environment() const override;
};

}  // namespace qova
