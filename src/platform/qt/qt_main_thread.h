#pragma once

#include <QCoreApplication>
#include <QThread>

namespace qova {

// The thread Qt's widgets and desktop services belong to: the one that made the application object.
// What the main-thread contracts of the controls and the workspace are checked against.
struct QtMainThread {
  bool isCurrent() const {
    const QCoreApplication* application = QCoreApplication::instance();
    // Before the application object exists and after it is gone there is no event loop to race with.
    return !application || QThread::currentThread() == application->thread();
  }
};
inline constexpr QtMainThread kQtMainThread;

}  // namespace qova
