#pragma once

#include <QString>

#include "platform/linux/posix/posix_workspace.h"

namespace qova {

// The freedesktop side of the workspace: URLs and files open through the desktop's handlers
// (QDesktopServices, that is xdg-open), a file is revealed with the file manager's
// org.freedesktop.FileManager1.ShowItems call on the session bus, falling back to opening its folder.
class QtWorkspace : public PosixWorkspace {
 public:
  // `busAddress` names a D-Bus bus to use instead of the session bus (tests run a private one).
  explicit QtWorkspace(QString busAddress = {});
  bool openURL(const std::string& url) override;
  bool openFile(const std::string& path) override;
  bool revealFile(const std::string& path) override;
  bool openPrivacySettings() override;

 private:
  QString busAddress_;
};

// A file URL for a path, byte for byte: names that are not valid UTF-8 survive percent-encoded.
QString fileURLForPath(const std::string& path);

}  // namespace qova
