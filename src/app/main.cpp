#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "app/home_thread_release.h"
#include "app/linux_platform_services.h"
#include "base/log.h"
#include "platform/qt/qt_application.h"

namespace {
// Long enough for a reader or waiter thread to finish the block it is in when the loop ends; the
// agent was asked to end in applicationWillTerminate, so a pipe write cannot block for long.
constexpr auto kWorkerLetGo = std::chrono::seconds(5);
constexpr std::string_view kVerboseArgument = "--verbose";
}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  qova::LogSettings log;
  log.filePath = qova::defaultLogFilePath(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  log.verbose = std::find(arguments.begin(), arguments.end(), kVerboseArgument) != arguments.end();
  qova::configureLog(log);
  qova::QtApplication application(argc, argv);
  // The controller owns the window, so it must be destroyed on this thread and before the
  // application object, whichever thread held it last.
  qova::HomeThreadRelease<qova::AppDelegate> release;
  auto delegate = release.adopt(std::make_unique<qova::AppDelegate>(qova::createLinuxPlatformServices(arguments)));
  const int status = application.run([&] { delegate->applicationDidFinishLaunching(arguments); },
                                     [&] { delegate->applicationWillTerminate(); });
  delegate.reset();
  release.finish(kWorkerLetGo);
  return status;
}
