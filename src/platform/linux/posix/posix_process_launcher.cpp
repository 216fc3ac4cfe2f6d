#include "platform/linux/posix/posix_process_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "base/log.h"

extern char** environ;

namespace qova {
namespace {

using Clock = std::chrono::steady_clock;
const Log kLog("process");

// A descriptor that closes itself.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Keeps every descriptor of ours above the standard three, so a dup2 onto 0, 1 or 2 in the child
// never meets a descriptor that already has that number (which would keep its close-on-exec flag).
Fd raised(int fd) {
  if (fd < 0 || fd > 2) return Fd(fd);
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return Fd(moved);
}

bool makePipe(Fd& readEnd, Fd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = raised(fds[0]);
  writeEnd = raised(fds[1]);
  return readEnd && writeEnd;
}

struct ChildIo {
  int stdinFd = -1;  // -1: inherited
  int stdoutFd = -1;
  int stderrFd = -1;
};

std::optional<pid_t> spawn(const CommandLine& command, char* const* envp, const ChildIo& io) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (io.stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, io.stdinFd, 0);
  if (io.stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, io.stdoutFd, 1);
  if (io.stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, io.stderrFd, 2);

  // Children start with default signal handling and nothing blocked, whatever our threads did.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(command.path.c_str()));
  for (const auto& argument : command.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int error = posix_spawn(&pid, command.path.c_str(), &actions, &attributes, argv.data(), envp);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    kLog.warning("cannot start " + command.path + ": " + std::strerror(error));
    return std::nullopt;
  }
  return pid;
}

// Waits for `pid` until `deadline`; returns its wait status, or nullopt if it is still running.
std::optional<int> waitUntil(pid_t pid, Clock::time_point deadline) {
  auto pause = std::chrono::microseconds(200);
  for (;;) {
    int status = 0;
    const pid_t result = waitpid(pid, &status, WNOHANG);
    if (result == pid) return status;
    if (result < 0 && errno != EINTR) return 0;  // not our child any more: nothing to wait for
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

// Ends a child that outlived its time: politely first, then for certain, and reaps it.
void terminateAndReap(pid_t pid) {
  kill(pid, SIGTERM);
  if (waitUntil(pid, Clock::now() + std::chrono::seconds(1))) return;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

class PosixInputPipe : public InputPipe {
 public:
  PosixInputPipe(Fd fd, Fd cancel) : fd_(std::move(fd)), cancel_(std::move(cancel)) {}
  ~PosixInputPipe() override { close(); }

  bool writeAll(std::string_view bytes) override {
    std::lock_guard writeLock(writeMutex_);
    {
      std::lock_guard lock(mutex_);
      if (closed_) return false;
      ++writers_;
    }
    const int error = writeLoop(bytes);
    std::lock_guard lock(mutex_);
    // Once per pipe: after the first failure the writers stop, and a closed pipe is not news.
    if (error != 0 && !closed_ && !failureLogged_) {
      failureLogged_ = true;
      kLog.warning(std::string("write to the agent's input failed: ") + std::strerror(error));
    }
    if (--writers_ == 0 && closed_) fd_.reset();
    return error == 0;
  }

  void close() override {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(cancel_.get(), &one, sizeof one);
    if (writers_ == 0) fd_.reset();
  }

 private:
  // 0 when every byte was written, else the error (ECANCELED when the pipe was closed meanwhile).
  int writeLoop(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_.get(), bytes.data(), bytes.size());
      if (written > 0) {
        bytes.remove_prefix(static_cast<size_t>(written));
        continue;
      }
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      pollfd fds[2] = {{fd_.get(), POLLOUT, 0}, {cancel_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return errno;
      if (fds[1].revents & POLLIN) return ECANCELED;
      // POLLERR (reader gone) makes the next write fail with EPIPE.
    }
    return 0;
  }

  std::mutex writeMutex_;
  std::mutex mutex_;
  Fd fd_;
  Fd cancel_;
  bool closed_ = false;
  bool failureLogged_ = false;
  int writers_ = 0;
};

// What the reader, the waiter and the process object share about one child.
struct ChildState {
  pid_t pid = -1;
  mutable std::mutex mutex;
  std::condition_variable readerDone;
  std::condition_variable ended;
  bool exited = false;
  bool killScheduled = false;
  bool outputEnded = false;
};

void killAfterGrace(std::shared_ptr<ChildState> state, Duration grace) {
  std::unique_lock lock(state->mutex);
  if (state->ended.wait_for(lock, grace, [&] { return state->exited; })) return;
  kLog.warning("child " + std::to_string(state->pid) + " still running " + std::to_string(grace.count()) +
               " ms after SIGTERM; killing it");
  kill(state->pid, SIGKILL);
}

class PosixChildProcess : public ChildProcess {
 public:
  explicit PosixChildProcess(std::shared_ptr<ChildState> state) : state_(std::move(state)) {}
  bool isRunning() const override {
    std::lock_guard lock(state_->mutex);
    return !state_->exited;
  }
  void terminate(Duration grace) override {
    // Under the lock the child cannot be reaped, so its pid cannot have been reused.
    std::lock_guard lock(state_->mutex);
    if (state_->exited) return;
    kill(state_->pid, SIGTERM);
    if (std::exchange(state_->killScheduled, true)) return;
    std::thread(killAfterGrace, state_, grace).detach();
  }
  bool waitForEnd(Duration timeout) override {
    std::unique_lock lock(state_->mutex);
    return state_->ended.wait_for(lock, timeout, [&] { return state_->exited; });
  }
  int processId() const override { return state_->pid; }

 private:
  std::shared_ptr<ChildState> state_;
};

void readOutput(Fd fd, std::shared_ptr<ChildState> state, std::function<void(std::string_view)> onOutput) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n > 0) {
      if (onOutput) onOutput(std::string_view(buffer.data(), static_cast<size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  fd.reset();
  std::lock_guard lock(state->mutex);
  state->outputEnded = true;
  state->readerDone.notify_all();
}

void logExit(pid_t pid, int status) {
  const std::string child = "child " + std::to_string(pid);
  if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    kLog.write(code == 0 ? LogLevel::info : LogLevel::warning, child + " exited with status " + std::to_string(code));
  } else if (WIFSIGNALED(status)) {
    kLog.warning(child + " ended by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
                 ")");
  }
}

void awaitExit(std::shared_ptr<ChildState> state, std::function<void()> onExit) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(state->pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::unique_lock lock(state->mutex);
    state->exited = true;
    state->ended.notify_all();
    int status = 0;
    while (waitpid(state->pid, &status, 0) < 0 && errno == EINTR) {
    }
    logExit(state->pid, status);
    // Output the child wrote before it ended is handled before its end is reported; a descendant
    // that keeps the pipe open does not hold the report back for long.
    state->readerDone.wait_for(lock, std::chrono::seconds(1), [&] { return state->outputEnded; });
  }
  if (onExit) onExit();
}

std::vector<char*> environmentPointers(const std::vector<std::string>& environment) {
  std::vector<char*> envp;
  envp.reserve(environment.size() + 1);
  for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  return envp;
}

}  // namespace

PosixProcessLauncher::PosixProcessLauncher() { signal(SIGPIPE, SIG_IGN); }

std::optional<LaunchedChild> PosixProcessLauncher::launch(const CommandLine& command,
                                                          const std::vector<std::string>& environment,
                                                          ChildHandlers handlers) {
  Fd inRead, inWrite, outRead, outWrite;
  Fd cancel;
  if (!makePipe(inRead, inWrite) || !makePipe(outRead, outWrite) ||
      !(cancel = Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)))) {
    kLog.warning("cannot start " + command.path + ": no pipes (" + std::strerror(errno) + ")");
    return std::nullopt;
  }

