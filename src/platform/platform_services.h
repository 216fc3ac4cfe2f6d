#pragma once

#include <memory>
#include <string>

namespace qova {

class MainQueue;
class ProcessLauncher;
class Permissions;
class Workspace;
class Controls;
class Pasteboard;
class PasteboardWatcher;
class ServiceManager;
class ScreenCapture;
class Imaging;
class EventPoster;
class Tray;
class SingleInstance;

// Every operating-system service the logic uses, made by one factory per backend
// (createLinuxPlatformServices for the application, FakePlatformServices in tests).
struct PlatformServices {
  std::shared_ptr<MainQueue> mainQueue;
  std::shared_ptr<ProcessLauncher> processes;
  std::shared_ptr<Permissions> permissions;
  std::shared_ptr<Workspace> workspace;
  std::shared_ptr<Controls> controls;
  std::shared_ptr<Pasteboard> pasteboard;
  std::shared_ptr<ServiceManager> serviceManager;
  std::shared_ptr<ScreenCapture> screenCapture;
  std::shared_ptr<Imaging> imaging;
  std::shared_ptr<EventPoster> eventPoster;
  std::shared_ptr<Tray> tray;
  std::shared_ptr<SingleInstance> singleInstance;
  // Not empty when no desktop backend fits this session: why, for the window's status.
  std::string desktopUnavailable;
  // Null where the desktop's clipboard cannot be watched.
  std::shared_ptr<PasteboardWatcher> pasteboardWatcher;
};

}  // namespace qova
