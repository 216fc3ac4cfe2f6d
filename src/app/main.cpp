#include <string>
#include <vector>

#include "app/app_delegate.h"
#include "platform/qt/linux_platform_services.h"
#include "platform/qt/qt_application.h"

int main(int argc, char** argv) {
  qova::QtApplication application(argc, argv);
  auto delegate = std::make_shared<qova::AppDelegate>(qova::createLinuxPlatformServices());
  const std::vector<std::string> arguments(argv, argv + argc);
  return application.run([&] { delegate->applicationDidFinishLaunching(arguments); },
                         [&] { delegate->applicationWillTerminate(); });
}
