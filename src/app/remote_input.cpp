#include "app/app_delegate.h"

#include <chrono>
#include <thread>

#include "base/log.h"
#include "base/thread_check.h"
#include "capture/capture_session.h"
#include "input/input_command.h"
#include "input/input_dispatch.h"
#include "platform/event_poster.h"
#include "platform/pasteboard.h"

namespace qova {

namespace {
const Log kLog("input");

// What a viewer pastes is theirs already: noted before it goes on the pasteboard, so the change it
// makes there is not sent back to them.
class ViewerPaste : public Pasteboard {
 public:
  ViewerPaste(Pasteboard& pasteboard, AppDelegate& app) : pasteboard_(pasteboard), app_(app) {}
  bool setString(const std::string& text) override {
    app_.notePastedText(text);
    return pasteboard_.setString(text);
  }

 private:
  Pasteboard& pasteboard_;
  AppDelegate& app_;
};
}  // namespace

void AppDelegate::handleInputBridge(std::string_view payload, uint64_t run) {
  const auto command = decodeInputCommand(payload);
  if (!command) return;
  const PlatformServices& platform = services();
  if (!platform.eventPoster || !platform.pasteboard) return;
  {
    // The check and the command are one step, so nothing a stopped agent asked for is posted after
    // its end has been handled.
    std::lock_guard lock(inputMutex_);
    if (isCurrentRun(run)) {
      const CaptureDisplay display = capture->capturedDisplay();
      ViewerPaste pasteboard(*platform.pasteboard, *this);
      platform.eventPoster->followDisplay(display.displayId);
      runInputCommand(movedBy(*command, static_cast<double>(display.x), static_cast<double>(display.y)),
                      *platform.eventPoster, pasteboard, dragButton, heldButtons_);
    }
  }
  // The main thread does not wait for a command in flight, so a release it asked for meanwhile is ours.
  releaseHeldInputIfAsked();
}

void AppDelegate::releaseHeldInput(Duration wait) {
  QOVA_ASSERT_ON(mainQueue());
  heldReleaseAsked_ = true;
  // The wait is bounded: a command in flight may be a paste, which itself waits on this thread.
  releaseHeldInputIfAsked(wait);
}

void AppDelegate::releaseHeldInputIfAsked(Duration wait) {
  // Polled rather than a timed lock: the C library's timed lock is one the thread sanitizer cannot
  // follow, and the wait is short and rare (an agent's end, the application's quit).
  std::unique_lock lock(inputMutex_, std::try_to_lock);
  for (const auto deadline = std::chrono::steady_clock::now() + wait;
       !lock.owns_lock() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.try_lock();
  }
  if (!lock.owns_lock() || !heldReleaseAsked_.exchange(false)) return;
  dragButton = MouseButton::left;
  if (services().eventPoster && heldButtons_.releaseAll(*services().eventPoster)) {
    kLog.info("released the mouse buttons a drag of the ended agent still held");
  }
}

}  // namespace qova
