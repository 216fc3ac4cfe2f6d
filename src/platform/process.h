#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/main_queue.h"

namespace qova {

// The writing end of a child's standard input. Thread-safe.
class InputPipe {
 public:
  virtual ~InputPipe() = default;
  // Writes every byte, waiting while the pipe is full. False when the reader has gone (no SIGPIPE
  // ends the application), when the pipe was closed, or on any other error.
  virtual bool writeAll(std::string_view bytes) = 0;
  // Any thread. A write in progress and every later one fail at once; the descriptor is closed as
  // soon as no write uses it, so the child sees end of input.
  virtual void close() = 0;
};

// A child started by ProcessLauncher::launch. The launcher reaps it; the object may be dropped at any
// time without waiting for the child.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  virtual bool isRunning() const = 0;
  // Sends the polite termination request (SIGTERM) if the child has not ended yet, and ends it for
  // certain (SIGKILL) if it is still running `grace` later, so a child that ignores the request
  // cannot outlive its supervisor's decision. Never waits; the end is reported as any other.
  virtual void terminate(Duration grace) = 0;
  // Blocks up to `timeout` until the child has ended and been reaped; true when it has.
  virtual bool waitForEnd(Duration timeout) = 0;
  virtual int processId() const = 0;
};

struct CommandLine {
  std::string path;
  std::vector<std::string> arguments;
};

struct ChildHandlers {
  // Called on the child's reader thread once per read, never concurrently for one child, never for
  // end of output. The reader keeps draining the pipe until end of output.
  std::function<void(std::string_view chunk)> onOutput;
  // Called once on the child's waiter thread after the child has ended and been reaped.
  std::function<void()> onExit;
};

struct LaunchedChild {
  std::shared_ptr<ChildProcess> process;
  std::shared_ptr<InputPipe> input;
};

// Starts programs by path and argument list, never through a shell. Descriptors it creates are
// close-on-exec, so no other child inherits them.
class ProcessLauncher {
 public:
  virtual ~ProcessLauncher() = default;
  // Launches with standard input on a pipe and standard output and error sharing one pipe.
  // `environment` is the child's whole environment ("NAME=value"). nullopt when the program cannot
  // be started; the handlers are then never called.
  virtual std::optional<LaunchedChild> launch(const CommandLine& command,
                                              const std::vector<std::string>& environment,
                                              ChildHandlers handlers) = 0;
  // Runs to the end with standard output and error captured together and standard input inherited.
  // Waits at most `timeout`; a child still running then is terminated and what it printed is kept.
  // nullopt when the program cannot be started. Blocks the caller.
  virtual std::optional<std::string> runAndCapture(const CommandLine& command, Duration timeout) = 0;
  // Runs with output discarded and waits at most `timeout` (then terminates it). Returns the exit
  // status, or nullopt when it could not be started or did not end normally. Blocks the caller.
  virtual std::optional<int> runAndWait(const CommandLine& command, Duration timeout) = 0;
  // The application's own environment, "NAME=value" in order.
  virtual std::vector<std::string> environment() const = 0;
};

}  // namespace qova
