#include "platform/qt/qt_application.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace qova {

namespace {
int signalFds[2] = {-1, -1};

void onQuitSignal(int) {
  const char byte = 1;
  [[maybe_unused]] auto n = ::write(signalFds[0], &byte, 1);
}
}  // namespace

struct QtApplication::Impl {
  std::unique_ptr<QApplication> app;
  std::unique_ptr<QSocketNotifier> notifier;
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
}

QtApplication::~QtApplication() = default;

int QtApplication::run(std::function<void()> onLaunched, std::function<void()> onTerminate) {
  QObject::connect(impl_->app.get(), &QCoreApplication::aboutToQuit, impl_->app.get(),
                   [onTerminate = std::move(onTerminate)] { onTerminate(); });
  QTimer::singleShot(0, impl_->app.get(), [onLaunched = std::move(onLaunched)] { onLaunched(); });
  impl_->app->exec();
  return 0;
}

}  // namespace qova
