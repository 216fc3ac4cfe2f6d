#include "app/linux_platform_services.h"

#include <cstdlib>

#include "app/desktop_backend_choice.h"
#include "base/log.h"
#include "platform/linux/gnome/gnome_services.h"
#include "platform/linux/no_desktop.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/posix/posix_workspace.h"
#include "platform/linux/posix/systemd_service_manager.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/wayland/wlroots_input.h"
#include "platform/linux/wayland/wlroots_permissions.h"
#include "platform/linux/wayland/wlroots_screen_capture.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xfixes_pasteboard_watcher.h"
#include "platform/linux/xshm_screen_capture.h"
#include "platform/linux/xtest_event_poster.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/qt_pasteboard.h"
#include "platform/qt/qt_single_instance.h"
#include "platform/qt/qt_tray.h"
#include "platform/qt/qt_workspace.h"

namespace qova {

namespace {

const Log kLog("desktop");

DesktopProbes realProbes() {
  DesktopProbes probes;
  probes.environment = [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  probes.wlroots = [] {
    const WlrootsGlobals globals = probeWlrootsCompositor();
    return WlrootsOffer{globals.screenCopy, globals.virtualPointer, globals.virtualKeyboard};
  };
  probes.gnomeRemoteDesktop = gnomeRemoteDesktopAvailable;
  return probes;
}

// Capture, input, the clipboard and the permission probes of one technology.
void addDesktop(PlatformServices& services, DesktopBackend backend) {
  switch (backend) {
    case DesktopBackend::x11:
      services.permissions = std::make_shared<X11Permissions>();
      services.screenCapture = std::make_shared<XShmScreenCapture>();
      services.eventPoster = std::make_shared<XTestEventPoster>();
      services.pasteboard = std::make_shared<QtPasteboard>();
      services.pasteboardWatcher = std::make_shared<XFixesPasteboardWatcher>();
      return;
    case DesktopBackend::wlroots: {
      services.permissions = std::make_shared<WlrootsPermissions>();
      services.screenCapture = std::make_shared<WlrootsScreenCapture>();
      auto input = std::make_shared<WlrootsInput>();
      services.eventPoster = input;
      services.pasteboard = input;
      services.pasteboardWatcher = input;
      return;
    }
    case DesktopBackend::gnome: {
      auto gnome = createGnomeServices();
      services.permissions = gnome.permissions;
      services.screenCapture = gnome.screenCapture;
      services.eventPoster = gnome.eventPoster;
      services.pasteboard = gnome.pasteboard;
      services.pasteboardWatcher = gnome.pasteboardWatcher;
      return;
    }
    case DesktopBackend::none: {
      auto nothing = std::make_shared<NoDesktop>();
      services.permissions = nothing;
      services.screenCapture = nothing;
      services.eventPoster = nothing;
      services.pasteboard = nothing;
      return;
    }
  }
}

}  // namespace

PlatformServices createLinuxPlatformServices(const std::vector<std::string>& arguments) {
  PlatformServices services;
  services.mainQueue = std::make_shared<QtMainQueue>();
  services.processes = std::make_shared<PosixProcessLauncher>();
  auto files = std::make_shared<PosixWorkspace>();
  services.workspace = std::make_shared<QtWorkspace>(files);
  services.controls = std::make_shared<QtControls>();
  services.serviceManager = std::make_shared<SystemdServiceManager>();
  services.imaging = std::make_shared<TurboJpegImaging>();
  services.tray = std::make_shared<QtTray>(
      QString::fromStdString(files->bundleDirectory() + "/Contents/Resources/qova-lumaro-agent.png"));
  services.singleInstance = std::make_shared<QtSingleInstance>();

  const DesktopChoice choice = chooseDesktopBackend(arguments, realProbes());
  static constexpr const char* kNames[] = {"X11", "wlroots", "GNOME", "none"};
  const std::string line = std::string("desktop backend: ") + kNames[static_cast<int>(choice.backend)] + ", " + choice.reason;
  if (choice.backend == DesktopBackend::none) {
    kLog.warning(line);
  } else {
    kLog.info(line);
  }
  addDesktop(services, choice.backend);
  services.desktopUnavailable = choice.status;
  return services;
}

}  // namespace qova
