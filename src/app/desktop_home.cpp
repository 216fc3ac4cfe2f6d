#include "app/app_delegate.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/single_instance.h"
#include "platform/tray.h"

namespace qova {

bool AppDelegate::claimSingleInstance() {
  QOVA_ASSERT_ON(mainQueue());
  if (!services().singleInstance) return true;
  return services().singleInstance->claim(
      weakBlock(shared_from_this(), [](AppDelegate& self) { self.showWindowClicked(); }));
}

void AppDelegate::showTrayIcon() {
  QOVA_ASSERT_ON(mainQueue());
  if (!services().tray) return;
  auto self = shared_from_this();
  std::vector<TrayMenuItem> items{
      {"显示窗口", weakBlock(self, [](AppDelegate& delegate) { delegate.showWindowClicked(); })}};
  if (viewersRun_ != 0) {
    items.push_back({"断开所有查看者", weakBlock(self, [](AppDelegate& delegate) { delegate.endAllViewersClicked(); })});
  }
  items.push_back({"退出", weakBlock(self, [](AppDelegate& delegate) { delegate.quitClicked(); })});
  services().tray->show("QOVA Lumaro Agent", std::move(items));
}

void AppDelegate::showWindowClicked() {
  QOVA_ASSERT_ON(mainQueue());
  if (!window) return;
  window->makeKeyAndOrderFront();
  services().controls->activateApplication();
}

void AppDelegate::quitClicked() {
  QOVA_ASSERT_ON(mainQueue());
  services().controls->terminateApplication();
}

}  // namespace qova
