#include <gtest/gtest.h>

#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

const Color kValueBackground = Color::calibratedRGB(0.933, 0.953, 0.973);

std::vector<std::shared_ptr<View>> childrenOf(const std::shared_ptr<View>& view) {
  auto* node = dynamic_cast<FakeNode*>(view.get());
  return node ? node->subviews : std::vector<std::shared_ptr<View>>{};
}

template <class T>
std::vector<std::shared_ptr<T>> childrenOfType(const std::shared_ptr<View>& view) {
  std::vector<std::shared_ptr<T>> found;
  for (const auto& child : childrenOf(view)) {
    if (auto typed = std::dynamic_pointer_cast<T>(child)) found.push_back(typed);
  }
  return found;
}

struct ExpectedLabel {
  std::string text;
  Rect frame;
  Font font;
  Color color;
};

struct ExpectedButton {
  std::string title;
  Rect frame;
  bool enabled;
};

void expectLabels(const std::shared_ptr<View>& view, const std::vector<ExpectedLabel>& expected) {
  const auto labels = childrenOfType<FakeLabel>(view);
  ASSERT_EQ(labels.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].text);
    EXPECT_EQ(labels[i]->text(), expected[i].text);
    EXPECT_EQ(labels[i]->frame(), expected[i].frame);
    EXPECT_EQ(labels[i]->font(), expected[i].font);
    EXPECT_EQ(labels[i]->textColor(), expected[i].color);
  }
}

void expectButtons(const std::shared_ptr<View>& view, const std::vector<ExpectedButton>& expected) {
  const auto buttons = childrenOfType<FakeButton>(view);
  ASSERT_EQ(buttons.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].title);
    EXPECT_EQ(buttons[i]->title(), expected[i].title);
    EXPECT_EQ(buttons[i]->frame(), expected[i].frame);
    EXPECT_EQ(buttons[i]->isEnabled(), expected[i].enabled);
    EXPECT_TRUE(buttons[i]->hasAction());
  }
}

class WindowTest : public ControllerTest {
 protected:
  void SetUp() override { launchApp(); }
  FakeWindow& window() { return *fakes.controls->windows.at(0); }
  std::shared_ptr<View> card() { return childrenOf(window().content()).at(0); }
  std::shared_ptr<FakeTabView> tabView() { return childrenOfType<FakeTabView>(card()).at(0); }
  std::shared_ptr<View> tab(size_t index) { return tabView()->tabViewItems().at(index).view; }
  std::shared_ptr<FakeButton> button(size_t tabIndex, const std::string& title, size_t nth = 0) {
    for (const auto& candidate : childrenOfType<FakeButton>(tab(tabIndex))) {
      if (candidate->title() == title && nth-- == 0) return candidate;
    }
    ADD_FAILURE() << "no button " << title;
    return std::make_shared<FakeButton>("");
  }
};

