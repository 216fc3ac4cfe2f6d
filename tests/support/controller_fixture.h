#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"
#include "base/serial_queue.h"

namespace qova::test {

// A controller on fakes, with typed access to its controls.
class ControllerTest : public ::testing::Test {
 public:
  ControllerTest() : delegate(std::make_shared<AppDelegate>(fakes.services())) {}

  FakeLabel& status() { return static_cast<FakeLabel&>(*delegate->statusLabel); }
  FakeButton& startButton() { return static_cast<FakeButton&>(*delegate->startButton); }
  FakeButton& stopButton() { return static_cast<FakeButton&>(*delegate->stopButton); }
  ManualMainQueue& main() { return *fakes.mainQueue; }
  std::vector<FakeProcessLauncher::Launch>& launches() { return fakes.processes->launches; }
  // Everything the current or given agent has been sent so far.
  std::string sentTo(const FakeProcessLauncher::Launch& launch) {
    delegate->agentInputQueue->drain();
    return launch.input->written();
  }
  void launchApp(std::vector<std::string> arguments = {"app"}) {
    delegate->applicationDidFinishLaunching(arguments);
    main().runPending();
  }

  FakePlatformServices fakes;
  std::shared_ptr<AppDelegate> delegate;
};

}  // namespace qova::test
