#include "app/app_delegate.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "base/main_queue.h"
#include "platform/workspace.h"
#include "ui/file_action_button.h"
#include "ui/received_file_list.h"

namespace qova {

namespace {
constexpr Duration kFileRefreshInterval{5000};
constexpr double kRowHeight = 52;
const Color kRowBackground = Color::calibratedRGB(0.965, 0.976, 0.988);
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
  Workspace& workspace = *services().workspace;
  const std::string folder = receivedFilesFolder(workspace.homeDirectory());
  filePathLabel->setText(folder);
  workspace.createDirectory(folder);
  const auto listing = workspace.contentsOfDirectory(folder);
  const auto selection = listing ? receivedFileEntries(*listing, kMaxReceivedFileRows) : ReceivedFileSelection{};

  fileListStack->removeAllArrangedSubviews();
  fileEmptyLabel->setHidden(selection.total > 0);
  for (const ReceivedFileEntry& entry : selection.newest) fileListStack->addArrangedSubview(receivedFileRow(entry));
  fileListStack->setFrame({0, 0, kFileListWidth, fileListHeight(static_cast<int>(selection.newest.size()))});
}

std::shared_ptr<View> AppDelegate::receivedFileRow(const ReceivedFileEntry& entry) {
  Controls& controls = *services().controls;
  auto row = controls.makeView();
  row->setFrame({0, 0, 374, kRowHeight});
  row->setBackgroundColor(kRowBackground);
  row->setCornerRadius(6);

  auto name = controls.makeLabel(entry.name);
  name->setFont(Font::boldSystem(12));
  name->setTextColor(Color::primaryLabel());
  name->setTruncation(Truncation::middle);
  name->setFrame({10, 27, 220, 18});
  row->addSubview(name);

  auto detail = controls.makeLabel(formatFileSize(entry.size) + "  " +
                                    formatFileDate(toLocalDateTime(entry.modified)));
  detail->setFont(Font::system(11));
  detail->setTextColor(Color::secondaryLabel());
  detail->setTruncation(Truncation::tail);
  detail->setFrame({10, 8, 220, 16});
  row->addSubview(detail);

  using Handler = void (AppDelegate::*)(const FileActionButton*);
  const std::pair<const char*, Handler> buttons[] = {{"打开", &AppDelegate::openReceivedFile},
                                                     {"定位", &AppDelegate::locateReceivedFile}};
  double x = 236;
  for (const auto& [title, handler] : buttons) {
    auto button = controls.makeButton(title);
    auto sender = std::make_shared<FileActionButton>(button);
    sender->fileURL = entry.url;
    button->setAction(weakBlock(shared_from_this(), [sender, handler = handler](AppDelegate& self) {
      (self.*handler)(sender.get());
    }));
    button->setFrame({x, 12, 54, 28});
    row->addSubview(button);
    x += 64;
  }
  return row;
}

void AppDelegate::refreshReceivedFilesClicked() {
  refreshReceivedFiles();
  setStatus("文件列表已刷新");
}

void AppDelegate::openReceivedFilesFolder() {
  Workspace& workspace = *services().workspace;
  const std::string folder = receivedFilesFolder(workspace.homeDirectory());
  workspace.createDirectory(folder);
  workspace.openFile(folder);
}

void AppDelegate::openReceivedFile(const FileActionButton* sender) {
  if (!sender || !sender->fileURL) return;
  services().workspace->openFile(*sender->fileURL);
}

void AppDelegate::locateReceivedFile(const FileActionButton* sender) {
  if (!sender || !sender->fileURL) return;
  services().workspace->revealFile(*sender->fileURL);
}

void AppDelegate::startFileRefreshTimer() {
  if (fileRefreshTimer) fileRefreshTimer->invalidate();
  fileRefreshTimer = mainQueue().scheduleRepeating(
      kFileRefreshInterval, weakBlock(shared_from_this(), [](AppDelegate& self) { self.refreshReceivedFiles(); }));
}

}  // namespace qova