TEST_F(WindowTest, WindowCardHeaderAndTabsAreLaidOutAsDefined) {
  ASSERT_EQ(fakes.controls->windows.size(), 1u);
  EXPECT_EQ(window().width, 500);
  EXPECT_EQ(window().height, 380);
  EXPECT_EQ(window().title(), "QOVA Lumaro Agent");
  EXPECT_TRUE(window().centered);
  EXPECT_TRUE(window().isVisible());
  EXPECT_EQ(window().content()->frame(), (Rect{0, 0, 500, 380}));
  EXPECT_EQ(window().content()->backgroundColor(), Color::calibratedRGB(0.957, 0.969, 0.984));

  ASSERT_EQ(childrenOf(window().content()).size(), 1u);
  EXPECT_EQ(card()->frame(), (Rect{18, 18, 464, 344}));
  EXPECT_EQ(card()->backgroundColor(), Color::white());
  EXPECT_EQ(card()->cornerRadius(), 8);
  expectLabels(card(), {{"QOVA Lumaro Agent", {20, 294, 410, 28}, Font::boldSystem(20), Color::primaryLabel()},
                        {"macOS 被控端", {20, 270, 410, 20}, Font::system(13), Color::secondaryLabel()}});

  EXPECT_EQ(tabView()->frame(), (Rect{14, 12, 436, 246}));
  const auto items = tabView()->tabViewItems();
  ASSERT_EQ(items.size(), 3u);
  const std::pair<std::string, std::string> expected[] = {{"device", "设备"}, {"permissions", "权限"}, {"files", "文件"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(items[i].identifier, expected[i].first);
    EXPECT_EQ(items[i].label, expected[i].second);
    EXPECT_EQ(items[i].view->frame(), (Rect{0, 0, 436, 218}));
  }
  EXPECT_EQ(tabView()->selectedIdentifier(), "device");
}

TEST_F(WindowTest, DeviceTabHoldsTheIdentityStatusAndServiceButtons) {
  const Font captionFont = Font::system(13);
  const Font valueFont = Font::monospacedSystem(14, FontWeight::medium);
  const Color caption = Color::secondaryLabel();
  const Color primary = Color::primaryLabel();
  expectLabels(tab(0), {{"服务器", {18, 173, 70, 20}, captionFont, caption},
                        {"-", {92, 166, 314, 32}, valueFont, primary},
                        {"设备 ID", {18, 129, 70, 20}, captionFont, caption},
                        {"-", {92, 122, 244, 32}, valueFont, primary},
                        {"验证码", {18, 85, 70, 20}, captionFont, caption},
                        {"-", {92, 78, 244, 32}, valueFont, primary},
                        {"状态", {18, 46, 70, 20}, captionFont, caption},
                        {"未启动", {92, 46, 300, 20}, Font::boldSystem(13), Color::systemBlue()}});
  const auto children = childrenOf(tab(0));
  EXPECT_EQ(children[1], delegate->serverValue);
  EXPECT_EQ(children[3], delegate->idValue);
  EXPECT_EQ(children[6], delegate->codeValue);
  for (const auto& field : {delegate->serverValue, delegate->idValue, delegate->codeValue}) {
    EXPECT_TRUE(field->isSelectable());
    EXPECT_EQ(field->backgroundColor(), kValueBackground);
  }
  EXPECT_FALSE(delegate->statusLabel->isSelectable());

  expectButtons(tab(0), {{"复制", {346, 122, 64, 32}, true},
                         {"复制", {346, 78, 64, 32}, true},
                         {"启动服务", {92, 8, 108, 32}, true},
                         {"停止服务", {212, 8, 108, 32}, false}});
  EXPECT_EQ(button(0, "复制", 0)->identifier(), "设备 ID");
  EXPECT_EQ(button(0, "复制", 1)->identifier(), "验证码");
  EXPECT_EQ(button(0, "启动服务"), delegate->startButton);
  EXPECT_EQ(button(0, "停止服务"), delegate->stopButton);
}

TEST_F(WindowTest, PermissionTabHoldsTwoRowsOfRequestAndSettingsButtons) {
  const Font captionFont = Font::boldSystem(14);
  const Font descriptionFont = Font::system(12);
  expectLabels(tab(1), {{"录屏权限", {18, 154, 100, 20}, captionFont, Color::primaryLabel()},
                        {"允许网页端查看本机屏幕", {18, 134, 230, 20}, descriptionFont, Color::secondaryLabel()},
                        {"辅助功能", {18, 86, 100, 20}, captionFont, Color::primaryLabel()},
                        {"允许 Agent 控制鼠标和键盘", {18, 66, 230, 20}, descriptionFont, Color::secondaryLabel()}});
  expectButtons(tab(1), {{"请求", {262, 138, 68, 32}, true},
                         {"设置", {342, 138, 68, 32}, true},
                         {"请求", {262, 70, 68, 32}, true},
                         {"设置", {342, 70, 68, 32}, true}});
}

TEST_F(WindowTest, FilesTabHoldsTheHeadingPathButtonsAndTheScrolledList) {
  expectLabels(tab(2), {{"收到的文件", {18, 178, 96, 20}, Font::boldSystem(14), Color::primaryLabel()},
                        {"/home/tester/Downloads/QOVA-Lumaro", {18, 156, 246, 18}, Font::system(11),
                         Color::secondaryLabel()},
                        {"暂无收到的文件", {34, 70, 220, 20}, Font::system(12), Color::secondaryLabel()}});
  EXPECT_EQ(delegate->filePathLabel->truncation(), Truncation::middle);
  expectButtons(tab(2), {{"打开文件夹", {266, 164, 86, 28}, true}, {"刷新", {356, 164, 56, 28}, true}});

  const auto scrolls = childrenOfType<FakeScrollView>(tab(2));
  ASSERT_EQ(scrolls.size(), 1u);
  EXPECT_EQ(scrolls[0]->frame(), (Rect{18, 12, 394, 138}));
  EXPECT_TRUE(scrolls[0]->hasVerticalScroller());
  EXPECT_TRUE(scrolls[0]->isBordered());
  EXPECT_EQ(scrolls[0]->documentView(), delegate->fileListStack);
  EXPECT_EQ(delegate->fileListStack->spacing(), 6);
  EXPECT_EQ(delegate->fileListStack->edgeInsets(), (EdgeInsets{6, 6, 6, 6}));

  // The empty label lies above the scroll view, so it comes after it.
  const auto children = childrenOf(tab(2));
  EXPECT_EQ(children.back(), delegate->fileEmptyLabel);
}

TEST(WindowBuild, TheEmptyLabelIsHiddenUntilTheFirstRefreshRuns) {
  FakePlatformServices fakes;
  auto delegate = std::make_shared<AppDelegate>(fakes.services());
  delegate->buildWindow();
  EXPECT_TRUE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(fakes.workspace->listings, 0);
  fakes.mainQueue->runPending();
  EXPECT_EQ(fakes.workspace->listings, 1);
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());
}

