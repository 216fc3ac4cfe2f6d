#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "capture/capture_rules.h"

namespace qova {

// The richer picture an agent asks for with its start, as the application accepts it: tile
// updates instead of whole frames. A member the agent left out or got wrong has its default.
struct PictureRequest {
  int fps = 30;         // 1..30
  int maxSide = 0;      // 0: full resolution, else 16..16384
  bool cursor = false;  // the pointer sent on its own rather than drawn into the picture
  friend bool operator==(const PictureRequest&, const PictureRequest&) = default;
};

// Everything a capture command carries.
struct CaptureCommand {
  CaptureAction action = CaptureAction::none;
  std::optional<PictureRequest> picture;  // start only: absent asks for written frames
  double quality = 0;                     // tune only: 0.1..0.95
};

// A start's "picture" counts only as an object whose "version" is an integer of at least 1; a tune
// only with a number "quality" in 0.1..0.95. Anything else the command holds is ignored.
CaptureCommand decodeCaptureCommand(std::string_view command);

// The line that tells the agent which picture it will get: marker, compact JSON, line feed.
std::string pictureAnswerLine(const PictureRequest& accepted);

}  // namespace qova
