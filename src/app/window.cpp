#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/pasteboard.h"
#include "ui/main_window.h"

namespace qova {

void AppDelegate::buildWindow() {
  QOVA_ASSERT_ON(mainQueue());
  auto self = shared_from_this();
  // Buttons hold the controller weakly: a press after it is gone does nothing.
  const auto action = [&self](void (AppDelegate::*method)()) {
    return weakBlock(self, [method](AppDelegate& delegate) { (delegate.*method)(); });
  };
  MainWindowActions actions;
  actions.start = action(&AppDelegate::startClicked);
  actions.stop = action(&AppDelegate::stopClicked);
  actions.copy = weakBlock(self, [](AppDelegate& delegate, const Button* sender) { delegate.copyClicked(sender); });
  actions.requestScreenPermission = action(&AppDelegate::requestScreenPermission);
  actions.openScreenSettings = action(&AppDelegate::openScreenSettings);
  actions.requestAccessibilityPermission = action(&AppDelegate::requestAccessibilityPermission);
  actions.openAccessibilitySettings = action(&AppDelegate::openAccessibilitySettings);
  actions.openReceivedFilesFolder = action(&AppDelegate::openReceivedFilesFolder);
  actions.refreshReceivedFiles = action(&AppDelegate::refreshReceivedFilesClicked);

  const MainWindowViews views{statusLabel, idValue,       codeValue,      serverValue,  startButton,
                              stopButton,  fileListStack, fileEmptyLabel, filePathLabel};
  window = buildMainWindow(*services().controls, views, std::move(actions));
  mainQueue().post(action(&AppDelegate::refreshReceivedFiles));
}

void AppDelegate::copyClicked(const Button* sender) {
  QOVA_ASSERT_ON(mainQueue());
  const bool copiesCode = sender && sender->identifier() == kCopyCodeIdentifier;
  services().pasteboard->setString((copiesCode ? codeValue : idValue)->text());
  setStatus("已复制");
}

}  // namespace qova
