#include "platform/qt/qt_single_instance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>

#include "base/log.h"
#include "base/thread_check.h"
#include "platform/qt/qt_main_thread.h"

namespace qova {

namespace {

constexpr Log kLog("instance");
// A running instance that has the lock may still be setting up its socket.
constexpr int kAskForMs = 5000;
constexpr int kConnectMs = 500;
constexpr int kRetryMs = 100;

// ":0", ":0.0" and "unix:0" are the same display; the screen number is not part of it.
QString displayName() {
  QString display = qEnvironmentVariable("DISPLAY");
  const qsizetype colon = display.lastIndexOf(':');
  const qsizetype dot = display.indexOf('.', colon + 1);
  if (dot >= 0) display.truncate(dot);
  if (display.startsWith("unix:")) display.remove(0, 4);
  for (QChar& c : display) {
    if (!c.isLetterOrNumber() && c != '.' && c != '-') c = '_';
  }
  return display;
}

}  // namespace

QtSingleInstance::QtSingleInstance() {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::tempPath();
  base_ = QDir(folder).filePath(QStringLiteral("qova-lumaro-agent-%1-%2").arg(::getuid()).arg(displayName()));
}

QtSingleInstance::~QtSingleInstance() = default;

bool QtSingleInstance::claim(std::function<void()> onShowRequested) {
  QOVA_ASSERT_ON(kQtMainThread);
  const QString socketPath = base_ + ".socket";
  lock_ = std::make_unique<QLockFile>(base_ + ".lock");
  // Stale only when its holder is gone, however long an instance has been running.
  lock_->setStaleLockTime(0);
  if (lock_->tryLock(0)) {
    // Left behind by an instance that did not end cleanly.
    QLocalServer::removeServer(socketPath);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                     [server = server_.get(), onShow = std::move(onShowRequested)] {
                       // A connection is the request; nothing is read from it.
                       while (QLocalSocket* socket = server->nextPendingConnection()) {
                         socket->disconnectFromServer();
                         socket->deleteLater();
                         onShow();
                       }
                     });
    if (!server_->listen(socketPath)) {
      kLog.warning("cannot listen on " + socketPath.toStdString() + " (" + server_->errorString().toStdString() +
                   "); a later start will not bring the window back");
    }
    return true;
  }
  lock_.reset();
  const QDeadlineTimer deadline(kAskForMs);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (socket.waitForConnected(kConnectMs)) {
      socket.disconnectFromServer();
      return false;
    }
    QThread::msleep(kRetryMs);
  }
  kLog.warning("another instance holds " + base_.toStdString() +
               ".lock but does not answer; not starting a second one");
  return false;
}

}  // namespace qova
