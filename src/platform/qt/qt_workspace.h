#pragma once

#include <QString>

#include <memory>

#include "platform/workspace.h"

namespace qova {

// The freedesktop side of the workspace: URLs and files open through the desktop's handlers
// (QDesktopServices, that is xdg-open), a file is revealed with the file manager's
// org.freedesktop.FileManager1.ShowItems call on the session bus, falling back to opening its folder.
// Folders and the user's places come from `files`, the operating system's own workspace.
class QtWorkspace : public Workspace {
 public:
  // `busAddress` names a D-Bus bus to use instead of the session bus (tests run a private one).
  explicit QtWorkspace(std::shared_ptr<Workspace> files, QString busAddress = {});
  std::string homeDirectory() const override { return files_->homeDirectory(); }
  std::string bundleDirectory() const override { return files_->bundleDirectory(); }
  unsigned realUserId() const override { return files_->realUserId(); }
  bool createDirectory(const std::string& path) override { return files_->createDirectory(path); }
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path) const override {
    return files_->contentsOfDirectory(path);
  }
  bool openURL(const std::string& url) override;
  bool openFile(const std::string& path) override;
  bool revealFile(const std::string& path) override;
  bool openPrivacySettings() override;

 private:
  std::shared_ptr<Workspace> files_;
  QString busAddress_;
};

// A file URL for a path, byte for byte: names that are not valid UTF-8 survive percent-encoded.
QString fileURLForPath(const std::string& path);

}  // namespace qova
