#pragma once

#include "platform/platform_services.h"

namespace qova {

// The Linux desktop backend: Qt for the event loop and controls, X11 for the screen and input,
// POSIX for processes. Call on the main thread after the QApplication exists.
PlatformServices createLinuxPlatformServices();

}  // namespace qova
