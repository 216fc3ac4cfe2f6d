#include "app/linux_platform_services.h"

#include <cstdlib>
#include <cstring>

#include "platform/linux/gnome/gnome_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/posix/posix_workspace.h"
#include "platform/linux/posix/systemd_service_manager.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xshm_screen_capture.h"
#include "platform/linux/xtest_event_poster.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_single_instance.h"
#include "platform/qt/qt_tray.h"
#include "platform/qt/qt_workspace.h"

namespace qova {

PlatformServices createLinuxPlatformServices() {
  PlatformServices services;
  services.mainQueue = std::make_shared<QtMainQueue>();
  services.processes = std::make_shared<PosixProcessLauncher>();
  services.permissions = std::make_shared<X11Permissions>();
  auto files = std::make_shared<PosixWorkspace>();
  services.workspace = std::make_shared<QtWorkspace>(files);
  services.controls = std::make_shared<QtControls>();
  services.pasteboard = std::make_shared<QtPasteboard>();
  services.serviceManager = std::make_shared<SystemdServiceManager>();
  services.screenCapture = std::make_shared<XShmScreenCapture>();
  services.imaging = std::make_shared<TurboJpegImaging>();
  services.eventPoster = std::make_shared<XTestEventPoster>();
  // GNOME on Wayland: capture, input, clipboard and permissions through the compositor's session.
  if (const char* backend = std::getenv("QOVA_DESKTOP_BACKEND"); backend && std::strcmp(backend, "gnome") == 0) {
    auto gnome = createGnomeServices();
    services.screenCapture = gnome.screenCapture;
    services.eventPoster = gnome.eventPoster;
    services.pasteboard = gnome.pasteboard;
    services.permissions = gnome.permissions;
  }
  services.tray = std::make_shared<QtTray>(
      QString::fromStdString(files->bundleDirectory() + "/Contents/Resources/qova-lumaro-agent.png"));
  services.singleInstance = std::make_shared<QtSingleInstance>();
  return services;
}

}  // namespace qova
