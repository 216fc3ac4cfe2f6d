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

FakePlatformServices::FakePlatformServices()
    : mainQueue(std::make_shared<ManualMainQueue>()),
      processes(std::make_shared<FakeProcessLauncher>()),
      permissions(std::make_shared<FakePermissions>()),
      workspace(std::make_shared<FakeWorkspace>()),
      controls(std::make_shared<FakeControls>()),
      pasteboard(std::make_shared<FakePasteboard>()),
      serviceManager(std::make_shared<FakeServiceManager>()),
      screenCapture(std::make_shared<FakeScreenCapture>()),
      imaging(std::make_shared<FakeImaging>()),
      eventPoster(std::make_shared<FakeEventPoster>()),
      tray(std::make_shared<FakeTray>()),
      singleInstance(std::make_shared<FakeSingleInstance>()) {}

PlatformServices FakePlatformServices::services() const {
  PlatformServices services;
  services.mainQueue = mainQueue;
  services.processes = processes;
  services.permissions = permissions;
  services.workspace = workspace;
  services.controls = controls;
  services.pasteboard = pasteboard;
  services.serviceManager = serviceManager;
  services.tray = tray;
  services.singleInstance = singleInstance;
  services.screenCapture = screenCapture;
  services.imaging = imaging;
  services.eventPoster = eventPoster;
  return services;
}

}  // namespace qova::test
