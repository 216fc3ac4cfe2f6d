#include "platform/qt/qt_pasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>

#include <chrono>
#include <future>
#include <memory>

namespace qova {

namespace {

// How long a reader thread waits for the main thread; a main thread that is shutting down or stuck
// must not hold the agent's output forever.
constexpr auto kMainThreadWait = std::chrono::seconds(2);

void setOnMainThread(const std::string& text) {
  // setText replaces every format the clipboard held and, on X11, takes the CLIPBOARD selection
  // with a round trip to the server, so a paste requested afterwards is answered with this text.
  QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                                        QClipboard::Clipboard);
}

}  // namespace

bool QtPasteboard::setString(const std::string& text) {
  // The clipboard exists only with a GUI application; without one there is nothing to set.
  auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
  if (!app) return false;
  if (QThread::currentThread() == app->thread()) {
    setOnMainThread(text);
    return true;
  }
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> future = done->get_future();
  // The work owns its copy of the text and the promise, so a reader that stopped waiting leaves
  // nothing dangling; queued work keeps its order, so a late set never overtakes a newer one.
  QMetaObject::invokeMethod(
      app,
      [text, done] {
        setOnMainThread(text);
        done->set_value();
      },
      Qt::QueuedConnection);
  return future.wait_for(kMainThreadWait) == std::future_status::ready;
}

}  // namespace qova
