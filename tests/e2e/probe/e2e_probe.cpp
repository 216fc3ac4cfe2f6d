// A test window for the browser tests and benchmarks. It sits at a given place on the X display and
// writes what happens to it as JSON lines: where mouse buttons went down and up (global
// coordinates), wheel turns, the text of its editor after every change, and, in colour mode, when it
// changed colour.
//   qova_e2e_probe --geometry WxH+X+Y --log FILE [--colors MS]
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QWidget>

#include <memory>

namespace {

QFile logFile;

void logEvent(const QJsonObject& event) {
  logFile.write(QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n");
  logFile.flush();
}

// Twelve hues far apart, so a JPEG of any of them is still told apart from the others.
QColor cycleColor(int index) { return QColor::fromHsv((index % 12) * 30, 255, 230); }

class PressLogger : public QObject {
 protected:
  bool eventFilter(QObject* object, QEvent* event) override {
    if (!object->isWidgetType()) return false;
    const auto type = event->type();
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      // An event the widget under the pointer ignores travels on to its parents: log it once.
      if (!firstSight(mouse->timestamp(), type)) return false;
      const auto global = mouse->globalPosition().toPoint();
      logEvent({{"event", type == QEvent::MouseButtonPress ? "press" : "release"}, {"x", global.x()}, {"y", global.y()},
                {"button", mouse->button() == Qt::RightButton ? "right" : "left"}});
    } else if (type == QEvent::Wheel) {
      auto* wheel = static_cast<QWheelEvent*>(event);
      if (!firstSight(wheel->timestamp(), type)) return false;
      logEvent({{"event", "wheel"}, {"deltaY", wheel->angleDelta().y()}});
    }
    return false;
  }

 private:
  bool firstSight(quint64 timestamp, QEvent::Type type) {
    if (timestamp == lastTimestamp_ && type == lastType_) return false;
    lastTimestamp_ = timestamp;
    lastType_ = type;
    return true;
  }

  quint64 lastTimestamp_ = 0;
  QEvent::Type lastType_ = QEvent::None;
};

class ColorWindow : public QWidget {
 public:
  explicit ColorWindow(int intervalMs) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] {
      ++index_;
      repaint();  // on screen now, not at some later event loop turn
      logEvent({{"event", "color"}, {"index", index_ % 12}, {"t", QDateTime::currentMSecsSinceEpoch()}});
    });
    timer_.start(intervalMs);
  }

 protected:
  void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), cycleColor(index_)); }

 private:
  QTimer timer_;
  int index_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString geometry = "600x480+760+200";
  QString logPath;
  int colorInterval = 0;
  const auto args = app.arguments();
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--geometry") geometry = args[i + 1];
    if (args[i] == "--log") logPath = args[i + 1];
    if (args[i] == "--colors") colorInterval = args[i + 1].toInt();
  }
  const auto match = QRegularExpression(R"(^(\d+)x(\d+)\+(\d+)\+(\d+)$)").match(geometry);
  if (logPath.isEmpty() || !match.hasMatch()) return 2;
  logFile.setFileName(logPath);
  if (!logFile.open(QIODevice::WriteOnly | QIODevice::Append)) return 2;

  std::unique_ptr<QWidget> window;
  if (colorInterval > 0) {
    window = std::make_unique<ColorWindow>(colorInterval);
  } else {
    window = std::make_unique<QWidget>();
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // A block of one strong colour, to recognise the window in the viewer's picture.
    auto* block = new QWidget;
    block->setFixedHeight(120);
    block->setAutoFillBackground(true);
    QPalette palette = block->palette();
    palette.setColor(QPalette::Window, QColor(224, 48, 154));
    block->setPalette(palette);
    auto* editor = new QPlainTextEdit;
    editor->setObjectName("editor");
    QObject::connect(editor, &QPlainTextEdit::textChanged, [editor] {
      logEvent({{"event", "text"}, {"text", editor->toPlainText()}});
    });
    layout->addWidget(block);
    layout->addWidget(editor, 1);
    app.installEventFilter(new PressLogger);
    editor->setFocus();
  }
  window->setWindowTitle("QOVA e2e probe");
  // No window manager on the test display: the window goes exactly where it is told.
  window->setWindowFlags(Qt::Window | Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint);
  window->setGeometry(match.captured(3).toInt(), match.captured(4).toInt(), match.captured(1).toInt(),
                      match.captured(2).toInt());
  window->show();
  window->activateWindow();
  QTimer::singleShot(300, [&window] {
    window->activateWindow();
    const auto frame = window->geometry();
    logEvent({{"event", "ready"}, {"x", frame.x()}, {"y", frame.y()}, {"width", frame.width()},
              {"height", frame.height()}});
  });
  return app.exec();
}
