#pragma once

#include "platform/imaging.h"

namespace qova {

// Whether the area of `picture` (inside it) holds at most `limit` distinct colours (the fourth byte
// ignored), `limit` at most 256. Text, window frames and flat areas do: they are sent lossless,
// where a photo's few bytes a pixel are only reached lossy. Stops at the first colour too many.
bool hasFewColours(const PixelBuffer& picture, int x, int y, int width, int height, int limit = 256);

}  // namespace qova
