#pragma once

#include <vector>

#include "platform/controls.h"

namespace qova::test {

// Controls that only remember what was done to them.

template <class Base>
class FakeViewOf : public Base {
 public:
  void setFrame(const Rect& frame) override { frame_ = frame; }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override { hidden_ = hidden; }
  bool isHidden() const override { return hidden_; }
  void addSubview(const std::shared_ptr<View>& child) override { subviews.push_back(child); }
  std::vector<std::shared_ptr<View>> subviews;

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
  bool hasAction() const { return static_cast<bool>(action_); }

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
  std::vector<std::shared_ptr<View>> arranged;
};

class FakeWindow : public Window {
 public:
  FakeWindow(double width, double height) : width(width), height(height), content_(std::make_shared<FakePlainView>()) {
    content_->setFrame({0, 0, width, height});
  }
  void setTitle(const std::string& title) override { title_ = title; }
  std::string title() const override { return title_; }
  std::shared_ptr<View> contentView() override { return content_; }
  void center() override { centered = true; }
  void makeKeyAndOrderFront() override { visible_ = true; }
  bool isVisible() const override { return visible_; }
  std::shared_ptr<FakePlainView> content() const { return content_; }
  double width;
  double height;
  bool centered = false;

 private:
  std::string title_;
  std::shared_ptr<FakePlainView> content_;
  bool visible_ = false;
};

class FakeControls : public Controls {
 public:
  std::shared_ptr<View> makeView() override { return std::make_shared<FakePlainView>(); }
  std::shared_ptr<Label> makeLabel(const std::string& text) override { return std::make_shared<FakeLabel>(text); }
  std::shared_ptr<Button> makeButton(const std::string& title) override { return std::make_shared<FakeButton>(title); }
  std::shared_ptr<StackView> makeStackView() override { return std::make_shared<FakeStackView>(); }
  std::shared_ptr<Window> makeWindow(double contentWidth, double contentHeight) override {
    auto window = std::make_shared<FakeWindow>(contentWidth, contentHeight);
    windows.push_back(window);
    return window;
  }
  void activateApplication() override { ++activations; }
  std::vector<std::shared_ptr<FakeWindow>> windows;
  int activations = 0;
};

}  // namespace qova::test
