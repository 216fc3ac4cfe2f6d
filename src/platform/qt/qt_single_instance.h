#pragma once

#include <QString>

#include <memory>

#include "platform/single_instance.h"

class QLockFile;
class QLocalServer;

namespace qova {

// One instance per user and X display: a lock file decides who runs, and the running instance
// listens on a local socket beside it, where a later start asks it to show its window. Both live in
// the user's runtime folder (the temporary folder without one), named for the user id and display.
class QtSingleInstance : public SingleInstance {
 public:
  QtSingleInstance();
  ~QtSingleInstance() override;
  bool claim(std::function<void()> onShowRequested) override;

 private:
  QString base_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace qova
