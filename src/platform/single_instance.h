#pragma once

#include <functional>

namespace qova {

// One running copy of the application per user and display, so a second start never brings a
// second agent.
class SingleInstance {
 public:
  virtual ~SingleInstance() = default;
  // Main thread, before anything else is started. True when this process is now the one instance:
  // `onShowRequested` then runs on the main thread whenever a later start asks for the window. False
  // when another instance runs; it has been asked to show its window and this process should end.
  virtual bool claim(std::function<void()> onShowRequested) = 0;
};

}  // namespace qova
