#include "platform/qt/qt_controls.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include <vector>

namespace qova {

namespace {

QString toQt(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }
std::string fromQt(const QString& text) { return text.toUtf8().toStdString(); }

// Shared geometry handling of every control: the frame is kept as given and applied flipped.
template <class Base, class Widget>
class QtView : public Base {
 public:
  explicit QtView(Widget* widget) : widget_(widget) {}
  ~QtView() override {
    if (widget_ && !widget_->parent()) delete widget_.data();
  }
  void setFrame(const Rect& frame) override {
    frame_ = frame;
    applyFrame();
  }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override { widget_->setHidden(hidden); }
  bool isHidden() const override { return widget_->isHidden(); }
  void addSubview(const std::shared_ptr<View>& child) override {
    children_.push_back(child);
    QWidget* childWidget = widgetOf(*child);
    childWidget->setParent(widget_);
    childWidget->show();
    refreshChild(*child);
  }
  QWidget* widget() const { return widget_; }
  void applyFrame() {
    const int parentHeight = widget_->parentWidget() ? widget_->parentWidget()->height() : 0;
    const int top = widget_->parentWidget() ? parentHeight - static_cast<int>(frame_.y + frame_.height)
                                            : static_cast<int>(frame_.y);
    widget_->setGeometry(static_cast<int>(frame_.x), top, static_cast<int>(frame_.width),
                         static_cast<int>(frame_.height));
    for (const auto& child : children_) refreshChild(*child);
  }

 protected:
  static QWidget* widgetOf(View& view);
  static void refreshChild(View& view);
  QPointer<Widget> widget_;
  Rect frame_;
  std::vector<std::shared_ptr<View>> children_;
};

class QtPlainView : public QtView<View, QWidget> {
 public:
  QtPlainView() : QtView(new QWidget) {}
};

class QtLabel : public QtView<Label, QLabel> {
 public:
  explicit QtLabel(const std::string& text) : QtView(new QLabel(toQt(text))) {}
  void setText(const std::string& text) override { widget_->setText(toQt(text)); }
  std::string text() const override { return fromQt(widget_->text()); }
};

class QtButton : public QtView<Button, QPushButton> {
 public:
  explicit QtButton(const std::string& title) : QtView(new QPushButton(toQt(title))) {
    QObject::connect(widget_, &QPushButton::clicked, widget_, [this] {
      if (action_) action_();
    });
  }
  void setTitle(const std::string& title) override { widget_->setText(toQt(title)); }
  std::string title() const override { return fromQt(widget_->text()); }
  void setEnabled(bool enabled) override { widget_->setEnabled(enabled); }
  bool isEnabled() const override { return widget_->isEnabled(); }
  void setAction(std::function<void()> action) override { action_ = std::move(action); }
  void performClick() override {
    if (widget_->isEnabled() && action_) action_();
  }
  void setIdentifier(const std::string& identifier) override { widget_->setObjectName(toQt(identifier)); }
  std::string identifier() const override { return fromQt(widget_->objectName()); }

 private:
  std::function<void()> action_;
};

class QtStackView : public QtView<StackView, QWidget> {
 public:
  QtStackView() : QtView(new QWidget) {
    layout_ = new QVBoxLayout(widget_);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setAlignment(Qt::AlignTop);
  }
  void addArrangedSubview(const std::shared_ptr<View>& child) override {
    arranged_.push_back(child);
    layout_->addWidget(widgetOf(*child));
  }
  void removeAllArrangedSubviews() override {
    for (const auto& child : arranged_) {
      QWidget* w = widgetOf(*child);
      layout_->removeWidget(w);
      w->setParent(nullptr);
    }
    arranged_.clear();
  }
  int arrangedSubviewCount() const override { return static_cast<int>(arranged_.size()); }

 private:
  QVBoxLayout* layout_;
  std::vector<std::shared_ptr<View>> arranged_;
};

// Qt widgets behind our views, reached without RTTI tricks in the logic.
QWidget* anyWidget(View& view) {
  if (auto* v = dynamic_cast<QtPlainView*>(&view)) return v->widget();
  if (auto* v = dynamic_cast<QtLabel*>(&view)) return v->widget();
  if (auto* v = dynamic_cast<QtButton*>(&view)) return v->widget();
  if (auto* v = dynamic_cast<QtStackView*>(&view)) return v->widget();
  return nullptr;
}

void refreshAny(View& view) {
  if (auto* v = dynamic_cast<QtPlainView*>(&view)) return v->applyFrame();
  if (auto* v = dynamic_cast<QtLabel*>(&view)) return v->applyFrame();
  if (auto* v = dynamic_cast<QtButton*>(&view)) return v->applyFrame();
  if (auto* v = dynamic_cast<QtStackView*>(&view)) return v->applyFrame();
}

template <class Base, class Widget>
QWidget* QtView<Base, Widget>::widgetOf(View& view) {
  return anyWidget(view);
}

template <class Base, class Widget>
void QtView<Base, Widget>::refreshChild(View& view) {
  refreshAny(view);
}

class QtWindow : public Window {
 public:
  QtWindow(double width, double height) : content_(std::make_shared<QtPlainView>()) {
    window_ = content_->widget();
    window_->setFixedSize(static_cast<int>(width), static_cast<int>(height));
    content_->setFrame({0, 0, width, height});
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
  }
  void setTitle(const std::string& title) override { window_->setWindowTitle(toQt(title)); }
  std::string title() const override { return fromQt(window_->windowTitle()); }
  std::shared_ptr<View> contentView() override { return content_; }
  void center() override {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      window_->move(area.center() - window_->rect().center());
    }
  }
  void makeKeyAndOrderFront() override {
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  bool isVisible() const override { return window_->isVisible(); }

 private:
  std::shared_ptr<QtPlainView> content_;
  QWidget* window_;
};

}  // namespace

std::shared_ptr<View> QtControls::makeView() { return std::make_shared<QtPlainView>(); }
std::shared_ptr<Label> QtControls::makeLabel(const std::string& text) { return std::make_shared<QtLabel>(text); }
std::shared_ptr<Button> QtControls::makeButton(const std::string& title) { return std::make_shared<QtButton>(title); }
std::shared_ptr<StackView> QtControls::makeStackView() { return std::make_shared<QtStackView>(); }
std::shared_ptr<Window> QtControls::makeWindow(double contentWidth, double contentHeight) {
  return std::make_shared<QtWindow>(contentWidth, contentHeight);
}
void QtControls::activateApplication() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isVisible()) {
      widget->raise();
      widget->activateWindow();
    }
  }
}

}  // namespace qova
