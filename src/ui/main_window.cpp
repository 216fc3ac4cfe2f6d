#include "ui/main_window.h"

#include <utility>

#include "platform/controls.h"

namespace qova {

namespace {

constexpr double kWindowWidth = 500;
constexpr double kWindowHeight = 380;
constexpr Rect kCardFrame{18, 18, 464, 344};
constexpr Rect kTabViewFrame{14, 12, 436, 246};
constexpr Rect kTabContentFrame{0, 0, 436, 218};
constexpr const char* kTitle = "QOVA Lumaro Agent";

const Color kWindowBackground = Color::calibratedRGB(0.957, 0.969, 0.984);
const Color kValueBackground = Color::calibratedRGB(0.933, 0.953, 0.973);

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

TabItem deviceTab(Controls& controls, const MainWindowViews& views, const MainWindowActions& actions) {
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);
  const Font captionFont = Font::system(13);
  const Color captionColor = Color::secondaryLabel();

  const auto copyButton = [&](const std::string& identifier, const Rect& frame) {
    auto button = controls.makeButton("复制");
    button->setIdentifier(identifier);
    button->setAction([copy = actions.copy, sender = std::weak_ptr<Button>(button)] { copy(sender.lock().get()); });
    place(*view, button, frame);
  };

  addLabel(controls, *view, "服务器", {18, 173, 70, 20}, captionFont, captionColor);
  styleValueField(*views.serverValue);
  place(*view, views.serverValue, {92, 166, 314, 32});

  addLabel(controls, *view, "设备 ID", {18, 129, 70, 20}, captionFont, captionColor);
  styleValueField(*views.idValue);
  place(*view, views.idValue, {92, 122, 244, 32});
  copyButton("设备 ID", {346, 122, 64, 32});

  addLabel(controls, *view, "验证码", {18, 85, 70, 20}, captionFont, captionColor);
  styleValueField(*views.codeValue);
  place(*view, views.codeValue, {92, 78, 244, 32});
  copyButton(kCopyCodeIdentifier, {346, 78, 64, 32});

  addLabel(controls, *view, "状态", {18, 46, 70, 20}, captionFont, captionColor);
  views.statusLabel->setFont(Font::boldSystem(13));
  views.statusLabel->setTextColor(Color::systemBlue());
  place(*view, views.statusLabel, {92, 46, 300, 20});

  views.startButton->setAction(actions.start);
  views.startButton->setEnabled(true);
  place(*view, views.startButton, {92, 8, 108, 32});
  views.stopButton->setAction(actions.stop);
  views.stopButton->setEnabled(false);
  place(*view, views.stopButton, {212, 8, 108, 32});

  return {"device", "设备", view};
}

TabItem permissionTab(Controls& controls, const MainWindowActions& actions) {
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);

  struct Row {
    const char* caption;
    const char* description;
    double y;  // of the caption; the rest of the row follows it
    const std::function<void()>& request;
    const std::function<void()>& settings;
  };
  const Row rows[] = {
      {"录屏权限", "允许网页端查看本机屏幕", 154, actions.requestScreenPermission, actions.openScreenSettings},
      {"辅助功能", "允许 Agent 控制鼠标和键盘", 86, actions.requestAccessibilityPermission,
       actions.openAccessibilitySettings},
  };
  for (const Row& row : rows) {
    addLabel(controls, *view, row.caption, {18, row.y, 100, 20}, Font::boldSystem(14), Color::primaryLabel());
    addLabel(controls, *view, row.description, {18, row.y - 20, 230, 20}, Font::system(12), Color::secondaryLabel());
    const std::pair<const char*, const std::function<void()>*> buttons[] = {{"请求", &row.request},
                                                                            {"设置", &row.settings}};
    double x = 262;
    for (const auto& [title, action] : buttons) {
      auto button = controls.makeButton(title);
      button->setAction(*action);
      place(*view, button, {x, row.y - 16, 68, 32});
      x += 80;
    }
  }
  return {"permissions", "权限", view};
}

TabItem filesTab(Controls& controls, const MainWindowViews& views, const MainWindowActions& actions) {
  auto view = controls.makeView();
  view->setFrame(kTabContentFrame);

  addLabel(controls, *view, "收到的文件", {18, 178, 96, 20}, Font::boldSystem(14), Color::primaryLabel());

  views.filePathLabel->setFont(Font::system(11));
  views.filePathLabel->setTextColor(Color::secondaryLabel());
  views.filePathLabel->setTruncation(Truncation::middle);
  place(*view, views.filePathLabel, {18, 156, 246, 18});

  auto openFolder = controls.makeButton("打开文件夹");
  openFolder->setAction(actions.openReceivedFilesFolder);
  place(*view, openFolder, {266, 164, 86, 28});
  auto refresh = controls.makeButton("刷新");
  refresh->setAction(actions.refreshReceivedFiles);
  place(*view, refresh, {356, 164, 56, 28});

  views.fileListStack->setSpacing(6);
  views.fileListStack->setEdgeInsets({6, 6, 6, 6});
  auto scroll = controls.makeScrollView();
  scroll->setHasVerticalScroller(true);
  scroll->setBordered(true);
  scroll->setDocumentView(views.fileListStack);
  place(*view, scroll, {18, 12, 394, 138});

  // Added after the scroll view so that it lies above it.
  views.fileEmptyLabel->setFont(Font::system(12));
  views.fileEmptyLabel->setTextColor(Color::secondaryLabel());
  views.fileEmptyLabel->setHidden(true);
  place(*view, views.fileEmptyLabel, {34, 70, 220, 20});
  return {"files", "文件", view};
}

}  // namespace

std::shared_ptr<Window> buildMainWindow(Controls& controls, const MainWindowViews& views, MainWindowActions actions) {
  auto window = controls.makeWindow(kWindowWidth, kWindowHeight);
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
  tabView->addTabViewItem(deviceTab(controls, views, actions));
  tabView->addTabViewItem(permissionTab(controls, actions));
  tabView->addTabViewItem(filesTab(controls, views, actions));
  tabView->selectTabViewItem("device");
  card->addSubview(tabView);

  window->makeKeyAndOrderFront();
  return window;
}

}  // namespace qova
