// One instance per display, seen from the controller. The tray menu and the instance mechanism are
// tested on the real application (tests/x11/window_app_screenshot_test.cpp).
#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ControllerTest, ASecondStartEndsBeforeItTouchesAnyAgent) {
  fakes.singleInstance->anotherRuns = true;
  launchApp({"app", "--auto-start"});
  main().advance(5s);
  EXPECT_EQ(fakes.controls->terminations, 1);
  EXPECT_TRUE(launches().empty());
  EXPECT_TRUE(fakes.processes->waitedFor.empty());  // not even the clean-up of old agents, the running one's among them
  EXPECT_TRUE(fakes.processes->captured.empty());
  EXPECT_TRUE(fakes.controls->windows.empty());
}

}  // namespace
}  // namespace qova::test
