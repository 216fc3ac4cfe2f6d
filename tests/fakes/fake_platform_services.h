#pragma once

#include <atomic>
#include <mutex>

#include "fakes/fake_controls.h"
#include "fakes/fake_imaging.h"
#include "fakes/fake_process_launcher.h"
#include "fakes/fake_screen_capture.h"
#include "fakes/manual_main_queue.h"
#include "platform/pasteboard.h"
#include "platform/permissions.h"
#include "platform/platform_services.h"
#include "platform/service_manager.h"
#include "platform/workspace.h"

namespace qova::test {

class FakePermissions : public Permissions {
 public:
  bool screenCaptureAccess() override { return screen.load(); }
  bool accessibilityTrusted() override { return input.load(); }
  std::atomic<bool> screen{true};
  std::atomic<bool> input{true};
};

class FakeWorkspace : public Workspace {
 public:
  std::string homeDirectory() const override { return home; }
  std::string bundleDirectory() const override { return bundle; }
  unsigned realUserId() const override { return userId; }
  std::string home = "/home/tester";
  std::string bundle = "/opt/QOVA Lumaro Agent.app";
  unsigned userId = 1000;
};

class FakePasteboard : public Pasteboard {
 public:
  void setString(const std::string& text) override {
    std::lock_guard lock(mutex);
    strings.push_back(text);
  }
  std::mutex mutex;
  std::vector<std::string> strings;
};

class FakeServiceManager : public ServiceManager {
 public:
  std::vector<CommandLine> removalCommands(std::string_view label, std::string_view homePath,
                                           unsigned userId) const override {
    return {{"/fake/service-manager", {"remove", std::string(label), std::string(homePath), std::to_string(userId)}}};
  }
};

// Every platform service faked, with typed access for the test.
struct FakePlatformServices {
  FakePlatformServices();
  PlatformServices services() const;

  std::shared_ptr<ManualMainQueue> mainQueue;
  std::shared_ptr<FakeProcessLauncher> processes;
  std::shared_ptr<FakePermissions> permissions;
  std::shared_ptr<FakeWorkspace> workspace;
  std::shared_ptr<FakeControls> controls;
  std::shared_ptr<FakePasteboard> pasteboard;
  std::shared_ptr<FakeServiceManager> serviceManager;
  std::shared_ptr<FakeScreenCapture> screenCapture;
  std::shared_ptr<FakeImaging> imaging;
};

}  // namespace qova::test
