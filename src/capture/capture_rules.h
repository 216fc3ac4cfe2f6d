#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/screen_capture.h"

namespace qova {

// refresh and tune only mean something to a capture that sends the richer picture.
enum class CaptureAction { none, start, stop, refresh, tune };

// What a capture command asks for: only a JSON object whose "action" is exactly the string
// "start" or "stop" (or, for the richer picture, "refresh" or a valid "tune") asks for anything.
CaptureAction decodeCaptureAction(std::string_view command);

struct FrameSize {
  int64_t width = 1;
  int64_t height = 1;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

// The size a width x height picture is sent at: sides raised to 1, then, when the longer side is
// above maxSide, both scaled by maxSide / longer side in double precision and truncated (so a
// longer side of 2139 gives 1279), never below 1.
FrameSize captureFrameSize(int64_t width, int64_t height, double maxSide);

// The display to capture: the first listed with the `wanted` identifier, else the first with the main
// display's, else the first listed; nullopt when none is listed.
std::optional<CaptureDisplay> chooseCaptureDisplay(const std::vector<CaptureDisplay>& displays,
                                                   uint32_t mainDisplayId,
                                                   std::optional<uint32_t> wanted = std::nullopt);

}  // namespace qova
