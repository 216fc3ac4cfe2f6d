#pragma once

#include <functional>

namespace qova {

// Runs `task` on a short-lived thread of its own and returns at once. Should no thread be
// available, the task runs on the caller's thread instead, so that it is never lost.
void runDetachedTask(std::function<void()> task);

}  // namespace qova
