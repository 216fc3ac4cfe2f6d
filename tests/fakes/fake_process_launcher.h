#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/process.h"

namespace qova::test {

class FakeInputPipe : public InputPipe {
 public:
  bool writeAll(std::string_view bytes) override;
  void close() override;
  std::string written() const;
  bool closed() const;
  // When set, every write fails (an agent whose input is gone).
  void failWrites(bool fail);

 private:
  mutable std::mutex mutex_;
  std::string written_;
  bool closed_ = false;
  bool fail_ = false;
};

class FakeChildProcess : public ChildProcess {
 public:
  explicit FakeChildProcess(int pid) : pid_(pid) {}
  bool isRunning() const override { return running_; }
  void terminate(Duration) override { ++terminateRequests_; }
  bool waitForEnd(Duration) override { return !running_; }
  int processId() const override { return pid_; }
  int terminateRequests() const { return terminateRequests_; }
  void setRunning(bool running) { running_ = running; }

 private:
  int pid_;
  bool running_ = true;
  int terminateRequests_ = 0;
};

// Records every launch and run; tests play the child's part through the recorded handlers.
class FakeProcessLauncher : public ProcessLauncher {
 public:
  struct Launch {
    CommandLine command;
    std::vector<std::string> environment;
    ChildHandlers handlers;
    std::shared_ptr<FakeChildProcess> process;
    std::shared_ptr<FakeInputPipe> input;
    // The child ends: not running any more, and its end notice fires.
    void exit();
  };

  std::optional<LaunchedChild> launch(const CommandLine& command, const std::vector<std::string>& environment,
                                      ChildHandlers handlers) override;
  std::optional<std::string> runAndCapture(const CommandLine& command, Duration timeout) override;
  std::optional<int> runAndWait(const CommandLine& command, Duration timeout) override;
  std::vector<std::string> environment() const override { return environment_; }

  // Configuration.
  bool launchFails = false;
  std::optional<std::string> captureOutput;  // what runAndCapture returns (nullopt: launch fails)
  std::vector<std::string> environment_ = {"PATH=/usr/bin:/bin", "HOME=/home/tester"};

  // What happened, in order.
  std::vector<Launch> launches;
  std::vector<CommandLine> captured;   // runAndCapture calls
  std::vector<CommandLine> waitedFor;  // runAndWait calls
  Launch& lastLaunch() { return launches.back(); }

 private:
  int nextPid_ = 1000;
};

}  // namespace qova::test
