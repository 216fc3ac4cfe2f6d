#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "bridge/agent_line_routing.h"
#include "platform/controls.h"
#include "platform/process.h"

namespace qova {

void AppDelegate::handleAgentOutput(std::string_view chunk) { handleAgentOutput(outputBuffer, chunk); }

void AppDelegate::handleAgentOutput(AgentOutputBuffer& buffer, std::string_view chunk) {
  // The reader of a stopped agent may still deliver while the next agent's reader runs.
  std::lock_guard lock(outputMutex_);
  buffer.append(chunk, [this](std::string_view line) {
    const AgentLine routed = classifyAgentLine(line);
    switch (routed.kind) {
      case AgentLineKind::inputCommand:
        handleInputBridge(routed.payload);
        break;
      case AgentLineKind::captureCommand:
        handleCaptureBridge(routed.payload);
        break;
      case AgentLineKind::fileReceived:
        handleFileReceivedBridge();
        break;
      case AgentLineKind::status:
        // Only lines that change the status travel to the main thread; the rest change nothing there.
        if (const auto text = statusTextForLine(routed.payload)) {
          mainQueue().post(weakBlock(shared_from_this(),
                                     [status = std::string(*text)](AppDelegate& self) { self.setStatus(status); }));
        }
        break;
    }
  });
}

std::shared_ptr<InputPipe> AppDelegate::currentInputPipe() const {
  std::lock_guard lock(inputPipeMutex_);
  return inputPipe;
}

void AppDelegate::setInputPipe(std::shared_ptr<InputPipe> pipe) {
  QOVA_ASSERT_ON(mainQueue());
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
  // The pipe is taken now, not when the write runs: a message meant for one agent (its permission
  // state, say) must never reach the agent started after it.
  auto pipe = currentInputPipe();
  if (!pipe) return;
  agentInputQueue->async(
      weakBlock(shared_from_this(), [pipe = std::move(pipe), bytes = std::move(text)](AppDelegate& self) {
        QOVA_ASSERT_ON(*self.agentInputQueue);
        // A replaced pipe fails by design; only the current agent's failure says capture is unwanted.
        if (!pipe->writeAll(bytes) && pipe == self.currentInputPipe()) self.stopCaptureBridge();
      }));
}

}  // namespace qova
