#include "fakes/fake_platform_services.h"

namespace qova::test {

FakePlatformServices::FakePlatformServices()
    : mainQueue(std::make_shared<ManualMainQueue>()),
      processes(std::make_shared<FakeProcessLauncher>()),
      permissions(std::make_shared<FakePermissions>()),
      workspace(std::make_shared<FakeWorkspace>()),
      controls(std::make_shared<FakeControls>()),
      pasteboard(std::make_shared<FakePasteboard>()),
      serviceManager(std::make_shared<FakeServiceManager>()),
      screenCapture(std::make_shared<FakeScreenCapture>()),
      imaging(std::make_shared<FakeImaging>()) {}

PlatformServices FakePlatformServices::services() const {
  PlatformServices services;
  services.mainQueue = mainQueue;
  services.processes = processes;
  services.permissions = permissions;
  services.workspace = workspace;
  services.controls = controls;
  services.pasteboard = pasteboard;
  services.serviceManager = serviceManager;
  services.screenCapture = screenCapture;
  services.imaging = imaging;
  return services;
}

}  // namespace qova::test
