#pragma once

#include <functional>
#include <memory>
#include <string>

namespace qova {

// A frame in the parent's coordinates with the origin at the bottom-left corner, y growing upwards.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

// Every control is created, changed and read on the main thread only.
class View {
 public:
  virtual ~View() = default;
  virtual void setFrame(const Rect& frame) = 0;
  virtual Rect frame() const = 0;
  virtual void setHidden(bool hidden) = 0;
  virtual bool isHidden() const = 0;
  // The parent keeps the child alive.
  virtual void addSubview(const std::shared_ptr<View>& child) = 0;
};

class Label : public View {
 public:
  virtual void setText(const std::string& text) = 0;
  virtual std::string text() const = 0;
};

class Button : public View {
 public:
  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
  // The action runs on the main thread when the user presses an enabled button.
  virtual void setAction(std::function<void()> action) = 0;
  // Runs the action as a press would (nothing when disabled or without action).
  virtual void performClick() = 0;
  virtual void setIdentifier(const std::string& identifier) = 0;
  virtual std::string identifier() const = 0;
};

// Arranges its children top to bottom.
class StackView : public View {
 public:
  virtual void addArrangedSubview(const std::shared_ptr<View>& child) = 0;
  virtual void removeAllArrangedSubviews() = 0;
  virtual int arrangedSubviewCount() const = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  // The content area, sized as the window was made.
  virtual std::shared_ptr<View> contentView() = 0;
  virtual void center() = 0;
  // Shows the window in front as the key window.
  virtual void makeKeyAndOrderFront() = 0;
  virtual bool isVisible() const = 0;
};

// Makes controls and the window; main thread only.
class Controls {
 public:
  virtual ~Controls() = default;
  virtual std::shared_ptr<View> makeView() = 0;
  virtual std::shared_ptr<Label> makeLabel(const std::string& text) = 0;
  virtual std::shared_ptr<Button> makeButton(const std::string& title) = 0;
  virtual std::shared_ptr<StackView> makeStackView() = 0;
  // A window of fixed content size that is hidden, not destroyed, when the user closes it.
  virtual std::shared_ptr<Window> makeWindow(double contentWidth, double contentHeight) = 0;
  // Brings the application to the front, ignoring other applications.
  virtual void activateApplication() = 0;
};

}  // namespace qova
