// The two permissions: what the agent is told and when, the request buttons and the settings pages.
#include <gtest/gtest.h>

#include <future>

#include "permissions/permission_requests.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

std::string message(bool input, bool screen) {
  return std::string("__QOVA_PERMISSION__{\"input\":") + (input ? "true" : "false") +
         ",\"screen\":" + (screen ? "true" : "false") + "}\n";
}

class PermissionsTest : public ControllerTest {
 protected:
  void SetUp() override {
    launchApp();
    delegate->startAgent();
  }
  std::string sent() { return sentTo(launches().back()); }
};

TEST_F(PermissionsTest, TheAgentHearsTheStatesAtStartThenOnlyTheirChangesAtTheNextTick) {
  EXPECT_EQ(sent(), message(true, true));
  main().advance(60s);
  EXPECT_EQ(sent(), message(true, true));
  fakes.permissions->input = false;
  main().advance(1499ms);
  EXPECT_EQ(sent(), message(true, true));
  main().advance(1ms);
  EXPECT_EQ(sent(), message(true, true) + message(false, true));
  EXPECT_EQ(launches().size(), 1u);  // a change restarts nothing

  delegate->stopClicked();
  fakes.permissions->screen = false;
  main().advance(10s);
  EXPECT_EQ(sent(), message(true, true) + message(false, true));  // nothing after stop
  delegate->startAgent();
  sent();
  delegate->stopClicked();
  delegate->startAgent();  // the same states as last told: every new agent hears them anyway
  EXPECT_EQ(sent(), message(false, false));
  EXPECT_EQ(main().activeTimerCount(), 2);  // the file refresh and one permission poll
}

TEST_F(PermissionsTest, ARequestRestartsTheAgentOnlyWhenThePermissionIsGranted) {
  struct Case {
    const char* name;
    bool screenRequest;
    bool grantedBefore;
    bool grantedOnRequest;
    int requests;  // asked of the system
    const char* status;
  };
  const Case cases[] = {
      {"screen already granted", true, true, false, 0, "录屏权限已开启，正在刷新服务"},
      {"screen granted on request", true, false, true, 1, "录屏权限已开启，正在刷新服务"},
      {"screen refused", true, false, false, 1, "录屏权限请求已发起"},
      {"input refused", false, false, false, 1, "辅助功能权限请求已发起"},
      // the accessibility prompt is shown even when the grant is already there
      {"input granted", false, true, false, 1, "辅助功能权限已开启，正在刷新服务"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto& permission = c.screenRequest ? fakes.permissions->screen : fakes.permissions->input;
    permission = c.grantedBefore;
    fakes.permissions->screenGrantedOnRequest = fakes.permissions->inputGrantedOnRequest = c.grantedOnRequest;
    const int requestsBefore = fakes.permissions->screenRequests + fakes.permissions->inputRequests;
    const size_t launchesBefore = launches().size();
    const auto running = launches().back().process;
    c.screenRequest ? delegate->requestScreenPermission() : delegate->requestAccessibilityPermission();
    EXPECT_EQ(fakes.permissions->screenRequests + fakes.permissions->inputRequests - requestsBefore, c.requests);
    EXPECT_EQ(status().text(), c.status);
    main().advance(400ms);
    const bool restarts = permission.load();
    EXPECT_EQ(running->terminateRequests(), restarts ? 1 : 0);
    EXPECT_EQ(launches().size(), launchesBefore + (restarts ? 1 : 0));
    permission = true;
  }
}

TEST_F(PermissionsTest, SettingsButtonsTryTheScriptThenBothURLsThenTheDesktopsOwnPage) {
  const std::tuple<void (AppDelegate::*)(), std::string, std::string> pages[] = {
      {&AppDelegate::openScreenSettings, "Privacy_ScreenCapture", "已打开录屏权限设置"},
      {&AppDelegate::openAccessibilitySettings, "Privacy_Accessibility", "已打开辅助功能设置"},
  };
  for (const auto& [open, anchor, text] : pages) {
    fakes.workspace->openedURLs.clear();
    Strings runsBeforeURLs;
    fakes.workspace->onOpenURL = [&](const std::string&) {
      runsBeforeURLs.push_back(fakes.processes->waitedFor.back().path);
    };
    // The desktop is busy with an earlier request: the status shows at once all the same.
    std::promise<void> desktopFree;
    delegate->desktopQueue->async([free = desktopFree.get_future().share()] { free.wait_for(10s); });
    const size_t runsBefore = fakes.processes->waitedFor.size();
    (delegate.get()->*open)();
    EXPECT_EQ(status().text(), text);
    EXPECT_EQ(fakes.processes->waitedFor.size(), runsBefore);
    EXPECT_TRUE(fakes.workspace->openedURLs.empty());
    desktopFree.set_value();
    delegate->desktopQueue->drain();
    EXPECT_EQ(fakes.processes->waitedFor.back().arguments, (Strings{"-e", privacySettingsScript(anchor)}));
    EXPECT_EQ(runsBeforeURLs, (Strings{"/usr/bin/osascript", "/usr/bin/osascript"}));
    EXPECT_EQ(fakes.workspace->openedURLs,
              (Strings{"x-apple.systempreferences:com.apple.preference.security?" + anchor,
                       "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?" + anchor}));
    EXPECT_EQ(status().text(), text);
  }
  EXPECT_EQ(fakes.workspace->privacySettingsOpened, 2);
  for (const auto& thread : fakes.workspace->openingThreads) EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(launches()[0].process->terminateRequests(), 0);  // navigation never restarts
}

}  // namespace
}  // namespace qova::test
