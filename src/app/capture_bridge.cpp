#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "capture/capture_session.h"
#include "platform/process.h"

namespace qova {

void AppDelegate::handleCaptureBridge(std::string_view payload) {
  const uint64_t run = currentRun_.load();
  capture->handleCaptureBridge(payload, weak_from_this(), run != 0 && displaysRun_.load() == run);
}

void AppDelegate::startCaptureBridge() { capture->startCaptureBridge(weak_from_this()); }

void AppDelegate::stopCaptureBridge() { capture->stopCaptureBridge(); }

void AppDelegate::writeFrameToAgent(std::string headerLine, std::vector<uint8_t> jpeg,
                                    std::function<void(AgentWrite)> done) {
  // Bound to the agent current now, as every message is: a frame the old agent was sent while
  // capturing is never the first thing the next one reads.
  agentInputQueue->async(weakBlock(shared_from_this(), [pipe = currentInputPipe(), headerLine = std::move(headerLine),
                                                        jpeg = std::move(jpeg),
                                                        done = std::move(done)](AppDelegate& self) {
    if (!pipe) return done(AgentWrite::noAgent);
    // The JPEG never follows a header that did not arrive whole.
    const bool written = pipe->writeAll(headerLine) &&
                         pipe->writeAll(std::string_view(reinterpret_cast<const char*>(jpeg.data()), jpeg.size()));
    // Only the current agent's failure says capture is unwanted.
    if (!written && pipe != self.currentInputPipe()) return done(AgentWrite::noAgent);
    done(written ? AgentWrite::written : AgentWrite::failed);
  }));
}

void AppDelegate::showCaptureStatus(std::string_view text) {
  QOVA_ASSERT_ON(mainQueue());
  setStatus(text);
}

}  // namespace qova
