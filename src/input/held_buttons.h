#pragma once

#include "platform/event_poster.h"

namespace qova {

// The buttons remote input has pressed and not let go of yet, and where it last put the pointer
// while holding them. Only a drag leaves a button down between commands, and the page or agent that
// began it may go before it ends the drag; on X a physical click does not lift a synthesised press,
// so whoever ends the agent must release what is recorded here.
class HeldButtons {
 public:
  void press(MouseButton button, double x, double y);
  void moveTo(double x, double y);
  void lift(MouseButton button);
  // A button-up for each held button where the pointer was last put; then nothing is held. False
  // when nothing was.
  bool releaseAll(EventPoster& poster);

 private:
  bool& heldFlag(MouseButton button);

  bool left_ = false;
  bool right_ = false;
  double x_ = 0;
  double y_ = 0;
};

}  // namespace qova
