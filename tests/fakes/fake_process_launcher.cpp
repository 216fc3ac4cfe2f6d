#include "fakes/fake_process_launcher.h"

namespace qova::test {

bool FakeInputPipe::writeAll(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (closed_ || fail_) return false;
  written_.append(bytes);
  return true;
}

void FakeInputPipe::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

std::string FakeInputPipe::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

bool FakeInputPipe::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void FakeInputPipe::failWrites(bool fail) {
  std::lock_guard lock(mutex_);
  fail_ = fail;
}

void FakeProcessLauncher::Launch::exit() {
  process->setRunning(false);
  if (handlers.onExit) handlers.onExit();
}

std::optional<LaunchedChild> FakeProcessLauncher::launch(const CommandLine& command,
                                                         const std::vector<std::string>& environment,
                                                         ChildHandlers handlers) {
  if (launchFails) return std::nullopt;
  Launch record{command, environment, std::move(handlers), std::make_shared<FakeChildProcess>(nextPid_++),
                std::make_shared<FakeInputPipe>()};
  launches.push_back(record);
  return LaunchedChild{record.process, record.input};
}

std::optional<std::string> FakeProcessLauncher::runAndCapture(const CommandLine& command, Duration) {
  captured.push_back(command);
  return captureOutput;
}

std::optional<int> FakeProcessLauncher::runAndWait(const CommandLine& command, Duration) {
  waitedFor.push_back(command);
  return 1;
}

}  // namespace qova::test
