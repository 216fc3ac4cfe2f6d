#pragma once

#include <cstdint>

namespace qova {

// Blends a cursor image onto a BGRX frame with its top-left corner at (left, top), clipped to the
// frame. `cursor` holds width x height premultiplied-alpha ARGB values, one per pixel, row by row,
// alpha in the top byte (the XFixes cursor image layout).
void drawCursor(uint8_t* frame, int frameStride, int frameWidth, int frameHeight, const uint32_t* cursor,
                int cursorWidth, int cursorHeight, int left, int top);

}  // namespace qova
