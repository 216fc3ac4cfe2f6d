#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "fakes/fake_controls.h"
#include "fakes/fake_event_poster.h"
#include "fakes/fake_imaging.h"
#include "fakes/fake_process_launcher.h"
#include "fakes/fake_screen_capture.h"
#include "fakes/manual_main_queue.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"
#include "platform/platform_services.h"
#include "platform/service_manager.h"
#include "platform/single_instance.h"
#include "platform/tray.h"
#include "platform/workspace.h"

namespace qova::test {

class FakePermissions : public Permissions {
 public:
  bool screenCaptureAccess() override { return screen.load(); }
  bool inputAccess() override { return input.load(); }
  // A request grants the state given in screenGrantedOnRequest / inputGrantedOnRequest.
  bool requestScreenCaptureAccess() override {
    ++screenRequests;
    if (screenGrantedOnRequest) screen = true;
    return screen.load();
  }
  bool requestInputAccess() override {
    ++inputRequests;
    if (inputGrantedOnRequest) input = true;
    return input.load();
  }
  std::atomic<bool> screen{true};
  std::atomic<bool> input{true};
  bool screenGrantedOnRequest = false;
  bool inputGrantedOnRequest = false;
  int screenRequests = 0;
  int inputRequests = 0;
};

// Folders live in memory (`folders`); opening and revealing are only recorded.
class FakeWorkspace : public Workspace {
 public:
  std::string homeDirectory() const override { return home; }
  std::string bundleDirectory() const override { return bundle; }
  unsigned realUserId() const override { return userId; }
  bool createDirectory(const std::string& path) override;
  std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path) const override;
  bool openURL(const std::string& url) override;
  bool openFile(const std::string& path) override;
  bool revealFile(const std::string& path) override;
  bool openPrivacySettings() override;

  std::string home = "/home/tester";
  std::string bundle = "/opt/QOVA Lumaro Agent.app";
  unsigned userId = 1000;
  std::map<std::string, std::vector<DirectoryEntry>> folders;
  // Called at every openURL, before it is recorded.
  std::function<void(const std::string&)> onOpenURL;
  // Called at every createDirectory, before anything else.
  std::function<void()> onCreateDirectory;

  // What happened, in order.
  std::vector<std::string> createdDirectories;
  mutable int listings = 0;
  std::vector<std::string> openedURLs;
  std::vector<std::string> openedFiles;
  std::vector<std::string> revealedFiles;
  int privacySettingsOpened = 0;
  // The thread of every call that asks the desktop to open something.
  std::vector<std::thread::id> openingThreads;
};

class FakePasteboard : public Pasteboard {
 public:
  bool setString(const std::string& text) override {
    std::lock_guard lock(mutex);
    if (stalled) return false;
    strings.push_back(text);
    return true;
  }
  std::mutex mutex;
  std::vector<std::string> strings;
  bool stalled = false;  // the main thread does not get to the clipboard in time
};

// The test makes the changes: `change` hands text to the watching application as a backend would.
class FakePasteboardWatcher : public PasteboardWatcher {
 public:
  void watchPasteboard(std::function<void(std::string)> changed, size_t) override { callback = std::move(changed); }
  void stopWatchingPasteboard() override { callback = nullptr; }
  void change(const std::string& text) {
    if (callback) callback(text);
  }
  std::function<void(std::string)> callback;
};

class FakeServiceManager : public ServiceManager {
 public:
  std::vector<CommandLine> removalCommands(std::string_view label, std::string_view homePath,
                                           unsigned userId) const override {
    return {{"/fake/service-manager", {"remove", std::string(label), std::string(homePath), std::to_string(userId)}}};
  }
};

class FakeTray : public Tray {
 public:
  bool show(const std::string&, std::vector<TrayMenuItem> shown) override {
    items = std::move(shown);
    return true;
  }
  void notify(const std::string& title, const std::string& text) override { notices.push_back(title + ": " + text); }
  std::vector<TrayMenuItem> items;
  std::vector<std::string> notices;
};

// This instance is always the only one (a second start is the real application's test).
class FakeSingleInstance : public SingleInstance {
 public:
  bool claim(std::function<void()>) override { return true; }
};

// Every platform service faked, with typed access for the test.
struct FakePlatformServices {
  // Every service, and a desktop that fits.
  PlatformServices services() const {
    return {mainQueue,     processes, permissions, workspace, controls,       pasteboard, serviceManager,
            screenCapture, imaging,   eventPoster, tray,      singleInstance, {},         pasteboardWatcher};
  }

  std::shared_ptr<ManualMainQueue> mainQueue = std::make_shared<ManualMainQueue>();
  std::shared_ptr<FakeProcessLauncher> processes = std::make_shared<FakeProcessLauncher>();
  std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
  std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
  std::shared_ptr<FakeControls> controls = std::make_shared<FakeControls>();
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::shared_ptr<FakeServiceManager> serviceManager = std::make_shared<FakeServiceManager>();
  std::shared_ptr<FakeScreenCapture> screenCapture = std::make_shared<FakeScreenCapture>();
  std::shared_ptr<FakeImaging> imaging = std::make_shared<FakeImaging>();
  std::shared_ptr<FakeEventPoster> eventPoster = std::make_shared<FakeEventPoster>();
  std::shared_ptr<FakeTray> tray = std::make_shared<FakeTray>();
  std::shared_ptr<FakeSingleInstance> singleInstance = std::make_shared<FakeSingleInstance>();
  std::shared_ptr<FakePasteboardWatcher> pasteboardWatcher = std::make_shared<FakePasteboardWatcher>();
};

}  // namespace qova::test
