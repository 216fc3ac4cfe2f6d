// The application's place on a desktop without a Dock: its tray menu and one instance per display.
#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

TEST_F(ControllerTest, TheTrayMenuShowsTheWindowAndQuitsAsTheSignalsDo) {
  launchApp();
  auto& items = fakes.tray->items;
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].title, "显示窗口");
  EXPECT_EQ(items[1].title, "退出");
  FakeWindow& window = *fakes.controls->windows.at(0);
  const int orders = window.frontOrders, activations = fakes.controls->activations;
  items[0].action();
  EXPECT_EQ(window.frontOrders, orders + 1);
  EXPECT_EQ(fakes.controls->activations, activations + 1);
  EXPECT_EQ(fakes.controls->terminations, 0);
  items[1].action();
  EXPECT_EQ(fakes.controls->terminations, 1);
}

TEST_F(ControllerTest, ASecondStartAsksTheRunningOneForItsWindowAndStartsNothing) {
  fakes.singleInstance->anotherRuns = true;
  launchApp({"app", "--auto-start"});
  main().advance(5s);
  EXPECT_EQ(fakes.controls->terminations, 1);
  EXPECT_TRUE(launches().empty());
  EXPECT_TRUE(fakes.processes->waitedFor.empty());  // not even the clean-up of old agents
  EXPECT_TRUE(fakes.controls->windows.empty());

  // The running one, asked by a later start, shows its window.
  FakePlatformServices first;
  auto running = std::make_shared<AppDelegate>(first.services());
  running->applicationDidFinishLaunching({"app"});
  const int orders = first.controls->windows.at(0)->frontOrders;
  first.singleInstance->onShowRequested();
  EXPECT_EQ(first.controls->windows.at(0)->frontOrders, orders + 1);
}

}  // namespace
}  // namespace qova::test
