#include "app/app_delegate.h"
#include "base/weak_block.h"
#include "platform/controls.h"
#include "base/main_queue.h"
#include "platform/pasteboard.h"

namespace qova {

namespace {

constexpr double kWindowWidth = 500;
constexpr double kWindowHeight = 380;
constexpr Rect kCardFrame{18, 18, 464, 344};
constexpr Rect kTabViewFrame{14, 12, 436, 246};
constexpr Rect kTabContentFrame{0, 0, 436, 218};
constexpr const char* kTitle = "QOVA Lumaro Agent";
// The identifier of the copy button that copies the access code; every other one copies the ID.
constexpr const char* kCopyCodeIdentifier = "验证码";

const Color kWindowBackground = Color::calibratedRGB(0.957, 0.969, 0.984);
const Color kValueBackground = Color::calibratedRGB(0.933, 0.953, 0.973);

using Action = void (AppDelegate::*)();

void place(View& parent, const std::shared_ptr<View>& child, const Rect& frame) {
  child->setFrame(frame);
  parent.addSubview(child);
}

std::shared_ptr<Label> addLabel(Controls& controls, View& parent, const std::string& text, const Rect& frame,
                                const Font& font, const Color& color) {
  auto label = controls.makeLabel(text);
  label->setFont(font);
  label->setTextColor(color);
  place(parent, label, frame);
  return label;
}

void styleValueField(Label& field) {
  field.setSelectable(true);
  field.setBackgroundColor(kValueBackground);
  field.setFont(Font::monospacedSystem(14, FontWeight::medium));
  field.setTextColor(Color::primaryLabel());
}

}  // namespace

void AppDelegate::buildWindow() {
  Controls& controls = *services().controls;
  window = controls.makeWindow(kWindowWidth, kWindowHeight);
  window->center();
  window->setTitle(kTitle);

  auto content = controls.makeView();
  content->setFrame(window->contentView()->frame());
  content->setBackgroundColor(kWindowBackground);
  window->setContentView(content);

  auto card = controls.makeView();
  card->setBackgroundColor(Color::white());
  card->setCornerRadius(8);
  place(*content, card, kCardFrame);

  addLabel(controls, *card, kTitle, {20, 294, 410, 28}, Font::boldSystem(20), Color::primaryLabel());
  addLabel(controls, *card, "macOS 被控端", {20, 270, 410, 20}, Font::system(13), Color::secondaryLabel());

  auto tabView = controls.makeTabView();
  tabView->setFrame(kTabViewFrame);
  tabView->addTabViewItem(deviceTab());
  tabView->addTabViewItem(permissionTab());
  tabView->addTabViewItem(filesTab());
  tabView->selectTabViewItem("device");
  card->addSubview(tabView);

  window->makeKeyAndOrderFront();
}

TabItem AppDelegate::deviceTab() {
  Controls& controls = *services().controls;
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);
  const Font captionFont = Font::system(13);
  const Color captionColor = Color::secondaryLabel();
  auto self = shared_from_this();

  const auto bind = [&self](Button& button, Action action) {
    button.setAction(weakBlock(self, [action = action](AppDelegate& delegate) { (delegate.*action)(); }));
  };
  const auto copyButton = [&](const std::string& identifier, const Rect& frame) {
    auto button = controls.makeButton("复制");
    button->setIdentifier(identifier);
    button->setAction(weakBlock(self, [sender = std::weak_ptr<Button>(button)](AppDelegate& delegate) {
      delegate.copyClicked(sender.lock().get());
    }));
    place(*view, button, frame);
  };

  addLabel(controls, *view, "服务器", {18, 173, 70, 20}, captionFont, captionColor);
  styleValueField(*serverValue);
  place(*view, serverValue, {92, 166, 314, 32});

  addLabel(controls, *view, "设备 ID", {18, 129, 70, 20}, captionFont, captionColor);
  styleValueField(*idValue);
  place(*view, idValue, {92, 122, 244, 32});
  copyButton("设备 ID", {346, 122, 64, 32});

  addLabel(controls, *view, "验证码", {18, 85, 70, 20}, captionFont, captionColor);
  styleValueField(*codeValue);
  place(*view, codeValue, {92, 78, 244, 32});
  copyButton(kCopyCodeIdentifier, {346, 78, 64, 32});

