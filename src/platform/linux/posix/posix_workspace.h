#pragma once

#include "platform/workspace.h"

namespace qova {

// Home from $HOME (else the password database); the bundle from the executable's own path; folders
// through the C library. Opening and revealing belong to the desktop, which this layer cannot ask:
// they report false, and a desktop workspace wraps this one to supply them.
class PosixWorkspace : public Workspace {
 public:
  std::string homeDirectory() const override;
  std::string bundleDirectory() const override;
  unsigned realUserId() const override;
  bool createDirectory(const std::string& path) override;
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path) const override;
  bool openURL(const std::string&) override { return false; }
  bool openFile(const std::string&) override { return false; }
  bool revealFile(const std::string&) override { return false; }
  bool openPrivacySettings() override { return false; }
};

}  // namespace qova
