#include "platform/qt/qt_pasteboard.h"

#include <QApplication>
#include <QClipboard>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <future>

namespace qova {

namespace {
void setOnMainThread(const std::string& text) {
  QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}
}  // namespace

void QtPasteboard::setString(const std::string& text) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;
  if (QThread::currentThread() == app->thread()) {
    setOnMainThread(text);
    return;
  }
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  QMetaObject::invokeMethod(
      app,
      [text, done] {
        setOnMainThread(text);
        done->set_value();
      },
      Qt::QueuedConnection);
  // Bounded: a main thread that is shutting down must not hold the reader forever.
  future.wait_for(std::chrono::seconds(2));
}

}  // namespace qova
