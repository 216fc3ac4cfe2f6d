#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "bridge/agent_line_routing.h"
#include "platform/controls.h"
#include "platform/process.h"

namespace qova {

void AppDelegate::handleAgentOutput(std::string_view chunk) {
  handleAgentOutput(outputBuffer, chunk, currentRun_.load());
}

void AppDelegate::handleAgentOutput(AgentOutputBuffer& buffer, std::string_view chunk, uint64_t run) {
  // The reader of a stopped agent may still deliver while the next agent's reader runs.
  std::lock_guard lock(outputMutex_);
  buffer.append(chunk, [this, run](std::string_view line) {
    const AgentLine routed = classifyAgentLine(line);
    if (routed.kind == AgentLineKind::inputCommand) {
      // Input may take a while and waits on its own lock, never on the main thread's.
      handleInputBridge(routed.payload, run);
      return;
    }
    std::lock_guard runLock(runMutex_);
    if (!isCurrentRun(run)) return;
    switch (routed.kind) {
      case AgentLineKind::captureCommand:
        handleCaptureBridge(routed.payload);
        break;
      case AgentLineKind::fileReceived:
        handleFileReceivedBridge();
        break;
      case AgentLineKind::hello:
        answerHello(routed.payload, run);
        break;
      case AgentLineKind::viewers:
        handleViewersReport(routed.payload, run);
        break;
      case AgentLineKind::status:
        // Only lines that change the status or the device ID travel to the main thread; the rest
        // change nothing there. A new ID comes once in a long while, so it needs no coalescing.
        if (const auto id = deviceIdForLine(routed.payload)) {
          mainQueue().post(
              weakBlock(shared_from_this(), [id = std::string(*id)](AppDelegate& self) { self.idValue->setText(id); }));
        }
        if (const auto text = statusTextForLine(routed.payload)) queueStatus(run, *text);
        break;
      case AgentLineKind::inputCommand:
        break;
    }
  });
}

void AppDelegate::queueStatus(uint64_t run, std::string_view text) {
  {
    std::lock_guard lock(statusMutex_);
    const bool postQueued = pendingStatus_.has_value();
    pendingStatus_ = PendingStatus{run, std::string(text)};
    if (postQueued) return;
  }
  mainQueue().post(weakBlock(shared_from_this(), [](AppDelegate& self) { self.showPendingStatus(); }));
}

void AppDelegate::showPendingStatus() {
  QOVA_ASSERT_ON(mainQueue());
  std::optional<PendingStatus> pending;
  {
    std::lock_guard lock(statusMutex_);
    pending = std::exchange(pendingStatus_, std::nullopt);
  }
  // A stop or restart since the line arrived has the last word.
  if (!pending || !isCurrentRun(pending->run)) return;
  statusSinceLaunch_ = true;
  setStatus(pending->text);
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
