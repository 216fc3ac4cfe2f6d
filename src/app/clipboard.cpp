#include "agent/agent_extensions.h"
#include "app/app_delegate.h"
#include "base/log.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/pasteboard.h"

namespace qova {

namespace {
const Log kLog("clipboard");
}  // namespace

void AppDelegate::watchPasteboardFor(uint64_t run) {
  QOVA_ASSERT_ON(mainQueue());
  const auto& watcher = services().pasteboardWatcher;
  if (!watcher || pasteboardRun_.exchange(run) == run) return;
  {
    std::lock_guard lock(pasteboardMutex_);
    viewersPasteboardText_.clear();
  }
  if (run == 0) {
    watcher->stopWatchingPasteboard();
    return;
  }
  kLog.info("the agent's viewers get the text copied on this desktop");
  watcher->watchPasteboard(weakBlock(shared_from_this(),
                                     [](AppDelegate& self, std::string text) { self.pasteboardChanged(std::move(text)); }),
                           kMaxClipboardBytes);
}

void AppDelegate::pasteboardChanged(std::string text) {
  const uint64_t run = pasteboardRun_.load();
  if (run == 0 || !isCurrentRun(run)) return;
  auto line = clipboardLine(text);
  if (!line) return;
  {
    // Desktops announce a paste's own text as a change, and clipboard managers take over what was
    // copied: the same text again is nothing new for the viewers.
    std::lock_guard lock(pasteboardMutex_);
    if (text == viewersPasteboardText_) return;
    viewersPasteboardText_ = std::move(text);
  }
  writeAgentInput(std::move(*line));
}

void AppDelegate::notePastedText(const std::string& text) {
  std::lock_guard lock(pasteboardMutex_);
  viewersPasteboardText_ = text;
}

}  // namespace qova
