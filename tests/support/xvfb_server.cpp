#include "support/xvfb_server.h"

#include <cstdlib>
#include <mutex>
#include <regex>

#include "platform/linux/posix/posix_process_launcher.h"
#include "support/test_bundle.h"

namespace qova::test {

// Shared with the reader thread, which may outlive us.
struct XvfbServer::Server {
  std::mutex mutex;
  std::string output;
  std::shared_ptr<ChildProcess> process;
};

XvfbServer::XvfbServer(int width, int height, int depth) : server_(std::make_shared<Server>()) {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  PosixProcessLauncher launcher;
  // It prints the display number it chose on -displayfd; env finds it on PATH.
  auto child = launcher.launch(
      {"/usr/bin/env",
       {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"}},
      launcher.environment(),
      {[server = server_](std::string_view chunk) {
         std::lock_guard lock(server->mutex);
         server->output.append(chunk);
       },
       {}});
  if (!child) return;
  server_->process = child->process;
  std::string number;
  waitUntil(
      [&] {
        std::lock_guard lock(server_->mutex);
        std::smatch found;
        if (std::regex_search(server_->output, found, std::regex("(^|\n)([0-9]+)\n"))) number = found[2];
        return !number.empty() || !server_->process->isRunning();
      },
      std::chrono::seconds(10));
  if (number.empty()) return;
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
  if (server_->process) {
    server_->process->terminate();
    waitUntil([&] { return !server_->process->isRunning(); }, std::chrono::seconds(10));
  }
  previousDisplay_ ? setenv("DISPLAY", previousDisplay_->c_str(), 1) : unsetenv("DISPLAY");
}

}  // namespace qova::test
