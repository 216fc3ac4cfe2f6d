#include <vector>

#include "agent/agent_extensions.h"
#include "app/app_delegate.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/tray.h"

namespace qova {

namespace {
// Logins faster than the main thread looks are shown as the newest few.
constexpr size_t kJoinedShown = 3;
}  // namespace

void AppDelegate::answerHello(std::string_view hello, uint64_t run) {
  std::vector<std::string_view> granted = {kViewersExtension, kDisplaysExtension};
  if (services().pasteboardWatcher) granted.push_back(kClipboardExtension);
  auto answer = helloAnswerLine(hello, granted);
  if (!answer) return;
  const bool viewers = helloAnswerGrants(*answer, kViewersExtension);
  const bool clipboard = helloAnswerGrants(*answer, kClipboardExtension);
  // Set before the agent's next line is routed, so its next start may choose.
  displaysRun_ = helloAnswerGrants(*answer, kDisplaysExtension) ? run : 0;
  writeAgentInput(std::move(*answer));
  mainQueue().post(weakBlock(shared_from_this(), [run, viewers, clipboard](AppDelegate& self) {
    if (!self.isCurrentRun(run)) return;
    if (clipboard) self.watchPasteboardFor(run);
    if ((self.viewersRun_ == run) == viewers) return;
    self.viewersRun_ = viewers ? run : 0;
    self.showTrayIcon();
  }));
}

void AppDelegate::handleViewersReport(std::string_view payload, uint64_t run) {
  const auto report = decodeViewersReport(payload);
  if (!report) return;
  {
    std::lock_guard lock(viewersMutex_);
    const bool postQueued = pendingViewers_ && pendingViewers_->run == run;
    if (!postQueued) pendingViewers_ = PendingViewers{run, 0, {}};
    pendingViewers_->count = report->count;
    auto& joined = pendingViewers_->joined;
    if (!report->joined.empty()) joined.push_back(report->joined);
    if (joined.size() > kJoinedShown) joined.erase(joined.begin());
    if (postQueued) return;
  }
  mainQueue().post(weakBlock(shared_from_this(), [](AppDelegate& self) {
    {
      std::lock_guard lock(self.viewersMutex_);
      self.viewersToShow_ = std::exchange(self.pendingViewers_, std::nullopt);
    }
    self.showViewers();
  }));
}

void AppDelegate::showViewers() {
  QOVA_ASSERT_ON(mainQueue());
  const auto shown = std::exchange(viewersToShow_, std::nullopt);
  // Reports of an agent that did not ask, or of a run that has ended, are not shown.
  if (!shown || shown->run != viewersRun_ || !isCurrentRun(shown->run)) return;
  viewerCount_ = shown->count;
  showStatusLine();
  if (!services().tray) return;
  for (const auto& place : shown->joined) {
    services().tray->notify("查看者已连接", "来自 " + place + "，共 " + std::to_string(viewerCount_) + " 个查看者");
  }
}

void AppDelegate::forgetViewers() {
  QOVA_ASSERT_ON(mainQueue());
  if (viewersRun_ == 0) return;
  viewersRun_ = 0;
  viewerCount_ = 0;
  showStatusLine();
  showTrayIcon();
}

void AppDelegate::endAllViewersClicked() {
  QOVA_ASSERT_ON(mainQueue());
  if (viewersRun_ == 0 || !isCurrentRun(viewersRun_)) return;
  writeAgentInput(endAllViewersLine());
}

void AppDelegate::showStatusLine() {
  QOVA_ASSERT_ON(mainQueue());
  if (!statusLabel) return;
  statusLabel->setText(viewerCount_ > 0 ? statusText_ + " · " + std::to_string(viewerCount_) + " 个查看者"
                                        : statusText_);
}

}  // namespace qova
