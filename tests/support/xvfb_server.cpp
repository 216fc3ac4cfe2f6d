#include "support/xvfb_server.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <regex>

#include "platform/linux/posix/posix_process_launcher.h"

namespace qova::test {

using namespace std::chrono_literals;

// What the server printed, and whether it has ended; its reader and waiter threads may outlive us.
struct XvfbServer::Output {
  std::mutex mutex;
  std::condition_variable changed;
  std::string text;
  bool ended = false;
};

XvfbServer::XvfbServer(int width, int height, int depth) : output_(std::make_shared<Output>()) {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth);
  PosixProcessLauncher launcher;
  auto update = [output = output_](auto change) {
    std::lock_guard lock(output->mutex);
    change(*output);
    output->changed.notify_all();
  };
  // Xvfb prints the display number it chose on -displayfd; env finds it on PATH.
  auto child = launcher.launch(
      {"/usr/bin/env",
       {"Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "+extension", "RANDR"}},
      launcher.environment(),
      {[update](std::string_view chunk) { update([&](Output& o) { o.text.append(chunk); }); },
       [update] { update([](Output& o) { o.ended = true; }); }});
  if (!child) return;
  server_ = child->process;
  const std::regex number("(^|\n)([0-9]+)\n");
  std::smatch found;
  std::unique_lock lock(output_->mutex);
  output_->changed.wait_for(lock, 10s,
                            [&] { return output_->ended || std::regex_search(output_->text, found, number); });
  if (found.empty()) return;
  display_ = ":" + found[2].str();
  setenv("DISPLAY", display_.c_str(), 1);
}

XvfbServer::~XvfbServer() {
  if (server_) {
    server_->terminate();
    std::unique_lock lock(output_->mutex);
    output_->changed.wait_for(lock, 10s, [&] { return output_->ended; });
  }
  if (previousDisplay_) {
    setenv("DISPLAY", previousDisplay_->c_str(), 1);
  } else {
    unsetenv("DISPLAY");
  }
}

}  // namespace qova::test
