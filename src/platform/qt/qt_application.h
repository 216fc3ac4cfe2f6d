#pragma once

#include <functional>
#include <memory>

namespace qova {

// The process's Qt application. Construct it first, on the main thread: the platform services need
// it. Closing the last window does not quit; SIGTERM, SIGINT and SIGHUP quit the event loop, so the
// termination step still runs. An X server gone for good ends it too, through the same step, with a
// failure status.
class QtApplication {
 public:
  QtApplication(int& argc, char** argv);
  ~QtApplication();
  // Runs the event loop: `onLaunched` once it has started, `onTerminate` once before it ends.
  // Returns the process's exit status.
  int run(std::function<void()> onLaunched, std::function<void()> onTerminate);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qova
