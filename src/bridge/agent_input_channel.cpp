#include "app/app_delegate.h"
#include "base/weak_block.h"
#include "platform/process.h"
#include "base/serial_queue.h"

namespace qova {

std::shared_ptr<InputPipe> AppDelegate::currentInputPipe() const {
  std::lock_guard lock(inputPipeMutex_);
  return inputPipe;
}

void AppDelegate::setInputPipe(std::shared_ptr<InputPipe> pipe) {
  std::shared_ptr<InputPipe> previous;
  {
    std::lock_guard lock(inputPipeMutex_);
    previous = std::exchange(inputPipe, std::move(pipe));
  }
  // A write stuck on an agent that no longer reads would otherwise hold up every later message,
  // including those for the next agent.
  if (previous && previous != currentInputPipe()) previous->close();
}

void AppDelegate::writeAgentInput(std::string text) {
  agentInputQueue->async(weakBlock(shared_from_this(), [bytes = std::move(text)](AppDelegate& self) {
    auto pipe = self.currentInputPipe();
    if (!pipe) return;
    if (!pipe->writeAll(bytes)) self.stopCaptureBridge();
  }));
}

}  // namespace qova
