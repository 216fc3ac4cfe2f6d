#include "capture/detached_task.h"

#include <memory>
#include <system_error>
#include <thread>

namespace qova {

void runDetachedTask(std::function<void()> task) {
  auto shared = std::make_shared<std::function<void()>>(std::move(task));
  try {
    std::thread([shared] { (*shared)(); }).detach();
  } catch (const std::system_error&) {
    (*shared)();
  }
}

}  // namespace qova
