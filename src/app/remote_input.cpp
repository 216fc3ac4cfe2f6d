#include "app/app_delegate.h"
#include "input/input_command.h"
#include "input/input_dispatch.h"
#include "platform/event_poster.h"
#include "platform/pasteboard.h"

namespace qova {

void AppDelegate::handleInputBridge(std::string_view payload, uint64_t run) {
  const auto command = decodeInputCommand(payload);
  if (!command) return;
  const PlatformServices& platform = services();
  if (!platform.eventPoster || !platform.pasteboard) return;
  // The check and the command are one step, so nothing a stopped agent asked for is posted after
  // its end has been handled.
  std::lock_guard lock(inputMutex_);
  if (!isCurrentRun(run)) return;
  runInputCommand(*command, *platform.eventPoster, *platform.pasteboard, dragButton);
}

}  // namespace qova
