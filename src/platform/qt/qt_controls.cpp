#include "platform/qt/qt_controls.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QVBoxLayout>
#include <QWidget>

#include <cmath>
#include <vector>

#include "base/thread_check.h"
#include "platform/qt/qt_main_thread.h"

namespace qova {

namespace {

QString toQt(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Labels are one line: a line break in a text (a file name may hold one) is shown as a space.
QString oneLine(const std::string& text) {
  QString line = toQt(text);
  for (QChar& c : line) {
    if (c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(0x2028) || c == QChar(0x2029)) {
      c = QLatin1Char(' ');
    }
  }
  return line;
}

int px(double value) { return static_cast<int>(std::lround(value)); }

QColor toQColor(const Color& color) {
  switch (color.role) {
    case Color::Role::primaryLabel:
      return QColor(0, 0, 0, 217);
    case Color::Role::secondaryLabel:
      return QColor(0, 0, 0, 128);
    case Color::Role::systemBlue:
      return QColor(0, 122, 255);
    case Color::Role::rgb:
      break;
  }
  return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                          static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

// The CJK family first so Chinese texts take the Simplified Chinese glyph forms; its Latin letters
// are the same design, so mixed texts read as one font.
QFont toQFont(const Font& font) {
  QFont result;
  if (font.monospaced) {
    result.setFamilies({"Noto Sans Mono CJK SC", "DejaVu Sans Mono", "monospace"});
    result.setStyleHint(QFont::Monospace);
  } else {
    result.setFamilies({"Noto Sans CJK SC", "DejaVu Sans", "sans-serif"});
    result.setStyleHint(QFont::SansSerif);
  }
  result.setPixelSize(std::max(1, px(font.size)));
  switch (font.weight) {
    case FontWeight::regular:
      result.setWeight(QFont::Normal);
      break;
    case FontWeight::medium:
      result.setWeight(QFont::Medium);
      break;
    case FontWeight::bold:
      result.setWeight(QFont::Bold);
      break;
  }
  return result;
}

// A filled, optionally rounded background drawn behind a widget's own painting.
struct Backdrop {
  std::optional<QColor> color;
  double radius = 0;
  void paint(QWidget& widget) const {
    if (!color) return;
    QPainter painter(&widget);
    painter.setRenderHint(QPainter::Antialiasing, radius > 0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(*color);
    if (radius > 0) {
      painter.drawRoundedRect(QRectF(widget.rect()), radius, radius);
    } else {
      painter.drawRect(widget.rect());
    }
  }
};

class BoxWidget : public QWidget {
 public:
  Backdrop backdrop;

 protected:
  void paintEvent(QPaintEvent*) override { backdrop.paint(*this); }
};

class TextWidget : public QLabel {
 public:
  TextWidget() {
    setTextFormat(Qt::PlainText);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  }
  Backdrop backdrop;
  Qt::TextElideMode elide = Qt::ElideNone;

 protected:
  void paintEvent(QPaintEvent* event) override {
    backdrop.paint(*this);
    // A selectable text is drawn by the label itself, which keeps the selection working.
    if (elide == Qt::ElideNone || (textInteractionFlags() & Qt::TextSelectableByMouse)) {
      QLabel::paintEvent(event);
      return;
    }
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.setFont(font());
    const QRect area = contentsRect();
    painter.drawText(area, static_cast<int>(alignment()), fontMetrics().elidedText(text(), elide, area.width()));
  }
};

class PushButton : public QPushButton {
 public:
  PushButton() {
    QObject::connect(this, &QPushButton::clicked, this, [this] {
      if (action) action();
    });
  }
  Backdrop backdrop;  // not drawn: a button keeps the style's bezel
  std::function<void()> action;
};

class ScrollWidget : public QScrollArea {
 public:
  Backdrop backdrop;  // not drawn: the document fills the area
};

// How a view's frame reaches its widget.
enum class Placement {
  absolute,     // at its frame in the parent, flipped against the parent's height
  sizeOnly,     // the parent decides the position (the document of a scroll view)
  layoutHeight  // a layout decides position and width; the frame gives the height
};

// What every one of our views is besides its role, so that a parent can reach a child's widget.
class QtViewBase {
 public:
  virtual ~QtViewBase() = default;
  virtual QWidget* widget() const = 0;
  virtual void applyFrame() = 0;
  Placement placement = Placement::absolute;
};

QtViewBase& qtView(View& view) { return dynamic_cast<QtViewBase&>(view); }

template <class Base, class Widget>
class QtView : public Base, public QtViewBase {
 public:
  explicit QtView(Widget* widget) : widget_(widget) {}
  ~QtView() override {
    // A widget in a parent belongs to the parent; one taken out or never placed belongs to us.
    if (widget_ && !widget_->parent()) delete widget_.data();
  }
  void setFrame(const Rect& frame) override {
    QOVA_ASSERT_ON(kQtMainThread);
    frame_ = frame;
    applyFrame();
  }
  Rect frame() const override { return frame_; }
  void setHidden(bool hidden) override {
    QOVA_ASSERT_ON(kQtMainThread);
    widget_->setHidden(hidden);
  }
  // Asked of the view itself, so a view in a window not yet shown counts as shown.
  bool isHidden() const override { return widget_->isHidden(); }
  void addSubview(const std::shared_ptr<View>& child) override {
    QOVA_ASSERT_ON(kQtMainThread);
    children_.push_back(child);
    QtViewBase& base = qtView(*child);
    QWidget* childWidget = base.widget();
    const bool hidden = childWidget->isHidden() && childWidget->testAttribute(Qt::WA_WState_ExplicitShowHide);
    childWidget->setParent(widget_);
    childWidget->setVisible(!hidden);
    childWidget->raise();
    base.applyFrame();
  }
  void setBackgroundColor(const std::optional<Color>& color) override {
    widget_->backdrop.color = color ? std::optional<QColor>(toQColor(*color)) : std::nullopt;
    widget_->update();
  }
  void setCornerRadius(double radius) override {
    widget_->backdrop.radius = radius;
    widget_->update();
  }

  QWidget* widget() const override { return widget_; }
  void applyFrame() override {
    switch (placement) {
      case Placement::absolute: {
        QWidget* parent = widget_->parentWidget();
        const double top = parent ? parent->height() - (frame_.y + frame_.height) : frame_.y;
        widget_->setGeometry(px(frame_.x), px(top), px(frame_.width), px(frame_.height));
        break;
      }
      case Placement::sizeOnly:
        widget_->resize(px(frame_.width), px(frame_.height));
        break;
      case Placement::layoutHeight:
        widget_->setFixedHeight(px(frame_.height));
        break;
    }
    for (const auto& child : children_) qtView(*child).applyFrame();
  }

 protected:
  QPointer<Widget> widget_;
  Rect frame_;
  std::vector<std::shared_ptr<View>> children_;
};

class QtPlainView : public QtView<View, BoxWidget> {
 public:
  QtPlainView() : QtView(new BoxWidget) {}
};

class QtLabel : public QtView<Label, TextWidget> {
 public:
  explicit QtLabel(const std::string& text) : QtView(new TextWidget) {
    setText(text);
    setFont(Font::system(13));
    setTextColor(Color::primaryLabel());
  }
  void setText(const std::string& text) override {
    QOVA_ASSERT_ON(kQtMainThread);
    text_ = text;
    widget_->setText(oneLine(text));
  }
  std::string text() const override { return text_; }
  void setFont(const Font& font) override {
    widget_->setFont(toQFont(font));
  }
  void setTextColor(const Color& color) override {
    QPalette palette = widget_->palette();
    palette.setColor(QPalette::WindowText, toQColor(color));
    widget_->setPalette(palette);
  }
  void setTruncation(Truncation truncation) override {
    widget_->elide = truncation == Truncation::middle ? Qt::ElideMiddle
                     : truncation == Truncation::tail ? Qt::ElideRight
                                                      : Qt::ElideNone;
    widget_->update();
  }
  void setSelectable(bool selectable) override {
    widget_->setTextInteractionFlags(selectable ? Qt::TextSelectableByMouse : Qt::NoTextInteraction);
    widget_->setCursor(selectable ? Qt::IBeamCursor : Qt::ArrowCursor);
  }
  void setBackgroundColor(const std::optional<Color>& color) override {
    QtView::setBackgroundColor(color);
    // Text on a field of colour keeps off its edges.
    widget_->setContentsMargins(color ? 8 : 0, 0, color ? 8 : 0, 0);
  }

 private:
  std::string text_;
};

class QtButton : public QtView<Button, PushButton> {
 public:
  explicit QtButton(const std::string& title) : QtView(new PushButton) {
    widget_->setText(toQt(title));
    widget_->setFont(toQFont(Font::system(13)));
    widget_->setFocusPolicy(Qt::TabFocus);
  }
  void setTitle(const std::string& title) override { widget_->setText(toQt(title)); }
  std::string title() const override { return widget_->text().toStdString(); }
  void setEnabled(bool enabled) override {
    QOVA_ASSERT_ON(kQtMainThread);
    widget_->setEnabled(enabled);
  }
  bool isEnabled() const override { return widget_->isEnabled(); }
  void setAction(std::function<void()> action) override {
    QOVA_ASSERT_ON(kQtMainThread);
    widget_->action = std::move(action);
  }
  void performClick() override {
    if (widget_->isEnabled() && widget_->action) widget_->action();
  }
  void setIdentifier(const std::string& identifier) override { widget_->setObjectName(toQt(identifier)); }
  std::string identifier() const override { return widget_->objectName().toStdString(); }
};

class QtStackView : public QtView<StackView, BoxWidget> {
 public:
  QtStackView() : QtView(new BoxWidget) {
    layout_ = new QVBoxLayout(widget_);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    layout_->addStretch(1);  // keeps the rows at the top
  }
  void addArrangedSubview(const std::shared_ptr<View>& child) override {
    QOVA_ASSERT_ON(kQtMainThread);
    arranged_.push_back(child);
    QtViewBase& base = qtView(*child);
    base.placement = Placement::layoutHeight;
    base.applyFrame();
    layout_->insertWidget(layout_->count() - 1, base.widget());
  }
  void removeAllArrangedSubviews() override {
    QOVA_ASSERT_ON(kQtMainThread);
    for (const auto& child : arranged_) {
      QWidget* widget = qtView(*child).widget();
      layout_->removeWidget(widget);
      widget->hide();
      widget->setParent(nullptr);
    }
    arranged_.clear();
  }
  int arrangedSubviewCount() const override { return static_cast<int>(arranged_.size()); }
  void setSpacing(double spacing) override {
    layout_->setSpacing(px(spacing));
  }
  void setEdgeInsets(const EdgeInsets& insets) override {
    layout_->setContentsMargins(px(insets.left), px(insets.top), px(insets.right), px(insets.bottom));
  }

 private:
  QVBoxLayout* layout_;
  std::vector<std::shared_ptr<View>> arranged_;
};

class QtScrollView : public QtView<ScrollView, ScrollWidget> {
 public:
  QtScrollView() : QtView(new ScrollWidget) {
    widget_->setWidgetResizable(false);
    widget_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    widget_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    widget_->setFrameShape(QFrame::NoFrame);
    QPalette palette = widget_->viewport()->palette();
    palette.setColor(QPalette::Window, Qt::white);
    widget_->viewport()->setPalette(palette);
    widget_->viewport()->setAutoFillBackground(true);
  }
  void setDocumentView(const std::shared_ptr<View>& document) override {
    document_ = document;
    QtViewBase& base = qtView(*document);
    base.placement = Placement::sizeOnly;
    base.applyFrame();
    widget_->setWidget(base.widget());
    // The document is transparent over the white page.
    base.widget()->setAutoFillBackground(false);
  }
  void setHasVerticalScroller(bool has) override {
    widget_->setVerticalScrollBarPolicy(has ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  }
  void setBordered(bool bordered) override {
    widget_->setFrameShape(bordered ? QFrame::StyledPanel : QFrame::NoFrame);
    widget_->setFrameShadow(QFrame::Sunken);
  }

 private:
  std::shared_ptr<View> document_;
};

// A tab bar centred over a framed page area; the area is the view's height less the bar's band.
class TabWidget : public QWidget {
 public:
  static constexpr int kBarBand = 28;
  TabWidget() : bar(new QTabBar(this)), pages(new QFrame(this)) {
    bar->setDrawBase(false);
    bar->setExpanding(false);
    bar->setFont(toQFont(Font::system(13)));
    pages->setFrameShape(QFrame::StyledPanel);
    pages->setFrameShadow(QFrame::Sunken);
  }
  void layoutParts() {
    const QSize hint = bar->sizeHint();
    const int barHeight = std::min(hint.height(), kBarBand);
    bar->setGeometry(std::max(0, (width() - hint.width()) / 2), kBarBand - barHeight, std::min(hint.width(), width()),
                     barHeight);
    pages->setGeometry(0, kBarBand, width(), std::max(0, height() - kBarBand));
    bar->raise();
  }
  Backdrop backdrop;  // not drawn: the frame is the style's
  QTabBar* bar;
  QFrame* pages;

 protected:
  void resizeEvent(QResizeEvent*) override { layoutParts(); }
};

class QtTabView : public QtView<TabView, TabWidget> {
 public:
  QtTabView() : QtView(new TabWidget) {
    QObject::connect(widget_->bar, &QTabBar::currentChanged, widget_, [this](int index) { showPage(index); });
  }
  void addTabViewItem(const TabItem& item) override {
    items_.push_back(item);
    QtViewBase& base = qtView(*item.view);
    base.widget()->setParent(widget_->pages);
    base.applyFrame();
    widget_->bar->addTab(toQt(item.label));
    widget_->layoutParts();
    showPage(widget_->bar->currentIndex());
  }
  std::vector<TabItem> tabViewItems() const override { return items_; }
  void selectTabViewItem(const std::string& identifier) override {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].identifier == identifier) widget_->bar->setCurrentIndex(static_cast<int>(i));
    }
  }
  std::string selectedIdentifier() const override {
    const int index = widget_->bar->currentIndex();
    return index >= 0 && index < static_cast<int>(items_.size()) ? items_[static_cast<size_t>(index)].identifier
                                                                 : std::string();
  }
  void applyFrame() override {
    QtView::applyFrame();
    widget_->layoutParts();
    for (const auto& item : items_) qtView(*item.view).applyFrame();
  }

 private:
  void showPage(int index) {
    for (size_t i = 0; i < items_.size(); ++i) {
      qtView(*items_[i].view).widget()->setVisible(static_cast<int>(i) == index);
    }
  }
  std::vector<TabItem> items_;
};

class QtWindow : public Window {
 public:
  QtWindow(double width, double height) : window_(new QWidget), width_(width), height_(height) {
    window_->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                            Qt::WindowMinimizeButtonHint);
    window_->setFixedSize(px(width), px(height));
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    setContentView(std::make_shared<QtPlainView>());
  }
  ~QtWindow() override {
    content_.reset();
    delete window_.data();
  }
  void setTitle(const std::string& title) override { window_->setWindowTitle(toQt(title)); }
  std::string title() const override { return window_->windowTitle().toStdString(); }
  std::shared_ptr<View> contentView() override { return content_; }
  void setContentView(const std::shared_ptr<View>& view) override {
    if (content_) {
      QWidget* old = qtView(*content_).widget();
      old->hide();
      old->setParent(nullptr);
    }
    content_ = view;
    QtViewBase& base = qtView(*view);
    base.widget()->setParent(window_);
    view->setFrame({0, 0, width_, height_});
    base.widget()->show();
  }
  void center() override {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      window_->move(area.center() - window_->rect().center());
    }
  }
  void makeKeyAndOrderFront() override {
    // show() leaves a minimised window minimised.
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
  }
  bool isVisible() const override { return window_->isVisible(); }

 private:
  QPointer<QWidget> window_;
  std::shared_ptr<View> content_;
  double width_;
  double height_;
};

}  // namespace

std::shared_ptr<View> QtControls::makeView() {
  QOVA_ASSERT_ON(kQtMainThread);
  return std::make_shared<QtPlainView>();
}
std::shared_ptr<Label> QtControls::makeLabel(const std::string& text) { return std::make_shared<QtLabel>(text); }
std::shared_ptr<Button> QtControls::makeButton(const std::string& title) { return std::make_shared<QtButton>(title); }
std::shared_ptr<StackView> QtControls::makeStackView() { return std::make_shared<QtStackView>(); }
std::shared_ptr<ScrollView> QtControls::makeScrollView() { return std::make_shared<QtScrollView>(); }
std::shared_ptr<TabView> QtControls::makeTabView() { return std::make_shared<QtTabView>(); }
std::shared_ptr<Window> QtControls::makeWindow(double contentWidth, double contentHeight) {
  QOVA_ASSERT_ON(kQtMainThread);
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

void QtControls::terminateApplication() {
  QOVA_ASSERT_ON(kQtMainThread);
  // What the quit signals do, so the termination step runs the same way.
  QCoreApplication::quit();
}

}  // namespace qova