  addLabel(controls, *view, "状态", {18, 46, 70, 20}, captionFont, captionColor);
  statusLabel->setFont(Font::boldSystem(13));
  statusLabel->setTextColor(Color::systemBlue());
  place(*view, statusLabel, {92, 46, 300, 20});

  bind(*startButton, &AppDelegate::startClicked);
  startButton->setEnabled(true);
  place(*view, startButton, {92, 8, 108, 32});
  bind(*stopButton, &AppDelegate::stopClicked);
  stopButton->setEnabled(false);
  place(*view, stopButton, {212, 8, 108, 32});

  return {"device", "设备", view};
}

TabItem AppDelegate::permissionTab() {
  Controls& controls = *services().controls;
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);
  auto self = shared_from_this();

  struct Row {
    const char* caption;
    const char* description;
    double y;  // of the caption; the rest of the row follows it
    Action request;
    Action settings;
  };
  const Row rows[] = {
      {"录屏权限", "允许网页端查看本机屏幕", 154, &AppDelegate::requestScreenPermission,
       &AppDelegate::openScreenSettings},
      {"辅助功能", "允许 Agent 控制鼠标和键盘", 86, &AppDelegate::requestAccessibilityPermission,
       &AppDelegate::openAccessibilitySettings},
  };
  for (const Row& row : rows) {
    addLabel(controls, *view, row.caption, {18, row.y, 100, 20}, Font::boldSystem(14), Color::primaryLabel());
    addLabel(controls, *view, row.description, {18, row.y - 20, 230, 20}, Font::system(12),
             Color::secondaryLabel());
    const std::pair<const char*, Action> buttons[] = {{"请求", row.request}, {"设置", row.settings}};
    double x = 262;
    for (const auto& [title, action] : buttons) {
      auto button = controls.makeButton(title);
      button->setAction(weakBlock(self, [action = action](AppDelegate& delegate) { (delegate.*action)(); }));
      place(*view, button, {x, row.y - 16, 68, 32});
      x += 80;
    }
  }
  return {"permissions", "权限", view};
}

TabItem AppDelegate::filesTab() {
  Controls& controls = *services().controls;
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);
  auto self = shared_from_this();

  addLabel(controls, *view, "收到的文件", {18, 178, 96, 20}, Font::boldSystem(14), Color::primaryLabel());

  filePathLabel->setFont(Font::system(11));
  filePathLabel->setTextColor(Color::secondaryLabel());
  filePathLabel->setTruncation(Truncation::middle);
  place(*view, filePathLabel, {18, 156, 246, 18});

  auto openFolder = controls.makeButton("打开文件夹");
  openFolder->setAction(weakBlock(self, [](AppDelegate& delegate) { delegate.openReceivedFilesFolder(); }));
  place(*view, openFolder, {266, 164, 86, 28});
  auto refresh = controls.makeButton("刷新");
  refresh->setAction(weakBlock(self, [](AppDelegate& delegate) { delegate.refreshReceivedFilesClicked(); }));
  place(*view, refresh, {356, 164, 56, 28});

  fileListStack->setSpacing(6);
  fileListStack->setEdgeInsets({6, 6, 6, 6});
  auto scroll = controls.makeScrollView();
  scroll->setHasVerticalScroller(true);
  scroll->setBordered(true);
  scroll->setDocumentView(fileListStack);
  place(*view, scroll, {18, 12, 394, 138});

  // Added after the scroll view so that it lies above it.
  fileEmptyLabel->setFont(Font::system(12));
  fileEmptyLabel->setTextColor(Color::secondaryLabel());
  fileEmptyLabel->setHidden(true);
  place(*view, fileEmptyLabel, {34, 70, 220, 20});

  mainQueue().post(weakBlock(self, [](AppDelegate& delegate) { delegate.refreshReceivedFiles(); }));
  return {"files", "文件", view};
}

void AppDelegate::copyClicked(const Button* sender) {
  const bool copiesCode = sender && sender->identifier() == kCopyCodeIdentifier;
  services().pasteboard->setString((copiesCode ? codeValue : idValue)->text());
  setStatus("已复制");
}

}  // namespace qova
