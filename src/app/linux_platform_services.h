#pragma once

#include <string>
#include <vector>

#include "platform/platform_services.h"

namespace qova {

// The Linux desktop backend: Qt for the event loop and controls, POSIX for processes, and for the
// screen, input and clipboard the desktop backend chosen for this session from the arguments and
// the environment (X11, or wlroots in a Wayland session). Call on the main thread after the
// QApplication exists.
PlatformServices createLinuxPlatformServices(const std::vector<std::string>& arguments);

}  // namespace qova
