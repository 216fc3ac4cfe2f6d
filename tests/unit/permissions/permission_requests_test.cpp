#include "permissions/permission_requests.h"

#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class PermissionRequestsTest : public ControllerTest {
 protected:
  void SetUp() override {
    launchApp();
    delegate->startAgent();
    runsAtStart = fakes.processes->waitedFor.size();
  }
  size_t runsAtStart = 0;
};

TEST(SettingsScript, IsFourLinesWithTheAnchorInTheThird) {
  EXPECT_EQ(privacySettingsScript("Privacy_ScreenCapture"),
            "tell application \"System Settings\"\n"
            "  activate\n"
            "  reveal anchor \"Privacy_ScreenCapture\" of pane id \"com.apple.preference.security\"\n"
            "end tell");
}

TEST(SettingsURL, ValidityFollowsTheURLSyntax) {
  EXPECT_TRUE(isValidURL("x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"));
  EXPECT_TRUE(isValidURL("file:///tmp/a%20b"));
  EXPECT_FALSE(isValidURL(""));
  EXPECT_FALSE(isValidURL("no scheme"));
  EXPECT_FALSE(isValidURL(":empty-scheme"));
  EXPECT_FALSE(isValidURL("1x:digit-first"));
  EXPECT_FALSE(isValidURL("x:with space"));
  EXPECT_FALSE(isValidURL("x:bad%2"));
  EXPECT_FALSE(isValidURL("x:bad%zz"));
  EXPECT_FALSE(isValidURL("x:\xe4\xbd\xa0"));
}

TEST_F(PermissionRequestsTest, AGrantedScreenPermissionRestartsTheAgentWithoutAsking) {
  fakes.permissions->screen = true;
  delegate->requestScreenPermission();
  EXPECT_EQ(fakes.permissions->screenRequests, 0);
  EXPECT_EQ(status().text(), "录屏权限已开启，正在刷新服务");
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  EXPECT_FALSE(delegate->process);
  main().advance(400ms);
  ASSERT_EQ(launches().size(), 2u);
}

TEST_F(PermissionRequestsTest, AScreenRequestThatIsGrantedRestartsTheAgent) {
  fakes.permissions->screen = false;
  fakes.permissions->screenGrantedOnRequest = true;
  delegate->requestScreenPermission();
  EXPECT_EQ(fakes.permissions->screenRequests, 1);
  EXPECT_EQ(status().text(), "录屏权限已开启，正在刷新服务");
  main().advance(400ms);
  EXPECT_EQ(launches().size(), 2u);
}

TEST_F(PermissionRequestsTest, AScreenRequestThatIsNotGrantedLeavesTheAgentRunning) {
  fakes.permissions->screen = false;
  delegate->requestScreenPermission();
  EXPECT_EQ(fakes.permissions->screenRequests, 1);
  EXPECT_EQ(status().text(), "录屏权限请求已发起");
  main().advance(2s);
  EXPECT_EQ(launches().size(), 1u);
  EXPECT_EQ(launches()[0].process->terminateRequests(), 0);
  EXPECT_EQ(delegate->process, launches()[0].process);
}

TEST_F(PermissionRequestsTest, AccessibilityIsAlwaysAskedWithThePrompt) {
  fakes.permissions->input = false;
  delegate->requestAccessibilityPermission();
  EXPECT_EQ(fakes.permissions->inputRequests, 1);
  EXPECT_EQ(status().text(), "辅助功能权限请求已发起");
  EXPECT_EQ(launches()[0].process->terminateRequests(), 0);

  fakes.permissions->inputGrantedOnRequest = true;
  delegate->requestAccessibilityPermission();
  EXPECT_EQ(fakes.permissions->inputRequests, 2);
  EXPECT_EQ(status().text(), "辅助功能权限已开启，正在刷新服务");
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  main().advance(400ms);
  EXPECT_EQ(launches().size(), 2u);
}

TEST_F(PermissionRequestsTest, AGrantedRequestWithoutARunningAgentStartsOne) {
  delegate->stopClicked();
  delegate->requestAccessibilityPermission();
  main().advance(400ms);
  EXPECT_EQ(launches().size(), 2u);
  EXPECT_TRUE(delegate->process);
}

struct NavigationCase {
  void (AppDelegate::*action)();
  const char* anchor;
  const char* status;
};

class SettingsNavigationTest : public PermissionRequestsTest,
                               public ::testing::WithParamInterface<NavigationCase> {};

TEST_P(SettingsNavigationTest, TriesTheScriptThenBothURLsThenTheDesktopsOwnPage) {
  const NavigationCase& navigation = GetParam();
  std::vector<size_t> runsBeforeEachURL;
  fakes.workspace->onOpenURL = [&](const std::string&) {
    runsBeforeEachURL.push_back(fakes.processes->waitedFor.size());
  };
  (delegate.get()->*navigation.action)();

  ASSERT_EQ(fakes.processes->waitedFor.size(), runsAtStart + 1);
  const CommandLine& run = fakes.processes->waitedFor.back();
  EXPECT_EQ(run.path, "/usr/bin/osascript");
  EXPECT_EQ(run.arguments, (std::vector<std::string>{"-e", privacySettingsScript(navigation.anchor)}));
  EXPECT_EQ(fakes.workspace->openedURLs,
            (std::vector<std::string>{
                std::string("x-apple.systempreferences:com.apple.preference.security?") + navigation.anchor,
                std::string("x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?") +
                    navigation.anchor}));
  EXPECT_EQ(runsBeforeEachURL, (std::vector<size_t>{runsAtStart + 1, runsAtStart + 1}));
  EXPECT_EQ(fakes.workspace->privacySettingsOpened, 1);
  EXPECT_EQ(status().text(), navigation.status);
  EXPECT_EQ(launches()[0].process->terminateRequests(), 0);  // navigation never restarts
}

INSTANTIATE_TEST_SUITE_P(
    BothPages, SettingsNavigationTest,
    ::testing::Values(NavigationCase{&AppDelegate::openScreenSettings, "Privacy_ScreenCapture", "已打开录屏权限设置"},
                      NavigationCase{&AppDelegate::openAccessibilitySettings, "Privacy_Accessibility",
                                     "已打开辅助功能设置"}));

TEST_F(PermissionRequestsTest, AURLThatIsNotValidIsNotOpened) {
  delegate->openSettingsURL("x-apple.systempreferences:with space");
  delegate->openSettingsURL("");
  EXPECT_TRUE(fakes.workspace->openedURLs.empty());
}

}  // namespace
}  // namespace qova::test
