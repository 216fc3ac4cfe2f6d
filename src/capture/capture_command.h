#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/capture_rules.h"

namespace qova {

// The richer picture an agent asks for with its start, as the application accepts it: tile
// updates instead of whole frames. A member the agent left out or got wrong has its default.
struct PictureRequest {
  int fps = 30;         // 1..30
  int maxSide = 0;      // 0: full resolution, else 16..16384
  bool cursor = false;  // the pointer sent on its own rather than drawn into the picture
  bool copy = false;    // a scroll may move part of the agent's picture instead of sending it again
  friend bool operator==(const PictureRequest&, const PictureRequest&) = default;
};

// Everything a capture command carries.
struct CaptureCommand {
  CaptureAction action = CaptureAction::none;
  std::optional<PictureRequest> picture;  // start only: absent asks for written frames
  double quality = 0;                     // tune only: 0.1..0.95, or 0 when it only chooses the display
  std::optional<uint32_t> display = std::nullopt;  // start or tune: the display the agent chose, if it asked to choose
};

// A start's "picture" counts only as an object whose "version" is an integer of at least 1; a tune
// only with a number "quality" in 0.1..0.95 or an integer "display" (or both). Anything else the
// command holds is ignored.
CaptureCommand decodeCaptureCommand(std::string_view command);

// The line that lists the capturable displays to an agent that asked to choose: marker, compact
// JSON with each display's "id", "name", size, place and whether it is "main", and the "current"
// one, line feed. At most kMaxListedDisplays, names cut to kMaxDisplayNameBytes.
inline constexpr size_t kMaxListedDisplays = 16;
inline constexpr size_t kMaxDisplayNameBytes = 64;
std::string displayListLine(const std::vector<CaptureDisplay>& displays, uint32_t mainDisplayId, uint32_t current);

// The line that tells the agent which picture it will get: marker, compact JSON, line feed.
std::string pictureAnswerLine(const PictureRequest& accepted);

}  // namespace qova
