// The window on fake controls: what each button does, and that nothing lies outside its parent.
// How it looks is the screenshot test's matter.
#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

std::vector<std::shared_ptr<View>> childrenOf(const View& view) {
  const auto* node = dynamic_cast<const FakeNode*>(&view);
  return node ? node->subviews : std::vector<std::shared_ptr<View>>{};
}

class WindowTest : public ControllerTest {
 protected:
  void SetUp() override { launchApp(); }
  FakeTabView& tabs() {
    auto card = childrenOf(*fakes.controls->windows.at(0)->content()).at(0);
    for (const auto& child : childrenOf(*card)) {
      if (auto tabView = std::dynamic_pointer_cast<FakeTabView>(child)) return *tabView;
    }
    throw std::runtime_error("no tab view");
  }
  // The nth button with this title on a tab.
  FakeButton& button(const std::string& tab, const std::string& title, int nth = 0) {
    for (const auto& item : tabs().tabViewItems()) {
      if (item.identifier != tab) continue;
      for (const auto& child : childrenOf(*item.view)) {
        auto candidate = std::dynamic_pointer_cast<FakeButton>(child);
        if (candidate && candidate->title() == title && nth-- == 0) return *candidate;
      }
    }
    throw std::runtime_error("no button " + title + " on " + tab);
  }
};

void expectInside(const View& view, double width, double height, const std::string& path) {
  for (const auto& child : childrenOf(view)) {
    const Rect f = child->frame();
    EXPECT_TRUE(f.x >= 0 && f.y >= 0 && f.x + f.width <= width && f.y + f.height <= height) << path;
    expectInside(*child, f.width, f.height, path + "/" + std::to_string(f.x) + "," + std::to_string(f.y));
  }
}

TEST_F(WindowTest, EveryViewLiesInsideItsParentAndTheDeviceTabIsShownFirst) {
  auto& window = *fakes.controls->windows.at(0);
  expectInside(*window.content(), window.width, window.height, "window");
  for (const auto& item : tabs().tabViewItems()) {
    const Rect tab = tabs().frame();
    EXPECT_LE(item.view->frame().height, tab.height) << item.identifier;
    expectInside(*item.view, item.view->frame().width, item.view->frame().height, item.identifier);
  }
  EXPECT_EQ(tabs().selectedIdentifier(), "device");
}

TEST_F(WindowTest, EveryButtonCallsItsOperation) {
  fakes.permissions->screen = false;
  fakes.permissions->input = false;
  const std::tuple<std::string, std::string, int, std::string> presses[] = {
      {"device", "启动服务", 0, "正在连接服务器"},
      {"device", "停止服务", 0, "已停止"},
      {"permissions", "请求", 0, "录屏权限请求已发起"},
      {"permissions", "请求", 1, "辅助功能权限请求已发起"},
      {"permissions", "设置", 0, "已打开录屏权限设置"},
      {"permissions", "设置", 1, "已打开辅助功能设置"},
      {"files", "刷新", 0, "文件列表已刷新"},
  };
  for (const auto& [tab, title, nth, text] : presses) {
    button(tab, title, nth).performClick();
    EXPECT_EQ(status().text(), text) << title;
  }
  EXPECT_EQ(launches().size(), 1u);
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);
  button("files", "打开文件夹").performClick();
  delegate->desktopQueue->drain();
  EXPECT_EQ(fakes.workspace->openedFiles, (std::vector<std::string>{"/home/tester/Downloads/QOVA-Lumaro"}));
}

TEST_F(WindowTest, CopyButtonsCopyTheirFieldAndAnyOtherSenderCopiesTheDeviceId) {
  button("device", "复制", 1).performClick();  // before the identity is known: the dash
  delegate->idValue->setText("123 456 789");
  delegate->codeValue->setText("ab12");
  button("device", "复制", 1).performClick();
  button("device", "复制", 0).performClick();
  FakeButton stranger("复制");
  stranger.setIdentifier("验证码 ");
  delegate->copyClicked(&stranger);
  delegate->copyClicked(nullptr);
  EXPECT_EQ(fakes.pasteboard->strings, (std::vector<std::string>{"-", "ab12", "123 456 789", "123 456 789", "123 456 789"}));
  EXPECT_EQ(status().history, std::vector<std::string>(5, "已复制"));
}

}  // namespace
}  // namespace qova::test
