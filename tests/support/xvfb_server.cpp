#include "support/xvfb_server.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <regex>

#include "platform/linux/posix/posix_process_launcher.h"

namespace qova::test {

using namespace std::chrono_literals;

// The running server and what it printed; its reader and waiter threads may outlive this object.
struct XvfbServer::Server {
  std::mutex mutex;
  std::condition_variable changed;
  std::string output;
  bool ended = false;
  std::shared_ptr<ChildProcess> process;
  template <class Predicate>
  bool wait(Predicate done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, done);
  }
};

XvfbServer::XvfbServer(int width, int height, int depth) : server_(std::make_shared<Server>()) {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  PosixProcessLauncher launcher;
  auto record = [server = server_](std::string_view chunk, bool ended) {
    std::lock_guard lock(server->mutex);
    server->output.append(chunk);
    server->ended = ended;
    server->changed.notify_all();
  };
  // It prints the display number it chose on -displayfd; env finds it on PATH.
  auto child = launcher.launch(
      {"/usr/bin/env",
       {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"}},
      launcher.environment(),
      {[record](std::string_view chunk) { record(chunk, false); }, [record] { record("", true); }});
  if (!child) return;
  server_->process = child->process;
  std::string number;
  server_->wait([&] {
    std::smatch found;
    if (std::regex_search(server_->output, found, std::regex("(^|\n)([0-9]+)\n"))) number = found[2];
    return server_->ended || !number.empty();
  });
  if (number.empty()) return;
  display_ = ":" + number;
  setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
  if (server_->process) {
    server_->process->terminate();
    server_->wait([&] { return server_->ended; });
  }
  previousDisplay_ ? setenv("DISPLAY", previousDisplay_->c_str(), 1) : unsetenv("DISPLAY");
}

}  // namespace qova::test
