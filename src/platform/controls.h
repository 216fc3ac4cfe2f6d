#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qova {

// A frame in the parent's coordinates with the origin at the bottom-left corner, y growing upwards.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

// A colour either given as calibrated RGB or named by its role, so a backend can follow its own
// palette for the roles.
struct Color {
  enum class Role { rgb, primaryLabel, secondaryLabel, systemBlue };
  Role role = Role::rgb;
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  static Color calibratedRGB(double red, double green, double blue, double alpha = 1.0) {
    return {Role::rgb, red, green, blue, alpha};
  }
  static Color white() { return calibratedRGB(1, 1, 1); }
  static Color primaryLabel() { return {Role::primaryLabel}; }
  static Color secondaryLabel() { return {Role::secondaryLabel}; }
  static Color systemBlue() { return {Role::systemBlue}; }
  bool operator==(const Color&) const = default;
};

enum class FontWeight { regular, medium, bold };

// The system's user-interface font (or its monospaced variant) at a size in points; one point is
// one pixel of the frames.
struct Font {
  double size = 13;
  FontWeight weight = FontWeight::regular;
  bool monospaced = false;

  static Font system(double size) { return {size, FontWeight::regular, false}; }
  static Font boldSystem(double size) { return {size, FontWeight::bold, false}; }
  static Font monospacedSystem(double size, FontWeight weight) { return {size, weight, true}; }
  bool operator==(const Font&) const = default;
};

// How a one-line label shortens a text that does not fit.
enum class Truncation { none, middle, tail };

struct EdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  bool operator==(const EdgeInsets&) const = default;
};

// Every control is created, changed and read on the main thread only.
class View {
 public:
  virtual ~View() = default;
  virtual void setFrame(const Rect& frame) = 0;
  virtual Rect frame() const = 0;
  virtual void setHidden(bool hidden) = 0;
  virtual bool isHidden() const = 0;
  // The parent keeps the child alive. A child added later lies above the ones added before.
  virtual void addSubview(const std::shared_ptr<View>& child) = 0;
  // Fills the view's bounds, with corners rounded by `cornerRadius`; none draws nothing.
  virtual void setBackgroundColor(const std::optional<Color>& color) = 0;
  virtual void setCornerRadius(double radius) = 0;
};

// A one-line, non-editable text. Texts are shown as plain text, never as markup.
class Label : public View {
 public:
  virtual void setText(const std::string& text) = 0;
  virtual std::string text() const = 0;
  virtual void setFont(const Font& font) = 0;
  virtual void setTextColor(const Color& color) = 0;
  virtual void setTruncation(Truncation truncation) = 0;
  // A selectable text can be selected and copied by the user.
  virtual void setSelectable(bool selectable) = 0;
};

// A push button with a rounded bezel.
class Button : public View {
 public:
  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() const = 0;
  // The action runs on the main thread when the user presses an enabled button. It must not hold
  // the button strongly (the button owns the action).
  virtual void setAction(std::function<void()> action) = 0;
  // Runs the action as a press would (nothing when disabled or without action).
  virtual void performClick() = 0;
  virtual void setIdentifier(const std::string& identifier) = 0;
  virtual std::string identifier() const = 0;
};

// Arranges its children top to bottom inside its edge insets. Each arranged child keeps the height
// of its frame and is stretched to the stack's inner width.
class StackView : public View {
 public:
  virtual void addArrangedSubview(const std::shared_ptr<View>& child) = 0;
  // Takes every arranged child out of the arrangement and out of the view hierarchy.
  virtual void removeAllArrangedSubviews() = 0;
  virtual int arrangedSubviewCount() const = 0;
  virtual void setSpacing(double spacing) = 0;
  virtual void setEdgeInsets(const EdgeInsets& insets) = 0;
};

// A scrolling frame around one document view, whose own frame gives the scrolled size. The
// document is shown from its top.
class ScrollView : public View {
 public:
  virtual void setDocumentView(const std::shared_ptr<View>& document) = 0;
  virtual void setHasVerticalScroller(bool has) = 0;
  // A bezel border around the scrolled area.
  virtual void setBordered(bool bordered) = 0;
};

// One page of a tab view: its identifier, the label on its tab and its content.
struct TabItem {
  std::string identifier;
  std::string label;
  std::shared_ptr<View> view;
};

// Tabs on top with a bezel border around the pages; the first tab added is the one shown first.
// Each page's content view keeps its own frame, placed at the top of the page area.
class TabView : public View {
 public:
  virtual void addTabViewItem(const TabItem& item) = 0;
  virtual std::vector<TabItem> tabViewItems() const = 0;
  virtual void selectTabViewItem(const std::string& identifier) = 0;
  virtual std::string selectedIdentifier() const = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual std::string title() const = 0;
  // The content area, sized as the window was made.
  virtual std::shared_ptr<View> contentView() = 0;
  // Replaces the content area by `view`, which takes the content area's size.
  virtual void setContentView(const std::shared_ptr<View>& view) = 0;
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
  virtual std::shared_ptr<ScrollView> makeScrollView() = 0;
  virtual std::shared_ptr<TabView> makeTabView() = 0;
  // A window of fixed content size with a title bar, a close and a minimise button and no way to
  // resize it. Closing hides it; it is not destroyed and the application goes on.
  virtual std::shared_ptr<Window> makeWindow(double contentWidth, double contentHeight) = 0;
  // Brings the application to the front, ignoring other applications.
  virtual void activateApplication() = 0;
  // Ends the application the way SIGTERM does: the event loop ends and the termination step runs.
  virtual void terminateApplication() = 0;
};

}  // namespace qova
