// Moves the pointer of a wlroots compositor back and forth every `period` milliseconds through the
// backend's own virtual pointer; the compositor draws the cursor into its output, so every capture
// tick finds a changed screen. Runs until killed.
// Usage: wayland_pointer_changer <period-ms>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/linux/wayland/wlroots_input.h"

int main(int argc, char** argv) {
  const int period = argc > 1 ? std::atoi(argv[1]) : 30;
  qova::WlrootsInput input;
  input.moveCursor(400, 300);
  std::printf("ready\n");
  std::fflush(stdout);
  for (int step = 0;; ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(period));
    input.moveCursor(400 + step % 2 * 40, 300);
  }
}
