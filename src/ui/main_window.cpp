#include "app/app_delegate.h"
#include "platform/controls.h"

namespace qova {

// A plain window holding the controls the agent supervision drives; the full layout with its
// three tabs arrives with the window subsystem.
void AppDelegate::buildWindow() {
  Controls& controls = *services().controls;
  window = controls.makeWindow(500, 380);
  window->setTitle("QOVA Lumaro Agent");
  auto content = window->contentView();
  const std::pair<std::shared_ptr<View>, Rect> placed[] = {
      {statusLabel, {24, 320, 452, 24}},  {idValue, {24, 280, 452, 24}},   {codeValue, {24, 250, 452, 24}},
      {serverValue, {24, 220, 452, 24}},  {startButton, {24, 160, 120, 32}}, {stopButton, {156, 160, 120, 32}},
  };
  for (const auto& [view, frame] : placed) {
    view->setFrame(frame);
    content->addSubview(view);
  }
  startButton->setAction([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startClicked();
  });
  stopButton->setAction([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->stopClicked();
  });
  startButton->setEnabled(true);
  stopButton->setEnabled(false);
  window->center();
  window->makeKeyAndOrderFront();
}

}  // namespace qova
