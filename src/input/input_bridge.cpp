#include "app/app_delegate.h"

namespace qova {

// Decoding and injection of remote input arrive with the input subsystem.
void AppDelegate::handleInputBridge(std::string_view /*payload*/) {}

}  // namespace qova