  auto envp = environmentPointers(environment);
  const auto pid = spawn(command, envp.data(), {inRead.get(), outWrite.get(), outWrite.get()});
  if (!pid) return std::nullopt;
  inRead.reset();
  outWrite.reset();
  fcntl(inWrite.get(), F_SETFL, fcntl(inWrite.get(), F_GETFL) | O_NONBLOCK);

  kLog.info("started " + command.path + " as child " + std::to_string(*pid));
  auto state = std::make_shared<ChildState>();
  state->pid = *pid;
  std::thread(readOutput, std::move(outRead), state, std::move(handlers.onOutput)).detach();
  std::thread(awaitExit, state, std::move(handlers.onExit)).detach();

  LaunchedChild child;
  child.process = std::make_shared<PosixChildProcess>(state);
  child.input = std::make_shared<PosixInputPipe>(std::move(inWrite), std::move(cancel));
  return child;
}

std::optional<std::string> PosixProcessLauncher::runAndCapture(const CommandLine& command, Duration timeout) {
  Fd outRead, outWrite;
  if (!makePipe(outRead, outWrite)) return std::nullopt;
  const auto pid = spawn(command, environ, {-1, outWrite.get(), outWrite.get()});
  if (!pid) return std::nullopt;
  outWrite.reset();

  const auto deadline = Clock::now() + timeout;
  std::string output;
  char buffer[16 * 1024];
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd fd{outRead.get(), POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timedOut = ready == 0;
      break;
    }
    const ssize_t n = ::read(outRead.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (timedOut || !waitUntil(*pid, deadline)) terminateAndReap(*pid);
  return output;
}

std::optional<int> PosixProcessLauncher::runAndWait(const CommandLine& command, Duration timeout) {
  // Output goes nowhere rather than into a pipe nobody reads: a talkative command cannot block.
  Fd null(open("/dev/null", O_RDWR | O_CLOEXEC));
  const auto pid = spawn(command, environ, {-1, null.get(), null.get()});
  if (!pid) return std::nullopt;
  const auto status = waitUntil(*pid, Clock::now() + timeout);
  if (!status) {
    terminateAndReap(*pid);
    return std::nullopt;
  }
  if (!WIFEXITED(*status)) return std::nullopt;
  return WEXITSTATUS(*status);
}

std::vector<std::string> PosixProcessLauncher::environment() const {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) result.emplace_back(*entry);
  return result;
}

}  // namespace qova
