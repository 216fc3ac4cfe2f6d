#include "fakes/fake_platform_services.h"

namespace qova::test {

bool FakeWorkspace::createDirectory(const std::string& path) {
  if (onCreateDirectory) onCreateDirectory();
  createdDirectories.push_back(path);
  folders.try_emplace(path);
  return true;
}

std::optional<std::vector<DirectoryEntry>> FakeWorkspace::contentsOfDirectory(const std::string& path) const {
  ++listings;
  const auto found = folders.find(path);
  if (found == folders.end()) return std::nullopt;
  return found->second;
}

bool FakeWorkspace::openURL(const std::string& url) {
  openingThreads.push_back(std::this_thread::get_id());
  if (onOpenURL) onOpenURL(url);
  openedURLs.push_back(url);
  return true;
}

bool FakeWorkspace::openFile(const std::string& path) {
  openingThreads.push_back(std::this_thread::get_id());
  openedFiles.push_back(path);
  return true;
}

bool FakeWorkspace::revealFile(const std::string& path) {
  openingThreads.push_back(std::this_thread::get_id());
  revealedFiles.push_back(path);
  return true;
}

bool FakeWorkspace::openPrivacySettings() {
  openingThreads.push_back(std::this_thread::get_id());
  ++privacySettingsOpened;
  return true;
}

}  // namespace qova::test
