#include "app/app_delegate.h"
#include "base/main_queue.h"
#include "base/serial_queue.h"
#include "base/thread_check.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "platform/workspace.h"
#include "ui/file_action_button.h"
#include "ui/received_file_list.h"
#include "ui/received_file_row.h"

namespace qova {

namespace {
constexpr Duration kFileRefreshInterval{5000};
}  // namespace

void AppDelegate::handleFileReceivedBridge() {
  // A refresh already queued has not listed the folder yet, so it will see this file too.
  if (fileReceivedRefreshQueued_.exchange(true)) return;
  mainQueue().post(weakBlock(shared_from_this(), [](AppDelegate& self) {
    // Cleared before listing: a marker that arrives during the refresh queues the next one.
    self.fileReceivedRefreshQueued_ = false;
    self.refreshReceivedFiles();
    self.setStatus("已收到文件");
  }));
}

void AppDelegate::refreshReceivedFiles() {
  QOVA_ASSERT_ON(mainQueue());
  Workspace& workspace = *services().workspace;
  const std::string folder = receivedFilesFolder(workspace.homeDirectory());
  filePathLabel->setText(folder);
  workspace.createDirectory(folder);
  const auto listing = workspace.contentsOfDirectory(folder);
  const auto selection = listing ? receivedFileEntries(*listing, kMaxReceivedFileRows) : ReceivedFileSelection{};

  fileListStack->removeAllArrangedSubviews();
  fileEmptyLabel->setHidden(selection.total > 0);
  auto self = shared_from_this();
  const auto open =
      weakBlock(self, [](AppDelegate& delegate, const FileActionButton* sender) { delegate.openReceivedFile(sender); });
  const auto locate = weakBlock(
      self, [](AppDelegate& delegate, const FileActionButton* sender) { delegate.locateReceivedFile(sender); });
  for (const ReceivedFileEntry& entry : selection.newest) {
    fileListStack->addArrangedSubview(makeReceivedFileRow(*services().controls, entry, open, locate));
  }
  fileListStack->setFrame({0, 0, kFileListWidth, fileListHeight(static_cast<int>(selection.newest.size()))});
}

void AppDelegate::refreshReceivedFilesClicked() {
  QOVA_ASSERT_ON(mainQueue());
  refreshReceivedFiles();
  setStatus("文件列表已刷新");
}

void AppDelegate::openReceivedFilesFolder() {
  QOVA_ASSERT_ON(mainQueue());
  Workspace& workspace = *services().workspace;
  const std::string folder = receivedFilesFolder(workspace.homeDirectory());
  workspace.createDirectory(folder);
  desktopQueue->async([workspace = services().workspace, folder] { workspace->openFile(folder); });
}

void AppDelegate::openReceivedFile(const FileActionButton* sender) {
  QOVA_ASSERT_ON(mainQueue());
  if (!sender || !sender->fileURL) return;
  desktopQueue->async([workspace = services().workspace, file = *sender->fileURL] { workspace->openFile(file); });
}

void AppDelegate::locateReceivedFile(const FileActionButton* sender) {
  QOVA_ASSERT_ON(mainQueue());
  if (!sender || !sender->fileURL) return;
  desktopQueue->async([workspace = services().workspace, file = *sender->fileURL] { workspace->revealFile(file); });
}

void AppDelegate::startFileRefreshTimer() {
  QOVA_ASSERT_ON(mainQueue());
  if (fileRefreshTimer) fileRefreshTimer->invalidate();
  fileRefreshTimer = mainQueue().scheduleRepeating(
      kFileRefreshInterval, weakBlock(shared_from_this(), [](AppDelegate& self) { self.refreshReceivedFiles(); }));
}

}  // namespace qova
