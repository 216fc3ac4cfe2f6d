#include "app/app_delegate.h"
#include "app/weak_block.h"
#include "platform/main_queue.h"

namespace qova {

namespace {
constexpr Duration kFileRefreshInterval{5000};
}  // namespace

void AppDelegate::handleFileReceivedBridge() {
  mainQueue().post(weakBlock(shared_from_this(), [](AppDelegate& self) { self.refreshReceivedFiles(); }));
}

// The listing itself arrives with the received files list.
void AppDelegate::refreshReceivedFiles() {}

void AppDelegate::startFileRefreshTimer() {
  if (fileRefreshTimer) fileRefreshTimer->invalidate();
  fileRefreshTimer = mainQueue().scheduleRepeating(
      kFileRefreshInterval, weakBlock(shared_from_this(), [](AppDelegate& self) { self.refreshReceivedFiles(); }));
}

}  // namespace qova
