#include "app/app_delegate.h"

namespace qova {

// Capture commands and the capture state machine arrive with the capture subsystem.
void AppDelegate::handleCaptureBridge(std::string_view /*payload*/) {}

void AppDelegate::stopCaptureBridge() {}

}  // namespace qova
