#include "app/app_delegate.h"
#include "input/input_command.h"
#include "input/input_dispatch.h"
#include "platform/event_poster.h"
#include "platform/pasteboard.h"

namespace qova {

void AppDelegate::handleInputBridge(std::string_view payload) {
  const auto command = decodeInputCommand(payload);
  if (!command) return;
  const PlatformServices& platform = services();
  if (!platform.eventPoster || !platform.pasteboard) return;
  runInputCommand(*command, *platform.eventPoster, *platform.pasteboard, dragButton);
}

}  // namespace qova
