#include "platform/qt/qt_application.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>

#include "base/log.h"
#include "platform/qt/qt_main_thread.h"

namespace qova {

namespace {
constexpr Log kLog("qt");
// The status the application ends with when its display has gone for good.
constexpr int kDisplayLostStatus = 2;

int signalFds[2] = {-1, -1};

// What the display watch needs outside the application object: Qt's message handler is a plain
// function, and it is called where Qt is about to end the process.
struct DisplayWatch {
  xcb_connection_t* connection = nullptr;
  std::function<void()> onTerminate;
  bool terminated = false;
  QtMessageHandler previousHandler = nullptr;
};
DisplayWatch displayWatch;

// Main thread. Runs the termination step once, whichever way the end comes.
void runTerminationStep() {
  if (std::exchange(displayWatch.terminated, true) || !displayWatch.onTerminate) return;
  displayWatch.onTerminate();
}

// Qt's XCB plugin ends the process with exit() as soon as its event dispatcher sees the connection
// broken, while our worker threads still run, and it says so first. Where the watch below has not
// ended the loop in time, this is the last moment to stop the agent; the process then ends at once,
// without the static destructors that exit() would run under those threads.
void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (displayWatch.previousHandler) displayWatch.previousHandler(type, context, text);
  // Other threads' messages are left alone: the termination step belongs to the main thread, which
  // meets the broken connection itself soon enough.
  if (!kQtMainThread.isCurrent()) return;
  if (!displayWatch.connection || !xcb_connection_has_error(displayWatch.connection)) return;
  kLog.error("the X server went away; stopping the agent and ending");
  runTerminationStep();
  std::_Exit(kDisplayLostStatus);
}

// The server has closed its end: no further request or event can get through.
bool serverHungUp(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void onQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] auto n = ::write(signalFds[0], &byte, 1);
}
}  // namespace

struct QtApplication::Impl {
  std::unique_ptr<QApplication> app;
  std::unique_ptr<QSocketNotifier> notifier;
  std::unique_ptr<QSocketNotifier> displayNotifier;

  // Ends the loop through the termination step with a failure status when the X server goes away
  // for good, instead of leaving it to the platform plugin.
  void watchDisplay() {
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection()) return;
    displayWatch.connection = x11->connection();
    displayWatch.previousHandler = qInstallMessageHandler(onQtMessage);
    const int fd = xcb_get_file_descriptor(displayWatch.connection);
    // Qt's own reader thread takes what arrives; this only looks for the end of the stream.
    displayNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(displayNotifier.get(), &QSocketNotifier::activated, app.get(), [this, fd] {
      if (!serverHungUp(fd) && !xcb_connection_has_error(displayWatch.connection)) return;
      displayNotifier->setEnabled(false);
      kLog.error("the X server went away; ending");
      QCoreApplication::exit(kDisplayLostStatus);
    });
  }
};

QtApplication::QtApplication(int& argc, char** argv) : impl_(std::make_unique<Impl>()) {
  impl_->app = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);

  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalFds) == 0) {
    impl_->notifier = std::make_unique<QSocketNotifier>(signalFds[1], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, impl_->app.get(), [] {
      char byte;
      [[maybe_unused]] auto n = ::read(signalFds[1], &byte, 1);
      QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
  }
  impl_->watchDisplay();
}

QtApplication::~QtApplication() {
  impl_->displayNotifier.reset();
  impl_->notifier.reset();
  // Qt may still complain about a broken connection while it closes it; the watch answers that too.
  impl_->app.reset();
  if (displayWatch.connection) qInstallMessageHandler(displayWatch.previousHandler);
  displayWatch.connection = nullptr;
  displayWatch.onTerminate = nullptr;
}

int QtApplication::run(std::function<void()> onLaunched, std::function<void()> onTerminate) {
  displayWatch.onTerminate = std::move(onTerminate);
  QObject::connect(impl_->app.get(), &QCoreApplication::aboutToQuit, impl_->app.get(), [] { runTerminationStep(); });
  QTimer::singleShot(0, impl_->app.get(), [onLaunched = std::move(onLaunched)] { onLaunched(); });
  return impl_->app->exec();
}

}  // namespace qova
