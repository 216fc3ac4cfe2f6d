#include "support/xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace qova::test {

XvfbServer::XvfbServer(int width, int height, int depth, const std::string& display)
    : screen_(std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth)) {
  if (const char* current = std::getenv("DISPLAY")) {
    hadDisplay_ = true;
    previousDisplay_ = current;
  }
  if (start(display)) setenv("DISPLAY", display_.c_str(), 1);
}

bool XvfbServer::start(const std::string& display) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // Xvfb writes its display number to the descriptor given with -displayfd once it is ready, having
  // chosen a free one unless it was told which.
  const int childFd = 9;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {
      "Xvfb",       "-displayfd", std::to_string(childFd), "-screen", "0", screen_, "-nolisten", "tcp", "-noreset",
      "+extension", "RANDR"};
  if (!display.empty()) args.push_back(display);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (error != 0) {
    close(fds[0]);
    return false;
  }
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (poll(&p, 1, 10000) > 0) {
    char c;
    if (read(fds[0], &c, 1) != 1 || c == '\n') break;
    number += c;
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  pid_ = pid;
  display_ = ":" + number;
  return true;
}

void XvfbServer::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool XvfbServer::restart() {
  stop();
  return start(display_);
}

XvfbServer::~XvfbServer() {
  stop();
  if (hadDisplay_) {
    setenv("DISPLAY", previousDisplay_.c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

}  // namespace qova::test