TEST_F(WindowTest, EveryButtonCallsItsOperation) {
  button(0, "启动服务")->performClick();
  ASSERT_EQ(launches().size(), 1u);
  EXPECT_EQ(status().text(), "正在连接服务器");
  button(0, "停止服务")->performClick();
  EXPECT_EQ(status().text(), "已停止");
  EXPECT_EQ(launches()[0].process->terminateRequests(), 1);

  fakes.permissions->screen = false;
  button(1, "请求", 0)->performClick();
  EXPECT_EQ(fakes.permissions->screenRequests, 1);
  EXPECT_EQ(status().text(), "录屏权限请求已发起");
  fakes.permissions->input = false;
  button(1, "请求", 1)->performClick();
  EXPECT_EQ(fakes.permissions->inputRequests, 1);
  EXPECT_EQ(status().text(), "辅助功能权限请求已发起");
  button(1, "设置", 0)->performClick();
  EXPECT_EQ(status().text(), "已打开录屏权限设置");
  EXPECT_EQ(fakes.workspace->openedURLs.back(),
            "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_ScreenCapture");
  button(1, "设置", 1)->performClick();
  EXPECT_EQ(status().text(), "已打开辅助功能设置");
  EXPECT_EQ(fakes.workspace->openedURLs.back(),
            "x-apple.systempreferences:com.apple.settings.PrivacySecurity.extension?Privacy_Accessibility");

  const int listings = fakes.workspace->listings;
  button(2, "刷新")->performClick();
  EXPECT_EQ(fakes.workspace->listings, listings + 1);
  EXPECT_EQ(status().text(), "文件列表已刷新");
  button(2, "打开文件夹")->performClick();
  EXPECT_EQ(fakes.workspace->openedFiles, (std::vector<std::string>{"/home/tester/Downloads/QOVA-Lumaro"}));
  EXPECT_EQ(status().text(), "文件列表已刷新");  // opening the folder says nothing
}

TEST_F(WindowTest, CopyButtonsCopyTheirFieldAndAnyOtherSenderCopiesTheDeviceId) {
  delegate->idValue->setText("123 456 789");
  delegate->codeValue->setText("ab12");
  button(0, "复制", 1)->performClick();
  button(0, "复制", 0)->performClick();
  delegate->copyClicked(nullptr);
  FakeButton stranger("复制");
  stranger.setIdentifier("验证码 ");
  delegate->copyClicked(&stranger);
  EXPECT_EQ(fakes.pasteboard->strings, (std::vector<std::string>{"ab12", "123 456 789", "123 456 789", "123 456 789"}));
  EXPECT_EQ(status().history, (std::vector<std::string>(4, "已复制")));
}

TEST_F(WindowTest, CopyBeforeTheIdentityIsKnownCopiesTheDash) {
  button(0, "复制", 1)->performClick();
  EXPECT_EQ(fakes.pasteboard->strings, (std::vector<std::string>{"-"}));
  EXPECT_EQ(status().text(), "已复制");
}

TEST_F(WindowTest, ButtonsOfAGoneControllerDoNothing) {
  auto stop = delegate->stopButton;
  auto refresh = button(2, "刷新");
  delegate->startAgent();
  // The start's permission message holds the controller on agentInputQueue while it is written.
  delegate->agentInputQueue->drain();
  const std::weak_ptr<AppDelegate> gone = delegate;
  delegate.reset();
  ASSERT_TRUE(gone.expired());
  stop->performClick();
  refresh->performClick();
  EXPECT_EQ(launches()[0].process->terminateRequests(), 0);
}

}  // namespace
}  // namespace qova::test
