// A test window for the browser test and the benchmark, placed exactly on the X display. It writes
// JSON lines: button presses and releases (global coordinates), wheel turns, its editor's text after
// each change, or, in colour mode, each change of its colour.
//   qova_e2e_probe --geometry WxH+X+Y --log FILE [--colors MS]
#include <QApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QFile logFile;

void logEvent(const QJsonObject& event) {
  logFile.write(QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n");
  logFile.flush();
}

class InputLogger : public QObject {
  bool eventFilter(QObject* object, QEvent* event) override {
    const auto type = event->type();
    const bool button = type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease;
    if (!object->isWidgetType() || !(button || type == QEvent::Wheel)) return false;
    // An event the widget under the pointer ignores travels on to its parents: log it once.
    const auto timestamp = static_cast<QInputEvent*>(event)->timestamp();
    if (timestamp == lastTimestamp_ && type == lastType_) return false;
    lastTimestamp_ = timestamp, lastType_ = type;
    if (!button) return logEvent({{"event", "wheel"}, {"deltaY", static_cast<QWheelEvent*>(event)->angleDelta().y()}}), false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const auto at = mouse->globalPosition().toPoint();
    logEvent({{"event", type == QEvent::MouseButtonPress ? "press" : "release"}, {"x", at.x()}, {"y", at.y()},
              {"button", mouse->button() == Qt::RightButton ? "right" : "left"}});
    return false;
  }
  quint64 lastTimestamp_ = 0;
  QEvent::Type lastType_ = QEvent::None;
};

}  // namespace

int main(int argc, char** argv) {
  QStringList args;  // read before Qt takes --geometry for itself
  for (int i = 0; i < argc; ++i) args << QString::fromLocal8Bit(argv[i]);
  QApplication app(argc, argv);
  QString geometry, logPath;
  int colorInterval = 0;
  for (int i = 1; i + 1 < args.size(); i += 2) {
    if (args[i] == "--geometry") geometry = args[i + 1];
    if (args[i] == "--log") logPath = args[i + 1];
    if (args[i] == "--colors") colorInterval = args[i + 1].toInt();
  }
  const auto match = QRegularExpression(R"(^(\d+)x(\d+)\+(\d+)\+(\d+)$)").match(geometry);
  logFile.setFileName(logPath);
  if (!match.hasMatch() || !logFile.open(QIODevice::WriteOnly | QIODevice::Append)) return 2;

  auto* window = new QWidget;
  if (colorInterval > 0) {  // twelve hues far apart, so that a JPEG of any is still told from the others
    window->setAutoFillBackground(true);
    auto* timer = new QTimer(window);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, [window, index = 0]() mutable {
      window->setPalette(QPalette(QColor::fromHsv((++index % 12) * 30, 255, 230)));
      window->repaint();  // on screen now
      logEvent({{"event", "color"}, {"index", index % 12}, {"t", QDateTime::currentMSecsSinceEpoch()}});
    });
    timer->start(colorInterval);
  } else {
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0), layout->setSpacing(0);
    auto* block = new QWidget;  // one strong colour, to find the window in the viewer's picture
    block->setFixedHeight(120);
    block->setStyleSheet("background: rgb(224, 48, 154)");
    auto* editor = new QPlainTextEdit;
    QObject::connect(editor, &QPlainTextEdit::textChanged, [editor] { logEvent({{"event", "text"}, {"text", editor->toPlainText()}}); });
    layout->addWidget(block), layout->addWidget(editor, 1);
    app.installEventFilter(new InputLogger);
    editor->setFocus();
  }
  // No window manager on the test display: the window goes exactly where it is told.
  window->setWindowFlags(Qt::Window | Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint);
  window->setGeometry(match.captured(3).toInt(), match.captured(4).toInt(), match.captured(1).toInt(), match.captured(2).toInt());
  window->show();
  QTimer::singleShot(300, [window] { window->activateWindow(), logEvent({{"event", "ready"}}); });
  return app.exec();
}
