#pragma once

#include <algorithm>
#include <vector>

#include "platform/controls.h"

namespace qova::test {

// Controls that only remember what was done to them.

// What every fake view is besides its role: a node with its children, so tests can walk the tree.
class FakeNode {
 public:
  virtual ~FakeNode() = default;
  std::vector<std::shared_ptr<View>> subviews;
};

template <class Base>
class FakeViewOf : public Base, public FakeNode {
 public:
  void setFrame(const Rect& frame) override { frame_ = frame; }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override { hidden_ = hidden; }
  bool isHidden() const override { return hidden_; }
  void addSubview(const std::shared_ptr<View>& child) override { subviews.push_back(child); }
  // How a view looks is the real window's matter (its screenshot test); the fakes keep the tree.
  void setBackgroundColor(const std::optional<Color>&) override {}
  void setCornerRadius(double) override {}

 private:
  Rect frame_;
  bool hidden_ = false;
};

class FakePlainView : public FakeViewOf<View> {};

class FakeLabel : public FakeViewOf<Label> {
 public:
  explicit FakeLabel(std::string text) : text_(std::move(text)) {}
  void setText(const std::string& text) override {
    text_ = text;
    history.push_back(text);
  }
  std::string text() const override { return text_; }
  void setFont(const Font&) override {}
  void setTextColor(const Color&) override {}
  void setTruncation(Truncation) override {}
  void setSelectable(bool) override {}
  // Every text set after creation, in order.
  std::vector<std::string> history;

 private:
  std::string text_;
};

class FakeButton : public FakeViewOf<Button> {
 public:
  explicit FakeButton(std::string title) : title_(std::move(title)) {}
  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() const override { return enabled_; }
  void setAction(std::function<void()> action) override { action_ = std::move(action); }
  void performClick() override {
    if (enabled_ && action_) action_();
  }
  void setIdentifier(const std::string& identifier) override { identifier_ = identifier; }
  std::string identifier() const override { return identifier_; }

 private:
  std::string title_;
  bool enabled_ = true;
  std::function<void()> action_;
  std::string identifier_;
};

class FakeStackView : public FakeViewOf<StackView> {
 public:
  void addArrangedSubview(const std::shared_ptr<View>& child) override { arranged.push_back(child); }
  void removeAllArrangedSubviews() override { arranged.clear(); }
  int arrangedSubviewCount() const override { return static_cast<int>(arranged.size()); }
  void setSpacing(double) override {}
  void setEdgeInsets(const EdgeInsets&) override {}
  std::vector<std::shared_ptr<View>> arranged;
};

class FakeScrollView : public FakeViewOf<ScrollView> {
 public:
  void setDocumentView(const std::shared_ptr<View>&) override {}
  void setHasVerticalScroller(bool) override {}
  void setBordered(bool) override {}
};

class FakeTabView : public FakeViewOf<TabView> {
 public:
  void addTabViewItem(const TabItem& item) override {
    items_.push_back(item);
    if (selected_.empty()) selected_ = item.identifier;
  }
  std::vector<TabItem> tabViewItems() const override { return items_; }
  void selectTabViewItem(const std::string& identifier) override {
    if (std::any_of(items_.begin(), items_.end(), [&](const TabItem& i) { return i.identifier == identifier; })) {
      selected_ = identifier;
    }
  }
  std::string selectedIdentifier() const override { return selected_; }

 private:
  std::vector<TabItem> items_;
  std::string selected_;
};

class FakeWindow : public Window {
 public:
  FakeWindow(double width, double height) : width(width), height(height), content_(std::make_shared<FakePlainView>()) {
    content_->setFrame({0, 0, width, height});
  }
  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  std::shared_ptr<View> contentView() override { return content_; }
  void setContentView(const std::shared_ptr<View>& view) override {
    view->setFrame({0, 0, width, height});
    content_ = view;
  }
  void center() override {}
  void makeKeyAndOrderFront() override { visible_ = true; }
  bool isVisible() const override { return visible_; }
  std::shared_ptr<View> content() const { return content_; }
  double width;
  double height;

 private:
  std::string title_;
  std::shared_ptr<View> content_;
  bool visible_ = false;
};

class FakeControls : public Controls {
 public:
  std::shared_ptr<View> makeView() override { return std::make_shared<FakePlainView>(); }
  std::shared_ptr<Label> makeLabel(const std::string& text) override { return std::make_shared<FakeLabel>(text); }
  std::shared_ptr<Button> makeButton(const std::string& title) override { return std::make_shared<FakeButton>(title); }
  std::shared_ptr<StackView> makeStackView() override { return std::make_shared<FakeStackView>(); }
  std::shared_ptr<ScrollView> makeScrollView() override { return std::make_shared<FakeScrollView>(); }
  std::shared_ptr<TabView> makeTabView() override { return std::make_shared<FakeTabView>(); }
  std::shared_ptr<Window> makeWindow(double contentWidth, double contentHeight) override {
    auto window = std::make_shared<FakeWindow>(contentWidth, contentHeight);
    windows.push_back(window);
    return window;
  }
  void activateApplication() override {}
  void terminateApplication() override {}
  std::vector<std::shared_ptr<FakeWindow>> windows;
};

}  // namespace qova::test
